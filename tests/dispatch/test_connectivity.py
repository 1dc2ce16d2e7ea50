"""Whether an agent is cut off itself: a verdict needs every check target silent for a whole check,
is kept for a while, and never hides a site that is down everywhere."""

import asyncio

import pytest

from boce_dispatch import records
from boce_dispatch.agent import connectivity
from boce_dispatch.agent.connectivity import Connectivity
from tests.common import SERVICE_ENV, SERVICE_PYTHON, ask_center
from tools.lab.network import Network
from tools.lab.ports import free_port


class Targets:
    """Check targets that answer (code 200) or not, fetched by the agent's probe function on a
    clock the test moves."""

    def __init__(self, answering):
        self.answering = set(answering)
        self.fetched = []
        self.now = 0.0

    async def probe(self, curl_loop, url, deadline, options):
        self.fetched.append((url, options.head_only))
        if url in self.answering:
            return {"http_code": 200}
        return {"http_code": 0, "reason": "dns: no such name"}

    def connectivity(self, targets, monkeypatch):
        monkeypatch.setattr(connectivity.http_probe, "probe", self.probe)
        return Connectivity(targets, curl_loop=None, clock=lambda: self.now)


A, B = "http://a.example/", "http://b.example/"


def checked(check, world, seconds):
    """The verdict of a check with `seconds` left, on the world's clock."""
    return asyncio.run(check.cut_off(world.now + seconds))


@pytest.mark.parametrize("targets, answering, seconds, verdict, fetched", [
    ((), (), 5, None, 0),                # no targets: a failure is always the site's
    ((A, B), (B,), 5, None, 2),          # one answers: the agent is connected
    ((A, B), (A, B), 0, None, 0),        # no time left to ask
    ((A, B), (), connectivity.CHECK_SECONDS - 0.1, None, 0),  # no time for a whole check
    ((A, B), (), 5, "no check target answers (http://a.example/: dns: no such name; "
                    "http://b.example/: dns: no such name)", 2),
])
def test_the_verdict_needs_every_check_target_silent_for_a_whole_check(
        monkeypatch, targets, answering, seconds, verdict, fetched):
    world = Targets(answering)
    check = world.connectivity(targets, monkeypatch)
    assert checked(check, world, seconds) == verdict == check.verdict
    assert len(world.fetched) == fetched
    assert all(head_only for _, head_only in world.fetched)


def test_a_verdict_is_kept_for_a_while_and_an_answer_ends_it(monkeypatch):
    world = Targets(())
    check = world.connectivity((A, B), monkeypatch)
    assert checked(check, world, 10) is not None and len(world.fetched) == 2
    assert checked(check, world, 1) is not None  # too short for a check, but a verdict is kept
    world.answering = {A}
    world.now += connectivity.CACHE_SECONDS
    assert checked(check, world, 10) is not None  # the burst of failures costs one check
    assert len(world.fetched) == 2
    world.now += 0.01
    assert checked(check, world, 10) is None  # the link is back
    assert checked(check, world, 10) is None and len(world.fetched) == 4
    world.answering = set()
    world.now += 10
    assert checked(check, world, 10) is not None and check.verdict is not None
    check.answered()  # a probe got its answer: the agent reaches sites again
    assert check.verdict is None


def test_probes_that_fail_at_once_share_one_check(monkeypatch):
    world = Targets(())
    check = world.connectivity((A, B), monkeypatch)

    async def at_once():
        return await asyncio.gather(*(check.cut_off(world.now + 10) for _ in range(5)))
    assert len(set(asyncio.run(at_once()))) == 1 and len(world.fetched) == 2


@pytest.mark.parametrize("targets, seconds, reserved", [
    ((A,), 2 * connectivity.CHECK_SECONDS, connectivity.CHECK_SECONDS),
    ((A,), 2 * connectivity.CHECK_SECONDS - 0.01, 0),  # the probe would keep too little
    ((), 60, 0),                                         # nothing to check
])
def test_a_probe_leaves_a_whole_check_its_time_when_its_budget_holds_both(targets, seconds,
                                                                           reserved):
    assert Connectivity(targets, curl_loop=None).reserve(seconds) == reserved


@pytest.fixture(scope="module")
def checked_network(website):
    """Three honest agents whose check targets answer in 0.5 s, and a 5 s deadline."""
    checks = [website + "/fast?delay=0.5", website + "/?delay=0.5"]
    with Network([("北京电信", "bj"), ("上海联通", "sh"), ("广州移动", "gz")],
                 port=free_port(), allowed_servers=["s1"], deadline_seconds=5, allow_private=True,
                 env=SERVICE_ENV, python=SERVICE_PYTHON, check_urls=checks) as running:
        yield running


@pytest.mark.parametrize("fails_at", [None, 3.0, 4.35, 4.55])
def test_a_site_down_everywhere_is_down_however_late_it_fails(checked_network, website,
                                                              fails_at):
    """The site closes every connection without an answer at `fails_at` seconds (None: at
    once). The agents' check targets answer, so the failure is the site's, whatever time the
    probe's budget still leaves: no agent says it is cut off, and all three are anomalies."""
    delay = "" if fails_at is None else "?delay=%s" % fails_at
    status, answer = ask_center(checked_network.url, "s1", website + "/drop" + delay)
    assert status == 200
    assert [(r["isp"], r["http_code"]) for r in answer] == [
        ("北京电信", 0), ("上海联通", 0), ("广州移动", 0)]
    assert sum(records.is_anomalous(r) for r in answer) == 3  # the plug-in alerts
    assert "cut off" not in checked_network.log_tail("center", None)
