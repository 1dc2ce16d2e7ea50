"""An agent that is cut off itself never raises an alarm: it checks its own connectivity when a
probe gets no HTTP answer, says "inconclusive" when it reaches none of its check targets either,
and the center turns that into the node's silent record, logs it, counts it and shows it."""

import json
import subprocess

import pytest

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

from boce_dispatch import connectivity, records  # noqa: E402
from boce_dispatch.connectivity import Connectivity  # noqa: E402
from tests.common import REPO, SERVICE_ENV, SERVICE_PYTHON  # noqa: E402


class Targets:
    """Check targets that answer (code 200) or not, fetched on a clock the test moves."""

    def __init__(self, answering):
        self.answering = set(answering)
        self.fetched = []
        self.now = 0.0

    def fetch(self, url, allow_private, timeout, proxy, head_only):
        self.fetched.append((url, timeout, head_only))
        if url in self.answering:
            return {"http_code": 200}
        return {"http_code": 0, "reason": "resolve: no such name"}


A, B = "http://a.example/", "http://b.example/"


@pytest.mark.parametrize("targets, answering, seconds, verdict, fetched", [
    ((), (), 5, None, 0),                # no targets: a failure is always the site's
    ((A, B), (B,), 5, None, 2),          # one answers: the agent is connected
    ((A, B), (A, B), 0, None, 0),        # no time left to ask
    ((A, B), (), connectivity.CHECK_SECONDS - 0.1, None, 0),  # no time for a whole check
    ((A, B), (), 5, "no check target answers (http://a.example/: resolve: no such name; "
                    "http://b.example/: resolve: no such name)", 2),
])
def test_the_verdict_needs_every_check_target_silent_for_a_whole_check(targets, answering,
                                                                        seconds, verdict,
                                                                        fetched):
    world = Targets(answering)
    check = Connectivity(targets, fetch=world.fetch, clock=lambda: world.now)
    assert check.cut_off(seconds) == verdict
    assert len(world.fetched) == fetched
    assert all(head_only and timeout == connectivity.CHECK_SECONDS
               for _, timeout, head_only in world.fetched)


def test_a_verdict_is_kept_for_a_while():
    world = Targets(())
    check = Connectivity((A, B), fetch=world.fetch, clock=lambda: world.now)
    assert check.cut_off(10) is not None and len(world.fetched) == 2
    assert check.cut_off(1) is not None  # too short for a check, but a verdict is kept
    world.answering = {A}
    world.now += connectivity.CACHE_SECONDS
    assert check.cut_off(10) is not None  # the burst of failures costs one check
    assert len(world.fetched) == 2
    world.now += 0.01
    assert check.cut_off(10) is None  # the link is back
    assert check.cut_off(10) is None and len(world.fetched) == 4


@pytest.mark.parametrize("targets, seconds, reserved", [
    ((A,), 2 * connectivity.CHECK_SECONDS, connectivity.CHECK_SECONDS),
    ((A,), 2 * connectivity.CHECK_SECONDS - 0.01, 0),  # the probe would keep too little
    ((), 60, 0),                                         # nothing to check
])
def test_a_probe_leaves_a_whole_check_its_time_when_its_budget_holds_both(targets, seconds,
                                                                           reserved):
    assert Connectivity(targets).reserve(seconds) == reserved


@pytest.mark.parametrize("answer, reason", [
    ({"inconclusive": "resolve: x; no check target answers"}, "resolve: x; no check target answers"),
    ({"inconclusive": ["not", "text"]}, "['not', 'text']"),
    ({"inconclusive": "x" * 1000}, "x" * records.MAX_REASON_LENGTH),
    ({"http_code": 0, "reason": "resolve: x"}, None),
    (["inconclusive"], None),
])
def test_the_center_reads_an_inconclusive_answer_as_text(answer, reason):
    assert records.cut_off_reason(answer) == reason


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    out = tmp_path_factory.mktemp("cut-off") / "seen.json"
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "--fork",
         SERVICE_PYTHON, "-m", "tests.dispatch.cut_off_lab", str(out)],
        cwd=REPO, env=SERVICE_ENV, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    return json.loads(out.read_text(encoding="utf-8"))


@pytest.mark.parametrize("case, anomalous", [
    ("working", set()),                          # no red row
    ("failing", {"北京电信", "上海联通"}),         # exactly the other nodes' anomalies
    ("unresolvable", {"北京电信", "上海联通"}),    # their check targets answer: the site's failure
])
def test_a_cut_off_agent_is_silent_and_the_others_count(lab, case, anomalous):
    status, answer = lab[case]
    assert status == 200
    assert {r["node"] for r in answer if records.is_anomalous(r)} == anomalous
    silent = [r for r in answer if r["node"] == "深圳电信"]
    assert silent == [records.not_responding("深圳电信")]


def test_the_center_logs_counts_and_shows_the_cut_off_node(lab):
    status, ready = lab["readyz"]
    assert status == 200 and ready["ready"] is True and list(ready["cut_off"]) == ["sz"]
    assert "no check target answers" in ready["cut_off"]["sz"]
    assert lab["metrics"] == ['boce_node_inconclusive_total{node="sz"} 3.0']
    assert lab["log"][0].startswith("WARNING cut off node=sz reason='resolve: ")
    # The panel's line names the node and why it is silent.
    assert any("深圳电信:not-responding(" in line or "sz:not-responding(" in line
               for line in lab["log"])
