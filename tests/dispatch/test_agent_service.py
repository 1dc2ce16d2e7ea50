"""The agent's service: budgets spent before or during an outage, clocks that disagree, its queue's cap,
Ctrl-C before NATS ever answers, and a cut-off agent that stays silent."""

import asyncio
import json
import logging
import shutil
import signal
import subprocess
import urllib.error
import urllib.request

import pytest
from prometheus_client import generate_latest

import boce_dispatch
from boce_dispatch import contract, natsconf, records
from boce_dispatch.agent import probe_ca
from boce_dispatch.agent import service as agent_service
from boce_dispatch.agent.metrics import AgentMetrics
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
)
from tests.dispatch.helpers import Connection, Message
from tools.lab.network import Network
from tools.lab.ports import free_port

DEADLINE_SECONDS = 2.0


@pytest.mark.processes
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


def test_a_probe_whose_budget_an_outage_spent_is_never_fetched_or_checked(monkeypatch):
    """The center buffered an asking across a NATS outage: it arrives with the budget it had
    when sent, followed by the askings that say the budget is spent. The agent neither answers
    nor checks its connectivity for it, and fetches nothing for a spent budget."""
    fetched, checked, fetching = [], [], asyncio.Event()

    async def fetch(curl_loop, url, deadline, options):
        fetched.append(url)
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 0, "reason": "connect: connection refused", "total_time": 1}

    monkeypatch.setattr(agent_service.http_probe, "probe", fetch)

    async def scenario():
        connection = Connection()
        worker = agent_service.Agent(connection, "bj", check_urls=["http://check.example/"])
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


@pytest.mark.processes
@pytest.mark.skipif(shutil.which("faketime") is None, reason="Debian's faketime is missing")
def test_agents_an_hour_ahead_or_behind_answer_normally(website):
    nodes = [("北京电信", "ahead"), ("上海联通", "behind")]
    with Network(nodes, port=free_port(), allowed_servers=["s1"], deadline_seconds=DEADLINE_SECONDS,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 agent_prefix={"ahead": ["faketime", "-f", "+1h"],
                               "behind": ["faketime", "-f", "-1h"]}) as net:
        status, records = ask_center(net.url, "s1", website + "/fast")
        assert "budget-spent" not in net.log_tail("agent-ahead") + net.log_tail("agent-behind")
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]


def test_an_agent_caps_its_queue_and_never_answers_after_the_deadline(monkeypatch):
    fetching = asyncio.Event()

    async def fetch(*args):
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 200, "total_time": 1}

    monkeypatch.setattr(agent_service.http_probe, "probe", fetch)

    async def scenario():
        connection = Connection()
        worker = agent_service.Agent(connection, "bj", max_probes=1)
        for n in range(agent_service.QUEUE_FACTOR + 2):
            await worker.on_request(Message({"id": "r%d" % n, "url": "http://x/", "budget": 5},
                                            "reply-%d" % n))
        await worker.on_request(Message({"id": "late", "url": "http://x/", "budget": -1},
                                        "reply-late"))
        await worker.on_request(Message({"id": "bad", "url": "gopher://x/", "budget": 5},
                                        "reply-bad"))
        fetching.set()
        await asyncio.wait(set(worker.tasks), timeout=5)
        await worker.stop()
        return connection.published, worker.metrics

    published, counted = asyncio.run(scenario())
    published = dict(published)
    assert published.pop("reply-4") == published.pop("reply-5") == {"error": "busy"}
    assert "error" in published.pop("reply-bad")
    assert sorted(published) == ["reply-0", "reply-1", "reply-2", "reply-3"]  # no late answer
    # Every request is counted once, by how it ended; the fetches are timed.
    text = generate_latest(counted.registry).decode()
    for outcome, count in {"answered": 4, "busy": 2, "dropped": 1, "refused": 1, "no_answer": 0,
                           "cut_off": 0}.items():
        assert 'boce_agent_probes_total{outcome="%s"} %.1f' % (outcome, count) in text
    assert "boce_agent_probe_seconds_count 4.0" in text and "_created" not in text


@pytest.mark.processes
@pytest.mark.skipif(shutil.which("promtool") is None, reason="Debian's prometheus is missing")
def test_an_agent_answers_its_metrics_and_health_and_nothing_else():
    """/metrics as Prometheus reads it, /livez, /readyz with why it takes no probe; any other
    path is not found (a metrics server that answered every path made /livez always 200)."""
    async def scenario():
        port, why = free_port(), ["NATS is not connected"]
        runner = await AgentMetrics("bj").serve("127.0.0.1", port, lambda: why[0])

        def get(path):
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path),
                                            timeout=5) as answer:
                    return answer.status, answer.read().decode()
            except urllib.error.HTTPError as error:
                return error.code, error.read().decode()
        try:
            seen = {path: await asyncio.to_thread(get, path)
                    for path in ("/metrics", "/livez", "/readyz", "/", "/livez/x")}
            why[0] = None
            seen["/readyz again"] = await asyncio.to_thread(get, "/readyz")
        finally:
            await runner.cleanup()
        return seen

    seen = asyncio.run(scenario())
    status, text = seen.pop("/metrics")
    checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                             text=True, timeout=30)
    assert status == 200 and checked.returncode == 0, checked.stdout + checked.stderr
    assert "boce_agent_nats_connected 0.0" in text and "process_cpu_seconds_total" in text
    assert 'boce_agent_build_info{node="bj",version="%s"} 1.0' % boce_dispatch.__version__ in text
    assert {path: (status, json.loads(body) if status != 404 else None)
            for path, (status, body) in seen.items()} == {
        "/livez": (200, {"live": True}),
        "/readyz": (503, {"ready": False, "reason": "NATS is not connected"}),
        "/": (404, None), "/livez/x": (404, None), "/readyz again": (200, {"ready": True})}


@pytest.mark.parametrize("case, anomalous", [
    ("working", set()),                          # no red row
    ("failing", {"北京电信", "上海联通"}),         # exactly the other nodes' anomalies
    ("unresolvable", {"北京电信", "上海联通"}),    # their check targets answer: the site's failure
])
def test_a_cut_off_agent_is_silent_and_the_others_count(cut_off_lab, case, anomalous):
    status, answer = cut_off_lab[case]
    assert status == 200
    assert {r["node"] for r in answer if records.is_anomalous(r)} == anomalous
    silent = [r for r in answer if r["node"] == "深圳电信"]
    assert silent == [records.not_responding("深圳电信")]


def test_a_probe_still_fetching_after_the_grace_is_receipted_and_the_agent_beats(monkeypatch):
    """With a receipt asked for, the agent says on its node's status subject that it took a
    probe it is still fetching RECEIPT_GRACE_SECONDS later (at once when the probe is asked
    again); a quicker answer is the receipt, and without asking it says nothing. Its beats tell
    the center it is there, and whether it is cut off, from its start."""
    monkeypatch.setattr(contract, "RECEIPT_GRACE_SECONDS", 0.05)
    order = []

    async def fetch(curl_loop, url, deadline, options):
        order.append(("fetch", url))
        await asyncio.sleep(0.3 if "slow" in url else 0)
        order.append(("fetched", url))
        return {"http_code": 200, "reason": "", "total_time": 1}

    async def prepare_tls(curl_loop, ca_file, refresh=False):
        return True

    monkeypatch.setattr(agent_service.http_probe, "probe", fetch)
    monkeypatch.setattr(agent_service.http_probe, "prepare_tls", prepare_tls)

    def asking(request_id, url, reply, receipt=True):
        return Message(dict({"id": request_id, "url": url, "budget": 5},
                            **({"receipt": True} if receipt else {})), reply)

    async def scenario():
        connection = Connection()
        connection.publish_hook = lambda subject, payload: order.append((subject, payload))
        worker = agent_service.Agent(connection, "bj")
        await worker.start()
        await worker.on_request(asking("slow", "http://slow/", "a"))
        await worker.on_request(asking("quick", "http://quick/", "b"))
        await worker.on_request(asking("old", "http://old/", "c", receipt=False))
        await asyncio.sleep(0.1)
        await worker.on_request(asking("slow", "http://slow/", "d"))
        await asyncio.wait(set(worker.tasks), timeout=5)
        await worker.stop()
    asyncio.run(scenario())
    status = contract.status_subject("bj")
    assert (status, {"beat": {"cut_off": None}}) in order
    said = [(subject, payload) for subject, payload in order
            if subject != status or "taken" in payload]
    slow = [event for event in said if "slow" in str(event) or event[0] in ("a", "d")]
    assert slow == [("fetch", "http://slow/"), (status, {"taken": "slow"}),
                    (status, {"taken": "slow"}), ("fetched", "http://slow/"),
                    ("a", {"http_code": 200, "reason": "", "total_time": 1}),
                    ("d", {"http_code": 200, "reason": "", "total_time": 1})]
    assert ("fetched", "http://quick/") in said and ("fetched", "http://old/") in said
    assert not [payload for _, payload in said if payload in ({"taken": "quick"},
                                                             {"taken": "old"})]


def test_the_ca_store_is_prepared_at_the_start_and_refreshed_only_when_no_fetch_runs(
        monkeypatch, caplog):
    prepared, fetching = [], asyncio.Event()

    async def prepare_tls(curl_loop, ca_file, refresh=False):
        prepared.append((ca_file, refresh))
        return True

    async def fetch(curl_loop, url, deadline, options):
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 200, "reason": "", "total_time": 1}

    monkeypatch.setattr(agent_service.http_probe, "prepare_tls", prepare_tls)
    monkeypatch.setattr(agent_service.http_probe, "probe", fetch)
    monkeypatch.setattr(agent_service, "CA_REFRESH_SECONDS", 0.05)
    monkeypatch.setattr(agent_service, "IDLE_CHECK_SECONDS", 0.01)

    class OperatorsCaFile:
        """Its file breaks after the first reload: the second is refused, the store stays."""
        copy, reloads = "ca.pem", 0

        def take(self):
            self.reloads += 1
            if self.reloads == 2:
                raise probe_ca.BadCaFile("ca.pem: holds no certificate")

    async def scenario():
        worker = agent_service.Agent(Connection(), "bj", probe_ca=OperatorsCaFile())
        await worker.start()
        await worker.on_request(Message({"id": "r", "url": "http://x/", "budget": 10}, "a"))
        await asyncio.sleep(0.3)  # several refreshes due, none while the fetch runs
        held = list(prepared)
        fetching.set()
        while len(prepared) < 3:
            await asyncio.sleep(0.01)
        await worker.stop()
        assert all(task.cancelled() for task in worker.background)
        return held

    with caplog.at_level(logging.WARNING, "boce.agent"):
        assert asyncio.run(scenario()) == [("ca.pem", False)]
    assert prepared[1:3] == [("ca.pem", True)] * 2  # the refused reload loaded nothing
    assert [r.getMessage() for r in caplog.records] == [
        "probe CA file not reloaded: 'ca.pem: holds no certificate'; the store loaded before "
        "stays"]
