"""How many panels' probes at once the center takes when its configuration does not say
(max_probes): what half of its memory holds, and what its one core answers within a deadline,
with one node's share of each measured by `make bench-scale`."""

import logging
import os

from boce_dispatch.center.config import MAX_PROBES

# What one node costs the center while a panel's probe is under way (its record, its outcome and
# the panel's JSON; make bench-scale: 0.7 KiB at 10 panels of 10,000 nodes), and the CPU of one
# node's answer (make bench-scale: 17 to 26 us); both with room for a slower machine and
# records longer than the benchmark's.
NODE_BYTES = 4 * 1024
ANSWER_CPU_SECONDS = 60e-6
MEMORY_SHARE = 0.5
# The memory reckoned with where no cgroup limit, no /proc/meminfo and no sysinfo(2) can be
# read: the smallest machine a center is run on. max_probes overrides it.
DEFAULT_MEMORY = 1024 ** 3
CGROUP_ROOT = "/sys/fs/cgroup"

log = logging.getLogger("boce.center")


def cgroup_memory_limit(own_cgroup="/proc/self/cgroup", root=CGROUP_ROOT):
    """The tightest memory.max of this process's cgroup (v2) and the cgroups above it, or None
    when none sets one or none can be read. Under systemd the unit's own cgroup is the one with
    MemoryMax=; the root's file, where there is one, is the whole machine's."""
    try:
        with open(own_cgroup, encoding="utf-8") as f:
            path = next((line[3:].strip() for line in f if line.startswith("0::")), None)
    except OSError:
        return None
    if path is None:
        return None
    parts = [part for part in path.split("/") if part and part not in (".", "..")]
    limits = []
    for depth in range(len(parts), -1, -1):
        try:
            with open(os.path.join(root, *parts[:depth], "memory.max"), encoding="ascii") as f:
                limit = f.read().strip()
        except OSError:
            continue
        if limit.isdigit():
            limits.append(int(limit))
    return min(limits) if limits else None


def meminfo_available(meminfo="/proc/meminfo"):
    """The system's MemAvailable in bytes, or None where /proc/meminfo is hidden (systemd's
    ProcSubset=pid) or says no such thing."""
    try:
        with open(meminfo, encoding="ascii") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError, IndexError):
        return None


def physical_memory():
    """The machine's memory in bytes as sysinfo(2) tells it, which needs no /proc, or None."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") or None
    except (OSError, ValueError):
        return None


def available_memory(own_cgroup="/proc/self/cgroup", root=CGROUP_ROOT, meminfo="/proc/meminfo",
                     machine=physical_memory):
    """Bytes this process may still use: the lower of its cgroups' limit and what the system has
    available (/proc/meminfo, or where that is hidden the machine's whole memory), of those it
    can read; DEFAULT_MEMORY, said in the log, when it can read none."""
    system = meminfo_available(meminfo)
    known = [memory for memory in (cgroup_memory_limit(own_cgroup, root),
                                   system if system is not None else machine())
             if memory is not None]
    if known:
        return min(known)
    log.warning("memory unknown: no cgroup memory.max, no %s and no sysinfo readable; reckoning "
                "with %d MiB (max_probes in the configuration sets the probes at once)", meminfo,
                DEFAULT_MEMORY // 1024 ** 2)
    return DEFAULT_MEMORY


def panels_at_once(config, memory=None):
    """The probes at once the center takes: max_probes when the configuration sets it, else as
    many as MEMORY_SHARE of the memory and the CPU within a deadline hold, at least 1."""
    if config.max_probes:
        return config.max_probes
    nodes = len(config.nodes)
    by_memory = int((available_memory() if memory is None else memory) * MEMORY_SHARE
                    // (nodes * NODE_BYTES))
    by_cpu = int(config.deadline_seconds / (nodes * ANSWER_CPU_SECONDS))
    return max(1, min(MAX_PROBES, by_memory, by_cpu))
