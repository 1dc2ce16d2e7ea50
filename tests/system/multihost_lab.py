"""Several hosts on one machine, for the multi-host test: run as root of a user namespace of its
own (with network and mount namespaces of its own), never on the machine's own network.

    unshare --user --map-root-user --net --mount --fork python -m tests.system.multihost_lab OUT.json

Hosts, each a network namespace on one bridge (10.77.0.0/24): the web site, a cluster of three
NATS servers (TLS, with a CA made here), two dispatch centers (the first behind the nginx front
that operators deploy, on its host's loopback), the panel, two node agents, a
fourth agent without --allow-private, and a NAT router in front of a home network
(192.168.50.0/24) whose agent only dials out: nothing on the bridge has a route to it. The site
delays its answer by the client's address (no netem here), so each agent sees its own latency.
The plug-in runs in the panel's namespace as the host panel runs it. What each step saw goes
to OUT.json."""

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from boce_dispatch import contract, natsconf
from boce_dispatch.center import config
from tests.common import accepts, held_by_site, nginx_front, wait_until, write_seen
from tools.packaging.build_version import dispatch_host

DISPATCH_HOST = dispatch_host()  # the host the module under test posts to

PYTHON = sys.executable
HOSTS = {"site": 10, "agent1": 11, "agent2": 12, "gw": 13, "agent4": 14, "nats1": 21,
         "nats2": 22, "nats3": 23, "center1": 31, "center2": 32, "panel": 40}
HOME = {"gw": "192.168.50.1", "agent3": "192.168.50.2"}
# node id -> (name, the address the site sees, its delay)
NODES = {"bj": ("北京电信", "agent1", 0.45), "sh": ("上海联通", "agent2", 0.05),
         "gz": ("广州移动", "gw", 0.25)}
AGENT_HOSTS = {"bj": "agent1", "sh": "agent2", "gz": "agent3", "nj": "agent4"}
SERVER_ID = "lab-server-0001"
PLUGIN_RUN = """
import json
from tools.lab import install_panel
install_panel.install()
with open("/www/server/panel/data/userInfo.json", "w") as f:
    json.dump({"username": "lab", "serverid": %(server)r}, f)
import start_boce
task = start_boce.public.M("boce_task").insert({"name": "lab", "url": %(url)r})
print(json.dumps(start_boce.start_boce().start(task), ensure_ascii=False))
"""


def step(text):
    print("lab: %.1f %s" % (time.monotonic(), text), file=sys.stderr, flush=True)


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def address(host):
    return "10.77.0.%d" % HOSTS[host]


def inside(host):
    """A command prefix that runs in the host's network namespace (the sandbox has no /sys for
    `ip netns exec` to mount)."""
    return ("nsenter", "--net=/run/netns/" + host, "--")


def add_host(host, bridge, ip, prefix=24):
    if not os.path.exists("/run/netns/" + host):
        run("ip", "netns", "add", host)
        run(*inside(host), "ip", "link", "set", "lo", "up")
    outer, inner = "v%s-%s" % (bridge, host)[:15], "e%s" % bridge
    run("ip", "link", "add", outer, "type", "veth", "peer", "name", inner)
    run("ip", "link", "set", inner, "netns", host)
    run("ip", "link", "set", outer, "master", bridge, "up")
    run(*inside(host), "ip", "addr", "add", "%s/%d" % (ip, prefix), "dev", inner)
    run(*inside(host), "ip", "link", "set", inner, "up")


def build_network():
    run("mount", "-t", "tmpfs", "lab", "/run")  # ip netns keeps its namespaces under /run/netns
    os.makedirs("/run/netns")
    run("ip", "link", "set", "lo", "up")
    for bridge in ("br0", "br1"):
        run("ip", "link", "add", bridge, "type", "bridge")
        run("ip", "link", "set", bridge, "up")
    run("ip", "addr", "add", "10.77.0.1/24", "dev", "br0")  # the lab's own view of the hosts
    for host in HOSTS:
        add_host(host, "br0", address(host))
    # The home network: the agent reaches the bridge only through the router, which hides it
    # behind its own address.
    add_host("gw", "br1", HOME["gw"])
    add_host("agent3", "br1", HOME["agent3"])
    run(*inside("agent3"), "ip", "route", "add", "default", "via", HOME["gw"])
    subprocess.run(inside("gw") + ("sh", "-c", "echo 1 > /proc/sys/net/ipv4/ip_forward"),
                   check=True)
    for rule in ("add table ip nat",
                 "add chain ip nat post { type nat hook postrouting priority 100 ; }",
                 "add rule ip nat post oifname ebr0 masquerade"):
        run(*inside("gw"), "nft", rule)


def make_certificates(work):
    """A CA made for this lab, and the NATS servers' certificate for their three addresses."""
    ca, key = os.path.join(work, "ca.pem"), os.path.join(work, "ca.key")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", ca,
        "-days", "1", "-subj", "/CN=boce lab CA", "-addext",
        "keyUsage=critical,keyCertSign,cRLSign")
    server_key, csr = os.path.join(work, "nats.key"), os.path.join(work, "nats.csr")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", server_key, "-out", csr,
        "-subj", "/CN=boce lab nats")
    extensions = os.path.join(work, "san.ext")
    with open(extensions, "w") as f:  # what a strict verifier (Python 3.13's) asks for
        f.write("subjectAltName=" + ",".join("IP:" + address(h)
                                              for h in ("nats1", "nats2", "nats3")) + "\n"
                "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,"
                "keyEncipherment\nextendedKeyUsage=serverAuth\n"
                "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid,issuer\n")
    certificate = os.path.join(work, "nats.pem")
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", key, "-CAcreateserial",
        "-out", certificate, "-days", "1", "-extfile", extensions)
    return {"cert_file": certificate, "key_file": server_key}, ca


def start(host, *command, log=None):
    return subprocess.Popen(inside(host) + command, cwd=REPO, stdout=subprocess.DEVNULL,
                            stderr=log or subprocess.DEVNULL, start_new_session=True)


def wait_for(host, port, seconds=20):
    wait_until(lambda: accepts(port, address(host)), "%s:%d to answer" % (host, port), seconds)


def wait_for_cluster(seconds=20):
    def routes():
        try:
            return [json.load(urllib.request.urlopen(
                "http://%s:8222/routez" % address(h), timeout=1))["num_routes"]
                for h in ("nats1", "nats2", "nats3")]
        except OSError:
            return None
    wait_until(lambda: routes() == [2, 2, 2], "the NATS cluster to form", seconds)


def point_dispatch_host_at(work, center):
    hosts = os.path.join(work, "hosts")
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n%s %s\n" % (address(center), DISPATCH_HOST))
    run("mount", "--bind", hosts, "/etc/hosts")


def run_plugin(url="http://10.77.0.10:8080/"):
    code = PLUGIN_RUN % {"server": SERVER_ID, "url": url}
    return subprocess.Popen(inside("panel") + (PYTHON, "-c", code), cwd=REPO,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def result_of(process):
    out, err = process.communicate(timeout=90)
    if process.returncode != 0:
        raise RuntimeError(err)
    return json.loads(out.splitlines()[-1])


def password(work, user):
    with open(os.path.join(work, user + ".password")) as f:
        return f.read().strip()


def ask_agent_directly(work, ca, node_id, url):
    """A probe published as the center would publish it, straight over NATS."""
    import nats

    from boce_dispatch import bus

    async def ask():
        connection = await nats.connect(["nats://%s:4222" % address(h) for h in (
            "nats1", "nats2", "nats3")], user="center",
                                        password=password(work, "center"),
                                        tls=bus.tls_context(ca))
        answer = await connection.request(contract.node_subject(node_id),
                                          contract.probe_request("direct", url, 10), timeout=10)
        await connection.close()
        return json.loads(answer.data)
    return asyncio.run(ask())


def wait_for_subscriptions(work, ca, seconds=20):
    """Returns once every node's agent answers a ping sent through each NATS server of the
    cluster: the agents' subscriptions have spread over it."""
    import nats

    from boce_dispatch import bus

    async def answered(server, node_id):
        connection = await nats.connect(server, user="center", password=password(work, "center"),
                                        tls=bus.tls_context(ca), allow_reconnect=False)
        try:
            await connection.request(contract.node_subject(node_id), contract.PING, timeout=0.5)
            return True
        except (nats.errors.NoRespondersError, nats.errors.TimeoutError):
            return False
        finally:
            await connection.close()

    missing = [("nats://%s:4222" % address(h), node_id) for h in ("nats1", "nats2", "nats3")
               for node_id in NODES]
    give_up = time.monotonic() + seconds
    while missing:
        if time.monotonic() > give_up:
            raise RuntimeError("no answer to a ping from %s" % missing)
        missing = [pair for pair in missing if not asyncio.run(answered(*pair))]


def connected_server(center, seconds=20):
    """The NATS server the center uses, from its operators' listener on its own loopback, once
    it has one (/healthz is 503 until then)."""
    ask = ("import json, time, urllib.request\n"
           "give_up = time.monotonic() + %d\n"
           "while True:\n"
           "    try:\n"
           "        print(json.load(urllib.request.urlopen('http://127.0.0.1:9464/healthz',"
           " timeout=5))['server']); break\n"
           "    except OSError:\n"
           "        if time.monotonic() > give_up: raise\n"
           "        time.sleep(0.05)\n" % seconds)
    return subprocess.run(inside(center) + (PYTHON, "-c", ask), check=True,
                          capture_output=True, text=True).stdout.strip()


def main(out_path):
    build_network()
    work = tempfile.mkdtemp(prefix="lab-")
    tls, ca = make_certificates(work)
    logs = open(os.path.join(work, "services.log"), "ab")
    users = {"agent-" + node_id: node_id for node_id in AGENT_HOSTS}
    for user in ["center"] + list(users):
        natsconf.write_private(os.path.join(work, user + ".password"), os.urandom(16).hex())
    agents = {user: (password(work, user), node_id) for user, node_id in users.items()}
    processes = {}
    servers = ",".join("nats://%s:4222" % address(h) for h in ("nats1", "nats2", "nats3"))
    for host in ("nats1", "nats2", "nats3"):
        conf = os.path.join(work, host + ".conf")
        with open(conf, "w") as f:
            f.write(natsconf.server_config(
                "center", password(work, "center"), agents, listen=address(host) + ":4222",
                tls=tls, cluster={"name": "boce", "listen": address(host) + ":6222", "routes": [
                    "nats-route://%s:6222" % address(h) for h in ("nats1", "nats2", "nats3")
                    if h != host]}, monitoring=address(host) + ":8222"))
        processes[host] = start(host, "nats-server", "--config", conf, log=logs)
    wait_for_cluster()
    step("NATS cluster formed")
    delays = {address(host): delay for _, host, delay in NODES.values()}
    processes["site"] = start("site", PYTHON, "tools/lab/website.py", "--listen",
                              address("site") + ":8080", "--delays", json.dumps(delays))
    for node_id, host in AGENT_HOSTS.items():
        command = [PYTHON, "-m", "boce_dispatch", "agent", "--node", node_id, "--nats", servers,
                   "--user", "agent-" + node_id, "--password-file",
                   os.path.join(work, "agent-%s.password" % node_id), "--ca-file", ca]
        processes[host] = start(host, *command + ([] if node_id == "nj" else
                                                  ["--allow-private"]), log=logs)
    with open(os.path.join(work, "center.toml"), "w", encoding="utf-8") as f:
        f.write(config.center_toml([(name, node_id) for node_id, (name, _, _) in NODES.items()],
                                   [SERVER_ID], servers.split(","), "center.password",
                                   ca_file="ca.pem", deadline_seconds=10,
                                   trusted_proxies=["127.0.0.1"]))
    for center, listen in (("center1", "127.0.0.1:8080"), ("center2", address("center2") + ":80")):
        processes[center] = start(center, PYTHON, "-m", "boce_dispatch", "center", "--listen",
                                  listen, "--metrics-listen", "127.0.0.1:9464", "--config",
                                  os.path.join(work, "center.toml"), log=logs)
    processes["front"] = start("center1", *nginx_front(work, address("center1") + ":80",
                                                       "127.0.0.1:8080"), log=logs)
    seen = {}
    try:
        for host, port in [("site", 8080), ("center1", 80), ("center2", 80)]:
            wait_for(host, port)
        for center in ("center1", "center2"):
            connected_server(center)
        step("centers listen and have NATS")
        wait_for_subscriptions(work, ca)
        point_dispatch_host_at(work, "center1")
        seen["first_run"] = result_of(run_plugin())
        with open(os.path.join(work, "services.log"), encoding="utf-8") as f:
            seen["front_passed_address"] = "panel address='%s'" % address("panel") in f.read()
        step("first run done")
        point_dispatch_host_at(work, "center2")
        seen["second_center"] = result_of(run_plugin())
        step("second center done")
        # Failover: the NATS server that center1 uses dies while the probes are under way.
        point_dispatch_host_at(work, "center1")
        victim = {address(h) + ":4222": h for h in ("nats1", "nats2", "nats3")}[
            connected_server("center1")]
        site = "http://%s:8080" % address("site")
        running = run_plugin(site + "/?delay=3&tag=failover")
        wait_until(lambda: held_by_site(site, "failover") == len(NODES), "every node fetching")
        os.killpg(processes[victim].pid, signal.SIGKILL)
        seen["failover"] = result_of(running)
        seen["failover_servers"] = [victim, connected_server("center1")]
        step("failover run done")
        os.killpg(processes["agent2"].pid, signal.SIGTERM)
        processes["agent2"].wait()
        step("agent2 stopped")
        seen["agent_stopped"] = result_of(run_plugin())
        step("run without agent2 done")
        seen["private_refused"] = ask_agent_directly(work, ca, "nj",
                                                     "http://%s:8080/" % address("site"))
        step("private target asked")
        if True:  # behind the NAT: nothing reaches the agent
            seen["agent3_reachable"] = subprocess.run(
                inside("center1") + (PYTHON, "-c", "import socket; socket.create_connection("
                                     "(%r, 22), 2)" % HOME["agent3"]),
                capture_output=True, text=True).stderr.strip().splitlines()[-1:]
        request = urllib.request.Request(
            "http://%s%s" % (address("center2"), contract.PANEL_PATH),
            data=b"serverid=stranger&url=http%3A%2F%2F10.77.0.10%3A8080%2F", method="POST")
        try:
            urllib.request.urlopen(request, timeout=30)
        except urllib.error.HTTPError as error:
            seen["unknown_server"] = [error.code, json.loads(error.read())]
        step("refusal seen")
    finally:
        for name, process in processes.items():
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(15)
                except subprocess.TimeoutExpired:
                    step("%s did not stop on SIGTERM" % name)
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        logs.close()
        step("stopped")
        shutil.copyfile(os.path.join(work, "services.log"), out_path + ".log")
    write_seen(out_path, seen)


if __name__ == "__main__":
    main(sys.argv[1])
