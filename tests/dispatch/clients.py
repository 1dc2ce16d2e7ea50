"""Clients of the center as attackers and panels make them: raw requests on sockets, and what
the center's process and log show meanwhile."""

import asyncio
import contextlib
import resource
import socket
import time

from boce_dispatch.network import Network, free_port
from tests.common import SERVICE_ENV, SERVICE_PYTHON, ask_center

MiB = 1024 * 1024
DEADLINE = 2.0
FORM = "Content-Type: application/x-www-form-urlencoded\r\n"
BIG_HEAD = b"".join(b"X-%d: %s\r\n" % (n, b"v" * 8000) for n in range(120))  # 0.94 MB


def two_nodes():
    """The network the attackers try: two agents, a short deadline, a small limit."""
    return Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                   allowed_servers=["s1"], deadline=DEADLINE, max_probes=4, allow_private=True,
                   env=SERVICE_ENV, python=SERVICE_PYTHON)


def ask_timed(center_url, serverid, target):
    """ask_center's status and answer, and the seconds the panel waited for them."""
    started = time.monotonic()
    return (*ask_center(center_url, serverid, target), time.monotonic() - started)


def status_field(pid, name):
    with open("/proc/%s/status" % pid) as f:
        return dict(line.split(":", 1) for line in f)[name].strip()


def resident_mib(process):
    return int(status_field(process.pid, "VmRSS").split()[0]) / 1024


def request(body, headers=FORM, path="/api/local/boce"):
    return (b"POST %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n%sContent-Length: %d\r\n\r\n"
            % (path.encode(), headers.encode("latin-1"), len(body)) + body)


def exchange(port, raw, source="127.0.4.1", head_pieces=None):
    """The status line the center answers `raw` with, or b"" when it only closed. With
    `head_pieces`, the head goes in pieces of that many bytes, one write (and one segment)
    each, a moment apart, and the body after it in one write."""
    end = raw.find(b"\r\n\r\n") + 4 if head_pieces else 0
    pieces = [raw[n:n + head_pieces] for n in range(0, end, head_pieces or 1)] + [raw[end:]]
    with socket.create_connection(("127.0.0.1", port), timeout=10,
                                  source_address=(source, 0)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            for piece in pieces:
                s.sendall(piece)
                if head_pieces:
                    time.sleep(0.0005)  # the center reads each piece on its own
            return s.makefile("rb").readline().strip()
        except ConnectionResetError:
            return b""


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


async def still_open(connections, seconds=1.0):
    """Which of `connections` (reader, writer) the center has not closed: a closed one reads its
    end (or its reset) at once; an open one is still silent after `seconds`."""
    reads = [asyncio.ensure_future(reader.read()) for reader, _ in connections]
    await asyncio.wait(reads, timeout=seconds)
    open_now = [n for n, read in enumerate(reads) if not read.done()]
    for read in reads:
        if read.done():
            read.exception()  # a reset is the center closing it
        else:
            read.cancel()
    return open_now


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


@contextlib.contextmanager
def open_files(count):
    """This process may hold `count` descriptors meanwhile (an attacker's many sockets)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count)), hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
