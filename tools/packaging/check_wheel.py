"""Checks a wheel of the module against what its manylinux2014 tag promises: the module is code
for the machine the tag names, asks the C library for nothing newer than glibc 2.17, unwinds
with the system's libgcc_s, and auditwheel agrees on the platform.

    python tools/packaging/check_wheel.py WHEEL

One line per wheel on success; exit 1 with the reason otherwise."""

import io
import os
import subprocess
import sys
import zipfile

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection
from elftools.elf.sections import SymbolTableSection

GLIBC_FLOOR = (2, 17)
# The ELF machine of each architecture the wheels are built for.
ARCHITECTURES = {"EM_X86_64": "x86_64", "EM_AARCH64": "aarch64"}


def glibc_versions(library):
    """Every GLIBC_x.y version that an ELF shared object (its bytes) needs."""
    elf = ELFFile(io.BytesIO(library))
    needed = set()
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for auxiliary in auxiliaries:
                    name = auxiliary.name
                    if name.startswith("GLIBC_") and name[6:].replace(".", "").isdigit():
                        needed.add(tuple(int(part) for part in name[6:].split(".")))
    return needed


def newest_glibc(library):
    return max(glibc_versions(library), default=(0,))


def unwinds_with_libgcc_s(library):
    """Whether the module takes its unwinder from the system's libgcc_s, as glibc's own forced
    unwinding of an ending thread does (CMakeLists.txt), rather than from a copy of its own."""
    elf = ELFFile(io.BytesIO(library))
    needed = {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
              if tag.entry.d_tag == "DT_NEEDED"}
    dynamic = elf.get_section_by_name(".dynsym")
    imported = isinstance(dynamic, SymbolTableSection) and any(
        symbol.name == "_Unwind_Resume" and symbol["st_shndx"] == "SHN_UNDEF"
        for symbol in dynamic.iter_symbols())
    return "libgcc_s.so.1" in needed and imported


def architecture(library):
    """The architecture an ELF shared object's code is for, in the wheels' tag spelling."""
    machine = ELFFile(io.BytesIO(library))["e_machine"]
    return ARCHITECTURES.get(machine, machine)


def tagged_architecture(wheel):
    """The architecture that every platform tag of a wheel's file name names (as written, if
    it is not one of ARCHITECTURES'); None if they name different ones."""
    platforms = os.path.basename(wheel)[:-len(".whl")].split("-")[-1].split(".")
    named = {next((arch for arch in ARCHITECTURES.values() if platform.endswith("_" + arch)),
                  platform) for platform in platforms}
    return named.pop() if len(named) == 1 else None


def check(wheel):
    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
        if len(modules) != 1:
            return "expected one module in %s, found %s" % (wheel, modules)
        library = archive.read(modules[0])
    arch = architecture(library)
    tag_arch = tagged_architecture(wheel)
    if arch != tag_arch:
        return "%s is %s code in a wheel tagged for %s" % (modules[0], arch, tag_arch)
    if not modules[0].endswith("-%s-linux-gnu.so" % arch):
        return "%s is not named for %s: that interpreter would not find it" % (modules[0], arch)
    newest = newest_glibc(library)
    if newest > GLIBC_FLOOR:
        return "%s needs glibc %s, newer than %s" % (
            modules[0], ".".join(map(str, newest)), ".".join(map(str, GLIBC_FLOOR)))
    if not unwinds_with_libgcc_s(library):
        return "%s does not unwind with the system's libgcc_s: a thread that CPython ends at " \
            "exit inside one of its calls would crash the process" % modules[0]
    platform = "manylinux_2_17_" + arch
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel],
                           capture_output=True, text=True)
    if shown.returncode != 0 or '"%s"' % platform not in " ".join(shown.stdout.split()):
        return "auditwheel does not find %s consistent with %s:\n%s%s" % (
            wheel, platform, shown.stdout, shown.stderr)
    print("%s: newest glibc symbol %s; auditwheel: %s" % (
        wheel.rsplit("/", 1)[-1], ".".join(map(str, newest)), platform))
    return None


if __name__ == "__main__":
    problems = [problem for problem in map(check, sys.argv[1:]) if problem]
    for problem in problems:
        print(problem, file=sys.stderr)
    sys.exit(1 if problems or len(sys.argv) < 2 else 0)
