// The C++ runtime is linked into the module (see CMakeLists.txt). Its std::random_device, which
// the module never uses, refers to arc4random, new in glibc 2.36; answering that reference here
// keeps the module loadable on the older glibc of the panels' systems (2.32 and up).
#include <sys/random.h>

#include <cstdint>

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random(void) noexcept {
    std::uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    }
    return value;
}
