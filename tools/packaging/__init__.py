"""Building and checking the module's wheels: Zig's toolchain, the version, the emulated arm64."""
