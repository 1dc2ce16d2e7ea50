"""Whether an agent is cut off itself. When a probe gets no HTTP answer, the agent asks its
check targets (sites of other operators, named with --check-url) for any HTTP answer at all;
when none answers either, the failure says nothing about the probed site: the agent answers
"inconclusive" instead of a measurement that would count against the site.

Only a check whose targets had CHECK_SECONDS to answer is a verdict: a check that the probe's
budget would cut short could take a slow link for a dead one and hide the site's outage. So the
probe stops CHECK_SECONDS earlier than its budget would let it (`reserve`), when the budget holds
both; when it does not, a failure is the site's without a check.

A verdict holds for CACHE_SECONDS, so a burst of failing probes costs one check, which fetches
every target at once, only their heads. The targets are the operator's own, so they are fetched
whatever their address."""

import concurrent.futures
import math
import threading
import time

from boce_dispatch.agent import http_probe

CACHE_SECONDS = 5.0
CHECK_SECONDS = 2.0  # the time every check gives its targets


class Connectivity:
    def __init__(self, targets, proxy=None, fetch=http_probe.measure, clock=time.monotonic):
        self.targets = tuple(targets)
        self.proxy = proxy
        self._fetch = fetch
        self._clock = clock
        self._lock = threading.Lock()  # one check at a time; the others take its verdict
        self._checked_at = -math.inf
        self._verdict = None

    def reserve(self, seconds):
        """The part of a probe's `seconds` kept for a check after it: CHECK_SECONDS when there
        are targets and the probe keeps at least as much for itself, else 0."""
        return CHECK_SECONDS if self.targets and seconds >= 2 * CHECK_SECONDS else 0

    def can_check(self, seconds):
        """Whether `seconds` are enough for a verdict: a whole check, or one kept."""
        return bool(self.targets) and seconds > 0 and (seconds >= CHECK_SECONDS or
                                                       self._kept() is not None)

    def cut_off(self, seconds):
        """Why no check target answers, or None: a target answered, there are none, or the
        `seconds` left are too few for a whole check (the failure then stands as the site's)."""
        if not self.targets:
            return None
        give_up = self._clock() + seconds
        if not self._lock.acquire(timeout=max(seconds, 0)):
            return None
        try:
            kept = self._kept()
            if kept is not None:
                return kept[0]
            if give_up - self._clock() < CHECK_SECONDS:
                return None
            self._verdict = self._check(CHECK_SECONDS)
            self._checked_at = self._clock()
            return self._verdict
        finally:
            self._lock.release()

    def _kept(self):
        """(the last verdict,) while it holds; None once it is older than CACHE_SECONDS."""
        if self._clock() - self._checked_at <= CACHE_SECONDS:
            return (self._verdict,)
        return None

    def _check(self, seconds):
        with concurrent.futures.ThreadPoolExecutor(len(self.targets), "check") as pool:
            records = list(pool.map(
                lambda target: self._fetch(target, allow_private=True, timeout=seconds,
                                           proxy=self.proxy, head_only=True), self.targets))
        if any(record["http_code"] for record in records):
            return None
        return "no check target answers (%s)" % "; ".join(
            "%s: %s" % (target, record.get("reason", "no HTTP answer"))
            for target, record in zip(self.targets, records, strict=True))
