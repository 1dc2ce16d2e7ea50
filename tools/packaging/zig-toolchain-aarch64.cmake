# The aarch64 wheels: the same toolchain as the x86_64 ones, cross-compiling for 64-bit ARM.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(START_BOCE_WHEEL_ARCH aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake")
