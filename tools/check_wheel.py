"""Checks a wheel of the module against what its manylinux2014 tag promises: the module asks the
C library for nothing newer than glibc 2.17, and auditwheel agrees on the platform.

    python tools/check_wheel.py WHEEL

One line per wheel on success; exit 1 with the reason otherwise."""

import io
import subprocess
import sys
import zipfile

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

GLIBC_FLOOR = (2, 17)
PLATFORM = "manylinux_2_17_x86_64"


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


def check(wheel):
    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
        if len(modules) != 1:
            return "expected one module in %s, found %s" % (wheel, modules)
        newest = newest_glibc(archive.read(modules[0]))
    if newest > GLIBC_FLOOR:
        return "%s needs glibc %s, newer than %s" % (
            modules[0], ".".join(map(str, newest)), ".".join(map(str, GLIBC_FLOOR)))
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel],
                           capture_output=True, text=True)
    if shown.returncode != 0 or '"%s"' % PLATFORM not in " ".join(shown.stdout.split()):
        return "auditwheel does not find %s consistent with %s:\n%s%s" % (
            wheel, PLATFORM, shown.stdout, shown.stderr)
    print("%s: newest glibc symbol %s; auditwheel: %s" % (
        wheel.rsplit("/", 1)[-1], ".".join(map(str, newest)), PLATFORM))
    return None


if __name__ == "__main__":
    problems = [problem for problem in map(check, sys.argv[1:]) if problem]
    for problem in problems:
        print(problem, file=sys.stderr)
    sys.exit(1 if problems or len(sys.argv) < 2 else 0)
