"""The probe run: the anomaly count, the stored run and the nodes slowest first."""

import json
import math
import os
import types

import pytest

import start_boce
from boce_dispatch.records import NOT_RESPONDING, RUN_COLUMNS, RUN_TABLE
from tests.answers import record
from tests.common import DATA, SERVER_ID, write
from tests.doubles import Call
from tests.plugin.runs import Run, stored

node = record  # a probe node's record




@pytest.mark.parametrize("answer, text", [([], "[]"), ("", '""'), ({}, "{}")])
def test_an_empty_answer_is_stored_with_status_1(run, host, monkeypatch, answer, text):
    monkeypatch.setattr(start_boce, "time", types.SimpleNamespace(time=lambda: 1700000000.5))
    run.answer = answer
    assert run.start(7) == []
    assert stored(host) == [{"status": 1, "data": text, "pid": 7, "addtime": 1700000000}]
    assert Run.reports == []


@pytest.mark.parametrize("anomalous, status, reports", [(2, 1, 0), (3, 0, 1), (5, 0, 1)])
def test_more_than_two_anomalous_nodes_trigger_one_report(run, host, anomalous, status, reports):
    run.answer = [node(code=500) for _ in range(anomalous)] + [node(), node()]
    run.start("7")
    assert stored(host)[0]["status"] == status
    assert len(Run.reports) == reports
    if reports:
        assert Run.reports[0] == ((run.answer, anomalous, "7"), {})
        assert Run.reports[0][0][0] is run.answer


@pytest.mark.parametrize("code, anomalous", [
    (200, False), (301, False), (302, False), (403, False), (401, False), (200.0, False),
    (404, True), (500, True), (0, True), (None, True), ("200", True), (True, True),
    (204, True), (304, True), (float("nan"), True), (2 ** 70, True),
])
def test_which_codes_are_anomalous(run, code, anomalous):
    assert run.get_state([node(code=code)] * 3, 1) == (0 if anomalous else 1)


def test_not_responding_nodes_are_never_counted_but_stored_and_returned(run, host):
    silent = [node(isp=NOT_RESPONDING, code=0, total=t) for t in (5, 50, 500)]
    run.answer = [node(total=20)] + silent
    result = run.start(1)
    assert stored(host)[0]["status"] == 1 and Run.reports == []
    assert result == [silent[2], silent[1], node(total=20), silent[0]]
    assert len(json.loads(stored(host)[0]["data"])) == 4


def test_the_run_record_order_and_the_moment_of_each_step(plugin, host, monkeypatch):
    steps = host.log
    fake_time = types.SimpleNamespace(time=lambda: steps.append(Call("time")) or 1700000000.9)
    real_json = start_boce.json
    fake_json = types.SimpleNamespace(
        loads=real_json.loads,
        dumps=lambda value: steps.append(Call("dumps")) or real_json.dumps(value))
    monkeypatch.setattr(start_boce, "time", fake_time)
    monkeypatch.setattr(start_boce, "json", fake_json)
    host.public.tables["boce_task"] = {"3": {"url": "u", "name": "web"}}
    write(os.path.join(DATA, "userInfo.json"), '{"serverid": "s"}')
    write(os.path.join(DATA, "stmp_mail.json"), '{"qq_mail": "ops@example.cn"}')
    write(os.path.join(DATA, "dingding.json"), "{}")
    host.public.http_answer = json.dumps([node(code=0, ip="") for _ in range(3)])

    plugin.start("3")

    record = stored(host)[0]
    assert list(record) == list(RUN_COLUMNS)
    assert record["pid"] == "3" and record["addtime"] == 1700000000 and record["status"] == 0
    names = steps.names()
    assert names.index("qq_smtp_send") < names.index("dumps") < names.index("time")
    assert names[-3:] == ["time", "M", "insert"] and steps[-2] == Call("M", (RUN_TABLE,))


def test_the_report_texts_show_in_the_stored_and_returned_records(plugin, host):
    host.public.tables["boce_task"] = {1: {"url": "u", "name": "web"}}
    write(os.path.join(DATA, "userInfo.json"), '{"serverid": "s"}')
    write(os.path.join(DATA, "stmp_mail.json"), '{"qq_mail": "ops@example.cn"}')
    write(os.path.join(DATA, "dingding.json"), "{}")
    host.public.http_answer = json.dumps(
        [node(code=0, ip="", total=1), node(code=500, total=3), node(code=0, total=2)])

    result = plugin.start(1)

    data = stored(host)[0]["data"]
    assert '"primary_ip": "\\u89e3\\u6790\\u5931\\u8d25", "http_code": "\\u65e0\\u6cd5\\u8bbf' \
           '\\u95ee"' in data
    assert data.isascii() and "\n" not in data
    assert [r["http_code"] for r in result] == [500, "无法访问", "无法访问"]
    assert result[2]["primary_ip"] == "解析失败"


def test_equal_times_keep_the_dispatch_order_and_records_are_shared(run):
    run.answer = [node(isp="a", total=5), node(isp="b", total=9), node(isp="c", total=5.0),
                  node(isp="d", total=9), node(isp="e", total=7)]
    result = run.start(1)
    assert [r["isp"] for r in result] == ["b", "d", "e", "a", "c"]
    assert all(any(r is s for s in run.answer) for r in result)
    assert [r["isp"] for r in run.answer] == ["a", "b", "c", "d", "e"]


@pytest.mark.parametrize("answer", [
    {"status": False, "msg": "指定任务不存在!"}, {"status": True}, {"status": None, "x": 1},
    ["status"], "status: busy",
])
def test_an_answer_holding_status_is_returned_unchanged_and_nothing_stored(run, host, answer):
    run.answer = answer
    assert run.start(1) is answer
    assert stored(host) == [] and Run.reports == []


@pytest.mark.parametrize("answer, error", [
    (3, TypeError), (None, TypeError), (True, TypeError),
    ("busy", TypeError), ({"x": 1}, TypeError), ([node(), 5], TypeError),
    ([{"http_code": 200}], KeyError), ([{"isp": "a"}], KeyError),
])
def test_an_answer_that_cannot_be_counted_fails_before_anything_is_stored(run, host, answer,
                                                                         error):
    run.answer = answer
    with pytest.raises(error):
        run.start(1)
    assert stored(host) == []


def test_a_record_without_a_usable_time_follows_in_its_place(run, host):
    nan_node = node(isp="nan", total=math.nan)
    no_time = node(isp="none")
    del no_time["total_time"]
    run.answer = [node(isp="t1", total=1), {}, node(isp="text", total="9"), nan_node,
                  node(isp="null", total=None), node(isp="bool", total=True), no_time,
                  node(isp="t9", total=9), [], node(isp="big", total=2 ** 80), 0]
    result = run.start(1)
    assert [r["isp"] if r else r for r in result] == [
        "big", "t9", "t1", {}, "text", "nan", "null", "bool", "none", [], 0]
    assert stored(host)[0]["status"] == 1


def test_a_failing_report_is_shown_and_the_run_still_stored(plugin, host, stdout):
    host.public.tables["boce_task"] = {1: {"url": "u", "name": "web"}}
    write(os.path.join(DATA, "userInfo.json"), '{"serverid": "s"}')
    write(os.path.join(DATA, "stmp_mail.json"), "{broken")  # settings cannot be decoded
    write(os.path.join(DATA, "dingding.json"), "{}")
    host.public.http_answer = json.dumps([node(code=0, ip="", total=t) for t in (1, 2, 3)])
    host.public.script(get_error_info=lambda: "SETTINGS BROKEN")

    result = plugin.start(1)

    assert stdout.getvalue() == "SETTINGS BROKEN\n"
    assert stored(host)[0]["status"] == 0
    assert [r["http_code"] for r in result] == ["无法访问"] * 3
    assert "\\u65e0\\u6cd5" in stored(host)[0]["data"]


def test_a_request_to_stop_during_the_report_stores_nothing(run, host):
    def interrupted(*args):
        raise KeyboardInterrupt
    run.send_mail = interrupted
    run.answer = [node(code=500)] * 3
    with pytest.raises(KeyboardInterrupt):
        run.start(1)
    assert stored(host) == []


def test_a_probe_run_end_to_end_on_the_stand_in_panel(real_panel, dispatch_center, website, smtp,
                                                     stdout):
    write(os.path.join(DATA, "userInfo.json"), '{"username": "demo", "serverid": "%s"}' % SERVER_ID)
    write(os.path.join(DATA, "stmp_mail.json"), json.dumps(
        {"qq_mail": "alert@quellan.example", "hosts": "127.0.0.1", "port": smtp.port}))
    write(os.path.join(DATA, "dingding.json"), "{}")
    write(os.path.join(DATA, "mail_list.json"), '["ops@example.cn"]')
    healthy = real_panel.M("boce_task").insert({"name": "ok", "url": website + "/fast"})
    failing = real_panel.M("boce_task").insert({"name": "bad", "url": website + "/error"})
    plugin = start_boce.start_boce()

    fine = plugin.start(healthy)
    broken = plugin.start(failing)

    rows = real_panel.M("boce_list").order("id").select()
    assert [(r["pid"], r["status"]) for r in rows] == [(healthy, 1), (failing, 0)]
    stored_records = json.loads(rows[1]["data"])
    assert sorted(stored_records, key=lambda r: r["isp"]) == sorted(broken, key=lambda r: r["isp"])
    assert stored_records[-1]["primary_ip"] == "解析失败"  # the down node, after the report
    times = [r["total_time"] for r in fine]
    assert times == sorted(times, reverse=True) and fine[-1]["isp"] == NOT_RESPONDING
    assert [m.subject for m in smtp.messages()] == ["【bad】Quellan拔测监控到[3]个测试异常"]
    assert stdout.getvalue() == ""
    assert [r["node"] for r in stored_records][-1] == "沈阳电信"  # which node was down
    assert all("connect_time" in r for r in stored_records[:3])
