"""Faults of the network itself: signals with work in flight, a NATS server that goes away or was
never there, clocks that disagree, more probes than an agent takes. Every process ends cleanly
in one line, a lost NATS is said at once, and no probe is fetched or checked after its time."""

import asyncio
import json
import os
import shutil
import signal
import subprocess
import threading
import time
import urllib.error
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

from boce_dispatch import agent, center, config, natsconf  # noqa: E402
from boce_dispatch.network import Network, free_port  # noqa: E402
from tests.common import (  # noqa: E402
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    held_by_site,
    wait_until,
)
from tests.dispatch.clients import ask_timed, status_field  # noqa: E402

DEADLINE = 2.0


def readyz(net):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/readyz" % net.metrics_port,
                                    timeout=5) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


# ---- signals ---------------------------------------------------------------------------------

def test_sigterm_answers_the_panels_in_flight_and_takes_no_new_one(website):
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline=5, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        answers = []
        panel = threading.Thread(target=lambda: answers.append(
            ask_center(net.url, "s1", website + "/fast?delay=1.5&tag=sigterm")))
        panel.start()
        wait_until(lambda: held_by_site(website, "sigterm") == 1, "the probe under way")
        net.processes["center"].send_signal(signal.SIGTERM)
        wait_until(lambda: not accepts(net.port), "the center to take no new panel", 2)
        panel.join(10)
        assert net.processes["center"].wait(10) == 0
    status, records = answers[0]
    assert status == 200 and records[0]["http_code"] == 200


def test_ctrl_c_on_make_network_drains_every_process_within_the_deadline():
    port = free_port()
    command = [SERVICE_PYTHON, "-m", "boce_dispatch.network", "--port", str(port), "--agents", "2"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=SERVICE_ENV,
                          start_new_session=True) as network:
        lines = [network.stdout.readline() for _ in range(5)]
        workdir = lines[1].rsplit(" ", 1)[1].strip()
        with open("/proc/%d/task/%d/children" % (network.pid, network.pid)) as f:
            children = f.read().split()
        masks = [int(status_field(pid, "SigBlk"), 16) for pid in children]
        # Without --allow-private the agents refuse loopback.
        status, records = ask_center("http://127.0.0.1:%d" % port, lines[2].split()[1],
                                     "http://127.0.0.1:%d/livez" % port)
        started = time.monotonic()
        network.send_signal(signal.SIGINT)
        assert network.wait(15) == 0
        stopped_in = time.monotonic() - started
    # nats, the center and two agents, none with SIGINT or SIGTERM blocked
    assert len(children) == 4 and all(mask & (1 << signal.SIGINT - 1 | 1 << signal.SIGTERM - 1)
                                      == 0 for mask in masks)
    assert status == 200 and {(r["http_code"], r["primary_ip"]) for r in records} == {(0, "")}
    assert stopped_in < 10
    assert not os.path.exists(workdir)


def test_sigterm_while_nats_is_down_is_one_line_and_exit_0():
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline=2,
                 env=SERVICE_ENV, python=SERVICE_PYTHON, metrics_port=free_port()) as net:
        metrics = "http://127.0.0.1:%d" % net.metrics_port
        assert readyz(net) == 200
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen(net.url + "/metrics", timeout=5)  # not on the panels' port
        net.stop_process("nats")
        assert readyz(net) == 503
        assert urllib.request.urlopen(metrics + "/livez", timeout=5).status == 200
        assert net.stop_process("center") == 0
        log = net.log_tail("center", 200)
    assert "Traceback" not in log and log.count("stopped without a clean NATS goodbye") == 1


@pytest.mark.parametrize("nats_first", [True, False], ids=["nats-gone-first", "all-at-once"])
def test_sigterm_with_work_in_flight_ends_every_process_in_one_line(website, nats_first):
    """A panel and its probe under way: NATS goes away and center and agent get SIGTERM (or all
    three at once). Each answers what it can, says so in at most one line and exits 0."""
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline=5,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        panel = threading.Thread(target=ask_center, args=(
            net.url, "s1", website + "/fast?delay=2&tag=in-flight-%s" % nats_first))
        panel.start()
        wait_until(lambda: held_by_site(website, "in-flight-%s" % nats_first) == 1,
                   "the probe under way")
        if nats_first:
            net.stop_process("nats")
        codes = net.stop_together([name for name in net.processes])
        logs = {name: net.log_tail(name, None) for name in ("center", "agent-bj")}
        panel.join(10)
    assert {name: code for name, code in codes.items() if name != "nats"} == {
        "center": 0, "agent-bj": 0}
    for log in logs.values():
        assert "Traceback" not in log and log.count("NATS goodbye") <= 1
        assert log.count("NATS goodbye") == 1 or not nats_first


def test_ctrl_c_before_nats_ever_answers_ends_the_agent_in_one_line(tmp_path):
    natsconf.write_private(str(tmp_path / "agent.password"), "p" * 32)
    with subprocess.Popen(
            [SERVICE_PYTHON, "-m", "boce_dispatch", "agent", "--node", "bj", "--nats",
             "nats://127.0.0.1:%d" % free_port(), "--user", "agent-bj", "--password-file",
             str(tmp_path / "agent.password")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=SERVICE_ENV) as agent_process:
        first = agent_process.stderr.readline()  # it has tried a NATS server and goes on
        agent_process.send_signal(signal.SIGINT)
        rest = agent_process.stderr.read()
    assert "nats error" in first and agent_process.returncode == 0
    assert rest.splitlines() == [rest.splitlines()[0]] and "NATS was never reached" in rest


# ---- a NATS link that is lost ---------------------------------------------------------------

def test_a_lost_nats_link_is_said_at_once_and_probes_resume_when_it_is_back(website):
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline=5,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 metrics_port=free_port()) as net:
        net.stop_process("nats")
        wait_until(lambda: readyz(net) == 503, "the center to miss NATS")
        status, answer, waited = ask_timed(net.url, "s1", website + "/fast")
        net.start_nats()
        wait_until(lambda: readyz(net) == 200, "the center and the agent back on NATS")
        assert ask_center(net.url, "s1", website + "/fast")[0] == 200
    assert (status, answer) == (503, {"status": False, "msg": "the probe network is not connected"})
    assert waited < 1


class Message:
    def __init__(self, request, reply):
        self.data, self.reply = json.dumps(request).encode(), reply


class Connection:
    def __init__(self, connected=True):
        self.published = []
        self.is_connected = connected

    async def publish(self, subject, payload, reply=None):
        self.published.append((subject, json.loads(payload)))

    def new_inbox(self):
        return "_INBOX.test"


def test_a_probe_whose_budget_an_outage_spent_is_never_fetched_or_checked(monkeypatch):
    """The center buffered an asking across a NATS outage: it arrives with the budget it had
    when sent, followed by the askings that say the budget is spent. The agent neither answers
    nor checks its connectivity for it, and fetches nothing for a spent budget."""
    fetched, checked, fetching = [], [], asyncio.Event()

    async def fetch(curl_loop, url, allow_private, seconds, proxy):
        fetched.append(url)
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 0, "reason": "connect: connection refused", "total_time": 1}

    monkeypatch.setattr(agent.probe, "measure_on", fetch)

    async def scenario():
        connection = Connection()
        worker = agent.Agent(connection, "bj", check_urls=["http://check.example/"])
        monkeypatch.setattr(worker.connectivity, "cut_off", checked.append)
        await worker.on_request(Message({"id": "r", "url": "http://x/", "budget": 10}, "a"))
        while not fetched:  # its fetch is under way when the later askings arrive
            await asyncio.sleep(0)
        await worker.on_request(Message({"id": "r", "url": "http://x/", "budget": 0}, "b"))
        await worker.on_request(Message({"id": "s", "url": "http://y/", "budget": 0}, "c"))
        fetching.set()
        await asyncio.wait(set(worker.tasks), timeout=5)
        await worker.stop()
        return connection.published

    assert asyncio.run(scenario()) == []
    assert fetched == ["http://x/"] and checked == []


def test_the_center_publishes_nothing_while_its_nats_link_is_down():
    settings = config.CenterConfig(nodes=(config.Node("北京电信", "bj"),),
                                   allowed_servers=frozenset(), deadline_seconds=0.2,
                                   nats=config.NatsSettings(("nats://x:1",), "center", "p"))
    connection = Connection(connected=False)
    gatherer = center.Gatherer(connection, settings, center.Metrics())
    answer, _ = asyncio.run(gatherer.probe_all("http://x/"))
    assert connection.published == [] and answer[0]["isp"] == "节点未响应"


# ---- clocks that disagree -------------------------------------------------------------------

@pytest.mark.skipif(shutil.which("faketime") is None, reason="Debian's faketime is missing")
def test_agents_an_hour_ahead_or_behind_answer_normally(website):
    nodes = [("北京电信", "ahead"), ("上海联通", "behind")]
    with Network(nodes, port=free_port(), allowed_servers=["s1"], deadline=DEADLINE,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 agent_prefix={"ahead": ["faketime", "-f", "+1h"],
                               "behind": ["faketime", "-f", "-1h"]}) as net:
        status, records = ask_center(net.url, "s1", website + "/fast")
        assert "budget-spent" not in net.log_tail("agent-ahead") + net.log_tail("agent-behind")
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]


# ---- more probes than an agent takes ----------------------------------------------------------

def test_an_agent_caps_its_queue_and_never_answers_after_the_deadline(monkeypatch):
    fetching = asyncio.Event()

    async def fetch(*args):
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 200, "total_time": 1}

    monkeypatch.setattr(agent.probe, "measure_on", fetch)

    async def scenario():
        connection = Connection()
        worker = agent.Agent(connection, "bj", max_probes=1)
        now = time.time()
        for n in range(agent.QUEUE_FACTOR + 2):
            await worker.on_request(Message({"id": "r%d" % n, "url": "http://x/",
                                             "deadline": now + 5}, "reply-%d" % n))
        await worker.on_request(Message({"id": "late", "url": "http://x/",
                                         "deadline": now - 1}, "reply-late"))
        fetching.set()
        await asyncio.wait(set(worker.tasks), timeout=5)
        await worker.stop()
        return connection.published

    published = dict(asyncio.run(scenario()))
    assert published.pop("reply-4") == published.pop("reply-5") == {"error": "busy"}
    assert sorted(published) == ["reply-0", "reply-1", "reply-2", "reply-3"]  # no late answer


@given(st.lists(st.one_of(
    st.tuples(st.just("request"), st.sampled_from("abcd"), st.integers(0, 20)),
    st.tuples(st.just("time passes"), st.integers(0, 8)))))
def test_an_agent_knows_each_request_id_until_its_deadline_only(steps):
    pending, known, now = agent.PendingRequests(), {}, 0
    for step in steps:
        if step[0] == "request":  # as the agent does: an id it knows is not added again
            _, request_id, budget = step
            pending.forget_before(now)
            known = {i: d for i, d in known.items() if d > now}
            if pending.get(request_id) is None:
                pending.add(request_id, now + budget)
                known[request_id] = now + budget
        else:
            now += step[1]
        pending.forget_before(now)
        known = {i: d for i, d in known.items() if d > now}
        assert {i: e.deadline for i, e in pending.by_id.items()} == known
        assert all(deadline > now for deadline, _ in pending.expiries)
