"""The dispatch request: task look-up, identity, the post and the decoded answer."""

import json
import os
import re
import sys

import pytest

import start_boce
from boce_dispatch import contract
from boce_dispatch.records import FIELDS
from tests.answers import record
from tests.common import DATA, DISPATCH_URL, REPO, read_bytes, write
from tests.doubles import Call, raise_

ACCOUNT = os.path.join(DATA, "userInfo.json")
NOT_FOUND = {"status": False, "msg": "指定任务不存在!"}
UNREACHABLE = {"status": False, "msg": "连接调度中心失败!"}
RECORD = record(total=12.5, lookup=1, transfer=10, size=100, speed=8000)


@pytest.fixture
def account():
    write(ACCOUNT, '{"uid": 7, "serverid": "%s"}' % ("a" * 64))
    return {"uid": 7, "serverid": "a" * 64}


@pytest.mark.parametrize("row", [None, {"url": ""}, {"url": None}])
def test_a_missing_task_or_empty_url_sends_nothing(plugin, host, account, row):
    if row is not None:
        host.public.tables["boce_task"] = {5: row}
    assert plugin._send_task(5) == NOT_FOUND
    assert host.log == [Call("M", ("boce_task",)), Call("where", ("id=?", 5)),
                        Call("getField", ("url",)), Call("returnMsg", (False, "指定任务不存在!"))]


@pytest.mark.parametrize("task_id", [5, "5"])
def test_the_request_goes_out_with_the_identity_and_the_url(plugin, host, account, task_id):
    host.public.tables["boce_task"] = {task_id: {"url": "http://site.example/"}}
    host.public.http_answer = json.dumps([RECORD], ensure_ascii=False)

    assert plugin._send_task(task_id) == [RECORD]

    where = host.log.named("where")[0]
    assert where.args[1] is task_id
    post = host.log.named("httpPost")[0]
    assert post == Call("httpPost", (DISPATCH_URL, dict(account, url="http://site.example/"),
                                     contract.PLUGIN_TIMEOUT_SECONDS))
    assert host.log.names() == ["M", "where", "getField", "readFile", "httpPost"]
    assert "url" not in json.loads(read_bytes(ACCOUNT))


def test_a_server_without_an_account_still_asks(plugin, host):
    host.public.tables["boce_task"] = {1: {"url": "http://site.example/"}}
    host.public.http_answer = '{"status": false, "msg": "not bound"}'
    assert plugin._send_task(1) == {"status": False, "msg": "not bound"}
    data = host.log.named("httpPost")[0].args[1]
    assert data == {"status": False, "msg": "请先登陆Dovrin官网用户", "url": "http://site.example/"}


@pytest.mark.parametrize("answer, decoded", [
    ("[]", []), ('{"a": 1}', {"a": 1}), ('"text"', "text"), ("3", 3), ("null", None),
])
def test_any_json_answer_is_returned_as_decoded(plugin, host, account, answer, decoded):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    host.public.http_answer = answer
    assert plugin._send_task(1) == decoded


@pytest.mark.parametrize("post", [
    lambda *a: raise_(ConnectionRefusedError("refused")),
    lambda *a: "",
    lambda *a: "<html><body>502 Bad Gateway</body></html>",
    lambda *a: None,
])
def test_a_failed_post_or_answer_prints_one_line_and_returns_the_failure(
        plugin, host, account, stdout, post):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    host.public.script(httpPost=post)
    seen = []
    host.public.script(get_error_info=lambda: seen.append(sys.exc_info()[1]) or "ERROR-TEXT")

    assert plugin._send_task(1) == UNREACHABLE

    assert stdout.getvalue() == "ERROR-TEXT\n"
    assert isinstance(seen[0], BaseException)
    assert host.log.names()[-2:] == ["get_error_info", "returnMsg"]


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(2), GeneratorExit()])
@pytest.mark.parametrize("where", ["httpPost", "loads"])
def test_a_request_to_stop_during_the_post_is_not_swallowed(plugin, host, account, stdout,
                                                            monkeypatch, stop, where):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    if where == "httpPost":
        host.public.script(httpPost=lambda *a: raise_(stop))
    else:
        monkeypatch.setattr(start_boce, "json", type("J", (), {
            "loads": staticmethod(lambda text: raise_(stop)), "dumps": staticmethod(json.dumps)}))
    with pytest.raises(type(stop)):
        plugin._send_task(1)
    assert stdout.getvalue() == ""
    assert {"get_error_info", "returnMsg"}.isdisjoint(host.log.names())


def test_the_error_description_sees_the_handled_error_and_it_is_restored(plugin, host, account,
                                                                         stdout):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    host.public.http_answer = "<html>"
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        assert plugin._send_task(1) == UNREACHABLE
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)
    printed = stdout.getvalue()
    assert printed.startswith("Traceback (most recent call last):")
    assert "JSONDecodeError" in printed and printed.count("\n") > 2


def test_errors_outside_the_post_reach_the_caller(plugin, host, account):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    write(ACCOUNT, "{broken")
    with pytest.raises(json.JSONDecodeError):
        plugin._send_task(1)
    assert "httpPost" not in host.log.names()
    host.public.script(M=lambda table: raise_(RuntimeError("database is locked")))
    with pytest.raises(RuntimeError, match="database is locked"):
        plugin._send_task(1)


def test_the_error_description_carries_the_traceback_of_the_failed_post(plugin, host, account,
                                                                        stdout):
    host.public.tables["boce_task"] = {1: {"url": "u"}}
    host.public.script(httpPost=lambda *a: raise_(ConnectionRefusedError("refused")))
    assert plugin._send_task(1) == UNREACHABLE
    printed = stdout.getvalue()
    assert "in raise_" in printed
    assert printed.endswith("ConnectionRefusedError: refused\n\n")


def test_the_module_reads_the_fields_the_center_sends():
    """The module names the record's fields by the wire contract's constants (the build makes
    them from wire.json), each under its own name, in the contract's order."""
    with open(os.path.join(REPO, "src", "start_boce", "names.hpp"), encoding="utf-8") as f:
        block = f.read().split("// Fields of a probe result record")[1].split("\n\n")[0]
    named = re.findall(r"Name (\w+)\{wire::field_(\w+)\}", block)
    assert all(name == field for name, field in named)
    fields = tuple(field for _, field in named)
    assert fields[:len(FIELDS)] == FIELDS
    assert set(fields[len(FIELDS):]) <= set(contract.EXPLAINING_FIELDS)  # what it reads of them
