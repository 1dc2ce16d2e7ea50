"""Gathering the agents' answers: rogue answers refused and the panel answered in time, a lost
NATS link said at once, and nothing published while it is down."""

import asyncio
import json
import re
import time
import urllib.error
import urllib.request

import nats
import pytest

from boce_dispatch import contract
from boce_dispatch.agent import service as agent_service
from boce_dispatch.center import config, gathering, metrics, nodes
from boce_dispatch.nats_settings import NatsSettings
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
    wait_until,
)
from tests.dispatch.fake_nats import FakeNats
from tests.dispatch.helpers import (
    DEADLINE_SECONDS,
    Connection,
    ask_timed,
    center_log_after,
    readyz,
    resident_mib,
)
from tools.lab.network import Network
from tools.lab.ports import free_port


@pytest.mark.processes
def test_a_lost_nats_link_is_said_at_once_and_probes_resume_when_it_is_back(website):
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline_seconds=5,
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


def test_the_center_publishes_nothing_while_its_nats_link_is_down():
    settings = config.CenterConfig(nodes=(config.Node("北京电信", "bj"),),
                                   allowed_servers=frozenset(), deadline_seconds=0.2,
                                   nats=NatsSettings(("nats://x:1",), "center", "p"))
    connection = Connection(connected=False)
    health = nodes.NodeHealth(settings, metrics.answer_buckets(settings))
    gatherer = gathering.Gatherer(connection, settings, health)
    answer, _ = asyncio.run(gatherer.probe_all("http://x/"))
    assert connection.published == [] and answer[0]["isp"] == "节点未响应"
    assert health.by_id["bj"].not_responding == 1


async def rogue_of(network, node="sh"):
    return await nats.connect("nats://127.0.0.1:%d" % network.nats_port, user="agent-" + node,
                              password=network.password("agent-" + node), allow_reconnect=False)


def panel_beside_rogue(network, website, answers):
    """A panel's request while a rogue of node sh answers each probe with `answers` (the first
    publish to a reply is all NATS lets through): (status, records, seconds waited)."""
    async def scenario():
        rogue = await rogue_of(network)

        async def misbehave(message):
            for answer in answers:
                await rogue.publish(message.reply, answer)
        await rogue.subscribe(contract.node_subject("sh"), cb=misbehave)
        await rogue.flush()
        try:  # the page is held back, so the genuine agent always answers after the rogue
            return await asyncio.to_thread(ask_timed, network.url, "s1",
                                           website + "/fast?delay=0.3")
        finally:
            await rogue.close()
    return asyncio.run(scenario())


ROGUE_ANSWERS = [b"x" * 60000, b"\xff\xfe", b'{"http_code": "<b>x</b>", "total_time": "NaN"}',
                 json.dumps({"primary_ip": "1.2.3.4", "http_code": 200, "total_time": -1,
                             "namelookup_time": 0, "starttransfer_time": 0,
                             "size_download": 0, "speed_download": 0}).encode()]


def test_rogue_answers_are_refused_and_the_panel_answered_in_time(network, website):
    async def oversized():
        rogue = await rogue_of(network)
        try:
            await rogue.publish("_INBOX.x", b"y" * (rogue.max_payload + 1))
        except nats.errors.MaxPayloadError as error:
            return error
        finally:
            await rogue.close()

    before = resident_mib(network.processes["center"])
    assert asyncio.run(oversized()) is not None
    status, records, waited = panel_beside_rogue(network, website, ROGUE_ANSWERS)
    assert status == 200 and waited < DEADLINE_SECONDS + 0.1
    assert resident_mib(network.processes["center"]) - before < 64
    # The genuine agent's answer stands; every rogue answer was refused or never arrived.
    assert all(r["http_code"] == 200 and r["total_time"] >= 0 for r in records)
    assert "bad answer node=sh" in network.log_tail("center", 50)


LOG_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} boce\.center ")  # none forged


SOUND = {"primary_ip": "1.2.3.4", "http_code": 200, "total_time": 1, "namelookup_time": 0,
         "starttransfer_time": 0, "size_download": 0, "speed_download": 0}


ROGUE_RECORDS = [
    ("html-ip", '"><img src=x onerror=alert(1)>', "passed"),
    ("crlf-ip", "1.2.3.4\r\nSet-Cookie: x\x00", "passed"),
    ("zone-html", "fe80::1%<img src=x onerror=alert(1)>", "passed"),
    ("zone-crlf", "fe80::1%\r\n2026-01-01 INFO panel forged", "passed"),
    ("zone-nul", "fe80::1%\x00", "passed"),
    ("zone-ansi", "fe80::1%\x1b[2J", "passed"),
    ("zone", "fe80::1%eth0", "passed"),
    ("46-characters", "0000:0000:0000:0000:0000:ffff:255.255.255.2555", "passed"),
    ("10**300", 10 ** 300, "size_download"),
    ("10**400", 10 ** 400, "size_download"),
    ("nested", None, "nested"),
]


class TestRogueRecords:
    last_case = 0.0

    @pytest.mark.parametrize("value, outcome", [r[1:] for r in ROGUE_RECORDS],
                             ids=[r[0] for r in ROGUE_RECORDS])
    def test_a_rogue_record_is_data_or_refused(self, network, website, value, outcome):
        if outcome == "passed":
            answer = json.dumps(dict(SOUND, primary_ip=value)).encode()
        elif outcome == "nested":
            answer = b"[" * 16000 + b"]" * 16000
        else:
            answer = json.dumps(dict(SOUND, **{outcome: value})).encode()
        # The center logs a node's refusals at most once a second: each case gets its line.
        time.sleep(max(0.0, TestRogueRecords.last_case + 1.05 - time.monotonic()))
        (status, records, waited), lines = center_log_after(
            network, lambda: panel_beside_rogue(network, website, [answer]))
        TestRogueRecords.last_case = time.monotonic()
        assert status == 200 and waited < DEADLINE_SECONDS + 0.1
        assert {r["primary_ip"] for r in records} <= {"", "127.0.0.1"}
        assert all(r["size_download"] < 2 ** 53 for r in records)
        assert ("bad field node=sh" if outcome == "passed" else "bad answer node=sh") in lines
        assert "Traceback" not in lines and "\r" not in lines and "\x00" not in lines
        assert "\x1b" not in lines and all(LOG_LINE.match(line) for line in lines.splitlines())


def just_beaten(network, node_id):
    """Waits for a fresh beat of `node_id`'s agent: the next one is a beat's time away."""
    def since():
        with urllib.request.urlopen(network.url + "/healthz", timeout=10) as answer:
            return json.loads(answer.read())["nodes"][node_id]["seconds_since_last_beat"]
    wait_until(lambda: since() is not None and since() < 0.5, "a beat of " + node_id,
               2 * contract.BEAT_SECONDS)


def test_a_rogue_reason_for_being_cut_off_is_shown_escaped_and_cut(network, website):
    """A node is cut off once its answers said so on more than one probe in a row."""
    reason = "<script>alert(1)</script>\x00\x1b[2J" + "x" * 10000
    assert ask_center(network.url, "s1", website + "/fast")[0] == 200  # answers in a row: none
    # The genuine agent's beats say it is not cut off, which ends a run of such answers: the
    # run fits between two beats.
    just_beaten(network, "sh")
    for _ in range(nodes.CUT_OFF_ANSWERS):
        with urllib.request.urlopen(network.url + "/readyz", timeout=10) as answer:
            assert "cut_off" not in json.loads(answer.read())  # not after one probe
        panel_beside_rogue(network, website, [json.dumps({"inconclusive": reason}).encode()])
    with urllib.request.urlopen(network.url + "/readyz", timeout=10) as answer:
        text = answer.read().decode("utf-8")  # 200: one node of two is cut off
    shown = json.loads(text)["cut_off"]["sh"]
    assert shown.startswith("'<script>alert(1)</script>\\x00\\x1b[2Jxxx") and len(shown) < 220
    assert "<" not in text and "\x00" not in text and "\x1b" not in text


# ---- presence and receipts, in this process on a NATS of its own (fake_nats) ---------------

RECORD = {"primary_ip": "203.0.113.7", "http_code": 200, "total_time": 1.0, "namelookup_time": 0,
          "starttransfer_time": 1.0, "size_download": 10, "speed_download": 10}


def center_on(server, node_ids, deadline=5.0):
    settings = config.CenterConfig(
        nodes=tuple(config.Node("node " + node_id, node_id) for node_id in node_ids),
        allowed_servers=frozenset(), deadline_seconds=deadline,
        nats=NatsSettings(("nats://x:1",), "center", "p" * 16))
    health = nodes.NodeHealth(settings, metrics.answer_buckets(settings))
    health.link_up()
    health.connected_at -= nodes.GRACE_SECONDS  # connected long enough to know who is there
    return gathering.Gatherer(server.connect(), settings, health)


async def agent_on(server, node_id, monkeypatch, hold=0.0):
    """A real agent of `node_id` whose fetch takes `hold` seconds and answers RECORD."""
    async def fetch(curl_loop, url, deadline, options):
        await asyncio.sleep(hold)
        return dict(RECORD)

    async def prepare_tls(curl_loop, ca_file, refresh=False):
        return True
    monkeypatch.setattr(agent_service.http_probe, "probe", fetch)
    monkeypatch.setattr(agent_service.http_probe, "prepare_tls", prepare_tls)
    agent = agent_service.Agent(server.connect(), node_id)
    await agent.start()
    await asyncio.sleep(0.01)  # its first beat arrives
    return agent


async def old_agent_on(server, node_id, hold):
    """An agent older than receipts and beats: it answers after `hold` seconds, once per id."""
    client, answered = server.connect(), {}

    async def answer(message):
        request = contract.read_probe_request(message.data)
        if request.id not in answered:
            answered[request.id] = asyncio.ensure_future(asyncio.sleep(hold))
        await answered[request.id]
        await client.publish(message.reply, json.dumps(RECORD).encode())
    await client.subscribe(contract.node_subject(node_id), queue="agents", cb=answer)


def probe_messages(server, node_id):
    return len(server.sent_to(contract.node_subject(node_id)))


def test_a_node_without_an_agent_is_answered_at_once_and_costs_no_probe_once_known(monkeypatch):
    server = FakeNats()

    async def scenario():
        center = center_on(server, ["bj", "gz"], deadline=5)
        await center.start()
        agent = await agent_on(server, "bj", monkeypatch)
        waits = []
        for _ in range(3):
            started = time.monotonic()
            answer, reasons = await center.probe_all("http://x/")
            waits.append(time.monotonic() - started)
        await agent.stop()
        return answer, reasons, waits
    answer, reasons, waits = asyncio.run(scenario())
    assert [r["http_code"] for r in answer] == [200, 0] and answer[1]["isp"] == "节点未响应"
    assert answer[1]["reason"].startswith("no agent connected since ") == bool(reasons[1])
    assert max(waits) < 1  # never the 5 s deadline
    # NATS said once that nobody takes gz's probes: the later panels sent it none.
    assert (probe_messages(server, "bj"), probe_messages(server, "gz")) == (3, 1)


def test_a_receipted_probe_is_sent_once_however_slow_the_site_and_an_old_agent_three_times(
        monkeypatch):
    monkeypatch.setattr(gathering, "RECEIPT_SECONDS", 0.05)
    monkeypatch.setattr(contract, "RECEIPT_GRACE_SECONDS", 0.01)
    server = FakeNats()

    async def scenario():
        center = center_on(server, ["bj", "sh"])
        await center.start()
        agent = await agent_on(server, "bj", monkeypatch, hold=0.3)
        await old_agent_on(server, "sh", hold=0.3)
        answer, _ = await center.probe_all("http://x/")
        await agent.stop()
        return answer
    assert [r["http_code"] for r in asyncio.run(scenario())] == [200, 200]
    assert probe_messages(server, "bj") == 1
    assert probe_messages(server, "sh") == 1 + gathering.MAX_RESENDS


async def backlogged_agents_on(server, node_ids, step):
    """Agents that NATS and their machine reach one after another, `step` seconds apart, as a
    probe to thousands of nodes is taken: each sends its receipt when its turn comes."""
    client, turns = server.connect(), asyncio.Lock()

    def taking(node_id):
        async def take(message):
            request = contract.read_probe_request(message.data)
            async with turns:
                await asyncio.sleep(step)
                await client.publish(contract.status_subject(node_id),
                                     contract.receipt(request.id))
            await client.publish(message.reply, json.dumps(RECORD).encode())
        return take
    for node_id in node_ids:
        await client.subscribe(contract.node_subject(node_id), queue="agents",
                               cb=taking(node_id))


def test_probes_taken_slowly_by_many_agents_are_not_sent_again_while_receipts_come(monkeypatch):
    """Receipts that keep coming say the probes are being taken: the last node takes the second
    panel's probe long after RECEIPT_SECONDS, and no node gets a probe twice."""
    # The takes come 0.02 s apart, 0.4 s in all: a stall of the event loop of up to 0.18 s
    # between two of them is no missed receipt.
    monkeypatch.setattr(gathering, "RECEIPT_SECONDS", 0.2)
    server, node_ids = FakeNats(), ["n%d" % index for index in range(10)]

    async def scenario():
        center = center_on(server, node_ids)
        await center.start()
        await backlogged_agents_on(server, node_ids, step=0.02)
        return await asyncio.gather(center.probe_all("http://x/"), center.probe_all("http://y/"))
    for answer, _ in asyncio.run(scenario()):
        assert [r["http_code"] for r in answer] == [200] * len(node_ids)
    assert [probe_messages(server, node_id) for node_id in node_ids] == [2] * len(node_ids)


def test_a_node_that_beat_a_moment_ago_is_not_away_while_its_agent_moves_server(monkeypatch):
    """Nobody takes bj's probes at first (its agent is between two NATS servers), but it beat a
    moment ago: the probe is sent again, and its agent, back, answers it."""
    monkeypatch.setattr(gathering, "RECEIPT_SECONDS", 0.05)
    server = FakeNats()

    async def scenario():
        center = center_on(server, ["bj"])
        await center.start()
        center.health.beat("bj", None)
        probing = asyncio.ensure_future(center.probe_all("http://x/"))
        await asyncio.sleep(0.02)  # the first probe found nobody
        agent = await agent_on(server, "bj", monkeypatch)
        answer, _ = await probing
        await agent.stop()
        return answer
    assert [r["http_code"] for r in asyncio.run(scenario())] == [200]
    assert probe_messages(server, "bj") == 2


async def center_link_lost(center, agent):
    center.nc.is_connected = False
    await asyncio.sleep(0.2)  # the agent has answered into the outage
    center.nc.is_connected = True
    center.link_back()


async def agent_server_lost(center, agent):
    agent.nc.reconnect()  # its answer to the request delivered before would be refused
    await agent.link_back()


@pytest.mark.parametrize("lost_after, lose", [
    (0.001, center_link_lost),  # before the receipt
    (0.05, center_link_lost),  # after the receipt, before the answer
    (0.05, agent_server_lost),  # after the receipt
])
def test_a_node_whose_word_was_lost_with_a_nats_link_is_asked_again(monkeypatch, lost_after,
                                                                     lose):
    """bj fetches when the center's NATS link drops (its receipt or answer goes nowhere), or
    when its agent moves to another NATS server (which refuses answers to requests another one
    delivered). bj is asked again and answers with the measurement its agent kept, long before
    the deadline."""
    monkeypatch.setattr(contract, "RECEIPT_GRACE_SECONDS", 0.01)
    server = FakeNats(answers_only_as_delivered=True)

    async def scenario():
        center = center_on(server, ["bj"], deadline=5)
        await center.start()
        agent = await agent_on(server, "bj", monkeypatch, hold=0.15)
        started = time.monotonic()
        probing = asyncio.ensure_future(center.probe_all("http://x/"))
        await asyncio.sleep(lost_after)
        await lose(center, agent)
        answer, _ = await probing
        await agent.stop()
        return answer, time.monotonic() - started
    answer, waited = asyncio.run(scenario())
    assert [r["http_code"] for r in answer] == [200]
    assert probe_messages(server, "bj") == 2 and server.refused == [] and waited < 4
