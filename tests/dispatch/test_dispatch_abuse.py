"""The probe network under abuse: hostile panels and clients, misbehaving agents, a shutdown in
the middle of a probe. Memory stays bounded, slow clients cannot starve the center, and a panel
is answered within the deadline whatever the agents do."""

import asyncio
import json
import resource
import signal
import socket
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

import nats  # noqa: E402

from common import SERVICE_ENV, SERVICE_PYTHON  # noqa: E402
from dispatch import agent  # noqa: E402
from dispatch.network import Network, free_port  # noqa: E402

DEADLINE = 2.0
MiB = 1024 * 1024


@pytest.fixture(scope="module")
def network():
    with Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                 allowed_servers=["s1"], deadline=DEADLINE, max_probes=4,
                 allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON) as running:
        yield running


def post(url, serverid, target, timeout=30):
    body = urllib.parse.urlencode({"serverid": serverid, "url": target}).encode()
    started = time.monotonic()
    try:
        with urllib.request.urlopen(url + "/api/local/boce", data=body, timeout=timeout) as r:
            return r.status, json.loads(r.read()), time.monotonic() - started
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read()), time.monotonic() - started


def resident_mib(process):
    with open("/proc/%d/status" % process.pid) as f:
        return int(dict(line.split(":", 1) for line in f)["VmRSS"].split()[0]) / 1024


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
    assert post(network.url, "stranger", "http://x/")[0] == 403  # still serving


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
    from dispatch import center, front
    sources = ["127.0.2.%d" % (n % 200 + 1) for n in range(1000)] + ["127.0.3.1"] * 100

    async def trickle(seconds):
        connections = []
        for source in sources:
            reader, writer = await asyncio.open_connection("127.0.0.1", network.port,
                                                           local_addr=(source, 0))
            writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n")
            connections.append((reader, writer))
        answered = await asyncio.to_thread(post, network.url, "s1", website + "/fast")
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
        password = network._read("%s/agent-sh.password" % network.workdir)
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
        answered = await asyncio.to_thread(post, network.url, "s1", website + "/fast")
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
            post(net.url, "s1", website + "/fast?delay=1.5")))
        panel.start()
        time.sleep(0.5)  # the probe is under way
        net.processes["center"].send_signal(signal.SIGTERM)
        time.sleep(0.2)
        with pytest.raises(OSError):  # no new panel
            socket.create_connection(("127.0.0.1", net.port), timeout=2).close()
        panel.join(10)
        assert net.processes["center"].wait(10) == 0
    status, records, _ = answers[0]
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
    fetching = threading.Event()
    monkeypatch.setattr(agent.probe, "measure",
                        lambda *args: fetching.wait(5) and {"http_code": 200, "total_time": 1})

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
        worker.pool.shutdown()
        return connection.published

    published = dict(asyncio.run(scenario()))
    assert published.pop("reply-4") == published.pop("reply-5") == {"error": "busy"}
    assert sorted(published) == ["reply-0", "reply-1", "reply-2", "reply-3"]  # no late answer
