"""An agent cut off from everything but NATS, beside two that work, in namespaces of the test's own
(user, network and mount: `unshare --user --map-root-user --net --mount --fork`):

- the site and two check targets are named in this namespace's /etc/hosts, and no name server
  answers anywhere here;
- the probe network runs with three agents, each given both check targets; the agent of node
  "sz" sees an /etc/hosts without those names, so it resolves neither the site nor its check
  targets, while it reaches NATS by address like the others.

    python -m tests.dispatch.cut_off_lab OUT

Asks the center about a working page, a failing page and a host that no agent can resolve, and
writes the answers, /readyz, the center's cut-off log lines and its inconclusive counters to OUT
as JSON."""

import json
import os
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

from tests.common import ask_center, write_seen
from tools.lab.network import Network, free_port
from tools.lab.website import Site

NODES = [("北京电信", "bj"), ("上海联通", "sh"), ("深圳电信", "sz")]
NAMES = ("site.boce.test", "check-a.boce.test", "check-b.boce.test")


def write(directory, name, text):
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def read_json(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def main(out):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp(prefix="cut-off-")
    hosts = write(work, "hosts", "127.0.0.1 localhost %s\n" % " ".join(NAMES))
    no_names = write(work, "hosts-cut-off", "127.0.0.1 localhost\n")
    # Nothing listens there: every name outside /etc/hosts fails at once.
    no_server = write(work, "resolv.conf", "nameserver 127.0.0.53\n")
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    subprocess.run(["mount", "--bind", no_server, "/etc/resolv.conf"], check=True)
    cut_off = ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
               no_names]

    site = Site()
    port = site.base_url.rsplit(":", 1)[1]
    pages = {"working": "http://site.boce.test:%s/fast" % port,
             "failing": "http://site.boce.test:%s/error" % port,
             "unresolvable": "http://gone.boce.test:%s/" % port}
    checks = ["http://check-a.boce.test:%s/" % port, "http://check-b.boce.test:%s/" % port]
    seen = {}
    with Network(NODES, port=free_port(), allowed_servers=["s1"], deadline_seconds=5,
                 allow_private=True, python=sys.executable, metrics_port=free_port(),
                 agent_prefix={"sz": cut_off}, check_urls=checks) as network:
        for case, url in pages.items():
            seen[case] = ask_center(network.url, "s1", url)
        metrics = "http://127.0.0.1:%d" % network.metrics_port
        seen["readyz"] = read_json(metrics + "/readyz")
        with urllib.request.urlopen(metrics + "/metrics", timeout=10) as answer:
            seen["metrics"] = [line for line in answer.read().decode().splitlines()
                               if line.startswith("boce_node_inconclusive_total")]
        seen["log"] = [line.split(" ", 3)[-1] for line in network.log_tail("center", None)
                       .splitlines() if "cut off" in line]
    write_seen(out, seen)


if __name__ == "__main__":
    main(sys.argv[1])
