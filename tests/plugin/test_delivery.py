"""Real delivery through the stand-in panel's sender: SMTP on the loopback and a DingTalk
webhook served locally."""

import contextlib
import http.server
import json
import os
import socket
import ssl
import subprocess
import threading

import pytest

import start_boce
from tests import report_html
from tests.answers import record
from tests.common import DATA, json_post_recorder, write

TITLE = "【shop】Quellan拔测监控到[3]个测试异常"
RECORDS = [record(ip="", code=0, total=3000.5, lookup=2.25, transfer=0, size=0, speed=0),
           record(isp="上海联通", ip="10.0.0.1", code=502, total=80, lookup=1, transfer=70,
                  size=2048, speed=25600)]


@pytest.fixture
def shop(real_panel, monkeypatch):
    monkeypatch.setattr(real_panel, "format_date", lambda: "2026-12-07 09:30:00")
    return real_panel.M("boce_task").insert({"name": "shop", "url": "http://shop.example/"})


def expected_report(public):
    rows = [report_html.row([
        r["isp"], r["primary_ip"] or "解析失败", r["http_code"] or "无法访问",
        "%.2f" % r["total_time"], "%.2f" % r["namelookup_time"], "%.2f" % r["starttransfer_time"],
        public.to_size(r["size_download"]), public.to_size(r["speed_download"])],
        marked=not r["primary_ip"] or not r["http_code"]) for r in RECORDS]
    return report_html.head("2026-12-07 09:30:00") + "".join(rows) + report_html.TAIL


def configure_mail(smtp, recipients):
    write(os.path.join(DATA, "stmp_mail.json"), json.dumps(
        {"qq_mail": "alert@quellan.example", "qq_stmp_pwd": "", "hosts": "127.0.0.1",
         "port": smtp.port, "tls": "none"}))
    write(os.path.join(DATA, "dingding.json"), "{}")
    write(os.path.join(DATA, "mail_list.json"), json.dumps(recipients))


def test_one_message_per_recipient_in_list_order(shop, smtp, real_panel, stdout):
    configure_mail(smtp, ["first@example.cn", "second@example.cn"])
    data = [dict(r) for r in RECORDS]
    start_boce.start_boce().send_mail(data, 3, shop)

    messages = smtp.messages()
    assert [m.rcpt_tos for m in messages] == [["first@example.cn"], ["second@example.cn"]]
    for message in messages:
        assert message.subject == TITLE
        assert message.content_type == "text/html"
        assert message.body == expected_report(real_panel)
        assert message.mail_from == "alert@quellan.example"
        assert "alert@quellan.example" in message.sender
    assert stdout.getvalue() == ""


def test_the_mailbox_gets_it_when_the_list_is_empty(shop, smtp, stdout):
    configure_mail(smtp, [])
    start_boce.start_boce().send_mail([dict(r) for r in RECORDS], 3, shop)
    assert [m.rcpt_tos for m in smtp.messages()] == [["alert@quellan.example"]]
    assert stdout.getvalue() == "True\n"


def test_an_smtp_server_that_is_gone_is_reported_and_the_run_goes_on(shop, smtp, stdout):
    configure_mail(smtp, ["first@example.cn"])
    with open(os.path.join(DATA, "stmp_mail.json")) as f:
        settings = json.load(f)
    settings["port"] = 1  # nothing listens there
    write(os.path.join(DATA, "stmp_mail.json"), json.dumps(settings))
    start_boce.start_boce().send_mail([dict(r) for r in RECORDS], 3, shop)
    printed = stdout.getvalue()
    assert printed.startswith("Traceback") and "ConnectionRefusedError" in printed


Webhook = json_post_recorder(b'{"errcode": 0, "errmsg": "ok"}',
                             lambda handler, body: json.loads(body))


@contextlib.contextmanager
def dingding_webhook(handler):
    """A DingTalk webhook on the loopback, configured in the panel's settings."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        write(os.path.join(DATA, "stmp_mail.json"), '{"qq_mail": "alert@quellan.example"}')
        write(os.path.join(DATA, "dingding.json"), json.dumps(
            {"dingding_url": "http://127.0.0.1:%d/robot/send" % server.server_address[1]}))
        yield
    finally:
        server.shutdown()
        server.server_close()


def test_dingding_carries_the_whole_report_in_one_message(shop, real_panel):
    Webhook.received.clear()
    with dingding_webhook(Webhook):
        start_boce.start_boce().send_mail([dict(r) for r in RECORDS], 3, shop, "dingding")
    assert Webhook.received == [{"msgtype": "text",
                                 "text": {"content": expected_report(real_panel)}}]


class Redirect(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.send_response(302)
        self.send_header("Location", "/elsewhere")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def test_a_webhook_that_redirects_is_reported_not_followed(shop, real_panel, stdout):
    with dingding_webhook(Redirect):
        start_boce.start_boce().send_mail([dict(r) for r in RECORDS], 3, shop, "dingding")
    assert "HTTP Error 302" in stdout.getvalue()


@pytest.mark.parametrize("tls", ["ssl", "starttls"])
def test_an_smtp_server_with_an_unknown_certificate_gets_no_report(shop, tmp_path, stdout, tls):
    key, certificate = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    str(key), "-out", str(certificate), "-days", "1", "-subj", "/CN=impostor",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    received = []

    def impostor():
        connection, _ = listener.accept()
        with connection:
            if tls == "starttls":
                connection.sendall(b"220 impostor ESMTP\r\n")
                connection.recv(1024)  # EHLO
                connection.sendall(b"250-impostor\r\n250 STARTTLS\r\n")
                connection.recv(1024)  # STARTTLS
                connection.sendall(b"220 go ahead\r\n")
            try:
                with context.wrap_socket(connection, server_side=True) as secured:
                    received.append(secured.recv(1024))
            except (ssl.SSLError, OSError):
                pass
    thread = threading.Thread(target=impostor, daemon=True)
    thread.start()
    write(os.path.join(DATA, "stmp_mail.json"), json.dumps(
        {"qq_mail": "alert@quellan.example", "hosts": "127.0.0.1",
         "port": listener.getsockname()[1], "tls": tls}))
    write(os.path.join(DATA, "dingding.json"), "{}")
    write(os.path.join(DATA, "mail_list.json"), '["first@example.cn"]')
    start_boce.start_boce().send_mail([dict(r) for r in RECORDS], 3, shop)
    thread.join(10)
    listener.close()
    assert "CERTIFICATE_VERIFY_FAILED" in stdout.getvalue() and received == []
