"""Whether an agent is cut off itself. When a probe gets no HTTP answer, the agent asks its
check targets (sites of other operators, named with --check-url) for any HTTP answer at all;
when none answers either, the failure says nothing about the probed site: the agent answers
"inconclusive" instead of a measurement that would count against the site.

A verdict holds for CACHE_SECONDS, so a burst of failing probes costs one check, which fetches
every target at once, only their heads, within the failing probe's own budget. The targets are
the operator's own, so they are fetched whatever their address."""

import concurrent.futures
import math
import threading
import time

from boce_dispatch import probe

CACHE_SECONDS = 5.0
CHECK_SECONDS = 5.0  # the longest a check waits for its targets


class Connectivity:
    def __init__(self, targets, proxy=None, fetch=probe.measure, clock=time.monotonic):
        self.targets = tuple(targets)
        self.proxy = proxy
        self._fetch = fetch
        self._clock = clock
        self._lock = threading.Lock()  # one check at a time; the others take its verdict
        self._checked_at = -math.inf
        self._verdict = None

    def cut_off(self, seconds):
        """Why no check target answers, or None: a target answered, there are none, or the
        `seconds` left were too few to ask (the failure then stands as the site's)."""
        if not self.targets or seconds <= 0:
            return None
        give_up = self._clock() + seconds
        if not self._lock.acquire(timeout=seconds):
            return None
        try:
            now = self._clock()
            if now - self._checked_at <= CACHE_SECONDS:
                return self._verdict
            budget = min(CHECK_SECONDS, give_up - now)
            if budget <= 0:
                return None
            verdict = self._check(budget)
            # A shortened check that found nothing may only have been too short: not kept.
            if verdict is None or budget >= CHECK_SECONDS:
                self._checked_at, self._verdict = self._clock(), verdict
            return verdict
        finally:
            self._lock.release()

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
