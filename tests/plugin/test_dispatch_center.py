"""The module against the stand-in dispatch center over real HTTP, inside the sandbox."""

import json
import os

import pytest

import start_boce
from boce_dispatch import records
from tests.common import DATA, SERVER_ID, write

FIELDS = list(records.FIELDS + records.EXTRA_TIMINGS) + list(records.EXPLAINING) + ["node"]
UNREACHABLE = {"status": False, "msg": "连接调度中心失败!"}


@pytest.fixture
def task(real_panel, website):
    write(os.path.join(DATA, "userInfo.json"), '{"username": "demo", "serverid": "%s"}' % SERVER_ID)
    def make(path):
        return real_panel.M("boce_task").insert({"name": "site", "url": website + path})
    return make


def test_a_real_probe_of_a_local_site(task, dispatch_center, website):
    records = start_boce.start_boce()._send_task(task("/fast"))

    assert [r["isp"] for r in records] == ["北京电信", "上海联通", "广州移动", "节点未响应"]
    assert [r["node"] for r in records] == ["北京电信", "上海联通", "广州移动", "沈阳电信"]
    for record in records[:3]:
        assert list(record) == FIELDS
        assert 0 <= record["connect_time"] <= record["starttransfer_time"]
        assert record["primary_ip"] == "127.0.0.1" and record["http_code"] == 200
        assert record["size_download"] > 2000 and record["speed_download"] > 0
        assert 0 <= record["namelookup_time"] <= record["starttransfer_time"] <= record["total_time"]
    assert dispatch_center.requests[-1] == {"username": "demo", "serverid": SERVER_ID,
                                            "url": website + "/fast"}


@pytest.mark.parametrize("path, code", [("/error", 500), ("/forbidden", 403), ("/redirect", 301),
                                        ("/drop", 0)])
def test_status_codes_as_the_nodes_saw_them(task, dispatch_center, path, code):
    records = start_boce.start_boce()._send_task(task(path))
    assert {r["http_code"] for r in records[:3]} == {code}


def test_an_unresolvable_host_has_no_address(real_panel, dispatch_center):
    write(os.path.join(DATA, "userInfo.json"), '{"serverid": "%s"}' % SERVER_ID)
    task_id = real_panel.M("boce_task").insert({"name": "x", "url": "http://no-such-host.invalid/"})
    record = start_boce.start_boce()._send_task(task_id)[0]
    assert record["primary_ip"] == "" and record["http_code"] == 0


def test_a_server_the_center_does_not_serve_is_refused(real_panel, dispatch_center, website,
                                                       stdout):
    task_id = real_panel.M("boce_task").insert({"name": "x", "url": website + "/"})
    assert start_boce.start_boce()._send_task(task_id) == UNREACHABLE  # no account: 403
    assert dispatch_center.requests[-1]["url"] == website + "/"
    assert "HTTP Error 403" in stdout.getvalue()


@pytest.mark.parametrize("scripted, error", [
    ({"drop": True}, "RemoteDisconnected"),
    ({"status": 502, "content_type": "text/html", "body": "<html>502 Bad Gateway</html>"},
     "HTTPError"),
    ({"body": "<html>maintenance</html>", "content_type": "text/html"}, "JSONDecodeError"),
    ({"body": ""}, "JSONDecodeError"),
])
def test_a_broken_answer_is_a_connection_failure(task, dispatch_center, stdout, scripted, error):
    dispatch_center.set_script([scripted])
    assert start_boce.start_boce()._send_task(task("/fast")) == UNREACHABLE
    printed = stdout.getvalue()
    assert printed.startswith("Traceback (most recent call last):") and error in printed


def test_scripted_exact_answer_is_decoded(task, dispatch_center):
    answer = [{"isp": "x", "http_code": 200.0, "extra": [1, {"k": None}]}]
    dispatch_center.set_script([{"body": json.dumps(answer)}])
    assert start_boce.start_boce()._send_task(task("/")) == answer


def test_the_same_site_probed_twice_within_a_second_is_answered_twice(task, dispatch_center):
    plugin = start_boce.start_boce()
    task_id = task("/fast")
    for _ in range(2):  # the center's second request must not look like a replay of the first
        records = plugin._send_task(task_id)
        assert [r["http_code"] for r in records[:3]] == [200, 200, 200]
