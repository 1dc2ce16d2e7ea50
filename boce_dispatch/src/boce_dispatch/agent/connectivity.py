"""Whether an agent is cut off itself. When a probe gets no HTTP answer, the agent asks its
check targets (sites of other operators, named with --check-url) for any HTTP answer at all;
when none answers either, the failure says nothing about the probed site: the agent answers
"inconclusive" instead of a measurement that would count against the site.

Only a check whose targets had CHECK_SECONDS to answer is a verdict: a check that the probe's
budget would cut short could take a slow link for a dead one and hide the site's outage. So the
probe stops CHECK_SECONDS earlier than its budget would let it (`reserve`), when the budget holds
both; when it does not, a failure is the site's without a check.

A verdict holds for CACHE_SECONDS, so a burst of failing probes costs one check, which fetches
every target at once, only their heads, on the agent's own curl loop beside its probes (no
thread): probes that fail at the same moment share the check under way. A probe that gets an
answer shows the agent is not cut off. The agent's beats tell the center the verdict in force.
The targets are the operator's own, so they are fetched whatever their address."""

import asyncio
import math

from boce_dispatch.agent import http_probe

CACHE_SECONDS = 5.0
CHECK_SECONDS = 2.0  # the time every check gives its targets


class Connectivity:
    def __init__(self, targets, curl_loop, proxy=None, clock=None):
        self.targets = tuple(targets)
        self.curl_loop = curl_loop
        self.options = http_probe.ProbeOptions(allow_private=True, proxy=proxy, head_only=True)
        self._clock = clock
        self._checked_at = -math.inf
        self._verdict = None  # why no target answered, at the last check; None: one did
        self._checking = None  # the check under way, which a probe that fails meanwhile awaits

    def now(self):
        return (self._clock or asyncio.get_running_loop().time)()

    def reserve(self, seconds):
        """The part of a probe's `seconds` kept for a check after it: CHECK_SECONDS when there
        are targets and the probe keeps at least as much for itself, else 0."""
        return CHECK_SECONDS if self.targets and seconds >= 2 * CHECK_SECONDS else 0

    def can_check(self, seconds):
        """Whether `seconds` are enough for a verdict: a whole check, or one kept."""
        return bool(self.targets) and seconds > 0 and (seconds >= CHECK_SECONDS or
                                                       self._kept() is not None)

    @property
    def verdict(self):
        """Why the agent is cut off, by the verdict in force; None when it is not (or no check
        has said so)."""
        return self._verdict

    def answered(self):
        """A probe got an HTTP answer: whatever a check said before, the agent reaches sites."""
        self._verdict = None
        self._checked_at = -math.inf

    async def cut_off(self, deadline):
        """Why no check target answers, or None: a target answered, there are none, or the time
        left before `deadline` is too short for a whole check (the failure then stands as the
        site's)."""
        if not self.targets:
            return None
        kept = self._kept()
        if kept is not None:
            return kept[0]
        if self._checking is None:
            if deadline - self.now() < CHECK_SECONDS:
                return None
            self._checking = asyncio.ensure_future(self._check())
        checking = self._checking
        try:
            return await asyncio.wait_for(asyncio.shield(checking), max(deadline - self.now(), 0))
        except asyncio.TimeoutError:
            return None

    def _kept(self):
        """(the last verdict,) while it holds; None once it is older than CACHE_SECONDS."""
        if self.now() - self._checked_at <= CACHE_SECONDS:
            return (self._verdict,)
        return None

    async def _check(self):
        try:
            deadline = asyncio.get_running_loop().time() + CHECK_SECONDS
            records = await asyncio.gather(*[
                http_probe.probe(self.curl_loop, target, deadline, self.options)
                for target in self.targets])
            if any(record["http_code"] for record in records):
                self._verdict = None
            else:
                self._verdict = "no check target answers (%s)" % "; ".join(
                    "%s: %s" % (target, record.get("reason", "no HTTP answer"))
                    for target, record in zip(self.targets, records, strict=True))
            self._checked_at = self.now()
            return self._verdict
        finally:
            self._checking = None
