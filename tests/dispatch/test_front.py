"""The center's HTTP front against strangers: streamed and pipelined bodies and heads, bursts,
trickling clients, heads in tiny writes, and an IPv6 /64 counted as one client."""

import asyncio
import json
import shutil
import subprocess
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from boce_dispatch.center import front
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


def framed(requests, split_points):
    """Feeds `requests` (bytes) to a Framing in pieces cut at `split_points`: (requests that
    arrived whole, whether a head was refused)."""
    framing = front.Framing()
    cuts = sorted({0, len(requests), *[p % (len(requests) + 1) for p in split_points]})
    try:
        for start, end in zip(cuts, cuts[1:]):
            framing.feed(requests[start:end])
    except front.HeadTooLarge:
        return framing.requests, True
    return framing.requests, False


HEAD = b"POST / HTTP/1.1\r\nHost: x\r\n"


def built(kind, detail):
    """One request of a kind the front must follow, as bytes."""
    if kind == "length":
        return HEAD + b"Content-Length: %d\r\n\r\n" % len(detail) + detail
    if kind == "chunked":
        return HEAD + b"Transfer-Encoding: chunked\r\n\r\n" + b"".join(
            b"%x;ext=1\r\n%s\r\n" % (len(c), c) for c in detail) + b"0\r\nTrailer: t\r\n\r\n"
    if kind == "after a blank line":
        return b"\r\nGET /livez HTTP/1.1\r\n\r\n"
    return HEAD + b"X: " + b"v" * (detail * 1024) + b"\r\n\r\n"  # a header of `detail` KiB


REQUESTS = st.lists(st.one_of(
    st.tuples(st.just("length"), st.binary(max_size=300)),
    st.tuples(st.just("chunked"), st.lists(st.binary(min_size=1, max_size=40), max_size=4)),
    st.tuples(st.just("after a blank line"), st.none()),
    st.tuples(st.just("large head"), st.integers(1, 40))), min_size=1, max_size=5)


@given(REQUESTS, st.lists(st.integers(0, 10 ** 6), max_size=40))
def test_each_head_is_counted_to_its_own_blank_line_however_the_bytes_arrive(kinds, cuts):
    requests = [built(kind, detail) for kind, detail in kinds]
    whole = b"".join(requests)
    too_large = [len(r.split(b"\r\n\r\n", 1)[0]) + 4 > front.MAX_HEAD_BYTES for r in requests]
    expected = (too_large.index(True), True) if any(too_large) else (len(requests), False)
    assert framed(whole, cuts) == expected
    assert framed(whole, range(len(whole))) == expected  # one byte at a time


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
