"""The center's HTTP front against strangers: streamed and pipelined bodies and heads, bursts,
trickling clients, heads in tiny writes, framing that hides a body, requests queued without
end, and an IPv6 /64 or an IPv4 address's 6to4 space counted as one client."""

import asyncio
import json
import os
import shutil
import socket
import subprocess
import time

import pytest

from boce_dispatch.center import framing, front
from boce_dispatch.center import service as center_service
from tests.common import (
    REPO,
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
)
from tests.dispatch.helpers import (
    BIG_HEAD,
    DEADLINE_SECONDS,
    POST_HEAD,
    MiB,
    ask_timed,
    exchange,
    open_files,
    request,
    resident_mib,
    stream,
)
from tests.dispatch.in_process import center_config, serving, until


@pytest.mark.parametrize("head", [
    POST_HEAD + b"Content-Length: -1\r\n\r\n",
    POST_HEAD + b"Transfer-Encoding: chunked\r\n\r\n"
    b"10000000\r\n",
    b"POST /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n",
])
def test_a_streamed_body_of_256_mib_does_not_grow_the_center(network, head):
    center_process = network.processes["center"]
    before = resident_mib(center_process)
    stream(network.port, head, 256 * MiB)
    assert resident_mib(center_process) - before < 64
    assert ask_center(network.url, "stranger", "http://x/")[0] == 403  # still serving


@pytest.mark.parametrize("first", [
    b"GET /livez HTTP/1.1\r\nHost: x\r\n\r\n",
    request(b"serverid=nobody&url=http://x/").replace(b"Connection: close", b"X: y"),
    b"POST /livez HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
], ids=["a head", "a head and a body", "a chunked body"])
def test_a_pipelined_head_is_capped_as_a_first_one(network, first):
    """300 connections from 30 addresses, each sending a whole request and, in the same write,
    192 KB of a second head that never ends: each is answered 431 at once, memory comes back."""
    center_process = network.processes["center"]
    before = resident_mib(center_process)
    second = POST_HEAD + BIG_HEAD[:192 * 1024]

    async def attack():
        async def one(n):
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", network.port, local_addr=("127.0.11.%d" % (n % 30 + 1), 0))
            writer.write(first + second)
            statuses = []
            try:
                while True:  # every line until the center closes
                    line = await asyncio.wait_for(reader.readline(), 5)
                    if not line:
                        break
                    if line.startswith(b"HTTP/1.1 "):
                        statuses.append(line.split()[1])
            except ConnectionResetError:
                pass
            writer.close()
            return statuses
        return await asyncio.gather(*[one(n) for n in range(300)])

    assert all(statuses[-1:] == [b"431"] for statuses in asyncio.run(attack()))
    assert resident_mib(center_process) - before < 32


def test_a_burst_of_300_panels_gets_no_reset(network):
    async def burst():
        async def one(n):  # each panel a server of its own, with its own address
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", network.port, local_addr=("127.0.1.%d" % (n % 250 + 1), 0))
            body = b"serverid=stranger&url=http%3A%2F%2Fx%2F"
            writer.write(POST_HEAD + b"Connection: close\r\n"
                         b"Content-Type: application/x-www-form-urlencoded\r\n"
                         b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
            status = (await reader.readline()).split()[1]
            writer.close()
            return status
        return await asyncio.gather(*[one(n) for n in range(300)], return_exceptions=True)
    assert asyncio.run(burst()) == [b"403"] * 300


def test_unfinished_heads_are_cut_short_and_their_memory_given_back(network, website):
    """300 connections from 30 addresses, each sending 1 MB of headers and never ending it: each
    is answered 431 at 32 KiB and the center's memory comes back."""
    center_process = network.processes["center"]
    before = resident_mib(center_process)

    async def attack():
        async def one(n):
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", network.port, local_addr=("127.0.7.%d" % (n % 30 + 1), 0))
            writer.write(POST_HEAD + BIG_HEAD)
            status = await reader.readline()
            writer.close()
            return status
        return await asyncio.gather(*[one(n) for n in range(300)])
    statuses = asyncio.run(attack())
    assert all(s.startswith(b"HTTP/1.1 431") for s in statuses)
    assert ask_center(network.url, "s1", website + "/fast")[0] == 200
    assert resident_mib(center_process) - before < 32


@pytest.mark.parametrize("pieces", [1, 2, 7])
def test_a_head_sent_in_tiny_writes_is_answered_as_in_one(network, pieces):
    raw = request(b"serverid=nobody&url=http%3A%2F%2Fx%2F&pad=" + b"x" * 40000)
    in_one = exchange(network.port, raw, "127.0.12.1")
    assert in_one.startswith(b"HTTP/1.1 403")
    assert exchange(network.port, raw, "127.0.12.%d" % (pieces + 1), head_pieces=pieces) == in_one


def test_trickling_clients_cannot_hold_the_center(network, website):
    """1,000 trickling connections from 200 addresses and 100 from one: the one address gets
    its cap and no more at once, every trickler is closed once its time for a head is up, and
    a panel posted meanwhile is answered within the deadline."""
    sources = ["127.0.2.%d" % (n % 200 + 1) for n in range(1000)] + ["127.0.3.1"] * 100

    async def trickle(seconds):
        connections = []
        for source in sources:
            reader, writer = await asyncio.open_connection("127.0.0.1", network.port,
                                                           local_addr=(source, 0))
            writer.write(POST_HEAD)
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

    with open_files(4096):
        (status, records, waited), at_once, closed = asyncio.run(
            trickle(center_service.HEADER_SECONDS + 2))
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]
    assert waited < DEADLINE_SECONDS + 0.1
    assert at_once == 100 - front.MAX_CONNECTIONS_PER_CLIENT
    assert closed == 1100  # none kept its connection past the time for a request head


@pytest.mark.processes
@pytest.mark.skipif(shutil.which("unshare") is None, reason="util-linux's unshare is missing")
def test_one_ipv6_slash_64_is_one_client(tmp_path):
    """600 addresses of one /64 are one client: its cap of connections, and a few log lines."""
    out = tmp_path / "seen.json"
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", SERVICE_PYTHON, "-m",
         "tests.dispatch.ipv6_lab", str(out)],
        cwd=REPO, env=SERVICE_ENV, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    seen = json.loads(out.read_text(encoding="utf-8"))
    assert seen["open"] == front.MAX_CONNECTIONS_PER_CLIENT
    assert seen["statuses"] == {"403": 1200}
    assert len(seen["refusal_lines"]) <= seen["seconds"] + 2  # one line a second, as one client


@pytest.mark.parametrize("address, client", [
    ("192.0.2.4", "192.0.2.4"), ("::ffff:192.0.2.4", "192.0.2.4"),
    ("2002:c000:204::1", "192.0.2.4"), ("2002:c000:204:ffff:1::9", "192.0.2.4"),
    ("64:ff9b::c000:204", "192.0.2.4"), ("2001:db8:1:2::3", "2001:db8:1:2::/64"),
    ("2001:db8:1:2:ffff::", "2001:db8:1:2::/64"), ("not an address", "not an address"),
])
def test_a_client_is_an_ipv4_address_wherever_it_is_carried_or_an_ipv6_slash_64(address, client):
    assert front.client_of(address) == client


class FakeTransport:
    def __init__(self, address):
        self.address, self.written, self.closed = address, b"", None

    def get_extra_info(self, name):
        return (self.address, 40000) if name == "peername" else None

    def write(self, data):
        self.written += data

    def close(self):
        self.closed = self.closed or "closed"

    def abort(self):
        self.closed = "aborted"


class Inner:
    """aiohttp's protocol as the guard sees it: what it was handed."""

    def __init__(self):
        self.received = b""

    def connection_made(self, transport):
        pass

    def data_received(self, data):
        self.received += data

    def connection_lost(self, exc):
        pass


GET = b"GET /livez HTTP/1.1\r\nHost: x\r\n\r\n"


def test_what_one_client_may_queue_is_bounded_over_all_its_connections():
    """Each connection pipelines as many requests as it may; the client's 17th such connection
    goes over what a client may queue and is closed, its requests never handed on, while
    another client is not concerned."""
    per_client = front.MAX_QUEUED_PER_CLIENT // front.MAX_QUEUED_PER_CONNECTION

    async def scenario():  # the guard gives memory back later, on the loop
        guard = front.Guard()
        connections = [guard.connection(Inner()) for _ in range(per_client + 2)]
        for n, connection in enumerate(connections):
            connection.connection_made(FakeTransport("192.0.2.7" if n <= per_client
                                                     else "192.0.2.8"))
            connection.data_received(GET * front.MAX_QUEUED_PER_CONNECTION)
        handed_on = [len(c.inner.received) // len(GET) for c in connections]
        closed = [c for c in connections if c.transport.closed]
        for connection in closed:
            connection.connection_lost(None)
        for connection in connections[:per_client]:  # their answers go out: room again
            for _ in range(front.MAX_QUEUED_PER_CONNECTION):
                connection.request_answered()
        return handed_on, [c.transport.closed for c in closed], guard.queued_by_client

    handed_on, closed, queued = asyncio.run(scenario())
    assert handed_on == [front.MAX_QUEUED_PER_CONNECTION] * per_client + [0] + [
        front.MAX_QUEUED_PER_CONNECTION]
    assert closed == ["aborted"]
    assert queued == {"192.0.2.8": front.MAX_QUEUED_PER_CONNECTION}


async def connect(port, source):
    return await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0))


async def answer_status(reader):
    """The status of the next answer on a connection, read whole; None once it is closed."""
    try:
        status_line = await reader.readline()
        if not status_line:
            return None
        length = 0
        while (line := await reader.readline()) not in (b"\r\n", b""):
            name, _, value = line.partition(b":")
            if name.lower() == b"content-length":
                length = int(value)
        await reader.readexactly(length)
        return int(status_line.split()[1])
    except (ConnectionResetError, asyncio.IncompleteReadError):
        return None


async def statuses(reader):
    """The status of every answer on a connection until the center closes it."""
    seen = []
    while (status := await answer_status(reader)) is not None:
        seen.append(status)
    return seen


def test_a_client_that_pipelines_without_end_is_cut_off_and_one_that_waits_is_not():
    """One write of 300 requests is more than a connection may queue: none is handled. The same
    300 one after another, each after its answer, are all answered."""
    async def scenario():
        guard = front.Guard()
        async with serving(center_service.make_app(center_config(), guard), guard) as port:
            reader, writer = await connect(port, "127.0.23.1")
            writer.write(GET * 300)
            flooded = await statuses(reader)
            writer.close()
            reader, writer = await connect(port, "127.0.23.2")
            waited = 0
            for _ in range(300):
                writer.write(GET)
                waited += await answer_status(reader) == 200
            writer.close()
            return flooded, waited
    assert asyncio.run(scenario()) == ([], 300)


def head_read(connection):
    """Whether the front has read a stranger's whole head: it waits for the body, or has the
    request whole."""
    return connection.framing.requests > 0 or connection.framing._expect != framing._HEAD


@pytest.mark.parametrize("framing_header", [
    b"Transfer-Encoding:" + b" " * 200 + b"chunked", b"Content-Length:" + b" " * 200 + b"40",
    b"Content-Length: " + b"0" * 200 + b"40",
], ids=["padded Transfer-Encoding", "padded Content-Length", "Content-Length in zeros"])
def test_strangers_at_the_cap_cannot_keep_panels_out_by_padding_their_framing(framing_header):
    """The front's every connection is a stranger's head whose body never comes: each must still
    wait for its client, so that a panel takes its place."""
    head = POST_HEAD + b"Content-Type: application/x-www-form-urlencoded\r\n" + \
        framing_header + b"\r\n\r\n"

    async def scenario():
        guard = front.Guard(max_connections=15)
        async with serving(center_service.make_app(center_config(), guard), guard) as port:
            strangers = [await connect(port, "127.0.21.%d" % (n + 1)) for n in range(15)]
            for _, writer in strangers:
                writer.write(head)
            await until(lambda: len(guard.by_transport) == 15 and all(
                head_read(c) for c in guard.by_transport.values()))
            answered = []
            for n in range(3):
                reader, writer = await connect(port, "127.0.22.%d" % (n + 1))
                writer.write(request(b"serverid=nobody&url=http%3A%2F%2Fx%2F"))
                answered += await statuses(reader)
                writer.close()
            for _, writer in strangers:
                writer.close()
            return answered
    assert asyncio.run(scenario()) == [403] * 3


def test_a_chunk_size_with_a_sign_does_not_freeze_the_center(network):
    """75 bytes that once made the center's front loop for ever, deaf to SIGTERM."""
    attack = POST_HEAD + b"Transfer-Encoding: chunked\r\n\r\n-5\r\na"
    assert exchange(network.port, attack, "127.0.24.1").startswith(b"HTTP/1.1 400")
    assert ask_center(network.url, "stranger", "http://x/")[0] == 403  # still serving


@pytest.mark.parametrize("environ, taken", [
    ({"LISTEN_PID": "{pid}", "LISTEN_FDS": "1", "LISTEN_FDNAMES": "boce-center.socket"}, True),
    ({"LISTEN_PID": "1", "LISTEN_FDS": "1"}, False),  # meant for another process
    ({"LISTEN_PID": "{pid}", "LISTEN_FDS": "2"}, False),  # not the one listener it knows
    ({}, False),
])
def test_the_panels_listener_is_systemds_only_when_it_was_passed_to_this_process(environ, taken):
    environ = {name: value.format(pid=os.getpid()) for name, value in environ.items()}
    with socket.create_server(("127.0.0.1", 0)) as held:
        passed = os.dup(held.fileno())
        listener = center_service.inherited_listener(environ, passed)
        if not taken:
            os.close(passed)
            assert listener is None and environ.get("LISTEN_FDS") in ("1", "2", None)
            return
        with listener:
            assert listener.getsockname() == held.getsockname() and environ == {}
