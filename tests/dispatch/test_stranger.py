"""A stranger on the center's ports, with no serverid: whatever it sends, how slowly, from how
many addresses, memory stays bounded, a panel is answered within the deadline, every refusal is a
4xx and the log holds a few escaped lines."""

import asyncio
import json
import shutil
import subprocess
import time
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

from boce_dispatch import center, front  # noqa: E402
from boce_dispatch.logtext import Throttled  # noqa: E402
from boce_dispatch.network import Network, free_port  # noqa: E402
from tests.common import (  # noqa: E402
    REPO,
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    nginx_front,
    wait_until,
)
from tests.dispatch.clients import (  # noqa: E402
    BIG_HEAD,
    DEADLINE,
    FORM,
    MiB,
    ask_timed,
    center_log_after,
    exchange,
    open_files,
    request,
    resident_mib,
    still_open,
    stream,
    two_nodes,
)


@pytest.fixture(scope="module")
def network():
    with two_nodes() as running:
        yield running


# ---- memory -------------------------------------------------------------------------------

@pytest.mark.parametrize("head", [
    b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
    b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
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
    second = b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD[:192 * 1024]

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
            writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
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
            writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD)
            status = await reader.readline()
            writer.close()
            return status
        return await asyncio.gather(*[one(n) for n in range(300)])
    statuses = asyncio.run(attack())
    assert all(s.startswith(b"HTTP/1.1 431") for s in statuses)
    assert ask_center(network.url, "s1", website + "/fast")[0] == 200
    assert resident_mib(center_process) - before < 32


# ---- how the front follows a connection's bytes ------------------------------------------------

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


# ---- slow clients and many connections --------------------------------------------------------

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

    with open_files(4096):
        (status, records, waited), at_once, closed = asyncio.run(
            trickle(center.HEADER_SECONDS + 2))
    assert status == 200 and [r["http_code"] for r in records] == [200, 200]
    assert waited < DEADLINE + 0.1
    assert at_once == 100 - front.MAX_CONNECTIONS_PER_CLIENT
    assert closed == 1100  # none kept its connection past the time for a request head


def test_at_capacity_the_slowest_connection_goes_and_a_panel_gets_through(website):
    """With the usual 1,024 open files (room for 960 connections), 1,100 connections from 100
    addresses that trickle headers: each new one closes the one that has waited longest, and a
    panel from another address is answered within the deadline."""
    room = 1024 - front.RESERVED_FILES
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline=DEADLINE, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 center_prefix=["prlimit", "--nofile=1024:1024", "--"]) as net:
        async def attack():
            connections = []
            for n in range(1100):
                reader, writer = await asyncio.open_connection(
                    "127.0.0.1", net.port, local_addr=("127.0.10.%d" % (n % 100 + 1), 0))
                writer.write(b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nX-Slow: ")
                connections.append((reader, writer))
            answered = await asyncio.to_thread(ask_timed, net.url, "s1", website + "/fast")
            open_now = await still_open(connections)
            for _, writer in connections:
                writer.close()
            return answered, open_now

        with open_files(4096):
            (status, records, waited), open_now = asyncio.run(attack())
    assert status == 200 and records[0]["http_code"] == 200 and waited < DEADLINE + 0.1
    closed = 1100 - len(open_now)
    assert open_now == list(range(closed, 1100))  # the oldest went, in the order they came
    assert 1100 - room <= closed <= 1100 - room + 1  # and only as many as the panel needed


def test_the_operators_listener_answers_whatever_the_panels_port_holds():
    """4,096 idle connections fill the panels' port; /livez, /readyz and /healthz still answer
    on the operators' own listener."""
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline=DEADLINE, allow_private=True, env=SERVICE_ENV, python=SERVICE_PYTHON,
                 metrics_port=free_port()) as net:
        async def fill_and_ask():
            connections = [await asyncio.open_connection(
                "127.0.0.1", net.port, local_addr=("127.0.14.%d" % (n % 64 + 1), 0))
                for n in range(front.MAX_CONNECTIONS)]
            statuses = []
            for path in ("/livez", "/readyz", "/healthz"):
                statuses.append(await asyncio.to_thread(lambda p=path: urllib.request.urlopen(
                    "http://127.0.0.1:%d%s" % (net.metrics_port, p), timeout=10).status))
            for _, writer in connections:
                writer.close()
            return statuses

        with open_files(front.MAX_CONNECTIONS + 512):
            assert asyncio.run(fill_and_ask()) == [200, 200, 200]


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


# ---- what it sends ------------------------------------------------------------------------------

BOUNDARY = "multipart/form-data; boundary=b"
MULTIPART = b"".join(b"--b\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nx\r\n" % n
                     for n in range(1300)) + b"--b--\r\n"
STRANGER_REQUESTS = [
    # (what, the bytes sent, the status line's start, what the one log line holds)
    ("a head of 120 headers of 8,000 bytes",
     b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD + b"\r\n", b"HTTP/1.1 431",
     "head-over-32768-bytes"),
    ("a header line over 8 KiB", b"GET /livez HTTP/1.1\r\nX: " + b"v" * 9000 + b"\r\n\r\n",
     b"HTTP/1.0 400", "reason="),
    ("raw 0xFF bytes", request(b"serverid=\xff\xfe&url=\xff"), b"HTTP/1.1 400", "bad_form"),
    ("a URL whose bytes are not UTF-8", request(b"serverid=s1&url=http://x/%FF"),
     b"HTTP/1.1 400", "bad_form"),
    ("more fields than any panel sends", request(b"&".join(b"f%d=x" % n for n in range(300))),
     b"HTTP/1.1 400", "bad_form"),
    ("an unknown charset", request(b"serverid=s1", FORM[:-2] + "; charset=x-klingon\r\n"),
     b"HTTP/1.1 400", "bad_form"),
    ("a body marked gzip that is not", request(b"serverid=s1&url=http://x/",
                                               FORM + "Content-Encoding: gzip\r\n"),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a multipart form of 1,300 fields", request(MULTIPART, "Content-Type: %s\r\n" % BOUNDARY),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a multipart head whose body never comes",
     b"POST /api/local/boce HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\nContent-Length: 60000"
     b"\r\n\r\n" % BOUNDARY.encode(), b"HTTP/1.1 415", "unsupported_form"),
    ("a nested multipart body", request(
        b"--b\r\nContent-Disposition: form-data; name=\"serverid\"\r\n"
        b"Content-Type: multipart/mixed; boundary=c\r\n\r\n--c\r\n\r\nx\r\n--c--\r\n--b--\r\n",
        "Content-Type: %s\r\n" % BOUNDARY), b"HTTP/1.1 415", "unsupported_form"),
    ("a JSON body", request(b'{"serverid": "s1"}', "Content-Type: application/json\r\n"),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a serverid that forges a log line",
     request(b"serverid=x%0A2026-01-01 INFO panel serverid=s1 url=http://forged/&url=http://x/"),
     b"HTTP/1.1 403", "serverid='x\\n2026-01-01 INFO panel"),
    ("a URL no browser sends", request(b"serverid=s1&url=gopher://x/"), b"HTTP/1.1 400",
     "outcome=bad_url"),
]


@pytest.mark.parametrize("raw, status, logged", [r[1:] for r in STRANGER_REQUESTS],
                         ids=[r[0] for r in STRANGER_REQUESTS])
def test_bad_input_is_a_4xx_and_one_escaped_log_line(network, raw, status, logged):
    source = "127.0.5.%d" % (len(raw) % 250 + 1)  # no throttling by an earlier case
    time.sleep(1.01 / Throttled.BUDGET)  # nor by the budget of lines the earlier ones used
    answer, lines = center_log_after(network, lambda: exchange(network.port, raw, source))
    assert answer.startswith(status)
    assert len(lines.splitlines()) == 1 and logged in lines, lines
    assert "Traceback" not in lines and "INFO panel" not in lines.split("serverid=")[0]


def test_a_flood_of_refusals_from_one_address_is_logged_once_a_second(network):
    def flood():
        started = time.monotonic()
        for _ in range(100):
            exchange(network.port, request(b"serverid=nobody&url=http://x/"), "127.0.6.1")
        return time.monotonic() - started
    seconds, lines = center_log_after(network, flood)
    assert len(lines.splitlines()) <= seconds + 2
    assert "more like it" in lines or seconds < 1


def test_refusals_from_600_addresses_share_a_few_lines_a_second(network):
    def flood():
        started = time.monotonic()
        for n in range(1200):
            exchange(network.port, request(b"serverid=nobody&url=http://x/"),
                     "127.13.%d.%d" % divmod(n % 600 + 1, 250))
        return time.monotonic() - started
    seconds, lines = center_log_after(network, flood)
    assert len(lines.splitlines()) <= Throttled.BUDGET * (seconds + 2)
    assert "lines of all kinds left out" in lines


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
            front_url = "http://127.0.0.1:%d" % front_port
            (status, records), lines = center_log_after(net, lambda: ask_center(
                front_url, "s1", website + "/fast"))
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
