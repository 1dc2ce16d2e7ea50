"""One fetch with libcurl: only global addresses, never the environment's proxy, capped bodies,
redirects recorded not followed, and every code 0 with its reason."""

import json
import subprocess
import time

import pytest

from boce_dispatch.agent import http_probe
from tests.common import (
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
)
from tools.ports import free_port


@pytest.mark.parametrize("proxy_variable", ["http_proxy", "HTTPS_PROXY", "ALL_PROXY"])
def test_the_environment_proxy_is_never_used(website, monkeypatch, proxy_variable):
    monkeypatch.setenv(proxy_variable, "http://127.0.0.1:%d" % free_port())  # nobody there
    assert http_probe.measure(website + "/fast", allow_private=True)["http_code"] == 200
    for target in (website + "/fast", "http://100.64.0.1/", "http://169.254.169.254/latest",
                   "http://[fec0::1]/", "http://[::ffff:127.0.0.1]/"):
        refused = http_probe.measure(target, timeout=2)  # no proxy carries it past the check
        assert (refused["http_code"], refused["primary_ip"]) == (0, ""), target


def test_bodies_are_capped_and_redirects_recorded_not_followed(website, monkeypatch):
    monkeypatch.setattr(http_probe, "MAX_BODY_BYTES", 100)
    assert http_probe.measure(website + "/fast", allow_private=True)["size_download"] == 100
    moved = http_probe.measure(website + "/redirect", allow_private=True)
    assert moved["http_code"] == 301 and moved["size_download"] == 0


def test_every_code_0_says_why_in_the_center_log(limited_network):
    closed = "http://127.0.0.1:%d/" % free_port()
    status, answer = ask_center(limited_network.url, "s1", closed)
    assert status == 200 and {r["http_code"] for r in answer} == {0}
    assert "北京电信:0/" in limited_network.log_tail("center", 5)
    assert "('connect: connection refused')" in limited_network.log_tail("center", 5)
    assert {r["reason"] for r in answer} == {"connect: connection refused"}  # and the panel's


DAY = 86400


@pytest.mark.parametrize("kind, reason, expires_in_days, issuer", [
    ("valid", "", 90, "Boce Test CA"),
    ("expiring", "", 10, "Boce Test CA"),
    ("expired", "tls: certificate has expired", -30, "Boce Test CA"),
    ("self-signed", "tls: self-signed certificate", 90, "Nobody"),
    ("wrong-name", "tls: no alternative certificate subject name matches target IPv4 address "
     "'127.0.0.1'", 90, "Boce Test CA"),
])
def test_an_https_record_says_why_it_failed_and_when_the_certificate_ends(
        tls_sites, kind, reason, expires_in_days, issuer):
    record = http_probe.measure(tls_sites.url[kind] + "/fast", allow_private=True,
                                ca_file=tls_sites.ca_file)
    assert (record["reason"], record["cert_issuer"], record["tls_version"]) == (
        reason, issuer, "TLSv1.3")
    assert abs(record["cert_expiry"] - time.time() - expires_in_days * DAY) < 600
    answered = not reason
    assert (record["http_code"] == 200, record["http_version"]) == (
        answered, "1.1" if answered else "")
    # Only phases that happened have a time: no first byte without an answer, no TLS time
    # without a finished handshake; the connection was made either way.
    assert (record["starttransfer_time"] > 0, record["appconnect_time"] > 0) == (answered,
                                                                                  answered)
    assert record["connect_time"] > 0 and record["ip_version"] == 4


@pytest.mark.parametrize("url, reason", [
    ("http://127.0.0.1:{closed}/", "connect: connection refused"),
    ("http://nonexistent.invalid/", "dns: "),
    ("{site}/fast", ""),
])
def test_phases_that_never_happened_have_no_time_and_http_has_no_certificate(website, url,
                                                                              reason):
    record = http_probe.measure(url.format(closed=free_port(), site=website), allow_private=True,
                                timeout=3)
    assert record["reason"].startswith(reason) and bool(record["reason"]) == bool(reason)
    assert (record["cert_expiry"], record["cert_issuer"], record["tls_version"],
            record["appconnect_time"]) == (0, "", "", 0)
    if reason:
        assert (record["namelookup_time"], record["connect_time"], record["starttransfer_time"],
                record["http_version"], record["ip_version"]) == (0, 0, 0, "", 0)
    else:
        assert (record["http_version"], record["ip_version"]) == ("1.1", 4)


USING = b"SSL connection using TLSv1.3 / TLS_AES_256_GCM_SHA384 / X25519 / id-ecPublicKey\n"


@pytest.mark.parametrize("notes, facts", [
    ([USING, b"  expire date: Dec  8 20:09:10 2026 GMT\n",
      b"  issuer: C=US; O=Let's Encrypt; CN=R3\n"], ("TLSv1.3", 1796760550, "Let's Encrypt")),
    ([b"  expire date: Feb 29 00:00:00 2028 GMT", b"  issuer: CN=Only A Name"],
     ("", 1835395200, "Only A Name")),
    ([b"  expire date: Dec 31 23:59:60 2016 GMT\r\n"], ("", 1483228800, "")),  # a leap second
    ([b"  expire date: Foo  1 00:00:00 2030 GMT"], ("", 0, "")),
    ([b"  expire date: Dec 32 00:00:00 2030 GMT"], ("", 0, "")),
    ([b"  expire date: Dec  8 24:00:00 2030 GMT"], ("", 0, "")),
    ([b"  expire date: 2030-12-08 00:00:00 GMT"], ("", 0, "")),
    ([b"SSL connection using QUIC / x", b"  issuer: C=CN"], ("", 0, "")),
    ([], ("", 0, "")),
])
def test_the_tls_facts_are_read_from_libcurls_lines_and_odd_ones_give_nothing(notes, facts):
    assert http_probe._tls_facts(notes) == facts


def test_without_the_operators_ca_the_systems_store_decides(tls_sites):
    record = http_probe.measure(tls_sites.url["valid"] + "/fast", allow_private=True)
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
print(json.dumps({a: [http_probe.measure(url(a), allow_private=p, timeout=3) for p in (False, True)]
                  for a in addresses}))
"""


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
