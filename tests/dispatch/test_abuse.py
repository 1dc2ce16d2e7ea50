"""The probe network under abuse: hostile panels and clients, misbehaving agents, a shutdown in
the middle of a probe. Memory stays bounded, slow clients cannot starve the center, and a panel
is answered within the deadline whatever the agents do."""

import asyncio
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

import nats  # noqa: E402

from boce_dispatch import agent  # noqa: E402
from boce_dispatch.network import Network, free_port  # noqa: E402
from tests.common import (  # noqa: E402
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    held_by_site,
    nginx_front,
    wait_until,
)

DEADLINE = 2.0
MiB = 1024 * 1024


@pytest.fixture(scope="module")
def network():
    with Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                 allowed_servers=["s1"], deadline=DEADLINE, max_probes=4,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as running:
        yield running


def ask_timed(center_url, serverid, target):
    """ask_center's status and answer, and the seconds the panel waited for them."""
    started = time.monotonic()
    return (*ask_center(center_url, serverid, target), time.monotonic() - started)


def status_field(pid, name):
    with open("/proc/%s/status" % pid) as f:
        return dict(line.split(":", 1) for line in f)[name].strip()


def resident_mib(process):
    return int(status_field(process.pid, "VmRSS").split()[0]) / 1024


def stream(port, head, total):
    """Sends `head`, then up to `total` bytes as fast as the center takes them."""
    chunk, sent = b"x" * MiB, 0
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(head)
            while sent < total:
                s.sendall(chunk)
                sent += len(chunk)
        except OSError:
            pass  # the center refused the body and closed the connection
    return sent


# ---- memory -------------------------------------------------------------------------------

@pytest.mark.parametrize("head", [
    b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
    b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
    b"10000000\r\n",
    b"POST /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n",
])
def test_a_streamed_body_of_256_mib_does_not_grow_the_center(network, head):
    center = network.processes["center"]
    before = resident_mib(center)
    stream(network.port, head, 256 * MiB)
    assert resident_mib(center) - before < 64
    assert ask_center(network.url, "stranger", "http://x/")[0] == 403  # still serving


def test_a_burst_of_300_panels_gets_no_reset(network):
    async def burst():
        async def one(n):  # each panel a server of its own, with its own address
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", network.port, local_addr=("127.0.1.%d" % (n % 250 + 1), 0))
            body = b"serverid=stranger&url=http%3A%2F%2Fx%2F"
            writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                         b"Content-Type: application/x-www-form-urlencoded\r\n"
                         b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
            status = (await reader.readline()).split()[1]
            writer.close()
            return status
        return await asyncio.gather(*[one(n) for n in range(300)], return_exceptions=True)
    assert asyncio.run(burst()) == [b"403"] * 300


# ---- slow clients -------------------------------------------------------------------------

def test_trickling_clients_cannot_hold_the_center(network, website):
    """1,000 trickling connections from 200 addresses and 100 from one: the one address gets
    its cap and no more at once, every trickler is closed once its time for a head is up, and
    a panel posted meanwhile is answered within the deadline."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    from boce_dispatch import center, front
    sources = ["127.0.2.%d" % (n % 200 + 1) for n in range(1000)] + ["127.0.3.1"] * 100

    async def trickle(seconds):
        connections = []
        for source in sources:
            reader, writer = await asyncio.open_connection("127.0.0.1", network.port,
                                                           local_addr=(source, 0))
            writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n")
            connections.append((reader, writer))
        answered = await asyncio.to_thread(ask_timed, network.url, "s1", website + "/fast")
        closed_at_once = sum(reader.at_eof() or writer.is_closing() for reader, writer in connections)
        stop = time.monotonic() + seconds
        while time.monotonic() < stop:
            await asyncio.sleep(1)
            for _, writer in connections:
                if not writer.is_closing():
                    writer.write(b"X")  # one more byte of a header that never ends
        closed_by_center = 0
        for reader, writer in connections:
            try:
                closed_by_center += await asyncio.wait_for(reader.read(), 1) == b""
            except ConnectionError:
                closed_by_center += 1
            writer.close()
        return answered, closed_at_once, closed_by_center

    try:
        (status, records, waited), at_once, closed = asyncio.run(
            trickle(center.HEADER_SECONDS + 2))
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]
    assert waited < DEADLINE + 0.1
    assert at_once == 100 - front.MAX_CONNECTIONS_PER_ADDRESS
    assert closed == 1100  # none kept its connection past the time for a request head


# ---- misbehaving agents -------------------------------------------------------------------

ROGUE_ANSWERS = [b"x" * 60000, b"\xff\xfe", b'{"http_code": "<b>x</b>", "total_time": "NaN"}',
                 json.dumps({"primary_ip": "1.2.3.4", "http_code": 200, "total_time": -1,
                             "namelookup_time": 0, "starttransfer_time": 0,
                             "size_download": 0, "speed_download": 0}).encode()]


def test_rogue_answers_are_refused_and_the_panel_answered_in_time(network, website):
    async def scenario():
        password = network.password("agent-sh")
        rogue = await nats.connect("nats://127.0.0.1:%d" % network.nats_port, user="agent-sh",
                                   password=password, allow_reconnect=False)
        errors = []

        async def misbehave(message):
            for answer in ROGUE_ANSWERS:  # only the first publish to a reply is allowed
                await rogue.publish(message.reply, answer)
        await rogue.subscribe("boce.probe.sh", cb=misbehave)
        try:
            await rogue.publish("_INBOX.x", b"y" * (rogue.max_payload + 1))
        except nats.errors.MaxPayloadError as error:
            errors.append(error)
        await rogue.flush()
        # The page is held back so that the rogue, not the genuine agent, answers first.
        answered = await asyncio.to_thread(ask_timed, network.url, "s1",
                                           website + "/fast?delay=0.3")
        await rogue.close()
        return answered, errors

    before = resident_mib(network.processes["center"])
    (status, records, waited), errors = asyncio.run(scenario())
    assert status == 200 and waited < DEADLINE + 0.1
    assert resident_mib(network.processes["center"]) - before < 64
    # The genuine agent's answer stands; every rogue answer was refused or never arrived.
    assert all(r["http_code"] == 200 and r["total_time"] >= 0 for r in records)
    assert len(errors) == 1
    assert "bad answer node=sh" in network.log_tail("center", 50)


# ---- shutdown -----------------------------------------------------------------------------

def test_sigterm_answers_the_panels_in_flight_and_takes_no_new_one(website):
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline=5, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        answers = []
        panel = threading.Thread(target=lambda: answers.append(
            ask_center(net.url, "s1", website + "/fast?delay=1.5&tag=sigterm")))
        panel.start()
        wait_until(lambda: held_by_site(website, "sigterm") == 1, "the probe under way")
        net.processes["center"].send_signal(signal.SIGTERM)
        wait_until(lambda: not accepts(net.port), "the center to take no new panel", 2)
        panel.join(10)
        assert net.processes["center"].wait(10) == 0
    status, records = answers[0]
    assert status == 200 and records[0]["http_code"] == 200


# ---- an agent's own limits ----------------------------------------------------------------

class Message:
    def __init__(self, request, reply):
        self.data, self.reply = json.dumps(request).encode(), reply


class Connection:
    def __init__(self):
        self.published = []

    async def publish(self, subject, payload):
        self.published.append((subject, json.loads(payload)))


def test_an_agent_caps_its_queue_and_never_answers_after_the_deadline(monkeypatch):
    fetching = asyncio.Event()

    async def fetch(*args):
        await asyncio.wait_for(fetching.wait(), 5)
        return {"http_code": 200, "total_time": 1}

    monkeypatch.setattr(agent.probe, "measure_on", fetch)

    async def scenario():
        connection = Connection()
        worker = agent.Agent(connection, "bj", max_probes=1)
        now = time.time()
        for n in range(agent.QUEUE_FACTOR + 2):
            await worker.on_request(Message({"id": "r%d" % n, "url": "http://x/",
                                             "deadline": now + 5}, "reply-%d" % n))
        await worker.on_request(Message({"id": "late", "url": "http://x/",
                                         "deadline": now - 1}, "reply-late"))
        fetching.set()
        await asyncio.wait(set(worker.tasks), timeout=5)
        await worker.stop()
        return connection.published

    published = dict(asyncio.run(scenario()))
    assert published.pop("reply-4") == published.pop("reply-5") == {"error": "busy"}
    assert sorted(published) == ["reply-0", "reply-1", "reply-2", "reply-3"]  # no late answer


@given(st.lists(st.one_of(
    st.tuples(st.just("request"), st.sampled_from("abcd"), st.integers(0, 20)),
    st.tuples(st.just("time passes"), st.integers(0, 8)))))
def test_an_agent_knows_each_request_id_until_its_deadline_only(steps):
    pending, known, now = agent.PendingRequests(), {}, 0
    for step in steps:
        if step[0] == "request":  # as the agent does: an id it knows is not added again
            _, request_id, budget = step
            pending.forget_before(now)
            known = {i: d for i, d in known.items() if d > now}
            if pending.get(request_id) is None:
                pending.add(request_id, now + budget)
                known[request_id] = now + budget
        else:
            now += step[1]
        pending.forget_before(now)
        known = {i: d for i, d in known.items() if d > now}
        assert {i: e.deadline for i, e in pending.by_id.items()} == known
        assert all(deadline > now for deadline, _ in pending.expiries)


# ---- a stranger on the panels' port ------------------------------------------------------

FORM = "Content-Type: application/x-www-form-urlencoded\r\n"
BIG_HEAD = b"".join(b"X-%d: %s\r\n" % (n, b"v" * 8000) for n in range(120))


def request(body, headers=FORM, path="/api/local/boce"):
    return (b"POST %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%sContent-Length: %d\r\n\r\n"
            % (path.encode(), headers.encode("latin-1"), len(body)) + body)


def exchange(port, raw, source="127.0.4.1"):
    """The status line the center answers `raw` with, or b"" when it only closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=10,
                                  source_address=(source, 0)) as s:
        try:
            s.sendall(raw)
            return s.makefile("rb").readline().strip()
        except ConnectionResetError:
            return b""


def center_log_after(network, action):
    """What the center logged while `action` ran."""
    path = "%s/center.log" % network.workdir
    with open(path, "rb") as f:
        f.seek(0, 2)
        start = f.tell()
    result = action()
    with open(path, "rb") as f:
        f.seek(start)
        return result, f.read().decode("utf-8", "replace")


BOUNDARY = "multipart/form-data; boundary=b"
STRANGER_REQUESTS = [
    # (what, the bytes sent, the status line's start, what the one log line holds)
    ("a head of 120 headers of 8,000 bytes",
     b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD + b"\r\n", b"HTTP/1.1 431",
     "head-over-32768-bytes"),
    ("a header line over 8 KiB", b"GET /livez HTTP/1.1\r\nX: " + b"v" * 9000 + b"\r\n\r\n",
     b"HTTP/1.0 400", "reason="),
    ("raw 0xFF bytes", request(b"serverid=\xff\xfe&url=\xff"), b"HTTP/1.1 400", "bad_form"),
    ("an unknown charset", request(b"serverid=s1", FORM[:-2] + "; charset=x-klingon\r\n"),
     b"HTTP/1.1 400", "bad_form"),
    ("a broken multipart body", request(b"--b\r\nContent-Disposition: form-data\r\n\r\nx",
                                        "Content-Type: %s\r\n" % BOUNDARY), b"HTTP/1.1 400",
     "bad_form"),
    ("a nested multipart body", request(
        b"--b\r\nContent-Disposition: form-data; name=\"serverid\"\r\n"
        b"Content-Type: multipart/mixed; boundary=c\r\n\r\n--c\r\n\r\nx\r\n--c--\r\n--b--\r\n",
        "Content-Type: %s\r\n" % BOUNDARY), b"HTTP/1.1 4", "outcome="),
    ("a serverid that forges a log line",
     request(b"serverid=x%0A2026-01-01 INFO panel serverid=s1 url=http://forged/&url=http://x/"),
     b"HTTP/1.1 403", "serverid='x\\n2026-01-01 INFO panel"),
    ("a URL no browser sends", request(b"serverid=s1&url=gopher://x/"), b"HTTP/1.1 400",
     "outcome=bad_url"),
]


class TestStranger:
    """Anyone on the Internet, with no serverid: bounded, answered 4xx, logged in one line."""

    @pytest.mark.parametrize("raw, status, logged", [r[1:] for r in STRANGER_REQUESTS],
                             ids=[r[0] for r in STRANGER_REQUESTS])
    def test_bad_input_is_a_4xx_and_one_escaped_log_line(self, network, raw, status, logged):
        source = "127.0.5.%d" % (len(raw) % 250 + 1)  # no throttling by an earlier case
        answer, lines = center_log_after(network, lambda: exchange(network.port, raw, source))
        assert answer.startswith(status)
        assert len(lines.splitlines()) == 1 and logged in lines, lines
        assert "Traceback" not in lines and "INFO panel" not in lines.split("serverid=")[0]

    def test_a_flood_of_refusals_from_one_address_is_logged_once_a_second(self, network):
        def flood():
            started = time.monotonic()
            for _ in range(100):
                exchange(network.port, request(b"serverid=nobody&url=http://x/"), "127.0.6.1")
            return time.monotonic() - started
        seconds, lines = center_log_after(network, flood)
        assert len(lines.splitlines()) <= seconds + 2
        assert "more like it" in lines or seconds < 1

    def test_unfinished_heads_are_cut_short_and_their_memory_given_back(self, network,
                                                                         website):
        """300 connections from 30 addresses, each sending 1 MB of headers and never ending
        it: each is answered 431 at 32 KiB and the center's memory comes back."""
        center = network.processes["center"]
        before = resident_mib(center)

        async def attack():
            async def one(n):
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", network.port, local_addr=("127.0.7.%d" % (n % 30 + 1), 0))
                writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD)
                status = await reader.readline()
                writer.close()
                return status
            return await asyncio.gather(*[one(n) for n in range(300)])
        statuses = asyncio.run(attack())
        assert all(s.startswith(b"HTTP/1.1 431") for s in statuses)
        assert ask_center(network.url, "s1", website + "/fast")[0] == 200
        assert resident_mib(center) - before < 32


# ---- a rogue agent with real credentials ---------------------------------------------------

SOUND = {"primary_ip": "1.2.3.4", "http_code": 200, "total_time": 1, "namelookup_time": 0,
         "starttransfer_time": 0, "size_download": 0, "speed_download": 0}
ROGUE_RECORDS = [
    (json.dumps(dict(SOUND, primary_ip='"><img src=x onerror=alert(1)>')).encode(), "passed"),
    (json.dumps(dict(SOUND, primary_ip="1.2.3.4\r\nSet-Cookie: x\x00")).encode(), "passed"),
    (json.dumps(dict(SOUND, size_download=10 ** 300)).encode(), "refused"),
    (json.dumps(dict(SOUND, size_download=10 ** 400)).encode(), "refused"),
    (b"[" * 16000 + b"]" * 16000, "refused"),
]


class TestRogueAgent:
    """An agent with real credentials that answers whatever it likes: its text never reaches a
    panel, and every refusal is logged with its reason."""

    last_case = 0.0

    @pytest.mark.parametrize("answer, outcome", ROGUE_RECORDS,
                             ids=["html-ip", "crlf-ip", "10**300", "10**400", "nested"])
    def test_a_rogue_record_is_data_or_refused(self, network, website, answer, outcome):
        # The center logs a node's refusals at most once a second: each case gets its line.
        time.sleep(max(0.0, TestRogueAgent.last_case + 1.05 - time.monotonic()))

        async def scenario():
            rogue = await nats.connect("nats://127.0.0.1:%d" % network.nats_port,
                                       user="agent-sh", password=network.password("agent-sh"),
                                       allow_reconnect=False)

            async def misbehave(message):
                await rogue.publish(message.reply, answer)
            await rogue.subscribe("boce.probe.sh", cb=misbehave)
            await rogue.flush()
            try:  # the page is held back, so the genuine agent always answers after the rogue
                return await asyncio.to_thread(ask_timed, network.url, "s1",
                                               website + "/fast?delay=0.3")
            finally:
                await rogue.close()

        (status, records, waited), lines = center_log_after(network,
                                                            lambda: asyncio.run(scenario()))
        TestRogueAgent.last_case = time.monotonic()
        assert status == 200 and waited < DEADLINE + 0.1
        assert {r["primary_ip"] for r in records} <= {"", "127.0.0.1"}
        assert all(r["size_download"] < 2 ** 53 for r in records)
        assert ("bad field node=sh" if outcome == "passed" else "bad answer node=sh") in lines
        assert "Traceback" not in lines and "\r" not in lines and "\x00" not in lines


# ---- a hostile target: addresses that are not the Internet's --------------------------------

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
url = lambda a: "http://%s:8080/" % ("[%s]" % a if ":" in a else a)
print(json.dumps({a: [probe.measure(url(a), allow_private=p, timeout=3) for p in (False, True)]
                  for a in addresses}))
"""


class TestHostileTarget:
    def test_non_global_addresses_are_never_fetched(self):
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


# ---- clocks that disagree -------------------------------------------------------------------

@pytest.mark.skipif(shutil.which("faketime") is None, reason="Debian's faketime is missing")
def test_agents_an_hour_ahead_or_behind_answer_normally(website):
    nodes = [("北京电信", "ahead"), ("上海联通", "behind")]
    with Network(nodes, port=free_port(), allowed_servers=["s1"], deadline=DEADLINE,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 agent_prefix={"ahead": ["faketime", "-f", "+1h"],
                               "behind": ["faketime", "-f", "-1h"]}) as net:
        status, records = ask_center(net.url, "s1", website + "/fast")
        assert "budget-spent" not in net.log_tail("agent-ahead") + net.log_tail("agent-behind")
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]


# ---- signals ---------------------------------------------------------------------------------

def test_ctrl_c_on_make_network_drains_every_process_within_the_deadline():
    port = free_port()
    command = [SERVICE_PYTHON, "-m", "boce_dispatch.network", "--port", str(port), "--agents", "2"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=SERVICE_ENV,
                          start_new_session=True) as network:
        lines = [network.stdout.readline() for _ in range(5)]
        workdir = lines[1].rsplit(" ", 1)[1].strip()
        with open("/proc/%d/task/%d/children" % (network.pid, network.pid)) as f:
            children = f.read().split()
        masks = [int(status_field(pid, "SigBlk"), 16) for pid in children]
        # Without --allow-private the agents refuse loopback.
        status, records = ask_center("http://127.0.0.1:%d" % port, lines[2].split()[1],
                                     "http://127.0.0.1:%d/livez" % port)
        started = time.monotonic()
        network.send_signal(signal.SIGINT)
        assert network.wait(15) == 0
        stopped_in = time.monotonic() - started
    # nats, the center and two agents, none with SIGINT or SIGTERM blocked
    assert len(children) == 4 and all(mask & (1 << signal.SIGINT - 1 | 1 << signal.SIGTERM - 1)
                                      == 0 for mask in masks)
    assert status == 200 and {(r["http_code"], r["primary_ip"]) for r in records} == {(0, "")}
    assert stopped_in < 10
    assert not os.path.exists(workdir)


def test_sigterm_while_nats_is_down_is_one_line_and_exit_0():
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"], deadline=2,
                 env=SERVICE_ENV, python=SERVICE_PYTHON, metrics_port=free_port()) as net:
        metrics = "http://127.0.0.1:%d" % net.metrics_port
        assert urllib.request.urlopen(metrics + "/readyz", timeout=5).status == 200
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen(net.url + "/metrics", timeout=5)  # not on the panels' port
        net.stop_process("nats")
        with pytest.raises(urllib.error.HTTPError, match="503"):
            urllib.request.urlopen(metrics + "/readyz", timeout=5)
        assert urllib.request.urlopen(metrics + "/livez", timeout=5).status == 200
        assert net.stop_process("center") == 0
        log = net.log_tail("center", 200)
    assert "Traceback" not in log and log.count("stopped without a clean NATS goodbye") == 1


# ---- the front operators deploy ----------------------------------------------------------

@pytest.mark.skipif(shutil.which("nginx") is None, reason="Debian's nginx is missing")
def test_the_deployed_nginx_front_passes_panels_with_their_address(website, tmp_path):
    front_port = free_port()
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline=DEADLINE, allow_private=True, trusted_proxies=["127.0.0.1"],
                 env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        nginx = subprocess.Popen(nginx_front(str(tmp_path), "127.0.0.1:%d" % front_port,
                                             "127.0.0.1:%d" % net.port), env=SERVICE_ENV)
        try:
            wait_until(lambda: accepts(front_port), "nginx to listen", 10)
            front = "http://127.0.0.1:%d" % front_port
            (status, records), lines = center_log_after(net, lambda: ask_center(
                front, "s1", website + "/fast"))
            stranger, refused = center_log_after(net, lambda: exchange(
                front_port, request(b"serverid=nobody&url=http://x/"), "127.0.9.9"))
            huge_head = exchange(front_port, b"GET / HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD)
            hidden = exchange(front_port, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
        finally:
            nginx.terminate()
            nginx.wait(10)
    assert status == 200 and records[0]["http_code"] == 200
    assert "panel address='127.0.0.1' serverid='s1'" in lines
    assert stranger.startswith(b"HTTP/1.1 403") and "address='127.0.9.9'" in refused
    assert huge_head.startswith(b"HTTP/1.1 400") and hidden.startswith(b"HTTP/1.1 404")

