"""Several hosts on one machine, for the multi-host test: run as root of a user namespace of its
own (with network and mount namespaces of its own), never on the machine's own network.

    unshare --user --map-root-user --net --mount --fork python tests/multihost_lab.py OUT.json

Hosts, each a network namespace on one bridge (10.77.0.0/24): the web site, three node agents,
a fourth agent without --allow-private, the dispatch center and the panel. The site delays its
answer by the client's address (no netem here), so each agent sees its own latency. The plug-in
runs in the panel's namespace as the host panel runs it. What each step saw goes to OUT.json."""

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable
HOSTS = {"site": 10, "agent1": 11, "agent2": 12, "agent3": 13, "agent4": 14, "center": 20,
         "panel": 30}
AGENTS = {"agent1": ("北京电信", 0.45), "agent2": ("上海联通", 0.05), "agent3": ("广州移动", 0.25)}
SERVER_ID = "lab-server-0001"
SITE = """
import http.server, sys, time
DELAYS = %r
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(DELAYS.get(self.client_address[0], 0))
        body = b"<html>lab site</html>"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("10.77.0.10", 8080), Handler).serve_forever()
"""
PLUGIN_RUN = """
import json, sys
sys.path.insert(0, %(tools)r)
import install_panel
install_panel.install()
with open("/www/server/panel/data/userInfo.json", "w") as f:
    json.dump({"username": "lab", "serverid": %(server)r}, f)
import start_boce
task = start_boce.public.M("boce_task").insert({"name": "lab", "url": "http://10.77.0.10:8080/"})
print(json.dumps(start_boce.start_boce().start(task), ensure_ascii=False))
"""


def run(*command):
    subprocess.run(command, check=True)


def address(host):
    return "10.77.0.%d" % HOSTS[host]


def build_network():
    run("mount", "-t", "tmpfs", "lab", "/run")  # ip netns keeps its namespaces under /run/netns
    os.makedirs("/run/netns")
    run("ip", "link", "set", "lo", "up")
    run("ip", "link", "add", "br0", "type", "bridge")
    run("ip", "addr", "add", "10.77.0.1/24", "dev", "br0")
    run("ip", "link", "set", "br0", "up")
    for host in HOSTS:
        run("ip", "netns", "add", host)
        run("ip", "link", "add", "v-" + host, "type", "veth", "peer", "name", "e-" + host)
        run("ip", "link", "set", "e-" + host, "netns", host)
        run("ip", "link", "set", "v-" + host, "master", "br0", "up")
        run(*inside(host), "ip", "addr", "add", address(host) + "/24", "dev", "e-" + host)
        run(*inside(host), "ip", "link", "set", "e-" + host, "up")
        run(*inside(host), "ip", "link", "set", "lo", "up")


def inside(host):
    """A command prefix that runs in the host's network namespace (the sandbox has no /sys for
    `ip netns exec` to mount)."""
    return ("nsenter", "--net=/run/netns/" + host, "--")


def start(host, *command):
    return subprocess.Popen(inside(host) + command, cwd=REPO,
                            stdout=subprocess.DEVNULL, start_new_session=True)


def wait_for(host, port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket() as s:
            s.settimeout(0.5)
            if s.connect_ex((address(host), port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("%s:%d never answered" % (host, port))


def run_plugin():
    code = PLUGIN_RUN % {"tools": os.path.join(REPO, "tools"), "server": SERVER_ID}
    result = subprocess.run(inside("panel") + (PYTHON, "-c", code), cwd=REPO,
                            capture_output=True, text=True, timeout=90)
    if result.returncode != 0:
        raise RuntimeError(result.stderr)
    return json.loads(result.stdout.splitlines()[-1])


def post(url, body, headers):
    import urllib.error
    import urllib.request
    request = urllib.request.Request(url, data=body, headers=headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def main(out_path):
    sys.path.insert(0, REPO)
    from dispatch import signing

    build_network()
    work = tempfile.mkdtemp(prefix="lab-")
    secret_file = os.path.join(work, "secret")
    with open(secret_file, "wb") as f:
        f.write(os.urandom(32).hex().encode())
    with open(os.path.join(work, "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n%s dispatch.quellan.net\n" % address("center"))
    run("mount", "--bind", os.path.join(work, "hosts"), "/etc/hosts")
    run("mount", "-t", "tmpfs", "panel", "/www/server/panel")
    nodes = "".join('[[nodes]]\nname = "%s"\nurl = "http://%s:8700"\n\n' % (isp, address(host))
                    for host, (isp, _) in AGENTS.items())
    with open(os.path.join(work, "center.toml"), "w", encoding="utf-8") as f:
        f.write('secret_file = "secret"\nallowed_servers = ["%s"]\ndeadline_seconds = 10\n\n%s'
                % (SERVER_ID, nodes))

    delays = {address(host): delay for host, (_, delay) in AGENTS.items()}
    processes = {"site": start("site", PYTHON, "-c", SITE % delays)}
    for host, (isp, _) in list(AGENTS.items()) + [("agent4", ("南京移动", 0))]:
        command = [PYTHON, "-m", "dispatch", "node", "--listen", address(host) + ":8700",
                   "--isp", isp, "--secret-file", secret_file]
        processes[host] = start(host, *command + ([] if host == "agent4" else ["--allow-private"]))
    processes["center"] = start("center", PYTHON, "-m", "dispatch", "center", "--listen",
                                address("center") + ":80", "--config",
                                os.path.join(work, "center.toml"))
    seen = {}
    try:
        for host, port in [("site", 8080), ("agent1", 8700), ("agent2", 8700), ("agent3", 8700),
                           ("agent4", 8700), ("center", 80)]:
            wait_for(host, port)
        seen["first_run"] = run_plugin()
        os.killpg(processes["agent2"].pid, signal.SIGTERM)
        processes["agent2"].wait()
        seen["agent_stopped"] = run_plugin()
        body = json.dumps({"url": "http://%s:8080/" % address("site")}).encode()
        seen["wrong_hmac"] = post("http://%s:8700/probe" % address("agent1"), body,
                                  signing.signed_headers(b"x" * 32, body))
        with open(secret_file, "rb") as f:
            secret = f.read().strip()
        seen["private_refused"] = post("http://%s:8700/probe" % address("agent4"), body,
                                       signing.signed_headers(secret, body))
        seen["unknown_server"] = post(
            "http://%s/api/local/boce" % address("center"),
            b"serverid=stranger&url=http%3A%2F%2F10.77.0.10%3A8080%2F",
            {"Content-Type": "application/x-www-form-urlencoded"})
    finally:
        for process in processes.values():
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait()
    with open(out_path, "w", encoding="utf-8") as f:
        json.dump(seen, f, ensure_ascii=False)


if __name__ == "__main__":
    main(sys.argv[1])
