"""The center's process: known servers served one probe each within the limit, SIGTERM with
panels in flight or NATS down, the slowest connection closed at capacity, and the operators'
listener apart from the panels' port."""

import asyncio
import json
import signal
import threading
import urllib.error
import urllib.parse
import urllib.request

import pytest

from boce_dispatch.center import front
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    held_by_site,
    wait_until,
)
from tests.dispatch.helpers import (
    DEADLINE_SECONDS,
    ask_timed,
    open_files,
    readyz,
    still_open,
)
from tools.lab.network import Network
from tools.lab.ports import free_port


def test_the_center_serves_known_servers_one_probe_each_within_its_limit(limited_network, website):
    assert ask_center(limited_network.url, "stranger", website + "/fast") == (
        403, {"status": False, "msg": "unknown server"})
    assert ask_center(limited_network.url, "s1", "ftp://x/")[0] == 400
    slow = threading.Thread(target=ask_center,
                            args=(limited_network.url, "s1", website + "/slow?delay=1&tag=busy"))
    slow.start()
    wait_until(lambda: held_by_site(website, "busy") == 2, "the first probe under way")
    assert ask_center(limited_network.url, "s1", website + "/fast")[0] == 429  # that server is busy
    assert ask_center(limited_network.url, "s2", website + "/fast")[0] == 503  # max_probes = 1
    slow.join()
    status, answer = ask_center(limited_network.url, "s2", website + "/测试")
    assert status == 200 and [r["http_code"] for r in answer] == [200, 200]
    with urllib.request.urlopen(limited_network.url + "/healthz", timeout=5) as health:
        assert json.loads(health.read())["nats"] == "connected"
    with urllib.request.urlopen(limited_network.url + "/metrics", timeout=5) as metrics:
        text = metrics.read().decode()
    assert 'boce_panel_requests_total{outcome="unknown_server"} 1.0' in text
    assert "boce_nodes_seen 2.0" in text


def test_sigterm_answers_the_panels_in_flight_and_takes_no_new_one(website):
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=5, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
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


def test_sigterm_while_nats_is_down_is_one_line_and_exit_0():
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline_seconds=2,
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
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline_seconds=5,
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


def test_at_capacity_the_slowest_connection_goes_and_a_panel_gets_through(website):
    """With the usual 1,024 open files (room for 960 connections), 1,100 connections from 100
    addresses that trickle headers: each new one closes the one that has waited longest, and a
    panel from another address is answered within the deadline."""
    room = 1024 - front.RESERVED_FILES
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=DEADLINE_SECONDS, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 center_prefix=["prlimit", "--nofile=1024:1024", "--"]) as net:
        async def attack():
            connections = []
            for n in range(1100):
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", net.port, local_addr=("127.0.10.%d" % (n % 100 + 1), 0))
                writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nX-Slow: ")
                connections.append((reader, writer))
            answered = await asyncio.to_thread(ask_timed, net.url, "s1", website + "/fast")
            open_now = await still_open(connections)
            for _, writer in connections:
                writer.close()
            return answered, open_now

        with open_files(4096):
            (status, records, waited), open_now = asyncio.run(attack())
    assert status == 200 and records[0]["http_code"] == 200 and waited < DEADLINE_SECONDS + 0.1
    closed = 1100 - len(open_now)
    assert open_now == list(range(closed, 1100))  # the oldest went, in the order they came
    assert 1100 - room <= closed <= 1100 - room + 1  # and only as many as the panel needed


def test_the_operators_listener_answers_whatever_the_panels_port_holds():
    """4,096 idle connections fill the panels' port; /livez, /readyz and /healthz still answer
    on the operators' own listener."""
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=DEADLINE_SECONDS, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 metrics_port=free_port()) as net:
        async def fill_and_ask():
            connections = [await asyncio.open_connection(
                "127.0.0.1", net.port, local_addr=("127.0.14.%d" % (n % 64 + 1), 0))
                for n in range(front.MAX_CONNECTIONS)]
            statuses = []
            for path in ("/livez", "/readyz", "/healthz"):
                statuses.append(await asyncio.to_thread(lambda p=path: urllib.request.urlopen(
                    "http://127.0.0.1:%d%s" % (net.metrics_port, p), timeout=10).status))
            for _, writer in connections:
                writer.close()
            return statuses

        with open_files(front.MAX_CONNECTIONS + 512):
            assert asyncio.run(fill_and_ask()) == [200, 200, 200]
