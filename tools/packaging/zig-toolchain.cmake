# The manylinux2014 wheels' build: Zig's clang (tools/packaging/zig-c++) targeting glibc 2.17 on the
# machine START_BOCE_WHEEL_ARCH names (x86_64 unless a toolchain file that includes this one set
# it), which links its own C++ runtime (libc++) into the module by itself.
if(NOT START_BOCE_WHEEL_ARCH)
  set(START_BOCE_WHEEL_ARCH x86_64)
endif()
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_CXX_COMPILER_TARGET "${START_BOCE_WHEEL_ARCH}-linux-gnu.2.17")
set(START_BOCE_ZIG_TOOLCHAIN ON)
# The target machine's libgcc_s, the unwinder of every C++ program on a glibc system (see
# CMakeLists.txt): this machine's own for x86_64, Debian's arm64 one (tools/packaging/arm64) for aarch64.
if(START_BOCE_WHEEL_ARCH STREQUAL "x86_64")
  set(START_BOCE_LIBGCC_S /lib/x86_64-linux-gnu/libgcc_s.so.1)
else()
  set(START_BOCE_LIBGCC_S
      "${CMAKE_CURRENT_LIST_DIR}/../../build/arm64/root/lib/${START_BOCE_WHEEL_ARCH}-linux-gnu/libgcc_s.so.1")
endif()
