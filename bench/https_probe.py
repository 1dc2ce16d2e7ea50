"""What reading the certificate and the versions costs an agent per https probe, on one nginx
https page on the loopback (tools/lab/tls_sites.py's valid site): the agent's CPU per probe (an agent
process answering panels of one node, one at a time, as in vantage_point.py), and within it what
the reading adds: the fetch as it ships (libcurl's account of its work, where the TLS version is
read, and the certificates of the chain the server presents) less the same fetch without them, both made in this process
(RUSAGE_THREAD); beside them blackbox_exporter's https probe of the same page. PROBES of each,
interleaved in rounds of ROUND after a round of each to warm up; processes' CPU is what the
scheduler counted for them.

Target: the reading adds at most 10 % to the agent's CPU per https probe."""

import os
import resource
import subprocess
import tempfile
import urllib.request

import pycurl

from bench.vantage_point import (
    BLACKBOX,
    cpu_seconds,
    panel_wait_beyond_slowest,
)
from boce_dispatch.agent import http_probe
from tools.lab import tls_sites
from tools.lab.network import Network
from tools.lab.ports import free_port, wait_for_port

PROBES = 1000
ROUND = 50
TARGET_SHARE = 0.10
BLACKBOX_CONFIG = """modules:
  https_2xx:
    prober: http
    timeout: 5s
    http:
      preferred_ip_protocol: ip4
      tls_config:
        ca_file: %s
"""


class UnexplainedFetch(http_probe.Fetch):
    """The agent's fetch without what it reads to explain itself: the reference."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.curl.setopt(pycurl.VERBOSE, 0)
        self.curl.setopt(pycurl.OPT_CERTINFO, 0)


def thread_cpu():
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime


def agent_round(fetch_class, url, ca_file):
    """CPU seconds of ROUND fetches of `url`, each on a handle of its own, as measure() makes."""
    started = thread_cpu()
    for _ in range(ROUND):
        fetch = fetch_class(pycurl.Curl(), url, True, ca_file=ca_file)
        try:
            fetch.curl.perform()
            record = fetch.record(None)
        finally:
            fetch.curl.close()
            fetch.close_sockets()
        if record["http_code"] != 200:
            raise RuntimeError("the https page did not answer: %s" % record)
    return thread_cpu() - started


def blackbox_round(peer, peer_port, target):
    before = cpu_seconds([peer.pid])
    for _ in range(ROUND):
        url = "http://127.0.0.1:%d/probe?module=https_2xx&target=%s" % (peer_port, target)
        with urllib.request.urlopen(url, timeout=10) as answer:
            if b"\nprobe_success 1" not in b"\n" + answer.read():
                raise RuntimeError("blackbox_exporter's https probe failed")
    return cpu_seconds([peer.pid]) - before


def measure():
    work = tempfile.mkdtemp(prefix="https-probe-")
    sites = tls_sites.TlsSites(work)
    ca_file = sites.ca_file
    with open(os.path.join(work, "blackbox.yml"), "w", encoding="utf-8") as f:
        f.write(BLACKBOX_CONFIG % ca_file)
    peer_port = free_port()
    peer = subprocess.Popen([BLACKBOX, "--config.file=%s/blackbox.yml" % work,
                             "--web.listen-address=127.0.0.1:%d" % peer_port,
                             "--log.level=warn"], stderr=subprocess.DEVNULL)
    try:
        wait_for_port(peer_port, peer, "blackbox_exporter")
        url = sites.url["valid"] + "/fast"
        spent = {"agent": 0.0, "explained": 0.0, "unexplained": 0.0, "peer": 0.0}
        with Network([("节点", "alone")], port=free_port(), allowed_servers=["vantage"],
                     deadline_seconds=5, allow_private=True, log_level="WARNING",
                     probe_ca_file=ca_file) as alone:
            agent = alone.processes["agent-alone"].pid
            for measured in [False] + [True] * (PROBES // ROUND):
                before = cpu_seconds([agent])
                for _ in range(ROUND):
                    panel_wait_beyond_slowest(alone.url, url)
                rounds = {"agent": cpu_seconds([agent]) - before,
                          "explained": agent_round(http_probe.Fetch, url, ca_file),
                          "unexplained": agent_round(UnexplainedFetch, url, ca_file),
                          "peer": blackbox_round(peer, peer_port, url)}
                if measured:
                    for key, seconds in rounds.items():
                        spent[key] += seconds
    finally:
        peer.terminate()
        peer.wait(10)
        sites.shutdown()
    figures = {key: seconds * 1000 / PROBES for key, seconds in spent.items()}
    figures["reading"] = figures["explained"] - figures["unexplained"]
    figures["added"] = figures["reading"] / (figures["agent"] - figures["reading"])
    return figures


def report(figures):
    print("https probe: agent %.3f ms CPU per probe, of which reading the certificate and "
          "versions %.3f ms (%+.1f %% on the agent without it; target at most +%.0f %%: %s); "
          "the fetch alone %.3f ms, %.3f ms without the reading; blackbox_exporter %.3f ms" % (
              figures["agent"], figures["reading"], figures["added"] * 100, TARGET_SHARE * 100,
              "met" if figures["added"] <= TARGET_SHARE else "MISSED", figures["explained"],
              figures["unexplained"], figures["peer"]))


if __name__ == "__main__":
    report(measure())
