"""How many panels' probes at once the center takes when its configuration does not say
(max_probes): what half of its memory holds, and what its one core answers within a deadline,
with one node's share of each measured by `make bench-scale`."""


from boce_dispatch.center.config import MAX_PROBES

# What one node costs the center while a panel's probe is under way (its record, its outcome and
# the panel's JSON; make bench-scale: 0.7 KiB at 10 panels of 10,000 nodes), and the CPU of one
# node's answer (make bench-scale: 17 to 26 us); both with room for a slower machine and
# records longer than the benchmark's.
NODE_BYTES = 4 * 1024
ANSWER_CPU_SECONDS = 60e-6
MEMORY_SHARE = 0.5


def available_memory():
    """Bytes this process may still use: its cgroup's limit when there is one, else what the
    system has available."""
    try:
        with open("/sys/fs/cgroup/memory.max", encoding="ascii") as f:
            limit = f.read().strip()
        if limit.isdigit():
            return int(limit)
    except OSError:
        pass
    with open("/proc/meminfo", encoding="ascii") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["MemAvailable"].split()[0]) * 1024


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
