# The manylinux2014 wheels' build: Zig's clang (tools/zig-c++) targeting glibc 2.17 on the
# machine START_BOCE_WHEEL_ARCH names (x86_64 unless a toolchain file that includes this one set
# it), which links its own C++ runtime (libc++) into the module by itself.
if(NOT START_BOCE_WHEEL_ARCH)
  set(START_BOCE_WHEEL_ARCH x86_64)
endif()
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_CXX_COMPILER_TARGET "${START_BOCE_WHEEL_ARCH}-linux-gnu.2.17")
set(START_BOCE_ZIG_TOOLCHAIN ON)
