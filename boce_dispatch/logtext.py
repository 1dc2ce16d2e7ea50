"""What the probe network writes into its logs about things that came from outside: escaped and
cut, so that no value can forge a log line or fill the log, and refusals of one kind from one
address summed up instead of written one by one."""

import time

SHOWN_LENGTH = 80


def shown(value, limit=SHOWN_LENGTH):
    """`value` as one log-safe token: Python's quoted form of its first `limit` characters
    (controls, line breaks, quotes and backslashes escaped), with "..." after a cut."""
    text = value if isinstance(value, str) else repr(value)
    return repr(text[:limit]) + ("..." if len(text) > limit else "")


class Throttled:
    """Writes a line of a given kind about a given address at most once per `interval` seconds;
    the next line after a quiet spell says how many were left out meanwhile."""

    MAX_KEYS = 4096  # the oldest are forgotten beyond this: a flood of addresses costs no memory

    def __init__(self, log, interval=1.0, clock=time.monotonic):
        self.log = log
        self.interval = interval
        self.clock = clock
        self.last = {}  # (kind, address) -> [time written, lines left out since]

    def warning(self, kind, address, message, *args):
        now = self.clock()
        entry = self.last.get((kind, address))
        if entry is not None and now - entry[0] < self.interval:
            entry[1] += 1
            return
        left_out = entry[1] if entry else 0
        if entry is None and len(self.last) >= self.MAX_KEYS:
            del self.last[next(iter(self.last))]
        self.last.pop((kind, address), None)
        self.last[(kind, address)] = [now, 0]
        suffix = " (and %d more like it)" % left_out if left_out else ""
        self.log.warning(message + suffix, *args)
