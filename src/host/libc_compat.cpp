// GCC builds only: GCC's C++ runtime is linked into the module (see CMakeLists.txt). Its
// std::random_device, which the module never uses, refers to arc4random, new in glibc 2.36;
// answering that reference here keeps such a build loadable on a system with an older glibc than
// the one it was built on. The wheels (Zig's libc++, glibc 2.17) never refer to it.
#include <sys/random.h>

#include <cstdint>

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random(void) noexcept {
    std::uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    }
    return value;
}
