"""Benchmark of the center at scale (make bench-scale): 1,000 and 10,000 simulated nodes
(simulated_nodes.py: the agent's own code, its fetch a fixed record), on one NATS server and on a
cluster of three, each a network of its own with the real center. In each:

- panels one at a time: the panel's wait (gather p50/p99), the center's CPU per answer, probe
  messages per node;
- 10 panels at once: records lost (a present node's record come back as not responding);
- answers held 2.5 s: probe messages per node (a slow site costs no resend) and records lost;
- 1 % of the nodes stopped (as an agent stops) and known away: how long after its slowest
  present node's answer a panel is answered.

Before them, the center's CPU per answer beside the center of REFERENCE_REVISION (before
receipts and presence; taken from git) in the same network, one panel at a time, at both
sizes.

Each line beginning "scale:" is a figure with its target and met or MISSED. Run inside the
sandbox."""

import asyncio
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import aiohttp

from bench import simulated_nodes
from bench.bench_dispatch import memory_of, percentile
from bench.vantage_point import cpu_seconds
from boce_dispatch import contract
from tools.lab import network

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCE_REVISION = "a70fe8f"  # the center before presence, receipts and orjson
SIZES = (1000, 10000)
CLUSTERS = (1, 3)
PANELS = {1000: 30, 10000: 10}  # panels one at a time, per size
AT_ONCE = 10
HOLD_SECONDS = 2.5
AWAY_SHARE = 0.01
DEADLINE_SECONDS = 20
TARGETS = {"p99 1000": 0.150, "p99 10000": 1.0, "lost": 0, "probes per node": 1.1,
           "after slowest": 0.100, "cpu halved": 0.5}
SITE = "http://203.0.113.7/"


def line(figure, value, target, met):
    print("scale: %s: %s (target: %s: %s)" % (figure, value, target, "met" if met else "MISSED"),
          flush=True)


# Below the center's and NATS's scheduling priority: in the field agents run on machines of
# their own, here they share this machine's cores with the center.
NODES_NICENESS = 10


class Simulation:
    """The simulated nodes, in one process per core (as agents on machines of their own work
    side by side), and their commands."""

    def __init__(self, net, count):
        processes = os.cpu_count()
        password_file = os.path.join(net.workdir, simulated_nodes.SIMULATED_USER + ".password")
        share = -(-count // processes)
        self.processes = [subprocess.Popen(
            ["nice", "-n", str(NODES_NICENESS), sys.executable, "-m", "bench.simulated_nodes",
             "--nats", ",".join(net.nats_urls), "--password-file", password_file,
             "--first", str(first),
             "--nodes", str(min(share, count - first))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=REPO)
            for first in range(0, count, share)]
        self.running = [min(share, count - first) for first in range(0, count, share)]
        for process in self.processes:
            if process.stdout.readline().strip() != "ready":
                self.close()
                raise RuntimeError("the simulated nodes did not start")

    def _ask(self, process, command):
        process.stdin.write(command + "\n")
        process.stdin.flush()
        return json.loads(process.stdout.readline())

    def hold(self, seconds):
        for process in self.processes:
            self._ask(process, "hold %g" % seconds)

    def stop_last(self, count):
        """Stops the last `count` nodes (by index), as their agents stop."""
        for number in reversed(range(len(self.processes))):
            stopping = min(count, self.running[number])
            self.running[number] = self._ask(self.processes[number],
                                             "stop %d" % stopping)["running"]
            count -= stopping

    def stats(self):
        """Probe requests taken since the last stats, and when the last answer was written out."""
        figures = [self._ask(process, "stats") for process in self.processes]
        return sum(f["probes"] for f in figures), max(f["last_answer"] for f in figures)

    def close(self):
        for process in self.processes:
            process.stdin.close()
        for process in self.processes:
            process.wait(30)


async def panel(session, url, serverid):
    """One panel's request: (seconds waited, the time it was answered, records)."""
    started = time.monotonic()
    async with session.post(url, data={"serverid": serverid, "url": SITE}) as answer:
        body = await answer.read()
        answered = time.monotonic()
        if answer.status != 200:
            raise RuntimeError("HTTP %d: %s" % (answer.status, body[:200]))
    return answered - started, answered, json.loads(body)


async def panels(center_url, count, at_once=1):
    """`count` panels, `at_once` at a time, each a server of its own."""
    results = []
    async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as session:
        url = center_url + contract.PANEL_PATH
        for first in range(0, count, at_once):
            results += await asyncio.gather(*[panel(session, url, "server-%d" % (i % AT_ONCE))
                                              for i in range(first, first + at_once)])
    return results


def lost(results, present):
    """Records of present nodes that came back as not responding."""
    return sum(sum(1 for record in records[:present]
                   if record["isp"] == contract.NOT_RESPONDING) for _, _, records in results)


def healthz(net):
    with urllib.request.urlopen(net.url + "/healthz", timeout=30) as answer:
        return json.loads(answer.read())


def wait_for_presence(net, present, seconds=60):
    """Until the center knows who is there and counts `present` nodes present."""
    give_up = time.monotonic() + seconds
    while time.monotonic() < give_up:
        health = healthz(net)
        if health["presence"] == "known" and sum(
                1 for node in health["nodes"].values() if node["present"]) \
                == present:
            return
        time.sleep(0.5)
    raise RuntimeError("the center did not learn which nodes are there")


def wait_for_routes(net, seconds=30):
    """Until every NATS server of a cluster has a route to each other one."""
    give_up = time.monotonic() + seconds
    servers = len(net.nats_ports)
    while servers > 1 and time.monotonic() < give_up:
        routes = []
        for port in net.nats_monitoring_ports:
            with urllib.request.urlopen("http://127.0.0.1:%d/routez" % port, timeout=5) as f:
                routes.append(json.loads(f.read())["num_routes"])
        if min(routes) >= servers - 1:
            return
        time.sleep(0.2)
    if servers > 1:
        raise RuntimeError("the NATS cluster did not form")


class ScaleNetwork:
    """A network of `count` simulated nodes on `servers` NATS servers, the center run from
    `package` (a directory holding boce_dispatch) when given."""

    def __init__(self, count, servers, package=None):
        env = dict(os.environ)
        if package is not None:
            env["PYTHONPATH"] = package
        nodes = [("模拟%d" % i, simulated_nodes.node_id(i)) for i in range(count)]
        self.net = network.Network(nodes, down=[node for _, node in nodes],
                                   port=network.free_port(), env=env,
                                   allowed_servers=["server-%d" % i for i in range(AT_ONCE)],
                                   deadline_seconds=DEADLINE_SECONDS, log_level="WARNING",
                                   nats_servers=servers)
        self.count = count
        self.simulation = None

    def __enter__(self):
        self.net.start()
        try:
            self.net.admit_agents(["*"])
            wait_for_routes(self.net)
            self.simulation = Simulation(self.net, self.count)
        except BaseException:
            self.net.stop()
            raise
        return self

    def __exit__(self, *exc):
        if self.simulation is not None:
            self.simulation.close()
        self.net.stop()

    def center_cpu(self):
        return cpu_seconds([self.net.processes["center"].pid])


def one_at_a_time(scale, count):
    """The panels one at a time: their results, the center's CPU per answer, probes per node."""
    scale.simulation.stats()
    before = scale.center_cpu()
    results = asyncio.run(panels(scale.net.url, count))
    cpu = (scale.center_cpu() - before) / (count * scale.count)
    probes = scale.simulation.stats()[0] / (count * scale.count)
    return results, cpu, probes


def reference_package(work):
    """The boce_dispatch package of REFERENCE_REVISION unpacked in `work`, or None without git."""
    try:
        archive = subprocess.run(["git", "-C", REPO, "archive", REFERENCE_REVISION,
                                  "boce_dispatch/src/boce_dispatch"], capture_output=True,
                                 check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    subprocess.run(["tar", "-x", "-C", work], input=archive, check=True)
    return os.path.join(work, "boce_dispatch", "src")


def reference_center(net, package):
    """REFERENCE_REVISION's center beside the network's own, on the same NATS server and
    configuration; its URL and process."""
    port = network.free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "boce_dispatch", "center", "--config",
         os.path.join(net.workdir, "center.toml"), "--listen", "127.0.0.1:%d" % port,
         "--log-level", "WARNING"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True, cwd=net.workdir, env=dict(os.environ, PYTHONPATH=package))
    if "listening" not in process.stdout.readline():
        process.kill()
        raise RuntimeError("the reference center did not start")
    url = "http://127.0.0.1:%d" % port
    give_up = time.monotonic() + 30
    while time.monotonic() < give_up:
        try:
            with urllib.request.urlopen(url + "/healthz", timeout=5):
                return url, process
        except OSError:
            time.sleep(0.1)
    process.kill()
    raise RuntimeError("the reference center did not reach NATS")


def compare_cpu(count, rounds=6, per_round=3):
    """The center's CPU per answer, this one and REFERENCE_REVISION's side by side in one
    network, their panels interleaved in rounds (the machine's speed drifts from minute to
    minute)."""
    work = tempfile.mkdtemp(prefix="boce-reference-")
    try:
        package = reference_package(work)
        if package is None:
            print("scale: no reference center: this checkout has no git history", flush=True)
            return
        with ScaleNetwork(count, 1) as scale:
            url, process = reference_center(scale.net, package)
            try:
                wait_for_presence(scale.net, count)
                sides = {"reference": (url, process.pid),
                         "this": (scale.net.url, scale.net.processes["center"].pid)}
                cpu = dict.fromkeys(sides, 0.0)
                for round_number in range(rounds + 1):  # round 0 warms up
                    for name, (center_url, pid) in sides.items():
                        before = cpu_seconds([pid])
                        asyncio.run(panels(center_url, per_round))
                        if round_number:
                            cpu[name] += cpu_seconds([pid]) - before
            finally:
                process.terminate()
                process.wait(30)
        answers = rounds * per_round * count
        this, reference = cpu["this"] / answers, cpu["reference"] / answers
        line("center CPU per answer, %d nodes, one panel at a time" % count,
             "%.1f us, the %s center %.1f us (%.2fx)" % (this * 1e6, REFERENCE_REVISION,
                                                         reference * 1e6, this / reference),
             "at most half", this / reference <= TARGETS["cpu halved"])
    finally:
        shutil.rmtree(work, ignore_errors=True)


def scenarios(count, servers):
    where = "%d nodes, %s" % (count, "one NATS server" if servers == 1 else
                              "a cluster of %d NATS servers" % servers)
    with ScaleNetwork(count, servers) as scale:
        wait_for_presence(scale.net, count)
        asyncio.run(panels(scale.net.url, 3))  # warm-up
        results, cpu, probes = one_at_a_time(scale, PANELS[count])
        waits = [wait for wait, _, _ in results]
        target = TARGETS["p99 %d" % count]
        line("%s: gather, one panel at a time" % where,
             "p50 %.0f ms, p99 %.0f ms; center CPU %.1f us per answer; %.2f probe messages "
             "per node" % (percentile(waits, 0.5) * 1000, percentile(waits, 0.99) * 1000,
                           cpu * 1e6, probes),
             "p99 at most %.0f ms" % (target * 1000), percentile(waits, 0.99) <= target)

        resident = memory_of(scale.net.processes["center"].pid)[0]
        results = asyncio.run(panels(scale.net.url, AT_ONCE, AT_ONCE))
        grown = memory_of(scale.net.processes["center"].pid)[1] - resident
        missing = lost(results, count)
        line("%s: %d panels at once" % (where, AT_ONCE),
             "%d of %d records lost, slowest panel %.0f ms; the center's peak memory %.1f KiB "
             "above its resident memory per node of a panel" % (
                 missing, AT_ONCE * count, max(w for w, _, _ in results) * 1000,
                 grown * 1024 / (AT_ONCE * count)),
             "none lost", missing == 0)

        scale.simulation.hold(HOLD_SECONDS)
        results, _, probes = one_at_a_time(scale, 3)
        missing = lost(results, count)
        line("%s: answers held %.1f s" % (where, HOLD_SECONDS),
             "%.3f probe messages per node, %d records lost" % (probes, missing),
             "at most %.1f, none lost" % TARGETS["probes per node"],
             probes <= TARGETS["probes per node"] and missing == 0)
        scale.simulation.hold(0)

        away = int(count * AWAY_SHARE)
        scale.simulation.stop_last(away)
        wait_for_presence(scale.net, count - away)
        lags = []
        for _ in range(PANELS[count]):
            scale.simulation.stats()
            [(_, answered, records)] = asyncio.run(panels(scale.net.url, 1))
            lags.append(answered - scale.simulation.stats()[1])
            assert all("no agent connected since" in record["reason"]
                       for record in records[count - away:]), "an away node not said away"
        line("%s: %d nodes away (%d %%)" % (where, away, AWAY_SHARE * 100),
             "answered p50 %.0f ms, p99 %.0f ms after the slowest present node" % (
                 percentile(lags, 0.5) * 1000, percentile(lags, 0.99) * 1000),
             "at most %.0f ms" % (TARGETS["after slowest"] * 1000),
             percentile(lags, 0.99) <= TARGETS["after slowest"])


def main():
    print("probe network at scale, on %d cores: simulated nodes (the agent's code, a fixed "
          "record) in one process, the center, NATS" % os.cpu_count(), flush=True)
    for count in SIZES:
        compare_cpu(count)
    for servers in CLUSTERS:
        for count in SIZES:
            scenarios(count, servers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
