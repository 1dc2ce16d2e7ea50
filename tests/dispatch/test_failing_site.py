"""A site that fails or lures: an address that is not the Internet's is never fetched, and a site
that is down everywhere is reported as down, however late in the probe it fails."""

import json
import subprocess

import pytest

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

from boce_dispatch import records  # noqa: E402
from boce_dispatch.network import Network, free_port  # noqa: E402
from tests.common import SERVICE_ENV, SERVICE_PYTHON, ask_center  # noqa: E402

# On a veth link of a network namespace of the test's own; each answers when allowed, so a
# refusal is the address check's doing.
PRIVATE_ADDRESSES = ["10.1.2.3", "100.64.0.1", "192.0.0.8", "198.18.0.1", "169.254.1.1",
                     "fc00::1", "fec0::1", "64:ff9b:1::a00:1", "::ffff:0:a00:1", "::10.0.0.5",
                     "5f00::1", "2002:a00:1::1", "2001:0:a00:1::1", "64:ff9b::a00:1"]
TARGET_SCRIPT = """
import json, subprocess, sys, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import socket
from boce_dispatch import probe
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
print(json.dumps({a: [probe.measure(url(a), allow_private=p, timeout=3) for p in (False, True)]
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


@pytest.fixture(scope="module")
def checked_network(website):
    """Three honest agents whose check targets answer in 0.5 s, and a 5 s deadline."""
    checks = [website + "/fast?delay=0.5", website + "/?delay=0.5"]
    with Network([("北京电信", "bj"), ("上海联通", "sh"), ("广州移动", "gz")],
                 port=free_port(), allowed_servers=["s1"], deadline=5, allow_private=True,
                 env=SERVICE_ENV, python=SERVICE_PYTHON, check_urls=checks) as running:
        yield running


@pytest.mark.parametrize("fails_at", [None, 3.0, 4.35, 4.55])
def test_a_site_down_everywhere_is_down_however_late_it_fails(checked_network, website,
                                                              fails_at):
    """The site closes every connection without an answer at `fails_at` seconds (None: at
    once). The agents' check targets answer, so the failure is the site's, whatever time the
    probe's budget still leaves: no agent says it is cut off, and all three are anomalies."""
    delay = "" if fails_at is None else "?delay=%s" % fails_at
    status, answer = ask_center(checked_network.url, "s1", website + "/drop" + delay)
    assert status == 200
    assert [(r["isp"], r["http_code"]) for r in answer] == [
        ("北京电信", 0), ("上海联通", 0), ("广州移动", 0)]
    assert sum(records.is_anomalous(r) for r in answer) == 3  # the plug-in alerts
    assert "cut off" not in checked_network.log_tail("center", None)
