"""One fetch with libcurl: only global addresses, never the environment's proxy, capped bodies,
redirects recorded not followed, and every code 0 with its reason."""

import contextlib
import json
import socket
import subprocess
import threading
import time
import urllib.parse

import pycurl
import pytest

from boce_dispatch import records
from boce_dispatch.agent import http_probe
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
)
from tools.lab.ports import free_port


@pytest.mark.parametrize("proxy_variable", ["http_proxy", "HTTPS_PROXY", "ALL_PROXY"])
def test_the_environment_proxy_is_never_used(website, monkeypatch, proxy_variable):
    monkeypatch.setenv(proxy_variable, "http://127.0.0.1:%d" % free_port())  # nobody there
    assert fetched(website + "/fast", allow_private=True)["http_code"] == 200
    for target in (website + "/fast", "http://100.64.0.1/", "http://169.254.169.254/latest",
                   "http://[fec0::1]/", "http://[::ffff:127.0.0.1]/"):
        refused = fetched(target, seconds=2)  # no proxy carries it past the check
        assert (refused["http_code"], refused["primary_ip"]) == (0, ""), target


def test_bodies_are_capped_and_redirects_recorded_not_followed(website, monkeypatch):
    monkeypatch.setattr(http_probe, "MAX_BODY_BYTES", 100)
    assert fetched(website + "/fast", allow_private=True)["size_download"] == 100
    moved = fetched(website + "/redirect", allow_private=True)
    assert moved["http_code"] == 301 and moved["size_download"] == 0


def test_every_code_0_says_why_in_the_center_log(limited_network):
    closed = "http://127.0.0.1:%d/" % free_port()
    status, answer = ask_center(limited_network.url, "s1", closed)
    assert status == 200 and {r["http_code"] for r in answer} == {0}
    assert "北京电信:0/" in limited_network.log_tail("center", 5)
    assert "('connect: connection refused')" in limited_network.log_tail("center", 5)
    assert {r["reason"] for r in answer} == {"connect: connection refused"}  # and the panel's


DAY = 86400


def fetched(url, seconds=15, **options):
    """The record of one fetch of `url` as an agent with `options` makes it."""
    return http_probe.measure(url, seconds, http_probe.ProbeOptions(**options))


@pytest.mark.parametrize("kind, reason, expires_in_days, issuer, depth, subject", [
    ("valid", "", 90, "Boce Test CA", 0, "probe test valid"),
    ("expiring", "", 10, "Boce Test CA", 0, "probe test expiring"),
    ("expired", "tls: certificate has expired", -30, "Boce Test CA", 0, "probe test expired"),
    ("self-signed", "tls: self-signed certificate", 90, "Nobody", 0, "probe test self-signed"),
    ("wrong-name", "tls: no alternative certificate subject name matches target IPv4 address "
     "'127.0.0.1'", 90, "Boce Test CA", 0, "probe test wrong-name"),
    # The chain's first lapse is its intermediate's, whose organisation holds a separator.
    ("intermediate-expiring", "", 5, "Acme, Inc.", 1, "expiring-intermediate"),
    ("intermediate-expired", "tls: certificate has expired", -10, "Acme; Inc.", 1,
     "expired-intermediate"),
])
def test_an_https_record_says_why_it_failed_and_when_its_chain_first_lapses(
        tls_sites, kind, reason, expires_in_days, issuer, depth, subject):
    record = fetched(tls_sites.url[kind] + "/fast", allow_private=True,
                                ca_file=tls_sites.ca_file)
    assert (record["reason"], record["cert_issuer"], record["tls_version"]) == (
        reason, issuer, "TLSv1.3")
    assert abs(record["cert_expiry"] - time.time() - expires_in_days * DAY) < 600
    assert (record["cert_depth"], record["cert_subject"]) == (depth, subject)
    answered = not reason
    assert (record["http_code"] == 200, record["http_version"]) == (
        answered, "1.1" if answered else "")
    # Only phases that happened have a time: no first byte without an answer, no TLS time
    # without a finished handshake; the connection was made either way.
    assert (record["starttransfer_time"] > 0, record["appconnect_time"] > 0) == (answered,
                                                                                  answered)
    assert record["connect_time"] > 0 and record["ip_version"] == 4


@pytest.mark.parametrize("url, reason, address", [
    ("http://127.0.0.1:{closed}/", "connect: connection refused", "127.0.0.1"),
    ("http://nonexistent.invalid/", "dns: ", ""),
    ("{site}/fast", "", "127.0.0.1"),
])
def test_phases_that_never_happened_have_no_time_and_http_has_no_certificate(website, url,
                                                                              reason, address):
    record = fetched(url.format(closed=free_port(), site=website), 3, allow_private=True)
    assert record["reason"].startswith(reason) and bool(record["reason"]) == bool(reason)
    assert (record["cert_expiry"], record["cert_issuer"], record["tls_version"],
            record["appconnect_time"], record["cert_depth"], record["cert_subject"]) == (
        0, "", "", 0, 0, "")
    # A refused connection still had its address: the name resolved to what was tried.
    assert record["primary_ip"] == address
    if reason:
        assert (record["connect_time"], record["starttransfer_time"], record["http_version"],
                record["ip_version"]) == (0, 0, "", 0)
    else:
        assert (record["http_version"], record["ip_version"]) == ("1.1", 4)


CHAIN = [[("Subject", "CN = www.example.cn"), ("Issuer", 'O = "Acme, Inc.", CN = Acme R3'),
          ("Expire date", "Feb  7 12:28:17 2027 GMT")],
         [("Subject", 'O = "Acme, Inc.", CN = Acme R3'), ("Issuer", "O = Root, CN = Root"),
          ("Expire date", "Nov 29 12:28:17 2026 GMT")]]


@pytest.mark.parametrize("chain, facts", [
    (CHAIN, (1795955297, 1, "Acme R3", "Acme, Inc.")),
    (CHAIN[:1], (1802003297, 0, "www.example.cn", "Acme, Inc.")),
    ([[("Subject", "O = \\E4\\B8\\AD\\E5\\9B\\BD"), ("Issuer", 'O = "a \\"q\\" b"'),
       ("Expire date", "Dec 31 23:59:60 2016 GMT")]], (1483228800, 0, "中国", 'a "q" b')),
    ([[("Issuer", "CN = Only A Name"), ("Expire date", "Feb 29 00:00:00 2028 GMT")]],
     (1835395200, 0, "", "Only A Name")),
    ([[("Expire date", "Foo  1 00:00:00 2030 GMT")]], (0, 0, "", "")),
    ([[("Expire date", "Dec 32 00:00:00 2030 GMT")]], (0, 0, "", "")),
    ([[("Expire date", "2030-12-08 00:00:00 GMT")]], (0, 0, "", "")),
    ([], (0, 0, "", "")),
])
def test_the_chain_facts_are_read_from_libcurls_certificates_and_odd_ones_give_nothing(chain,
                                                                                      facts):
    read = http_probe._chain_facts(chain)
    assert (read["cert_expiry"], read["cert_depth"], read["cert_subject"],
            read["cert_issuer"]) == facts


@pytest.mark.parametrize("notes, version", [
    ([b"SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384 / X25519 / id-ecPublicKey\n"],
     "TLSv1.3"),
    ([b"SSL connection using QUIC / x"], ""), ([], ""),
])
def test_the_tls_version_is_read_from_libcurls_line(notes, version):
    assert http_probe._tls_version(notes) == version


@pytest.mark.parametrize("times, monotone", [
    # libcurl ends the name lookup after the IPv6 connection that one family made.
    ((5.0, 3.0, 0, 7.0, 9.0), (3.0, 3.0, 0, 7.0, 9.0)),
    ((1.0, 2.0, 3.0, 4.0, 5.0), (1.0, 2.0, 3.0, 4.0, 5.0)),
    ((1.0, 0, 0, 0, 2.0), (1.0, 0, 0, 0, 2.0)),
    ((6.0, 5.0, 8.0, 7.0, 7.5), (5.0, 5.0, 7.0, 7.0, 7.5)),
])
def test_each_time_includes_the_phases_before_it(times, monotone):
    phases = http_probe.CURL_TIMES_IN_ORDER
    assert tuple(http_probe._monotone(dict(zip(phases, times, strict=True)), phases).values()) \
        == monotone


def test_without_the_operators_ca_the_systems_store_decides(tls_sites):
    record = fetched(tls_sites.url["valid"] + "/fast", allow_private=True)
    assert record["reason"] == "tls: unable to get local issuer certificate"


# On a veth link of a network namespace of the test's own; each answers when allowed, so a
# refusal is the address check's doing.
PRIVATE_ADDRESSES = ["10.1.2.3", "100.64.0.1", "192.0.0.8", "198.18.0.1", "169.254.1.1",
                     "fc00::1", "fec0::1", "64:ff9b:1::a00:1", "::ffff:0:a00:1", "::10.0.0.5",
                     "5f00::1", "2002:a00:1::1", "2001:0:a00:1::1", "64:ff9b::a00:1"]


TARGET_SCRIPT = """
import json, subprocess, sys, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import socket
from boce_dispatch.agent import http_probe
addresses = json.loads(sys.argv[1])
run = lambda *c: subprocess.run(c, check=True)
run("ip", "link", "set", "lo", "up")
run("ip", "link", "add", "d0", "type", "veth", "peer", "name", "d1")
run("ip", "link", "set", "d0", "up")
for a in addresses:
    run("ip", "addr", "add", a + ("/128" if ":" in a else "/32"), "dev", "d0", "nodad")
class Server(ThreadingHTTPServer):
    address_family = socket.AF_INET6
class Page(BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200); self.send_header("Content-Length", "2"); self.end_headers()
        self.wfile.write(b"ok")
    def log_message(self, *a): pass
server = Server(("::", 8080), Page)
threading.Thread(target=server.serve_forever, daemon=True).start()
url = lambda a: "http://%s:%d/" % ("[%s]" % a if ":" in a else a, 8080)
print(json.dumps({a: [http_probe.measure(url(a), 3, http_probe.ProbeOptions(allow_private=p))
                      for p in (False, True)]
                  for a in addresses}))
"""


@pytest.mark.processes
def test_non_global_addresses_are_never_fetched():
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", SERVICE_PYTHON, "-c",
         TARGET_SCRIPT, json.dumps(PRIVATE_ADDRESSES)],
        capture_output=True, text=True, timeout=120, env=SERVICE_ENV)
    assert result.returncode == 0, result.stderr[-2000:]
    seen = json.loads(result.stdout)
    refused = {a: (r[0]["http_code"], r[0]["primary_ip"]) for a, r in seen.items()}
    assert refused == {a: (0, "") for a in PRIVATE_ADDRESSES}
    answered = [a for a, r in seen.items() if r[1]["http_code"] == 200]
    assert len(answered) >= len(PRIVATE_ADDRESSES) - 3, seen  # the check's doing


@contextlib.contextmanager
def raw_site(answer):
    """A listener on 127.0.0.1 (not ::1) that answers each connection with `answer(conn)` once
    it has read the request's head; its port."""
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                head = b""
                while b"\r\n\r\n" not in head:
                    head += connection.recv(4096) or b"\r\n\r\n"
                answer(connection, stop)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield listener.getsockname()[1]
    finally:
        stop.set()
        listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        listener.close()
        thread.join(10)


HEAD_OF_1000 = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"


def cut_short(connection, stop):
    connection.sendall(HEAD_OF_1000 + b"x" * 100)  # then the connection closes


def stalled(connection, stop):
    connection.sendall(HEAD_OF_1000 + b"x" * 100)
    stop.wait(30)  # and nothing more until the fetch gives up


def empty_reply(connection, stop):
    pass


def garbage(connection, stop):
    connection.sendall(b"garbage\r\n\r\n")


@pytest.mark.parametrize("answer, reason", [
    (cut_short, "body: cut short after 100 of 1000 bytes"),
    (stalled, "body: time-out after 1.0 s, 100 of 1000 bytes received"),
])
def test_an_answer_cut_short_or_stalled_after_its_head_is_a_failed_fetch(answer, reason):
    """The head said 200 and 1,000 bytes; 100 came: no answer, and counted anomalous as any
    failed fetch (curl ends with exit 18 or 28)."""
    with raw_site(answer) as port:
        record = fetched("http://127.0.0.1:%d/" % port, allow_private=True,
                                    seconds=1)
    assert (record["http_code"], record["reason"], record["size_download"]) == (0, reason, 100)
    assert record["starttransfer_time"] > 0 and record["http_version"] == "1.1"
    assert records.is_anomalous(records.checked_record(record, "北京电信"))


@pytest.mark.parametrize("answer, reason", [
    (empty_reply, "answer: empty reply from server"),
    (garbage, "fetch: "),
])
def test_the_reason_is_this_attempts_own_after_another_address_failed(answer, reason):
    """A name with an IPv6 and an IPv4 address: ::1 refuses, 127.0.0.1 accepts and answers
    badly. The reason is the IPv4 answer's, not the refused IPv6 connection's errno."""
    with raw_site(answer) as port:
        fetch = http_probe.Fetch(pycurl.Curl(), "http://dual.test:%d/" % port, 3,
                                 http_probe.ProbeOptions(allow_private=True))
        fetch.curl.setopt(pycurl.RESOLVE, ["dual.test:%d:[::1],127.0.0.1" % port])
        try:
            fetch.curl.perform()
            failure = None
        except pycurl.error as error:
            failure = error
        record = fetch.record(failure)
        fetch.curl.close()
        fetch.close_sockets()
    assert record["reason"].startswith(reason) and "refused" not in record["reason"]
    assert (record["primary_ip"], record["ip_version"]) == ("127.0.0.1", 4)


def test_an_ipv4_mapped_address_is_ipv4_on_the_wire(website):
    port = urllib.parse.urlsplit(website).port
    record = fetched("http://[::ffff:127.0.0.1]:%d/fast" % port, allow_private=True)
    assert (record["http_code"], record["ip_version"]) == (200, 4)
