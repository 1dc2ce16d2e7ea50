"""The anomaly report: its exact HTML, the replacement texts, and the delivery channels."""

import decimal
import os
import sys

import pytest

from tests import report_html
from tests.answers import record
from tests.common import DATA, write
from tests.doubles import Call, raise_

HEAD = report_html.head("2026-12-07 08:00:00")
TAIL = report_html.TAIL
TITLE = "【web】Quellan拔测监控到[3]个测试异常"


row = report_html.row


@pytest.fixture
def settings():
    """Mail configured, DingTalk not; the test changes them as it needs."""
    def configure(mail='{"qq_mail": "ops@example.cn"}', dingding="{}"):
        write(os.path.join(DATA, "stmp_mail.json"), mail)
        write(os.path.join(DATA, "dingding.json"), dingding)
    configure()
    return configure


@pytest.fixture
def task(host):
    host.public.tables["boce_task"] = {9: {"name": "web", "url": "http://web.example/"}}
    return 9


def with_recipients(plugin, recipients):
    plugin._start_boce__mail_list = recipients
    return plugin


def sent_reports(host):
    return [c for c in host.log if c.name in ("qq_smtp_send", "dingding_send")]


def test_the_exact_report_and_what_it_writes_into_the_records(plugin, host, settings, task):
    data = [
        record(ip="", code=0, total=1234.5678),
        {},
        record(isp="上海联通", code=500, total=0.125),
        None,
        record(isp="节点未响应", ip="", code=0, total=0, lookup=0, transfer=0, size=0, speed=0),
        record(isp="广州移动", ip="5.6.7.8", code=0, extra="kept"),
    ]
    with_recipients(plugin, ["a@example.cn"])
    plugin.send_mail(data, 3, task)

    body = sent_reports(host)[0].kwargs["body"]
    assert body == HEAD + "".join([
        row(["北京电信", "解析失败", "无法访问", "1234.57", "0.12", "0.38", "1024 B", "2048 B"], True),
        row(["上海联通", "1.2.3.4", "500", "0.12", "0.12", "0.38", "1024 B", "2048 B"]),
        row(["节点未响应", "解析失败", "无法访问", "0.00", "0.00", "0.00", "0 B", "0 B"], True),
        row(["广州移动", "5.6.7.8", "无法访问", "12.00", "0.12", "0.38", "1024 B", "2048 B"], True),
    ]) + TAIL
    assert data[0]["primary_ip"] == "解析失败" and data[0]["http_code"] == "无法访问"
    assert list(data[0]) == list(record())
    assert data[1] == {} and data[3] is None and data[2]["http_code"] == 500
    assert data[5]["primary_ip"] == "5.6.7.8" and data[5]["extra"] == "kept"


def test_no_rows_and_the_host_calls_in_order(plugin, host, settings, task):
    with_recipients(plugin, ["a@example.cn"])
    plugin.send_mail([], 3, task)
    assert host.log.names() == ["M", "where", "getField", "format_date", "ReadFile", "ReadFile",
                                "ReadFile", "ReadFile", "qq_smtp_send"]
    assert host.log[:3] == [Call("M", ("boce_task",)), Call("where", ("id=?", 9)),
                            Call("getField", ("name",))]
    assert host.log[-1] == Call("qq_smtp_send", ("a@example.cn",),
                                {"title": TITLE, "body": HEAD + TAIL})


def test_each_row_asks_for_two_size_texts(plugin, host, settings, task):
    plugin.send_mail([record(size=10, speed=20), record(size=30, speed=40)], 3, task)
    assert [c.args for c in host.log.named("to_size")] == [(10,), (20,), (30,), (40,)]


@pytest.mark.parametrize("value, text", [
    (0.125, "0.12"), (0.375, "0.38"), (12, "12.00"), (2.675, "2.67"), (-0.001, "-0.00"),
    (True, "1.00"), (10 ** 20, "100000000000000000000.00"), (2 ** 53 + 1, "9007199254740992.00"),
    (decimal.Decimal("1.005"), "1.00"), (float("nan"), "nan"), (float("inf"), "inf"),
])
def test_two_decimal_times(plugin, host, settings, task, value, text):
    plugin.send_mail([record(total=value)], 3, task)
    assert "<td>%sms</td>" % text in sent_reports(host)[0].kwargs["body"]


@pytest.mark.parametrize("code, text", [(200.0, "200.0"), ("0", "0"), (True, "True"),
                                        (2 ** 70, str(2 ** 70)), ([404], "[404]")])
def test_http_code_in_its_default_text_form(plugin, host, settings, task, code, text):
    plugin.send_mail([record(code=code)], 3, task)
    assert "</td><td>%s</td><td>" % text in sent_reports(host)[0].kwargs["body"]


def test_network_texts_are_escaped_and_the_records_keep_theirs(plugin, host, settings, task):
    host.public.date_text = "<b>today</b>"
    host.public.script(to_size=lambda n: "<i>%s</i>" % n)
    data = [record(isp="<script>alert('x')</script>", ip='1.2.3.4" onclick="x', code="<500 & co>")]
    plugin.send_mail(data, 3, task)
    body = sent_reports(host)[0].kwargs["body"]
    assert "<td>&lt;script&gt;alert(&#x27;x&#x27;)&lt;/script&gt;</td>" in body
    assert "<td>1.2.3.4&quot; onclick=&quot;x</td><td>&lt;500 &amp; co&gt;</td>" in body
    assert "(<b>today</b>)" in body and "<td><i>1024</i></td><td><i>2048</i>/s</td>" in body
    assert data[0]["isp"] == "<script>alert('x')</script>"


@pytest.mark.parametrize("reason, code_cell", [
    ("tls: certificate has expired", "无法访问 (tls: certificate has expired)"),
    ("dns: <no such name> & co", "无法访问 (dns: &lt;no such name&gt; &amp; co)"),
    ("bad\ud800", "无法访问 (bad\ufffd)"),
    # Nothing to say, or nothing that is a text: the row as it always was.
    ("", "无法访问"), (None, "无法访问"), (5, "无法访问"), (["x"], "无法访问"),
])
def test_a_row_says_why_its_node_got_no_answer(plugin, host, settings, task, reason, code_cell):
    data = [dict(record(code=0), reason=reason)]
    plugin.send_mail(data, 3, task)
    assert sent_reports(host)[0].kwargs["body"] == HEAD + row(
        ["北京电信", "1.2.3.4", code_cell, "12.00", "0.12", "0.38", "1024 B", "2048 B"],
        True) + TAIL
    assert data[0]["reason"] == reason and data[0]["http_code"] == "无法访问"


@pytest.mark.parametrize("field, value, cell", [
    ("isp", "bad\ud800isp", "bad\ufffdisp"),
    ("primary_ip", "\udfff<\ud83d\ude00>", "\ufffd&lt;\ufffd\ufffd&gt;"),
    ("code", "5\udc800", "5\ufffd0"),
    ("isp", "北京😀", "北京😀"),  # outside the BMP: unchanged
])
def test_surrogates_in_network_texts_become_replacement_characters(
        plugin, host, settings, task, field, value, cell):
    data = [record(**{"ip" if field == "primary_ip" else field: value})]
    plugin.send_mail(data, 3, task)
    body = sent_reports(host)[0].kwargs["body"]
    assert "<td>%s</td>" % cell in body
    body.encode("utf-8")  # the sender can always encode it
    assert value in data[0].values()  # the record keeps its text


@pytest.mark.parametrize("bad, error", [
    (dict(isp=5), TypeError), (dict(isp=None), TypeError), (dict(ip=17), TypeError),
    (dict(total="12"), ValueError), (dict(transfer=None), TypeError),
])
def test_a_record_that_cannot_be_written_fails_after_earlier_replacements(
        plugin, host, settings, task, bad, error):
    data = [record(ip="", code=0), record(**bad, code=0)]
    with pytest.raises(error):
        plugin.send_mail(data, 3, task)
    assert data[0]["primary_ip"] == "解析失败" and data[1]["http_code"] == "无法访问"
    assert "ReadFile" not in host.log.names() and sent_reports(host) == []


@pytest.mark.parametrize("broken", [{"format_date": lambda: 5}, {"to_size": lambda n: None},
                                    {"M": lambda t: raise_(RuntimeError("db"))}])
def test_host_services_that_fail_the_report(plugin, host, settings, task, broken):
    host.public.script(**broken)
    with pytest.raises((TypeError, RuntimeError)):
        plugin.send_mail([record()], 3, task)


def test_a_missing_field_fails_with_its_key(plugin, settings, task):
    broken = record()
    del broken["speed_download"]
    with pytest.raises(KeyError, match="speed_download"):
        plugin.send_mail([broken], 3, task)


def test_title_uses_the_default_text_forms(plugin, host, settings):
    plugin.send_mail([], 12, 404)  # no such task: getField gives False
    assert sent_reports(host)[0].kwargs["title"] == "【False】Quellan拔测监控到[12]个测试异常"


# ---- channels ---------------------------------------------------------------------------------

def test_mail_goes_to_each_recipient_in_order(plugin, host, settings, task, stdout):
    with_recipients(plugin, ["a@example.cn", "b@example.cn"])
    plugin.send_mail([record()], 3, task)
    sends = sent_reports(host)
    assert [c.args for c in sends] == [("a@example.cn",), ("b@example.cn",)]
    assert sends[0].kwargs == sends[1].kwargs and sends[0].kwargs["title"] == TITLE
    assert stdout.getvalue() == ""


def test_without_recipients_the_mailbox_gets_it_and_the_answer_is_printed(
        plugin, host, settings, task, stdout):
    host.send_mail.mail_answer = lambda email: {"status": True, "to": email}
    plugin.send_mail([record()], 3, task)
    assert [c.args for c in sent_reports(host)] == [("ops@example.cn",)]
    assert stdout.getvalue() == "{'status': True, 'to': 'ops@example.cn'}\n"


@pytest.mark.parametrize("recipients", [[], ["a@example.cn", "b@example.cn"]])
def test_mail_flag_false_sends_nothing_but_changes_the_records(
        plugin, host, settings, task, stdout, recipients):
    settings(mail="{}")
    with_recipients(plugin, recipients)
    data = [record(ip="")]
    plugin.send_mail(data, 3, task)
    assert sent_reports(host) == [] and stdout.getvalue() == ""
    assert data[0]["primary_ip"] == "解析失败"


def test_dingding_sends_the_report_alone_even_when_its_flag_is_false(plugin, host, settings, task):
    with_recipients(plugin, ["a@example.cn"])
    plugin.send_mail([record()], 3, task, "dingding")
    sends = sent_reports(host)
    assert len(sends) == 1 and sends[0].name == "dingding_send"
    assert sends[0].args[0].startswith("<h2>") and sends[0].kwargs == {}


@pytest.mark.parametrize("channel", ["Mail", "DINGDING", "sms", None])
def test_another_channel_sends_nothing_yet_reads_the_settings(plugin, host, settings, task,
                                                              channel):
    data = [record(code=0)]
    plugin.send_mail(data, 3, task, send=channel)
    assert sent_reports(host) == [] and host.log.names().count("ReadFile") == 4
    assert data[0]["http_code"] == "无法访问"


def test_the_mailbox_case_needs_qq_mail(plugin, settings, task):
    settings(mail='{"user": "x"}')
    with pytest.raises(KeyError):
        plugin.send_mail([], 3, task)


def test_a_failing_send_is_reported_and_the_next_recipient_still_gets_mail(
        plugin, host, settings, task, stdout):
    with_recipients(plugin, ["a@example.cn", "b@example.cn", "c@example.cn"])
    def answer(email):
        if email == "b@example.cn":
            raise ConnectionRefusedError("smtp down")
        return True
    host.send_mail.mail_answer = answer
    host.public.script(get_error_info=lambda: "error: %r" % (sys.exc_info()[1],))
    plugin.send_mail([record()], 3, task)
    assert [c.args[0] for c in sent_reports(host)] == ["a@example.cn", "b@example.cn",
                                                       "c@example.cn"]
    assert stdout.getvalue() == "error: ConnectionRefusedError('smtp down')\n"


def test_a_failing_mailbox_send_prints_only_the_error(plugin, host, settings, task, stdout):
    host.send_mail.mail_answer = lambda email: raise_(OSError("no route"))
    host.public.script(get_error_info=lambda: "ERR")
    plugin.send_mail([record()], 3, task)
    assert stdout.getvalue() == "ERR\n"


@pytest.mark.parametrize("channel", ["mail", "dingding"])
def test_a_request_to_stop_is_not_swallowed(plugin, host, settings, task, channel):
    with_recipients(plugin, ["a@example.cn", "b@example.cn"])
    host.send_mail.mail_answer = lambda email: raise_(KeyboardInterrupt())
    host.send_mail.dingding_answer = lambda text: raise_(SystemExit(3))
    with pytest.raises((KeyboardInterrupt, SystemExit)):
        plugin.send_mail([record()], 3, task, channel)
    assert len(sent_reports(host)) == 1
