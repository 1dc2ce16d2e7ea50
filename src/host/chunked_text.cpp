#include "host/chunked_text.hpp"

#include <sys/mman.h>

#include <cstring>
#include <new>

namespace cpython {

ChunkedText::~ChunkedText() {
    for (auto& chunk : chunks_) release(chunk);
}

void ChunkedText::release(Chunk& chunk) {
    // Mapped chunks go back to the system at once; the allocator could keep freed memory.
    munmap(chunk.data, chunk_bytes);
    chunk.data = nullptr;
}

void ChunkedText::count(std::string_view utf8) {
    // Branch-free, so that it runs over whole vectors of bytes: every byte that is not inside a
    // character starts one, and the largest byte tells the widest character's class (a byte
    // from 0x80 up only comes with a lead byte of 0xC2 or more).
    std::size_t inside = 0;
    unsigned char largest = 0;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        inside += (byte & 0xC0) == 0x80;
        largest = byte > largest ? byte : largest;
    }
    code_points_ += utf8.size() - inside;
    const std::uint32_t widest = largest >= 0xF0   ? 0x10FFFF
                                 : largest >= 0xC4 ? 0xFFFF
                                 : largest >= 0x80 ? 0xFF
                                                   : 0x7F;
    if (widest > widest_) widest_ = widest;
}

void ChunkedText::append(std::string_view utf8) {
    count(utf8);
    while (!utf8.empty()) {
        if (chunks_.empty() || chunks_.back().closed) {
            // Room for the chunk first: once mapped, it is owned by the list at once.
            chunks_.reserve(chunks_.size() + 1);
            void* memory = mmap(nullptr, chunk_bytes, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (memory == MAP_FAILED) throw std::bad_alloc();
            chunks_.push_back({static_cast<char*>(memory), 0, false});
        }
        Chunk& chunk = chunks_.back();
        std::size_t part = std::min(utf8.size(), chunk_bytes - chunk.used);
        // A chunk ends before a character that does not fit whole.
        while (part < utf8.size() && part > 0 &&
               (static_cast<unsigned char>(utf8[part]) & 0xC0) == 0x80) {
            --part;
        }
        std::memcpy(chunk.data + chunk.used, utf8.data(), part);
        chunk.used += part;
        utf8.remove_prefix(part);
        if (!utf8.empty()) chunk.closed = true;
    }
}

}  // namespace cpython
