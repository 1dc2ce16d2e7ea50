"""deploy/install on a fresh Debian 12 booted with systemd as PID 1, as docs/operating.md tells
an operator to run it: the units start under their own sandbox and serve panels through nginx,
and uninstall takes everything away while the agents run. `make test-deploy` runs it, as root
and outside the sandbox (it needs systemd-nspawn); the Debian root is cached under build/."""

import json
import os
import re
import subprocess
import sys

import pytest

from tests.common import REPO, wait_until

ROOT_TAR = os.environ.get("BOCE_DEBIAN_ROOT", "")
HOST = "probe.example.cn"
MOVED_HOST = "dispatch.example.cn"
NODES = ("bj-telecom", "sh-unicom")  # the nodes of the shipped center.toml
INSTALL = "/root/boce/boce_dispatch/deploy/install"
OUR_UNITS = ("boce-center.service", "nats-server.service",
             *("boce-agent@%s.service" % node for node in NODES))
# systemd-analyze security's exposure, from 0 (safe) to 10, at most this for each of our units.
MOST_EXPOSURE = 2.5

pytestmark = pytest.mark.skipif(
    not os.path.isfile(ROOT_TAR) or os.geteuid() != 0,
    reason="make test-deploy runs it, as root, with its Debian 12 root (BOCE_DEBIAN_ROOT)")


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    from tests.system.booted import BootedMachine
    booted = BootedMachine(ROOT_TAR, tmp_path_factory.mktemp("debian12"))
    booted.put(os.path.join(REPO, "boce_dispatch"), "/root/boce/boce_dispatch")
    booted.put(os.path.join(REPO, "build", "wheelhouse"), "/root/wheels")
    try:
        booted.boot()
        yield booted
    finally:
        booted.shutdown()


def install(machine, *words):
    return machine.run(INSTALL, *words, "--wheels", "/root/wheels").stdout


def inside_network(machine, code, *words):
    """What the Python `code` prints, run in the machine's network (its loopback)."""
    return machine.run(sys.executable, "-c", code, *words, network_only=True).stdout


def http_status(machine, url, host=None):
    """The status of a GET of `url` from inside the machine's network."""
    code = ("import sys, urllib.request, urllib.error\n"
            "request = urllib.request.Request(sys.argv[1])\n"
            "if sys.argv[2:]: request.add_header('Host', sys.argv[2])\n"
            "try: print(urllib.request.urlopen(request, timeout=10).status)\n"
            "except urllib.error.HTTPError as error: print(error.code)\n")
    return int(inside_network(machine, code, url, *([host] if host else [])))


# A client that speaks plain TCP to NATS: the server's INFO, then what it answers a CONNECT with
# a password.
PLAIN_NATS_CLIENT = """import json, socket
with socket.create_connection(("127.0.0.1", 4222), timeout=10) as s:
    reader = s.makefile("rb")
    info = json.loads(reader.readline().split(b" ", 1)[1])
    s.sendall(b'CONNECT {"user": "agent-bj-telecom", "pass": "a-password-in-clear"}\\r\\nPING\\r\\n')
    try:
        answer = reader.readline()
    except OSError as error:
        answer = repr(error).encode()
print(json.dumps({"tls_required": info.get("tls_required"), "answer": answer.decode("latin-1")}))
"""


def env_value(machine, name, path):
    return re.search(r"(?m)^%s=(.*)$" % name, machine.path(path).read_text("utf-8"))[1]


@pytest.fixture(scope="module")
def installed(machine):
    """The center for HOST with its two shipped nodes, a trial serverid, and an agent for each
    node on the same machine, each step as the operating guide gives it."""
    said = [install(machine, "center", "--dispatch-host", HOST)]
    config = machine.path("/etc/boce/center.toml")
    config.write_text(re.sub(r"(?m)^allowed_servers = .*", 'allowed_servers = ["trial"]',
                             config.read_text("utf-8")), "utf-8")
    said.append(install(machine, "center"))
    # The agents may fetch the machine's own nginx: this machine has no other network.
    machine.path("/etc/boce/agent.env").write_text("BOCE_NATS=\nBOCE_CHECKS=--allow-private\n",
                                                   "utf-8")
    for node in NODES:
        said.append(install(machine, "agent", node, "--nats", "nats://127.0.0.1:4222"))
    return said


def test_the_units_serve_panels_under_systemd_in_their_sandbox(machine, installed):
    first, again, *_ = installed
    assert re.findall(r"(?m)^install: (started|reloaded) (\S+)$", first) == [
        ("started", "nats-server"), ("started", "boce-center.socket"),
        ("started", "boce-center"), ("started", "nginx")]
    # Only the center's file changed: NATS and nginx run on, the agents' links untouched.
    assert re.findall(r"(?m)^install: (?:started|reloaded|(\S+) runs on)", again) == [
        "nats-server", "boce-center.socket", "", "nginx"], again
    states = machine.run("systemctl", "is-active", *OUR_UNITS, "nginx.service",
                         check=False).stdout.split()
    assert states == ["active"] * (len(OUR_UNITS) + 1), machine.run(
        "journalctl", "--no-pager", "-n", "50").stdout
    center_metrics = env_value(machine, "BOCE_METRICS_LISTEN", "/etc/boce/center.env")
    agent_metrics = [env_value(machine, "BOCE_METRICS_LISTEN", "/etc/boce/agent-%s.env" % node)
                     for node in NODES]
    for listen in (center_metrics, *agent_metrics):
        assert http_status(machine, "http://%s/readyz" % listen) == 200, listen
    # The operators' routes stay on the loopback listener; the panels' path is for the
    # dispatch host only (a GET is refused there, Debian's default site knows no such page).
    assert http_status(machine, "http://127.0.0.1/readyz", HOST) == 404
    assert http_status(machine, "http://127.0.0.1/api/local/boce", HOST) == 403
    assert http_status(machine, "http://127.0.0.1/api/local/boce", "other.example") == 404

    # boce-ask sends the installed center's dispatch host when it is not given one.
    asked = machine.run("/opt/boce/bin/boce-ask", "--serverid", "trial",
                        "http://127.0.0.1/").stdout.splitlines()
    # One line per node, each the agent's own fetch of nginx's default page.
    assert sorted(line.split()[-1] for line in asked) == ["上海联通", "北京电信"], asked
    assert all(line.split()[1] == "200" for line in asked), asked

    # The agents' link is TLS only: each connection, and a plain client gets nowhere.
    connz = json.loads(inside_network(machine, "import urllib.request; print(urllib.request."
                                      "urlopen('http://127.0.0.1:8222/connz?auth=true').read()"
                                      ".decode())"))
    users = {c["authorized_user"]: c.get("tls_version") for c in connz["connections"]}
    assert sorted(users) == ["agent-bj-telecom", "agent-sh-unicom", "center"], users
    assert all(version and version.startswith("1.") for version in users.values()), users
    plain = json.loads(inside_network(machine, PLAIN_NATS_CLIENT))
    assert plain["tls_required"] is True
    assert not plain["answer"].startswith(("+OK", "PONG")), plain

    exposure = machine.run("systemd-analyze", "security", "--no-pager", *OUR_UNITS).stdout
    scores = dict(re.findall(r"(?m)^(\S+\.service)\s+([0-9.]+)\s", exposure))
    assert set(scores) == set(OUR_UNITS), exposure
    assert all(float(score) <= MOST_EXPOSURE for score in scores.values()), exposure


def all_nodes_present(machine, nodes=None):
    """Whether the center has each of `nodes` (default: all of its nodes) present."""
    metrics = env_value(machine, "BOCE_METRICS_LISTEN", "/etc/boce/center.env")
    code = ("import json, sys, urllib.request\n"
            "nodes = json.load(urllib.request.urlopen(sys.argv[1], timeout=5))['nodes']\n"
            "wanted = sys.argv[2:] or list(nodes)\n"
            "print(all(nodes[node]['present'] for node in wanted))\n")
    return machine.run(sys.executable, "-c", code, "http://%s/healthz" % metrics, *(nodes or []),
                       network_only=True, check=False).stdout.strip() == "True"


def test_a_moved_port_and_host_are_served_at_once_though_the_site_is_edited(machine, installed):
    # Run again with nothing changed, install leaves every service as it runs.
    again = install(machine, "center")
    assert re.findall(r"(?m)^install: (\S+) runs on", again) == [
        "nats-server", "boce-center.socket", "boce-center", "nginx"], again
    site = machine.path("/etc/nginx/sites-available/boce-center")
    site.write_text(site.read_text("utf-8") + "# the operator's own line\n", "utf-8")
    center_env = machine.path("/etc/boce/center.env")
    center_env.write_text(center_env.read_text("utf-8").replace("127.0.0.1:8080",
                                                                "127.0.0.1:8081"), "utf-8")
    said = install(machine, "center", "--dispatch-host", MOVED_HOST)
    assert "kept /etc/nginx/sites-available/boce-center, changed here" in said
    assert "does not include" not in said
    wait_until(lambda: all_nodes_present(machine), "both agents back on NATS", 30)
    asked = machine.run("/opt/boce/bin/boce-ask", "--dispatch-host", MOVED_HOST, "--serverid",
                        "trial", "http://127.0.0.1/").stdout.splitlines()
    assert len(asked) == 2 and all(line.split()[1] == "200" for line in asked), asked


NATS_LOGIN = """import asyncio, ssl, sys
import nats
async def quiet(error):
    pass
async def login():
    tls = ssl.create_default_context(cafile=sys.argv[1])
    try:
        connection = await nats.connect("tls://127.0.0.1:4222", user=sys.argv[2],
                                        password=sys.argv[3], tls=tls, allow_reconnect=False,
                                        connect_timeout=5, error_cb=quiet)
    except Exception as error:
        print("refused: %s" % error)
        return
    print("connected")
    await connection.close()
asyncio.run(login())
"""


def nats_login(machine, user, password):
    return inside_network(machine, NATS_LOGIN, str(machine.path("/etc/boce/nats-ca.pem")), user,
                          password).strip()


def ask(machine, host=HOST):
    """boce-ask's lines for the machine's own nginx, each node's status and name."""
    asked = machine.run("/opt/boce/bin/boce-ask", "--dispatch-host", host, "--serverid", "trial",
                        "http://127.0.0.1/").stdout.splitlines()
    return sorted((line.split()[1], line.split()[-1]) for line in asked)


def agent_links(machine):
    """Each agent's NATS connection, by its id: a link that drops comes back with another."""
    connz = json.loads(inside_network(machine, "import urllib.request; print(urllib.request."
                                      "urlopen('http://127.0.0.1:8222/connz?auth=true').read()"
                                      ".decode())"))
    return {c["authorized_user"]: c["cid"] for c in connz["connections"]
            if c["authorized_user"].startswith("agent-")}


# Panels through nginx, one after another (a server has one probe at a time), until a file
# appears: how many got each status.
PANELS = """import json, os, sys, time, urllib.error, urllib.parse, urllib.request
stop_file, host = sys.argv[1], sys.argv[2]
body = urllib.parse.urlencode({"serverid": "trial", "url": "http://127.0.0.1/"}).encode()
statuses, give_up = {}, time.monotonic() + 120
def ask():
    while not os.path.exists(stop_file) and time.monotonic() < give_up:
        request = urllib.request.Request("http://127.0.0.1/api/local/boce", data=body,
                                         headers={"Host": host})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                answer.read()
                status = str(answer.status)
        except urllib.error.HTTPError as error:
            status = "%d %s" % (error.code, error.read()[:100])
        except OSError as error:
            status = repr(error)
        statuses[status] = statuses.get(status, 0) + 1
ask()
print(json.dumps(statuses))
"""


def answered_panels(machine):
    """The panels the center has answered since it started, as its /metrics counts them."""
    metrics = env_value(machine, "BOCE_METRICS_LISTEN", "/etc/boce/center.env")
    text = inside_network(machine, "import sys, urllib.request; print(urllib.request.urlopen("
                          "sys.argv[1], timeout=5).read().decode())", "http://%s/metrics" % metrics)
    return float(re.search(r'(?m)^boce_panel_requests_total\{outcome="answered"\} (\S+)$',
                           text)[1])


def test_a_node_added_keeps_every_link_and_every_panel(machine, installed, tmp_path):
    links = agent_links(machine)
    stop = tmp_path / "stop"
    panels = subprocess.Popen(machine.command(sys.executable, "-c", PANELS, str(stop), MOVED_HOST,
                                              network_only=True), stdout=subprocess.PIPE, text=True)
    try:
        config = machine.path("/etc/boce/center.toml")
        config.write_text(config.read_text("utf-8") + '\n[[nodes]]\nname = "广州移动"\n'
                          'id = "gz-mobile"\n', "utf-8")
        said = install(machine, "center")
        restarted = answered_panels(machine)
        wait_until(lambda: answered_panels(machine) >= restarted + 3,
                   "panels answered by the new center", 30)
    finally:
        stop.touch()
        statuses = json.loads(panels.communicate(timeout=120)[0])
    # NATS reloaded (no agent's link dropped), the center restarted on its held socket, nginx
    # left as it runs: every panel meanwhile answered.
    assert "reloaded nats-server" in said and "started boce-center" in said, said
    assert "nginx runs on" in said and agent_links(machine) == links
    assert list(statuses) == ["200"] and statuses["200"] >= 10, statuses


def test_a_rotated_password_is_the_only_one_nats_takes(machine, installed):
    old = machine.path("/etc/boce/agent-bj-telecom.password").read_text("ascii").strip()
    said = machine.run(INSTALL, "rotate", "bj-telecom").stdout
    new = machine.path("/etc/boce/agent-bj-telecom.password").read_text("ascii").strip()
    assert new != old and "boce-agent@bj-telecom.service serves" in said, said
    assert nats_login(machine, "agent-bj-telecom", old).startswith("refused: nats: 'Authorization")
    assert nats_login(machine, "agent-bj-telecom", new) == "connected"
    # A node whose agent is elsewhere (the one added above): its new password, in the one
    # command to run there.
    config = machine.path("/etc/boce/center.toml")
    said = machine.run(INSTALL, "rotate", "gz-mobile").stdout
    password = machine.path("/etc/boce/agent-gz-mobile.password").read_text("ascii").strip()
    assert ("    printf %%s %s | install -o boce -g boce -m 0600 /dev/stdin "
            "/etc/boce/agent-gz-mobile.password && systemctl restart boce-agent@gz-mobile\n"
            % password) in said, said
    said = machine.run(INSTALL, "remove-node", "gz-mobile").stdout
    assert "gz-mobile" not in config.read_text("utf-8") and "广州移动" not in config.read_text(
        "utf-8"), said
    assert not machine.path("/etc/boce/agent-gz-mobile.password").exists()
    wait_until(lambda: all_nodes_present(machine), "both agents present", 30)
    assert ask(machine, MOVED_HOST) == [("200", "上海联通"), ("200", "北京电信")]


def test_an_upgrade_that_never_serves_is_rolled_back(machine, installed):
    said = machine.run(INSTALL, "upgrade", "--wheels", "/root/wheels").stdout
    assert "boce-center.service boce-agent@bj-telecom.service boce-agent@sh-unicom.service " \
        "serve" in said, said
    broken = "/root/broken/boce_dispatch"
    machine.put(os.path.join(REPO, "boce_dispatch"), broken)
    main = machine.path(broken + "/src/boce_dispatch/center/__main__.py")
    main.write_text(main.read_text("utf-8").replace(
        "def run(args):\n", "def run(args):\n    raise SystemExit('broken on purpose')\n"),
        "utf-8")
    failed = machine.run(broken + "/deploy/install", "upgrade", "--wheels", "/root/wheels",
                         check=False)
    assert failed.returncode != 0 and "never served" in failed.stderr, failed.stdout
    assert "broken on purpose" in failed.stderr  # the unit's journal
    installed_main = machine.run("sh", "-c", "cat /opt/boce/lib/python3*/site-packages/"
                                 "boce_dispatch/center/__main__.py").stdout
    assert "broken on purpose" not in installed_main
    wait_until(lambda: all_nodes_present(machine), "both agents present", 30)
    assert ask(machine, MOVED_HOST) == [("200", "上海联通"), ("200", "北京电信")]


def test_a_removed_node_is_gone_with_its_agent(machine, installed):
    machine.run(INSTALL, "remove-node", "sh-unicom")
    assert machine.run("systemctl", "is-active", "boce-agent@sh-unicom",
                       check=False).stdout.strip() == "inactive"
    assert not machine.path("/etc/boce/agent-sh-unicom.env").exists()
    wait_until(lambda: all_nodes_present(machine), "bj-telecom present", 30)
    assert ask(machine, MOVED_HOST) == [("200", "北京电信")]


def leftovers(machine):
    """What of the installation is still on the machine: files, links, the user, processes."""
    found = machine.run("sh", "-c", "find /etc/systemd /etc/nginx /opt /etc/boce -name '*boce*'"
                        " 2>/dev/null; getent passwd boce; pgrep -a -f '[/]opt/boce/bin'; true").stdout
    return sorted(found.split("\n")[:-1])


def test_uninstall_with_agents_running_leaves_only_the_kept_passwords(machine, installed):
    said = machine.run(INSTALL, "uninstall").stdout
    assert "removed the units" in said
    assert leftovers(machine) == ["/etc/boce"], said
    assert machine.run("systemctl", "is-active", "nats-server", "nginx").returncode == 0
    listed = json.loads(machine.run("systemctl", "list-units", "--all", "--output=json",
                                    "boce*").stdout)
    assert listed == []
    machine.run(INSTALL, "uninstall", "--purge")
    assert leftovers(machine) == []
