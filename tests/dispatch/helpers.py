"""What the network's tests share: the networks they start, clients of the center as attackers
and panels make them (raw requests on sockets), what the center's process and log show
meanwhile, NATS stand-ins for one process, and the commands and files operators use."""

import asyncio
import contextlib
import json
import os
import pathlib
import re
import resource
import socket
import subprocess
import time
import urllib.error
import urllib.request

from boce_dispatch import contract, natsconf
from boce_dispatch.center import config
from tests.common import DISPATCH_DEPLOY, REPO, SERVICE_ENV, SERVICE_PYTHON, ask_center
from tools.lab.network import Network
from tools.lab.ports import free_port

MiB = 1024 * 1024
DEADLINE_SECONDS = 2.0
FORM = "Content-Type: application/x-www-form-urlencoded\r\n"
# The first lines of a raw panel request, as attackers start theirs.
POST_HEAD = b"POST %s HTTP/1.1\r\nHost: x\r\n" % contract.PANEL_PATH.encode()
BIG_HEAD = b"".join(b"X-%d: %s\r\n" % (n, b"v" * 8000) for n in range(120))  # 0.94 MB


def two_nodes():
    """The network the attackers try: two agents, a short deadline, a small limit."""
    return Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                   allowed_servers=["s1"], deadline_seconds=DEADLINE_SECONDS, max_probes=4, allow_private=True,
                   env=SERVICE_ENV, python=SERVICE_PYTHON)


def two_servers_one_probe():
    """Two agents, two known servers, one probe at a time in all."""
    return Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                   allowed_servers=["s1", "s2"], deadline_seconds=2, max_probes=1, allow_private=True,
                   env=SERVICE_ENV, python=SERVICE_PYTHON)


def readyz(net):
    """The status of the center's /readyz on its operators' listener."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/readyz" % net.metrics_port,
                                    timeout=5) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


class Message:
    """A NATS message as an agent receives it."""

    def __init__(self, request, reply):
        self.data, self.reply = json.dumps(request).encode(), reply


class Connection:
    """A NATS connection that keeps what is published on it."""

    def __init__(self, connected=True):
        self.published = []
        self.is_connected = connected
        self.publish_hook = None  # sees every publish, status ones included

    async def publish(self, subject, payload, reply=None):
        if self.publish_hook is not None:
            self.publish_hook(subject, json.loads(payload))
        if not subject.startswith(contract.STATUS_PREFIX + "."):
            self.published.append((subject, json.loads(payload)))

    def new_inbox(self):
        return "_INBOX.test"

    async def subscribe(self, subject, queue=None, cb=None):
        return Subscription()

    async def flush(self):
        pass


class Subscription:
    async def unsubscribe(self):
        pass


def secret(path, text="p" * 32, mode=0o600):
    """A password file at `path` with `mode`."""
    natsconf.write_private(str(path), text)
    os.chmod(path, mode)


# A center's configuration; %s is the second node's id.
CONFIG = config.center_toml([("北京电信", "bj"), ("上海联通", "%s")], ["abc"],
                            ["nats://127.0.0.1:4222"], "center.password", deadline_seconds=20,
                            max_probes=8)


def command(*words, cwd=None, timeout=30):
    """A command of the network (or a lab tool) on the services' Python, wherever `cwd` is."""
    return subprocess.run([SERVICE_PYTHON, *words], capture_output=True, text=True,
                          timeout=timeout, env=dict(SERVICE_ENV, PYTHONPATH=REPO), cwd=cwd)


def ask_timed(center_url, serverid, target):
    """ask_center's status and answer, and the seconds the panel waited for them."""
    started = time.monotonic()
    return (*ask_center(center_url, serverid, target), time.monotonic() - started)


def status_field(pid, name):
    with open("/proc/%s/status" % pid) as f:
        return dict(line.split(":", 1) for line in f)[name].strip()


def resident_mib(process):
    return int(status_field(process.pid, "VmRSS").split()[0]) / 1024


def request(body, headers=FORM, path=contract.PANEL_PATH, host="x"):
    return (b"POST %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%sContent-Length: %d\r\n\r\n"
            % (path.encode(), host.encode(), headers.encode("latin-1"), len(body)) + body)


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


def shipped_environment(name):
    """The variables of a shipped environment file."""
    text = (pathlib.Path(DISPATCH_DEPLOY) / name).read_text("utf-8")
    return dict(line.split("=", 1) for line in text.splitlines()
                if line and not line.startswith("#"))


def exec_start(unit, environment, instance=""):
    """The words of a unit's ExecStart as systemd makes them: %i, ${NAME} as one word, $NAME
    split at white space."""
    text = (pathlib.Path(DISPATCH_DEPLOY) / unit).read_text("utf-8")
    command = re.search(r"^ExecStart=\S+ (.*)$", text, re.MULTILINE)[1].replace("%i", instance)
    words = []
    for word in command.split():
        braced, bare = re.fullmatch(r"\$\{(\w+)\}", word), re.fullmatch(r"\$(\w+)", word)
        words += [environment[braced[1]]] if braced else environment[bare[1]].split() if bare \
            else [word]
    return words
