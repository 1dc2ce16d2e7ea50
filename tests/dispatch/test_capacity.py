"""The center's memory as its unit's sandbox lets it see: the tightest cgroup limit on the way
up from its own cgroup, /proc/meminfo where it is not hidden, and a stated default where
neither can be read."""

import logging

import pytest

from boce_dispatch.center import capacity

MIB = 1024 ** 2
UNIT = "system.slice/boce-center.service"


def cgroup_tree(top, limits, own="0::/" + UNIT):
    """A cgroup v2 tree under `top` with memory.max per directory ("" the root), and the
    /proc/self/cgroup line of a process in `own`."""
    top.mkdir(parents=True, exist_ok=True)
    for directory, limit in limits.items():
        (top / directory).mkdir(parents=True, exist_ok=True)
        (top / directory / "memory.max").write_text(limit + "\n", encoding="ascii")
    own_file = top / "self-cgroup"
    own_file.write_text(own + "\n", encoding="utf-8")
    return str(own_file)


def meminfo(top, available_kib):
    path = top / "meminfo"
    path.write_text("MemTotal:       24000000 kB\nMemFree:  1 kB\nMemAvailable:   %d kB\n"
                    % available_kib, encoding="ascii")
    return str(path)


GIB = 1024 ** 3


@pytest.mark.parametrize("limits, own, available_kib, machine, expected", [
    # the unit's own MemoryMax=, though the root says nothing and meminfo is hidden
    ({UNIT: str(512 * MIB), "": "max"}, "0::/" + UNIT, None, None, 512 * MIB),
    # a slice's limit above the unit's, tighter than the unit's own
    ({UNIT: "max", "system.slice": str(300 * MIB)}, "0::/" + UNIT, None, None, 300 * MIB),
    # no limit anywhere: what the system has available, not the whole machine
    ({UNIT: "max"}, "0::/" + UNIT, 2 * 1024 ** 2, 24 * GIB, 2 * GIB),
    # a limit above what is available: what is available
    ({UNIT: str(8 * GIB)}, "0::/" + UNIT, 1024 ** 2, None, GIB),
    # meminfo hidden (ProcSubset=pid), no limit: the machine's memory, below a larger limit
    ({UNIT: str(64 * GIB)}, "0::/" + UNIT, None, 24 * GIB, 24 * GIB),
    # cgroup v1 only (no 0:: line), meminfo and sysinfo unreadable: the stated default
    ({}, "4:memory:/" + UNIT, None, None, capacity.DEFAULT_MEMORY),
    # a path that climbs out of the tree is not followed
    ({"": str(100 * MIB)}, "0::/../../etc", None, None, 100 * MIB),
])
def test_memory_is_read_from_what_the_sandbox_shows(tmp_path, caplog, limits, own,
                                                     available_kib, machine, expected):
    own_file = cgroup_tree(tmp_path / "cgroup", limits, own)
    info = meminfo(tmp_path, available_kib) if available_kib else str(tmp_path / "hidden")
    with caplog.at_level(logging.WARNING, "boce.center"):
        memory = capacity.available_memory(own_file, str(tmp_path / "cgroup"), info,
                                           machine=lambda: machine)
    assert memory == expected
    defaulted = [r.getMessage() for r in caplog.records if "memory unknown" in r.getMessage()]
    assert bool(defaulted) == (expected == capacity.DEFAULT_MEMORY and not limits)


def test_the_machines_memory_is_known_without_proc():
    assert capacity.physical_memory() > 64 * MIB

