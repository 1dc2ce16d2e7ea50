"""The whole chain across real network hops: the plug-in in the panel's host, the dispatch
center in its own, three node agents each in its own and the web site in another, each a
network namespace of the test's own user namespace inside the sandbox."""

import json
import subprocess
import sys

import pytest

from conftest import REPO


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    out = tmp_path_factory.mktemp("lab") / "seen.json"
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "--fork",
         sys.executable, "tests/multihost_lab.py", str(out)],
        cwd=REPO, capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(out.read_text(encoding="utf-8"))


def test_the_nodes_come_back_slowest_first_as_the_delays_order_them(lab):
    records = lab["first_run"]
    assert [r["isp"] for r in records] == ["北京电信", "广州移动", "上海联通"]
    assert [r["primary_ip"] for r in records] == ["10.77.0.10"] * 3
    assert all(r["http_code"] == 200 for r in records)
    assert records[0]["total_time"] >= 450 > records[1]["total_time"] >= 250


def test_a_stopped_agent_shows_as_not_responding(lab):
    records = lab["agent_stopped"]
    assert [r["isp"] for r in records] == ["北京电信", "广州移动", "节点未响应"]


@pytest.mark.parametrize("step, status, error", [
    ("wrong_hmac", 403, {"error": "bad signature"}),
    ("unknown_server", 403, {"status": False, "msg": "unknown server"}),
])
def test_refusals(lab, step, status, error):
    assert lab[step] == [status, error]


def test_an_agent_without_allow_private_refuses_a_private_target(lab):
    status, record = lab["private_refused"]
    assert status == 200 and record["http_code"] == 0 and record["primary_ip"] == ""
