"""Nodes that are away, as the field always has some: the whole network (NATS server, center,
agents), with two of six nodes without an agent."""

import concurrent.futures
import json
import time
import urllib.request

from tests.common import SERVICE_ENV, SERVICE_PYTHON, ask_center, wait_until
from tools.lab.network import Network
from tools.lab.ports import free_port

NODES = [("北京电信", "bj"), ("上海联通", "sh"), ("广州移动", "gz"), ("深圳电信", "sz"),
         ("杭州联通", "hz"), ("成都移动", "cd")]
AWAY = {"sz", "cd"}
DEADLINE_SECONDS = 20


def healthz(network):
    with urllib.request.urlopen(network.url + "/healthz", timeout=5) as answer:
        return json.loads(answer.read())


def panel(network, serverid, url):
    started = time.monotonic()
    status, records = ask_center(network.url, serverid, url)
    return status, records, time.monotonic() - started


def test_sixteen_panels_at_once_are_answered_without_waiting_for_two_nodes_away(website):
    """Once the center knows who is there, every panel is answered as soon as its present nodes
    have: the two nodes away are answered at once, with a reason, never at the deadline."""
    with Network(NODES, down=tuple(AWAY), port=free_port(), allowed_servers=[
            "s%d" % n for n in range(16)], deadline_seconds=DEADLINE_SECONDS,
            allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as network:
        wait_until(lambda: healthz(network)["presence"] == "known", "the first beats", 30)
        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            answers = list(pool.map(lambda n: panel(network, "s%d" % n,
                                                    website + "/fast?delay=0.5"), range(16)))
        seen = healthz(network)["nodes"]
    names = dict(NODES)
    away = {name for name, node_id in NODES if node_id in AWAY}
    for status, records, waited in answers:
        assert status == 200 and [r["node"] for r in records] == list(names), records
        assert {r["node"] for r in records if r["http_code"] == 200} == set(names) - away
        for record in records:
            if record["node"] in away:
                assert record["isp"] == "节点未响应"
                assert record["reason"].startswith("no agent connected since ")
        # The slowest present node held the panel; the nodes away held it not at all.
        slowest = max(r["total_time"] for r in records) / 1000
        assert waited < slowest + DEADLINE_SECONDS / 4
    assert {node_id for node_id, node in seen.items() if not node["present"]} == AWAY
