"""Benchmark of the probe network on one machine (make bench-dispatch).

1. A thousand simulated agents (light NATS clients that answer a fixed record at once, no
   libcurl) on one NATS server: how long the center takes to gather 1,000 answers (p50/p99
   over panel requests made one after another) and the center's memory.
2. 2,000 connections that each send a request head of 0.94 MB and never finish it: the center's
   peak and lasting memory, and how long a panel posted meanwhile waits; the same for 2,000
   that send a whole request and, in the same write, 192 KB of a second head they never
   finish; and 16 connections posting multipart forms of 1,300 fields one after another: the
   center's CPU per refused form and a panel's median wait meanwhile.
3. Ten real agents probing a local site: bursts of concurrent panels, each its own connection
   and server id. For each it reports answers per second, connection resets, and the p99 of
   what the network adds: a panel's wait minus the slowest node's own total time.
4. What reading the certificate and the versions adds to an agent's https probe, beside
   blackbox_exporter's https probe (https_probe.py), with its target.
5. The vantage point against blackbox_exporter, one probe at a time (vantage_point.py): CPU per
   probe, per panel, and the wait beyond the slowest probe, with their targets.

The last line is the figure to read:
vantage point: agent <a> ms CPU per probe, blackbox_exporter <b> ms (<a/b>x); center <c> ms CPU
per panel of 10 nodes; network <n> ms CPU per panel; wait beyond the slowest probe: median <m>
ms, p99 <p> ms. Run inside the sandbox."""

import asyncio
import json
import os
import resource
import statistics
import sys
import time

import aiohttp
import nats

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

from bench import https_probe, vantage_point
from boce_dispatch import contract
from tools.lab import network, website

FIXED_ANSWER = json.dumps({"primary_ip": "203.0.113.7", "http_code": 200, "total_time": 1.0,
                           "namelookup_time": 0.1, "starttransfer_time": 0.9,
                           "size_download": 100, "speed_download": 1000}).encode()
SIMULATED_AGENTS = 1000
GATHERS = 20


def memory_of(pid):
    """(resident, peak resident) of a process, in MiB."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return tuple(int(fields[k].split()[0]) / 1024 for k in ("VmRSS", "VmHWM"))


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


async def simulated_agents(net, count):
    """`count` NATS clients, each answering its node's probes with the fixed record."""
    connections = []
    for index in range(count):
        user = "agent-sim%d" % index
        connection = await nats.connect("nats://127.0.0.1:%d" % net.nats_port, user=user,
                                        password=net.password(user),
                                        allow_reconnect=False)

        async def answer(message, connection=connection):
            await connection.publish(message.reply, FIXED_ANSWER)
        await connection.subscribe(contract.node_subject("sim%d" % index), cb=answer)
        connections.append(connection)
    for connection in connections:
        await connection.flush()
    return connections


async def panel(session, url, serverid, site_url):
    """One panel's request: (seconds waited, records) or an error name."""
    started = time.monotonic()
    try:
        async with session.post(url, data={"serverid": serverid, "url": site_url}) as answer:
            records = await answer.json(content_type=None)
            if answer.status != 200:
                return "HTTP %d" % answer.status
    except (aiohttp.ClientOSError, aiohttp.ServerDisconnectedError) as error:
        return "reset" if "reset" in str(error).lower() or isinstance(
            error, aiohttp.ServerDisconnectedError) else type(error).__name__
    return time.monotonic() - started, records


async def gather_thousand(net):
    connections = await simulated_agents(net, SIMULATED_AGENTS)
    waits = []
    connector = aiohttp.TCPConnector(limit=0)
    async with aiohttp.ClientSession(connector=connector) as session:
        for _ in range(GATHERS):
            result = await panel(session, net.url + contract.PANEL_PATH, "server-0",
                                 "http://203.0.113.7/")
            assert not isinstance(result, str), result
            assert len(result[1]) == SIMULATED_AGENTS and all(
                r["http_code"] == 200 for r in result[1])
            waits.append(result[0])
    for connection in connections:
        await connection.close()
    return waits


def panel_address(index):
    """Each panel a server of its own, with an address of its own on the loopback."""
    return "127.0.1.%d" % (index % 250 + 1)


async def burst(net, panels, site_url):
    """`panels` concurrent panels, each on its own connection; their results."""
    sessions = [aiohttp.ClientSession(connector=aiohttp.TCPConnector(
        limit=0, force_close=True, local_addr=(panel_address(i), 0))) for i in range(panels)]
    try:
        return await asyncio.gather(*[
            panel(session, net.url + contract.PANEL_PATH, "server-%d" % i, site_url)
            for i, session in enumerate(sessions)])
    finally:
        for session in sessions:
            await session.close()


HEAD_ATTACKERS = 2000
POST_HEAD = b"POST %s HTTP/1.1\r\nHost: x\r\n" % contract.PANEL_PATH.encode()
HEADERS = b"".join(b"X-%d: %s\r\n" % (n, b"v" * 8000) for n in range(120))  # 0.94 MB


async def unfinished_heads(net, site_url):
    """2,000 connections from 200 addresses, each sending 120 headers of 8,000 bytes and never
    ending its head, while one panel posts: (the panel's wait, its status)."""
    async def attacker(index):
        try:
            _, writer = await asyncio.open_connection(
                "127.0.0.1", net.port, local_addr=("127.0.8.%d" % (index % 200 + 1), 0))
            writer.write(POST_HEAD + HEADERS)
            await writer.drain()
            writer.close()
        except OSError:
            pass  # closed by the center: what it does to a head over its cap

    attack = asyncio.gather(*[attacker(i) for i in range(HEAD_ATTACKERS)])
    async with aiohttp.ClientSession() as session:
        answer = await panel(session, net.url + contract.PANEL_PATH, "server-0", site_url)
    await attack
    return answer


def head_attack(site_url):
    """The center's memory under 2,000 unfinished request heads, and a panel's wait meanwhile."""
    with network.Network([("北京电信", "node1")], port=network.free_port(),
                         allowed_servers=["server-0"], deadline_seconds=5, log_level="WARNING",
                         allow_private=True) as net:
        pid = net.processes["center"].pid
        before, _ = memory_of(pid)
        answer = asyncio.run(unfinished_heads(net, site_url + "/fast"))
        _, peak = memory_of(pid)
        time.sleep(2)  # the center gives freed memory back a second after connections close
        after, _ = memory_of(pid)
    waited = answer[0] if not isinstance(answer, str) else float("nan")
    met = peak - before <= 256 and after - before <= 64 and waited < net.deadline_seconds
    print("center under 2,000 unfinished heads: peak +%.0f MiB, after close +%.0f MiB, panel "
          "answered in %.2f s%s (targets: peak at most +256 MiB, after close at most +64 MiB, "
          "within the %g s deadline: %s)" % (
              peak - before, after - before, waited,
              "" if not isinstance(answer, str) else " (%s)" % answer, net.deadline_seconds,
              "met" if met else "MISSED"))


PIPELINED_FIRST = b"GET /livez HTTP/1.1\r\nHost: x\r\n\r\n"
PIPELINED_SECOND = POST_HEAD + HEADERS[:192 * 1024]


async def pipelined_heads(net, pid):
    """2,000 connections from 100 addresses, each sending a whole request and, in the same
    write, 192 KB of a second head it never finishes, all held open: the center's peak
    resident memory meanwhile, in MiB."""
    connections = []
    for index in range(HEAD_ATTACKERS):
        try:
            _, writer = await asyncio.open_connection(
                "127.0.0.1", net.port, local_addr=("127.0.9.%d" % (index % 100 + 1), 0))
            writer.write(PIPELINED_FIRST + PIPELINED_SECOND)
            connections.append(writer)
        except OSError:
            pass
    await asyncio.gather(*[writer.drain() for writer in connections], return_exceptions=True)
    peak = memory_of(pid)[1]
    for writer in connections:
        writer.close()
    return peak


def pipelined_attack():
    """The center's memory under 2,000 pipelined unfinished heads."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, HEAD_ATTACKERS + 512)), hard))
    with network.Network([("北京电信", "node1")], port=network.free_port(),
                         allowed_servers=["server-0"], deadline_seconds=5, log_level="WARNING",
                         allow_private=True) as net:
        pid = net.processes["center"].pid
        before, _ = memory_of(pid)
        peak = asyncio.run(pipelined_heads(net, pid))
        time.sleep(2)  # the center gives freed memory back a second after connections close
        after, _ = memory_of(pid)
    met = peak - before <= 128 and after - before <= 32
    print("center under 2,000 pipelined unfinished heads from 100 addresses: peak +%.0f MiB, "
          "after close +%.0f MiB (targets: peak at most +128 MiB, after close at most +32 MiB: "
          "%s)" % (peak - before, after - before, "met" if met else "MISSED"))


MULTIPART = b"".join(b"--b\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nx\r\n" % n
                     for n in range(1300)) + b"--b--\r\n"
MULTIPART_REQUEST = (POST_HEAD + b"Connection: close\r\n"
                     b"Content-Type: multipart/form-data; boundary=b\r\nContent-Length: %d\r\n"
                     b"\r\n%s" % (len(MULTIPART), MULTIPART))
FLOOD_SECONDS = 5
FLOODERS = 16


async def multipart_flood(net, site_url):
    """FLOODERS connections at a time posting multipart forms for FLOOD_SECONDS, while panels
    post one after another: (forms refused, the panels' waits)."""
    stop = time.monotonic() + FLOOD_SECONDS

    async def flooder(index):
        refused = 0
        while time.monotonic() < stop:
            reader, writer = await asyncio.open_connection(
                "127.0.0.1", net.port, local_addr=("127.0.10.%d" % (index + 1), 0))
            writer.write(MULTIPART_REQUEST)
            refused += (await reader.readline()).startswith(b"HTTP/1.1 415")
            writer.close()
        return refused

    flood = asyncio.gather(*[flooder(i) for i in range(FLOODERS)])
    waits = []
    async with aiohttp.ClientSession() as session:
        while time.monotonic() < stop:
            answer = await panel(session, net.url + contract.PANEL_PATH, "server-0", site_url)
            waits.append(answer[0] if not isinstance(answer, str) else float("inf"))
    return sum(await flood), waits


def multipart_attack(site_url):
    """The center's CPU per refused multipart form, and a panel's median wait meanwhile."""
    with network.Network([("北京电信", "node1")], port=network.free_port(),
                         allowed_servers=["server-0"], deadline_seconds=5, log_level="WARNING",
                         allow_private=True) as net:
        pid = net.processes["center"].pid
        spent = vantage_point.cpu_seconds([pid])
        refused, waits = asyncio.run(multipart_flood(net, site_url + "/fast"))
        spent = vantage_point.cpu_seconds([pid]) - spent
    # The panels' own work is in the center's CPU too: counted against the forms, as an upper
    # bound.
    per_form_ms = spent / max(refused, 1) * 1000
    median_ms = statistics.median(waits) * 1000
    met = per_form_ms <= 5 and median_ms <= 100
    print("center under %d connections posting multipart forms of 1,300 fields: %d refused, "
          "%.2f ms of CPU per refused form, a panel's median wait %.1f ms (targets: at most 5 ms,"
          " at most 100 ms: %s)" % (FLOODERS, refused, per_form_ms, median_ms,
                                    "met" if met else "MISSED"))


def summarize(results, seconds):
    answered = [r for r in results if not isinstance(r, str)]
    resets = sum(1 for r in results if r == "reset")
    others = sorted({r for r in results if isinstance(r, str) and r != "reset"})
    overheads = [(wait - max(rec["total_time"] for rec in records) / 1000) * 1000
                 for wait, records in answered]
    return (len(answered) / seconds, resets, percentile(overheads, 0.99) if overheads else 0,
            others)


def main():
    print("probe network benchmark on %d cores" % os.cpu_count())
    print("figures: \"over the slowest node\" = a panel's wait less the slowest node's own "
          "total time (what the network adds);\n         resets = panels whose connection the "
          "center reset; answers/s = panels answered per second of the burst")
    sim_nodes = [("模拟%d" % i, "sim%d" % i) for i in range(SIMULATED_AGENTS)]
    with network.Network(sim_nodes, down=[n for _, n in sim_nodes], port=network.free_port(),
                         allowed_servers=["server-0"], deadline_seconds=20) as net:
        # Credentials for the simulated agents, which the network did not start itself.
        net.admit_agents([node_id for _, node_id in sim_nodes])
        waits = asyncio.run(gather_thousand(net))
        rss, peak = memory_of(net.processes["center"].pid)
    print("1,000 simulated agents: the center gathers 1,000 answers in p50 %.1f ms, p99 %.1f ms"
          " over %d panel requests; center memory %.1f MiB resident, %.1f MiB peak"
          % (statistics.median(waits) * 1000, percentile(waits, 0.99) * 1000, GATHERS, rss,
             peak))

    site, site_url = website.serve()
    figures = {}
    try:
        head_attack(site_url)
        pipelined_attack()
        multipart_attack(site_url)
        real_nodes = [(name, "node%d" % i) for i, name in enumerate(network.NAMES, 1)]
        with network.Network(real_nodes, port=network.free_port(), allowed_servers=["server-0"],
                             deadline_seconds=20, log_level="WARNING", allow_private=True) as net:
            alone = [asyncio.run(burst(net, 1, site_url + "/fast"))[0] for _ in range(30)]
        print("one panel at a time: p50 %.1f ms, p99 %.1f ms over the slowest node" % tuple(
            percentile([(w - max(r["total_time"] for r in rs) / 1000) * 1000 for w, rs in alone],
                       share) for share in (0.5, 0.99)))
        for panels, limit in ((100, 300), (300, 300)):
            with network.Network(real_nodes, port=network.free_port(),
                                 allowed_servers=["server-%d" % i for i in range(panels)],
                                 deadline_seconds=20, max_probes=limit, agent_max_probes=32,
                                 log_level="WARNING", allow_private=True) as net:
                asyncio.run(burst(net, 10, site_url + "/fast"))  # warm-up
                started = time.monotonic()
                results = asyncio.run(burst(net, panels, site_url + "/fast"))
                figures[panels] = summarize(results, time.monotonic() - started)
            rate, resets, p99, others = figures[panels]
            print("%d concurrent panels (overall limit %d): %.0f answers/s, %d resets, p99 %.1f"
                  " ms over the slowest node%s" % (panels, limit, rate, resets, p99,
                                                   "; other failures: %s" % others
                                                   if others else ""))
    finally:
        site.shutdown()
    rate, resets, p99, _ = figures[300]
    print("dispatch bench: %.0f answers/s, %d resets, p99 %.0f ms over the slowest node, at %d "
          "concurrent panels" % (rate, resets, p99, 300))
    https_probe.report(https_probe.measure())
    vantage_point.report(vantage_point.measure())
    return 0


if __name__ == "__main__":
    sys.exit(main())
