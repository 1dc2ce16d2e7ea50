"""A center on an IPv6 address and a client with a whole /64 to itself, in a network namespace of
the test's own (`unshare --user --map-root-user --net`): every address of 2001:db8:64::/64 is
local there, and any of them may be bound.

    python -m tests.dispatch.ipv6_lab OUT

Opens a connection from each of 600 addresses of the /64 and counts how many the center keeps;
then posts 1,200 forms of an unknown server from them, and writes the statuses and the center's
refusal lines to OUT as JSON. The center has no NATS server: none of this needs one."""

import asyncio
import collections
import json
import os
import subprocess
import sys
import tempfile
import time

from boce_dispatch import natsconf
from boce_dispatch.center import config
from tests.dispatch.helpers import request, still_open

PREFIX = "2001:db8:64::"
CENTER = PREFIX + "1"
PORT = 8080
CLIENTS = 600


def source(n):
    return "%s%x" % (PREFIX, n + 2)


async def connections_kept():
    connections = []
    for n in range(CLIENTS):
        connections.append(await asyncio.open_connection(CENTER, PORT, local_addr=(source(n), 0)))
    kept = len(await still_open(connections))
    for _, writer in connections:
        writer.close()
    return kept


async def post(n):
    """The status the center answers an unknown server's form from address n with; "" when it
    closed the connection at once."""
    reader, writer = await asyncio.open_connection(CENTER, PORT,
                                                   local_addr=(source(n % CLIENTS), 0))
    writer.write(request(b"serverid=nobody&url=http://x/"))
    try:
        status = (await reader.readline()).split()[1].decode()
    except (IndexError, ConnectionError):
        status = ""
    writer.close()
    return status


async def refused_forms():
    give_up = time.monotonic() + 10
    while await post(0) == "":  # the center lets go of the connections just closed
        assert time.monotonic() < give_up, "the center kept the closed connections"
        await asyncio.sleep(0.01)
    return collections.Counter([await post(n) for n in range(2 * CLIENTS)])


def main(out):
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "-6", "route", "add", "local", PREFIX + "/64", "dev", "lo"],
                    ["sysctl", "-q", "-w", "net.ipv6.ip_nonlocal_bind=1"]):
        subprocess.run(command, check=True)
    work = tempfile.mkdtemp(prefix="ipv6-lab-")
    natsconf.write_private(os.path.join(work, "center.password"), "p" * 32)
    conf = os.path.join(work, "center.toml")
    with open(conf, "w", encoding="utf-8") as f:
        f.write(config.center_toml([("北京电信", "bj")], ["s1"], ["nats://127.0.0.1:1"],
                                   "center.password"))
    log_path = os.path.join(work, "center.log")
    with open(log_path, "wb") as log, subprocess.Popen(
            [sys.executable, "-m", "boce_dispatch", "center", "--config", conf,
             "--listen", "[%s]:%d" % (CENTER, PORT)], stdout=subprocess.PIPE, stderr=log,
            text=True) as center:
        try:
            assert "listening" in center.stdout.readline()
            seen = {"open": asyncio.run(connections_kept())}
            with open(log_path, "rb") as f:
                start = len(f.read())
            started = time.monotonic()
            seen["statuses"] = asyncio.run(refused_forms())
            seen["seconds"] = time.monotonic() - started
            with open(log_path, "rb") as f:
                lines = f.read()[start:].decode("utf-8", "replace").splitlines()
            seen["refusal_lines"] = [line for line in lines if "refused" in line]
        finally:
            center.terminate()
    with open(out, "w", encoding="utf-8") as f:
        json.dump(seen, f)


if __name__ == "__main__":
    main(sys.argv[1])
