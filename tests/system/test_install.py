"""deploy/install on a throw-away root: what it puts in place, with the owners and modes that
nats-server, center and agent each need; systemd's own check of the installed units; each unit's
command run as its user with its environment and files; and everything gone after uninstall."""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import types
import urllib.error

import pytest

from boce_dispatch import contract
from tests.common import DISPATCH_DEPLOY, REPO, SERVICE_ENV, accepts, nginx_front, wait_until
from tests.dispatch.helpers import exchange, exec_start, readyz, request
from tools.lab.ports import free_port

INSTALL = os.path.join(DISPATCH_DEPLOY, "install")
WHEELS = os.path.join(REPO, "build", "wheelhouse")
NODE = "bj-telecom"
INSTALLED_CENTER = types.SimpleNamespace(metrics_port=9464)  # the unit's --metrics-listen

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bwrap", "fakeroot", "nats-server", "nginx",
                                            "systemd-analyze"))
    or not os.path.isfile("/etc/debian_version") or not os.path.isdir(WHEELS),
    reason="needs Debian with bubblewrap, fakeroot, nats-server, nginx, systemd-analyze and the "
    "wheels of make test")


class ThrowAwayRoot:
    """This machine with its own copies of what the installer writes (/etc, /opt, nginx's
    directories under /var), as root: fakeroot keeps the owners and modes set in it."""

    def __init__(self, top):
        self.top = top
        subprocess.run(["cp", "-a", "/etc", str(top / "etc")], stderr=subprocess.DEVNULL)
        self.binds = []
        for inside in ("/etc", "/opt", "/var/lib/nginx", "/var/log/nginx"):
            outside = top / inside.strip("/").replace("/", "-")
            outside.mkdir(exist_ok=True)
            self.binds += ["--bind", str(outside), inside]
        self.state = top / "fakeroot.state"
        self.state.touch()

    def command(self, *words):
        return ["bwrap", "--unshare-user", "--dev-bind", "/", "/", *self.binds, "--",
                "fakeroot", "-i", str(self.state), "-s", str(self.state), "--", *words]

    def run(self, *words):
        # The machine's pip settings (an index or links of its own) stay out: only the wheels.
        env = {name: value for name, value in SERVICE_ENV.items() if not name.startswith("PIP_")}
        env.update(FAKEROOTDONTTRYCHOWN="1", PIP_CONFIG_FILE="/dev/null")
        return subprocess.run(self.command(*words), capture_output=True, text=True, env=env,
                              timeout=300)

    def install(self, *words):
        done = self.run(INSTALL, *words, "--wheels", WHEELS)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    def owners(self, *paths):
        """{path: "owner group mode"} as the installer left them."""
        lines = self.run("stat", "-c", "%n %U %G %a", *paths).stdout.splitlines()
        return {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in lines}

    def path(self, inside):
        return self.top / inside.strip("/").split("/", 1)[0] / inside.strip("/").split("/", 1)[1]

    def user(self, name):
        entry = self.run("getent", "passwd", name).stdout.strip()
        return entry.split(":") if entry else None


def unit_command(root, unit, instance=""):
    """The unit's ExecStart with %i and its EnvironmentFiles' variables put in, and its user."""
    text = pathlib.Path(DISPATCH_DEPLOY, unit).read_text("utf-8")
    environment = {}
    for name in re.findall(r"^EnvironmentFile=(.+)$", text, re.MULTILINE):
        for line in root.path(name.replace("%i", instance)).read_text("utf-8").splitlines():
            if line and not line.startswith("#"):
                key, _, value = line.partition("=")
                environment[key] = value
    program = re.search(r"^ExecStart=(\S+) ", text, re.MULTILINE)[1]
    return [program, *exec_start(unit, environment, instance)], re.search(
        r"^User=(\S+)$", text, re.MULTILINE)[1]


def as_unit(root, command, user):
    """`command` as systemd would start it, as far as bubblewrap can: the unit's user (its ids;
    the files are really this sandbox's), a read-only system (ProtectSystem=strict), no home
    (ProtectHome), its own /tmp and /dev, an environment of its own."""
    _, _, uid, gid, *_ = root.user(user)
    return ["bwrap", "--unshare-user", "--uid", uid, "--gid", gid, "--ro-bind", "/", "/",
            *[word.replace("--bind", "--ro-bind") for word in root.binds],
            "--tmpfs", "/home", "--tmpfs", "/root", "--tmpfs", "/tmp", "--dev", "/dev",
            "--proc", "/proc", "--clearenv", "--setenv", "PATH", "/usr/bin:/bin", "--", *command]


def _ready(center):
    try:
        return readyz(INSTALLED_CENTER) == 200
    except urllib.error.URLError:
        assert center.poll() is None, center.stderr.read()
        return False


HOST = "probe.example.cn"  # the operator's own dispatch host
# Each file the installer places and an operator may change, with the change.
EDITS = {"/etc/systemd/system/boce-center.service": "# LimitNOFILE raised by the operator\n",
         "/etc/systemd/system/nats-server.service.d/boce.conf": "# the operator's\n",
         "/etc/nginx/sites-available/boce-center": "# the operator's own site\n",
         "/etc/nginx/conf.d/boce.conf": "# the operator's\n"}


def installed_site(root):
    """The installed nginx site with the files it includes written in, as nginx reads it."""
    site = root.path("/etc/nginx/sites-available/boce-center").read_text("utf-8")
    return re.sub(r"(?m)^\s*include (/etc/nginx/boce-center/\S+);$",
                  lambda include: root.path(include[1]).read_text("utf-8"), site)


def edit(root, inside, change):
    path = root.path(inside)
    text = path.read_text("utf-8")
    path.write_text(change(text) if callable(change) else text + change, "utf-8")


def test_install_puts_center_and_agent_in_place_and_uninstall_takes_them_away(tmp_path, website):
    root = ThrowAwayRoot(tmp_path)
    said = root.install("center", "--dispatch-host", HOST)
    assert "wrote /etc/boce/center.toml" in said and "wrote /etc/boce/center.password" in said
    # The operator names the panels and nodes, as the installer asks, moves the center to
    # another port in its one home, and runs it again.
    config = root.path("/etc/boce/center.toml")
    text = re.sub(r"(?ms)^\[\[nodes\]\].*", '[[nodes]]\nname = "北京电信"\nid = "%s"\n' % NODE,
                  config.read_text("utf-8"))
    config.write_text(re.sub(r"(?m)^allowed_servers = .*", 'allowed_servers = ["s1"]', text)
                      .replace("deadline_seconds = 20", "deadline_seconds = 5"), "utf-8")
    center_env = root.path("/etc/boce/center.env")
    center_env.write_text(center_env.read_text("utf-8").replace("127.0.0.1:8080",
                                                                "127.0.0.1:8081"), "utf-8")
    again = root.install("center")
    assert "kept /etc/boce/center.toml" in again and "kept /etc/boce/center.password" in again
    assert "kept /etc/boce/center.env" in again and "changed here" not in again
    site = installed_site(root)
    assert "server_name %s;" % HOST in site and "server 127.0.0.1:8081;" in site
    root.install("agent", NODE, "--nats", "nats://127.0.0.1:4222")

    assert root.owners(
        "/etc/boce", "/etc/boce/center.toml", "/etc/boce/center.env", "/etc/boce/center.password",
        "/etc/boce/nats-server.conf", "/etc/boce/agent-sh-unicom.password",
        "/etc/boce/agent-%s.password" % NODE, "/etc/boce/agent.env",
        "/etc/boce/agent-%s.env" % NODE, "/opt/boce",
        "/etc/systemd/system/boce-center.service", "/etc/systemd/system/boce-agent@.service",
    ) == {
        "/etc/boce": "root root 711",  # nats-server passes through to its file
        "/etc/boce/center.toml": "root boce 640",
        "/etc/boce/center.env": "root boce 640",
        "/etc/boce/center.password": "boce boce 600",  # the center takes no other
        "/etc/boce/nats-server.conf": "root nats 640",
        "/etc/boce/agent-sh-unicom.password": "root root 600",  # for the node's own machine
        "/etc/boce/agent-%s.password" % NODE: "boce boce 600",  # this machine's agent's
        "/etc/boce/agent.env": "root boce 640",
        "/etc/boce/agent-%s.env" % NODE: "root boce 640",
        "/opt/boce": "root root 755",
        "/etc/systemd/system/boce-center.service": "root root 644",
        "/etc/systemd/system/boce-agent@.service": "root root 644",
    }
    user = root.user("boce")
    assert int(user[2]) < 1000 and user[6] == "/usr/sbin/nologin"
    assert "worker_connections 8192;" in root.path("/etc/nginx/nginx.conf").read_text()
    for check in (["nginx", "-t", "-q", "-e", "/dev/stderr"],
                  ["systemd-analyze", "verify", "/etc/systemd/system/boce-center.service",
                   "/etc/systemd/system/boce-agent@%s.service" % NODE]):
        checked = root.run(*check)
        assert checked.returncode == 0 and checked.stderr == "", checked.stderr

    # Each unit's command, as its user, with what the installer wrote; the installed site in
    # nginx before the center, beside Debian's default site.
    front_port = free_port()
    nats = subprocess.Popen(root.command("nats-server", "-c", "/etc/boce/nats-server.conf"),
                            stderr=subprocess.DEVNULL, env=SERVICE_ENV, start_new_session=True)
    center, agent = (subprocess.Popen(as_unit(root, *unit_command(root, *unit)),
                                      stderr=subprocess.PIPE, text=True, start_new_session=True)
                     for unit in (("boce-center.service",), ("boce-agent@.service", NODE)))
    nginx = subprocess.Popen(nginx_front(str(tmp_path), "127.0.0.1:%d" % front_port, None,
                                         beside_default=True, site=site), env=SERVICE_ENV)
    front = "http://127.0.0.1:%d" % front_port
    try:
        wait_until(lambda: _ready(center), "the installed center", 30)
        wait_until(lambda: accepts(front_port), "nginx to listen", 10)
        trial = root.run("/opt/boce/bin/boce-ask", "--front", front, "--dispatch-host", HOST,
                         "--serverid", "s1", website + "/fast")
        elsewhere = exchange(front_port, request(b"serverid=s1&url=http://x/",
                                                 host="other.example"))
        os.killpg(center.pid, signal.SIGTERM)  # the center restarts: nginx answers for it
        center.wait(30)
        restarting = root.run("/opt/boce/bin/boce-ask", "--front", front, "--dispatch-host",
                              HOST, "--serverid", "s1", website + "/fast")
    finally:
        for process in (agent, center, nats, nginx):  # systemd's stop: SIGTERM to each unit
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM) if process is not nginx else \
                    process.terminate()
        logs = "".join(process.communicate(timeout=30)[1] for process in (agent, center))
        nats.wait(10)
        nginx.wait(10)
    assert not re.search(r"Traceback|ERROR|CRITICAL", logs), logs
    # The agent answered (it refuses the loopback, as an installed agent must).
    assert trial.returncode == 0 and trial.stdout.startswith("北京电信"), trial.stderr
    assert contract.NOT_RESPONDING not in trial.stdout
    assert elsewhere.startswith(b"HTTP/1.1 40") and b"403" not in elsewhere  # Debian's site
    assert restarting.stderr == "boce-ask: 503 the dispatch center does not answer\n"

    # The operator changes every file the installer placed, and runs it again: each is kept,
    # with what the installer would have written beside it.
    for inside, line in EDITS.items():
        edit(root, inside, line)
    edit(root, "/etc/nginx/nginx.conf", lambda text: text.replace(
        "worker_connections 8192;", "worker_connections 16384;") + "# the operator's\n")
    said = root.install("center", "--dispatch-host", "other.example.cn")
    for inside, line in EDITS.items():
        assert "kept %s, changed here" % inside in said, said
        assert root.path(inside).read_text("utf-8").endswith(line)
        assert not root.path(inside + ".dist").read_text("utf-8").endswith(line)
    # The host is center.env's, whatever the operator made of the site.
    assert "server_name other.example.cn;" in installed_site(root)
    assert "include /etc/nginx/boce-center/listen.conf;" in root.path(
        "/etc/nginx/sites-available/boce-center").read_text("utf-8")
    assert "kept /etc/nginx/nginx.conf's settings, changed here" in said
    nginx_now = root.path("/etc/nginx/nginx.conf").read_text()
    # An agent's: its unit, and its connectivity checks, which this network reaches.
    edit(root, "/etc/systemd/system/boce-agent@.service", "# the operator's\n")
    edit(root, "/etc/boce/agent.env", lambda text: text.replace(
        "https://www.baidu.com/", "https://checks.example.cn/"))
    said = root.install("agent", NODE, "--nats", "nats://127.0.0.1:4223")
    assert "kept /etc/systemd/system/boce-agent@.service, changed here" in said
    agent_env = root.path("/etc/boce/agent.env").read_text("utf-8")
    assert "BOCE_NATS=nats://127.0.0.1:4223" in agent_env and "checks.example.cn" in agent_env
    assert "worker_connections 16384;" in nginx_now and nginx_now.endswith("# the operator's\n")

    said = root.install("uninstall")
    assert "kept /etc/boce" in said and root.user("boce") is None
    assert not root.path("/opt/boce").exists()
    assert not root.path("/etc/systemd/system/boce-center.service").exists()
    assert not root.path("/etc/nginx/sites-enabled/boce-center").exists()
    assert not root.path("/etc/nginx/boce-center").exists()
    assert "kept /etc/nginx/nginx.conf's settings, changed here" in said  # the operator's
    assert root.path("/etc/nginx/nginx.conf").read_text() == nginx_now
    # Nothing kept belongs to the deleted account's number.
    kept = root.run("find", "/etc/boce", "-not", "-user", "root").stdout.split()
    assert kept == [], kept
    root.install("uninstall", "--purge")
    assert not root.path("/etc/boce").exists()


def test_an_install_is_taken_away_whole_and_nginx_conf_keeps_the_operators_other_lines(
        tmp_path):
    root = ThrowAwayRoot(tmp_path)
    nginx_conf = root.path("/etc/nginx/nginx.conf").read_text()
    root.install("center", "--dispatch-host", HOST)
    root.install("uninstall", "--purge")
    assert root.path("/etc/nginx/nginx.conf").read_text() == nginx_conf
    root.install("center", "--dispatch-host", HOST)
    edit(root, "/etc/nginx/nginx.conf", "# the operator's\n")
    root.install("uninstall", "--purge")
    assert root.path("/etc/nginx/nginx.conf").read_text() == nginx_conf + "# the operator's\n"
    assert not root.path("/etc/nginx/sites-available/boce-center").exists()
    assert not root.path("/opt/boce").exists()


@pytest.mark.parametrize("words, answer", [
    (["center"], "center: --dispatch-host names the host your panels' module posts to"),
    (["center", "--dispatch-host", "bad host"], "--dispatch-host: 'bad host' is not a host name"),
    (["agent", NODE, "--nats", "nats://127.0.0.1:4222"], "no /etc/boce/agent-bj-telecom.password"),
    (["agent", "bj.telecom", "--nats", "nats://127.0.0.1:4222"], "'bj.telecom': a node's id is"),
    (["agent", NODE], "--nats names the center's NATS servers"),
    (["agent", NODE, "--nats", "http://x/"], "--nats: nats:// or tls:// URLs"),
    (["center", "--wheels", "/nowhere"], "--wheels: no directory '/nowhere'"),
])
def test_install_refuses_what_it_cannot_do_in_one_line(tmp_path, words, answer):
    root = ThrowAwayRoot(tmp_path)
    done = root.run(INSTALL, *words, *([] if "--wheels" in words else ["--wheels", WHEELS]))
    assert done.returncode != 0 and answer in done.stderr, done.stderr
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
