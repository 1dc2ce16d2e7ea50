// Text on its way into a runtime string of a size known only at the end: plain C++, no Python,
// so it is tested on its own. What it counts is what the runtime needs to make such a string:
// the number of code points and the class of the widest one (the runtime keeps a string in one,
// two or four bytes per code point by that class).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace cpython {

// UTF-8 text kept in chunks of memory of its own: it grows without ever being copied, and it is
// given back chunk by chunk while it is read out, so a long text and what is made from it never
// need room for the whole of both. It counts its code points and knows the class of the widest
// (0x7F, 0xFF, 0xFFFF or 0x10FFFF), which is what a text of the final size needs to be made.
class ChunkedText {
  public:
    ChunkedText() = default;
    ChunkedText(const ChunkedText&) = delete;
    ChunkedText& operator=(const ChunkedText&) = delete;
    ~ChunkedText();

    // Whole UTF-8 sequences only: a chunk never ends inside a character.
    void append(std::string_view utf8);
    std::size_t code_points() const { return code_points_; }
    std::uint32_t widest() const { return widest_; }

    // Hands the chunks to `read` in order, each freed right after; the text is empty afterwards.
    template <typename Read>
    void drain(Read&& read) {
        for (auto& chunk : chunks_) {
            read(std::string_view(chunk.data, chunk.used));
            release(chunk);
        }
        chunks_.clear();
    }

  private:
    struct Chunk {
        char* data;
        std::size_t used;
        bool closed;  // the next append starts a new chunk
    };
    static constexpr std::size_t chunk_bytes = std::size_t{1} << 20;
    static void release(Chunk& chunk);
    void count(std::string_view utf8);

    std::vector<Chunk> chunks_;
    std::size_t code_points_ = 0;
    std::uint32_t widest_ = 0x7F;
};

// Decodes well-formed UTF-8 (surrogates in their three-byte forms included), as ChunkedText
// holds it, into code units of one width starting at `out`. Returns the end of what was
// written, or nullptr when the text would pass `last`: nothing is ever written there.
template <typename Unit>
Unit* decode_utf8(std::string_view utf8, Unit* out, Unit* last) {
    const auto* byte = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = byte + utf8.size();
    while (byte < end) {
        if (out == last) return nullptr;
        const std::uint32_t lead = *byte++;
        if (lead < 0x80) {
            *out++ = static_cast<Unit>(lead);
            while (byte < end && *byte < 0x80 && out != last) *out++ = *byte++;  // ASCII runs
            continue;
        }
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        std::uint32_t code_point = lead & (0x3Fu >> extra);
        for (int i = 0; i < extra && byte < end; ++i) {
            code_point = (code_point << 6) | (*byte++ & 0x3Fu);
        }
        *out++ = static_cast<Unit>(code_point);
    }
    return out;
}

}  // namespace cpython
