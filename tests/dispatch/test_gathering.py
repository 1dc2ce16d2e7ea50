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
from boce_dispatch.center import config, gathering, metrics
from boce_dispatch.nats_settings import NatsSettings
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
    wait_until,
)
from tests.dispatch.helpers import (
    DEADLINE_SECONDS,
    Connection,
    ask_timed,
    center_log_after,
    readyz,
    resident_mib,
)
from tools.network import Network
from tools.ports import free_port


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
    counted = metrics.Metrics(settings)
    gatherer = gathering.Gatherer(connection, settings, counted)
    answer, _ = asyncio.run(gatherer.probe_all("http://x/"))
    assert connection.published == [] and answer[0]["isp"] == "节点未响应"
    assert counted.not_responding.labels("bj")._value.get() == 1


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


def test_a_rogue_reason_for_being_cut_off_is_shown_escaped_and_cut(network, website):
    reason = "<script>alert(1)</script>\x00\x1b[2J" + "x" * 10000
    panel_beside_rogue(network, website, [json.dumps({"inconclusive": reason}).encode()])
    with urllib.request.urlopen(network.url + "/readyz", timeout=10) as answer:
        text = answer.read().decode("utf-8")  # 200: one node of two is cut off
    shown = json.loads(text)["cut_off"]["sh"]
    assert shown.startswith("'<script>alert(1)</script>\\x00\\x1b[2Jxxx") and len(shown) < 220
    assert "<" not in text and "\x00" not in text and "\x1b" not in text
