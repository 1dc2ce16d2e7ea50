"""What operators read: /readyz and /healthz by the usual conventions, a drain that /readyz
announces while the panels in flight are answered, metrics as Prometheus users expect them, and
a cut-off node in the log, the counters and /readyz."""

import json
import os
import re
import shutil
import signal
import subprocess
import threading
import urllib.error
import urllib.request

import pytest

import boce_dispatch
from boce_dispatch.center.metrics import PANEL_OUTCOMES
from tests.common import SERVICE_ENV, SERVICE_PYTHON, ask_center, held_by_site, wait_until
from tests.dispatch.helpers import DEADLINE_SECONDS
from tools.lab.network import Network
from tools.lab.ports import free_port

NODES = [("北京电信", "bj"), ("上海联通", "sh")]


def watched_network(deadline_seconds=DEADLINE_SECONDS):
    return Network(NODES, port=free_port(), allowed_servers=["s1"],
                   deadline_seconds=deadline_seconds, allow_private=True, env=SERVICE_ENV,
                   python=SERVICE_PYTHON, metrics_port=free_port())


def operators_get(net, path):
    """(status, body text) of GET `path` on the center's operators' listener."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (net.metrics_port, path),
                                    timeout=5) as answer:
            return answer.status, answer.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("utf-8")


def promtool_check(text):
    checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                             text=True, timeout=30)
    assert checked.returncode == 0, checked.stdout + checked.stderr


needs_promtool = pytest.mark.skipif(shutil.which("promtool") is None,
                                    reason="Debian's prometheus (promtool) is missing")


@pytest.fixture(scope="module")
def watched():
    with watched_network() as net:
        yield net


@needs_promtool
def test_metrics_are_there_from_the_start_and_as_prometheus_users_read_them(watched, website):
    _, fresh = operators_get(watched, "/metrics")
    for node_id in ("bj", "sh"):
        for family in ("boce_node_not_responding_total", "boce_node_inconclusive_total",
                       "boce_node_answer_seconds_count",
                       "boce_node_last_answer_timestamp_seconds"):
            assert '%s{node="%s"} 0.0' % (family, node_id) in fresh
    for outcome in PANEL_OUTCOMES:
        assert 'boce_panel_requests_total{outcome="%s"} 0.0' % outcome in fresh
    assert 'boce_node_info{name="北京电信",node="bj"} 1.0' in fresh
    assert 'boce_build_info{version="%s"} 1.0' % boce_dispatch.__version__ in fresh
    # Without max_probes, what memory and CPU hold: for two nodes, the connection cap.
    assert "boce_probes_limit 4096.0" in fresh and "boce_nats_connected 1.0" in fresh
    assert "process_resident_memory_bytes" in fresh and "python_info" in fresh

    assert ask_center(watched.url, "s1", website + "/fast")[0] == 200
    _, after = operators_get(watched, "/metrics")
    promtool_check(after)
    assert "_created" not in after
    assert "boce_panel_seconds_count 1.0" in after
    assert 'boce_panel_requests_total{outcome="answered"} 1.0' in after
    # An answer of a few milliseconds lands in a bucket of its own size, not in a 50 ms one.
    bounds = re.findall(r'boce_node_answer_seconds_bucket\{le="([^"]+)",node="bj"\}', after)
    assert bounds[0] == "0.001" and float(bounds[-2]) == DEADLINE_SECONDS
    assert bounds[-1] == "+Inf"
    last = float(re.search(r'boce_node_last_answer_timestamp_seconds\{node="bj"\} (\S+)',
                           after)[1])
    assert last > 1.7e9  # a Unix time


def test_readyz_lists_each_check_and_healthz_says_each_thing_once(watched):
    status, text = operators_get(watched, "/readyz?verbose")
    assert status == 200 and json.loads(text)["checks"] == {
        "draining": "ok", "nats": "ok", "nodes": "ok", "cut_off": "ok"}
    assert "checks" not in operators_get(watched, "/readyz")[1]
    status, text = operators_get(watched, "/healthz")
    healthz = json.loads(text)
    assert status == 200 and list(healthz) == ["nats", "server", "presence", "nodes"]
    assert text.count("seconds_since_last_answer") == len(NODES)
    # Each node's agent beats: it is there, by its next beat at the latest.
    wait_until(lambda: all(node["present"] and node["away"] is None for node in json.loads(
        operators_get(watched, "/healthz")[1])["nodes"].values()), "every node's beat", 15)


def test_while_draining_readyz_says_503_and_the_panel_in_flight_is_answered(website):
    with watched_network(deadline_seconds=5) as net:
        answers = []
        slow = threading.Thread(target=lambda: answers.append(ask_center(
            net.url, "s1", website + "/slow?delay=1.5&tag=drain")))
        slow.start()
        wait_until(lambda: held_by_site(website, "drain") == 2, "the probe under way")
        os.kill(net.processes["center"].pid, signal.SIGTERM)
        wait_until(lambda: operators_get(net, "/readyz")[0] == 503, "/readyz to say 503", 2)
        status, text = operators_get(net, "/readyz?verbose")
        assert status == 503 and json.loads(text)["checks"]["draining"] == (
            "stopping: no new panel is taken")
        slow.join(10)
        assert net.processes["center"].wait(10) == 0
        log = net.log_tail("center", None)
    assert answers[0][0] == 200 and {r["http_code"] for r in answers[0][1]} == {200}, log
    assert "nats disconnected: stopping" in log and "WARNING nats disconnected" not in log


def test_the_center_logs_counts_and_shows_the_cut_off_node(cut_off_lab):
    status, ready = cut_off_lab["readyz"]
    assert status == 200 and ready["ready"] is True and list(ready["cut_off"]) == ["sz"]
    assert "no check target answers" in ready["cut_off"]["sz"]
    assert 'boce_node_inconclusive_total{node="sz"} 3.0' in cut_off_lab["metrics"]
    assert 'boce_node_inconclusive_total{node="bj"} 0.0' in cut_off_lab["metrics"]
    assert cut_off_lab["log"][0].startswith("WARNING cut off node=sz reason='dns: ")
    # The panel's line names the node and why it is silent.
    assert any("深圳电信:not-responding(" in line or "sz:not-responding(" in line
               for line in cut_off_lab["log"])
