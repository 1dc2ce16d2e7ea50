# The manylinux2014 wheels' build: Zig's clang targeting glibc 2.17 (tools/zig-c++), which links
# its own C++ runtime (libc++) into the module by itself.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(START_BOCE_ZIG_TOOLCHAIN ON)
