"""What the probe network writes into its logs about things that came from outside: escaped and
cut, so that no value can forge a log line or fill the log, and refusals of one kind from one
client summed up instead of written one by one, within a budget of lines for all clients."""

import time

SHOWN_LENGTH = 80


def shown(value, limit=SHOWN_LENGTH):
    """`value` as one log-safe token: Python's quoted form of its first `limit` characters
    (controls, line breaks, quotes and backslashes escaped), with "..." after a cut."""
    text = value if isinstance(value, str) else repr(value)
    return repr(text[:limit]) + ("..." if len(text) > limit else "")


class Throttled:
    """Writes a line of a given kind about a given client at most once per `interval` seconds,
    and at most `budget` lines per `interval` in all: many clients at once cannot fill the log
    either. A line left out is counted; the next line written about the same kind and client
    says how many of its kind were left out, and the next line written at all how many were
    left out for the budget."""

    MAX_KEYS = 4096  # the oldest are forgotten beyond this: a flood of clients costs no memory
    BUDGET = 5

    def __init__(self, log, interval=1.0, clock=time.monotonic, budget=BUDGET):
        self.log = log
        self.interval = interval
        self.clock = clock
        self.budget = budget
        self.last = {}  # (kind, client) -> [time written, lines left out since]
        self._allowance = float(budget)  # lines that may be written now (a token bucket)
        self._refilled_at = clock()
        self.over_budget = 0  # lines left out for the budget since the last line written

    def warning(self, kind, client, message, *args):
        now = self.clock()
        key = (kind, client)
        entry = self.last.get(key)
        if entry is not None and now - entry[0] < self.interval:
            entry[1] += 1
            return
        if not self._spend(now):
            self.over_budget += 1
            return
        left_out = entry[1] if entry else 0
        if entry is None and len(self.last) >= self.MAX_KEYS:
            del self.last[next(iter(self.last))]
        self.last.pop(key, None)
        self.last[key] = [now, 0]
        notes = []
        if left_out:
            notes.append("and %d more like it" % left_out)
        if self.over_budget:
            notes.append("%d lines of all kinds left out" % self.over_budget)
            self.over_budget = 0
        self.log.warning(message + (" (%s)" % "; ".join(notes) if notes else ""), *args)

    def _spend(self, now):
        self._allowance = min(float(self.budget), self._allowance + (now - self._refilled_at)
                              * self.budget / self.interval)
        self._refilled_at = now
        if self._allowance < 1:
            return False
        self._allowance -= 1
        return True
