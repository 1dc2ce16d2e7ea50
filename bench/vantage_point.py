"""The vantage point against its usual self-hosted peer, Prometheus's blackbox_exporter (Debian's
prometheus-blackbox-exporter): both probe one nginx static page on the loopback, PROBES probes
each, one at a time, interleaved in rounds of ROUND (blackbox_exporter's probes, then panels of
one node, then panels of NODES nodes), after a round of each to warm up. CPU is what the
scheduler counted for each process (all its threads), read from /proc around each side's rounds
only.

Figures: the agent's CPU per probe, one at a time (panels of one node: an agent on a machine of
its own, as blackbox_exporter runs here) and blackbox_exporter's; what a panel of one node
waits beyond its probe (its wait less the probe's total_time); the center's CPU per panel of
NODES nodes and the whole network's (NATS, center, agents). Beside them, the agents' CPU per
probe within panels of NODES nodes, where ten agents wake at once on this machine's cores and
wait for each other, which agents on machines of their own never do, and how long
blackbox_exporter's answer waits beyond its probe (probe_duration_seconds)."""

import json
import os
import re
import statistics
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from boce_dispatch import contract
from tools.lab import nginx
from tools.lab.network import Network
from tools.lab.ports import free_port, wait_for_port

BLACKBOX = "prometheus-blackbox-exporter"
PROBES = 1000
ROUND = 50
NODES = 10
PAGE = "<html><body>" + "fast " * 400 + "</body></html>"  # the local site's /fast page
BLACKBOX_CONFIG = """modules:
  http_2xx:
    prober: http
    timeout: 5s
    http:
      preferred_ip_protocol: ip4
"""
TARGETS = {"agent_share": 0.5, "center_ms": 0.6, "median_wait_ms": 1.0}


def cpu_seconds(pids):
    """CPU time the processes `pids` have spent so far, all their threads, in nanoseconds as
    the scheduler counts it (/proc/PID/task/TID/schedstat): the tick counts of /proc/PID/stat
    are too coarse for a few hundred probes. Every process measured keeps its threads."""
    total = 0
    for pid in pids:
        for thread in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, thread)) as f:
                total += int(f.read().split()[0])
    return total / 1e9


class Peer:
    """blackbox_exporter on the loopback, with one HTTP module."""

    def __init__(self, directory):
        config = os.path.join(directory, "blackbox.yml")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BLACKBOX_CONFIG)
        self.port = free_port()
        self.process = subprocess.Popen(
            [BLACKBOX, "--config.file=" + config, "--web.listen-address=127.0.0.1:%d" % self.port,
             "--log.level=warn"], stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process, "blackbox_exporter")

    def probe(self, target):
        """One probe: how long its answer waited beyond the probe's own duration (ms)."""
        url = "http://127.0.0.1:%d/probe?module=http_2xx&target=%s" % (self.port, target)
        started = time.monotonic()
        with urllib.request.urlopen(url, timeout=10) as answer:
            text = answer.read().decode()
        waited = (time.monotonic() - started) * 1000
        if "\nprobe_success 1" not in "\n" + text:
            raise RuntimeError("blackbox_exporter's probe failed:\n" + text)
        duration = re.search(r"^probe_duration_seconds (\S+)$", text, re.MULTILINE)
        return waited - float(duration.group(1)) * 1000

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def panel_wait_beyond_slowest(center_url, target):
    """One panel's request: how long it waited beyond the slowest node's own total time (ms)."""
    body = urllib.parse.urlencode({"serverid": "vantage", "url": target}).encode()
    started = time.monotonic()
    with urllib.request.urlopen(center_url + contract.PANEL_PATH, data=body, timeout=10) as answer:
        records = json.loads(answer.read())
    waited = (time.monotonic() - started) * 1000
    if any(r["http_code"] != 200 for r in records):
        raise RuntimeError("a panel's nodes did not all fetch the page: %s" % records)
    return waited - max(r["total_time"] for r in records)


def measure():
    """The figures, as a dict, from one interleaved run."""
    work = tempfile.mkdtemp(prefix="vantage-")
    with open(os.path.join(work, "index.html"), "w", encoding="utf-8") as f:
        f.write(PAGE)
    site_port = free_port()
    site = subprocess.Popen(nginx.command(work, "server { listen 127.0.0.1:%d; root %s; }"
                                          % (site_port, work)), stderr=subprocess.DEVNULL)
    peer = None
    try:
        wait_for_port(site_port, site, "nginx")
        target = "http://127.0.0.1:%d/index.html" % site_port
        peer = Peer(work)
        nodes = [("节点%d" % i, "node%d" % i) for i in range(NODES)]
        settings = dict(allowed_servers=["vantage"], deadline_seconds=5, allow_private=True,
                        log_level="WARNING")
        with Network(nodes, port=free_port(), **settings) as net, \
                Network([("节点", "alone")], port=free_port(), **settings) as alone:
            agents = [p.pid for name, p in net.processes.items() if name.startswith("agent-")]
            center, nats_server = net.processes["center"].pid, net.processes["nats"].pid
            everything = agents + [center, nats_server]
            lone_agent = alone.processes["agent-alone"].pid
            spent = dict.fromkeys(("peer", "agent", "agents", "center", "network"), 0.0)
            waits, peer_waits = [], []
            for measured in [False] + [True] * (PROBES // ROUND):
                before = cpu_seconds([peer.process.pid])
                round_peer_waits = [peer.probe(target) for _ in range(ROUND)]
                peer_spent = cpu_seconds([peer.process.pid]) - before
                before = cpu_seconds([lone_agent])
                round_waits = [panel_wait_beyond_slowest(alone.url, target)
                               for _ in range(ROUND)]
                agent_spent = cpu_seconds([lone_agent]) - before
                before = [cpu_seconds(agents), cpu_seconds([center]), cpu_seconds(everything)]
                for _ in range(ROUND // NODES):
                    panel_wait_beyond_slowest(net.url, target)
                after = [cpu_seconds(agents), cpu_seconds([center]), cpu_seconds(everything)]
                if measured:
                    spent["peer"] += peer_spent
                    spent["agent"] += agent_spent
                    waits += round_waits
                    peer_waits += round_peer_waits
                    for key, start, end in zip(("agents", "center", "network"), before, after,
                                               strict=True):
                        spent[key] += end - start
    finally:
        if peer is not None:
            peer.stop()
        site.terminate()
        site.wait(10)
    panels = PROBES // NODES
    agent_ms = spent["agent"] * 1000 / PROBES
    peer_ms = spent["peer"] * 1000 / PROBES
    return {"agent_ms": agent_ms, "peer_ms": peer_ms, "agent_share": agent_ms / peer_ms,
            "agents_in_panels_ms": spent["agents"] * 1000 / (panels * NODES),
            "center_ms": spent["center"] * 1000 / panels,
            "network_ms": spent["network"] * 1000 / panels,
            "median_wait_ms": statistics.median(waits),
            "peer_median_wait_ms": statistics.median(peer_waits),
            "p99_wait_ms": sorted(waits)[min(len(waits) - 1, int(len(waits) * 0.99))]}


def report(figures):
    """The agents' CPU within panels of NODES nodes, the targets' line, then the figures' line
    (the benchmark's last)."""
    print("vantage point: agents in panels of %d nodes on this machine: %.2f ms CPU per probe; "
          "blackbox_exporter's answer waits %.2f ms beyond its probe (median)"
          % (NODES, figures["agents_in_panels_ms"], figures["peer_median_wait_ms"]))
    verdicts = {key: "met" if figures[key] <= limit else "MISSED"
                for key, limit in TARGETS.items()}
    print("vantage point targets: agent at most %.1fx blackbox_exporter's CPU per probe (%s), "
          "center at most %.1f ms CPU per panel of %d nodes (%s), median wait beyond the "
          "slowest probe at most %.0f ms (%s)" % (
              TARGETS["agent_share"], verdicts["agent_share"], TARGETS["center_ms"], NODES,
              verdicts["center_ms"], TARGETS["median_wait_ms"], verdicts["median_wait_ms"]))
    print("vantage point: agent %.2f ms CPU per probe, blackbox_exporter %.2f ms (%.2fx); "
          "center %.2f ms CPU per panel of %d nodes; network %.2f ms CPU per panel; wait beyond "
          "the slowest probe: median %.2f ms, p99 %.2f ms" % (
              figures["agent_ms"], figures["peer_ms"], figures["agent_share"],
              figures["center_ms"], NODES, figures["network_ms"], figures["median_wait_ms"],
              figures["p99_wait_ms"]))


if __name__ == "__main__":
    report(measure())
