"""A whole probe network on one machine's loopback: a NATS server, the center and one agent per
node, each its own process, with fresh credentials in a working directory of their own. The
demo, the tests and the benchmark use it, and `make network` runs it for trying:

    python -m tools.lab.network [--port 8080] [--agents 3] [--allow-private]

prints `serverid: <id>`, the server id the center serves, and runs until Ctrl-C (or SIGTERM),
which stops every process of it within the center's deadline, each answering what it has in
flight. Its agents fetch only global addresses unless --allow-private."""

import argparse
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from boce_dispatch import cli, contract, natsconf
from boce_dispatch.center.config import center_toml
from tools.lab.ports import free_port, wait_for_port

NATS_SERVER = "nats-server"
_RELOADED = "Reloaded server configuration"  # what nats-server logs after SIGHUP
NAMES = ("北京电信", "上海联通", "广州移动", "深圳电信", "杭州联通", "成都移动", "武汉电信",
         "西安联通", "南京移动", "沈阳电信")


class NetworkError(RuntimeError):
    """A process of the network did not start; the message says why, in one line."""


class Network:
    """`nodes`: [(name, id)]; nodes whose id is in `down` get no agent, so they never answer.
    `agent_prefix` maps a node id to a command that its agent runs under (faketime, nsenter),
    `agent_python` to the interpreter it runs on, if not `python` (another machine's);
    `center_prefix` is the command the center runs under (prlimit).
    Every agent gets `check_urls` (--check-url) and `probe_ca_file` (--probe-ca-file).
    `nats_servers` > 1 runs a cluster of that many NATS servers ("nats", "nats-2", ...), which
    the center knows all of; agent i dials server i first.
    start() returns once every agent is subscribed and the center listens."""

    def __init__(self, nodes, down=(), port=8080, allowed_servers=("local-server",),
                 deadline_seconds=5.0, max_probes=None, python=sys.executable, allow_private=False,
                 agent_max_probes=None, log_level="INFO", workdir=None, env=None,
                 agent_prefix=None, agent_python=None, metrics_port=None, trusted_proxies=(),
                 check_urls=(), center_prefix=(), probe_ca_file=None, nats_servers=1):
        self.nodes = list(nodes)
        self.down = set(down)
        self.port = port
        self.allowed_servers = list(allowed_servers)
        self.deadline_seconds = deadline_seconds
        self.max_probes = max_probes
        self.python = python
        self.allow_private = allow_private
        self.agent_max_probes = agent_max_probes
        self.log_level = log_level
        self.env = env  # the processes' environment; None: this process's own
        self.agent_prefix = dict(agent_prefix or {})
        self.agent_python = dict(agent_python or {})
        self.center_prefix = list(center_prefix)
        self.check_urls = list(check_urls)
        self.probe_ca_file = probe_ca_file  # the agents' CA for the https sites they probe
        self.metrics_port = metrics_port
        self.trusted_proxies = list(trusted_proxies)
        self.own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="boce-network-")
        self.nats_ports = [free_port() for _ in range(nats_servers)]
        self.nats_port = self.nats_ports[0]
        self.nats_monitoring_ports = [free_port() for _ in range(nats_servers)]
        self.nats_monitoring_port = self.nats_monitoring_ports[0]  # NATS's /varz and the like
        self.route_ports = [free_port() for _ in range(nats_servers)] if nats_servers > 1 else []
        self.processes = {}
        self.agent_users = {}  # NATS user -> node id

    def _password_file(self, user):
        return os.path.join(self.workdir, user + ".password")

    def _secret(self, user):
        path = self._password_file(user)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(secrets.token_hex(16))
        return path

    def password(self, user):
        """The NATS password of `user`: "center" or "agent-<node id>"."""
        return self._read(self._password_file(user))

    @staticmethod
    def nats_name(index):
        """The process name of NATS server `index` (from 0)."""
        return "nats" if index == 0 else "nats-%d" % (index + 1)

    @property
    def nats_urls(self):
        return ["nats://127.0.0.1:%d" % port for port in self.nats_ports]

    def _write_nats_config(self):
        agents = {user: (self.password(user), node_id)
                  for user, node_id in self.agent_users.items()}
        for index, port in enumerate(self.nats_ports):
            cluster = None if not self.route_ports else {
                "name": "boce", "listen": "127.0.0.1:%d" % self.route_ports[index],
                "routes": ["nats-route://127.0.0.1:%d" % p for i, p in
                           enumerate(self.route_ports) if i != index]}
            self._write(self.nats_name(index) + ".conf", natsconf.server_config(
                "center", self.password("center"), agents, listen="127.0.0.1:%d" % port,
                monitoring="127.0.0.1:%d" % self.nats_monitoring_ports[index], cluster=cluster))

    def admit_agents(self, node_ids, seconds=15):
        """NATS users agent-<id> for agents of `node_ids` that run outside this network (a
        test's or a benchmark's own clients); returns once the NATS server has reloaded."""
        for node_id in node_ids:
            self._secret("agent-" + node_id)
            self.agent_users["agent-" + node_id] = node_id
        self._write_nats_config()
        names = [self.nats_name(index) for index in range(len(self.nats_ports))]
        reloads = {name: self.log_tail(name, None).count(_RELOADED) for name in names}
        for name in names:
            self.processes[name].send_signal(signal.SIGHUP)
        give_up = time.monotonic() + seconds
        for name in names:
            while self.log_tail(name, None).count(_RELOADED) == reloads[name]:
                if time.monotonic() > give_up:
                    raise NetworkError("the NATS server did not reload: %s"
                                       % self.last_words(name))
                time.sleep(0.02)

    def _read(self, path):
        with open(path, encoding="utf-8") as f:
            return f.read().strip()

    def _write(self, name, text):
        path = os.path.join(self.workdir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def _spawn(self, name, command, ready_line):
        log = open(os.path.join(self.workdir, name + ".log"), "ab")
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True,
                                   start_new_session=True, cwd=self.workdir,
                                   env=self._environment())
        log.close()
        self.processes[name] = process
        if ready_line is not None:
            line = process.stdout.readline()
            if ready_line not in line:
                raise NetworkError("%s did not start: %s" % (name, self.last_words(name)))
        return process

    def _environment(self):
        """The processes' environment; they run the package as `python` has it installed."""
        return dict(os.environ if self.env is None else self.env)

    def last_words(self, name):
        """The last line a process wrote to its log: what stopped it."""
        lines = [line for line in self.log_tail(name).splitlines() if line.strip()]
        return lines[-1].strip() if lines else "(nothing in its log)"

    def log_tail(self, name, lines=20):
        """The last `lines` lines of a process's log (all of it for None)."""
        path = os.path.join(self.workdir, name + ".log")
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:] if lines else f.readlines())

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()  # nothing started stays behind
            raise

    def _start(self):
        self._secret("center")
        for _, node_id in self.nodes:
            if node_id not in self.down:
                self._secret("agent-" + node_id)
                self.agent_users["agent-" + node_id] = node_id
        self._write_nats_config()
        for index in range(len(self.nats_ports)):
            self.start_nats(index)
        urls = self.nats_urls
        for number, (user, node_id) in enumerate(list(self.agent_users.items())):
            first = number % len(urls)
            command = [*self.agent_prefix.get(node_id, ()),
                       self.agent_python.get(node_id, self.python),
                       "-m", "boce_dispatch", "agent", "--node", node_id,
                       "--nats", ",".join(urls[first:] + urls[:first]), "--user", user,
                       "--password-file", self._password_file(user),
                       "--log-level", self.log_level]
            if self.agent_max_probes is not None:  # else the agent's own default
                command += ["--max-probes", str(self.agent_max_probes)]
            for url in self.check_urls:
                command += ["--check-url", url]
            if self.probe_ca_file is not None:
                command += ["--probe-ca-file", self.probe_ca_file]
            self._spawn(user, command + (["--allow-private"] if self.allow_private else []),
                        "ready")
        center_conf = self._write("center.toml", center_toml(
            self.nodes, self.allowed_servers, urls, "center.password",
            deadline_seconds=self.deadline_seconds, max_probes=self.max_probes,
            trusted_proxies=self.trusted_proxies))
        metrics = ([] if self.metrics_port is None else
                   ["--metrics-listen", "127.0.0.1:%d" % self.metrics_port])
        self._spawn("center", [*self.center_prefix, self.python, "-m", "boce_dispatch",
                               "center", "--config", center_conf,
                               "--listen", "127.0.0.1:%d" % self.port, *metrics,
                               "--log-level", self.log_level], "listening")
        self._wait_for_nats_link()
        return self

    def start_nats(self, index=0):
        """Starts NATS server `index` on its port (again, after stop_process("nats"))."""
        name = self.nats_name(index)
        nats = self._spawn(name, [NATS_SERVER, "--config",
                                  os.path.join(self.workdir, name + ".conf")], None)
        try:
            wait_for_port(self.nats_ports[index], nats, "the NATS server")
        except RuntimeError as error:
            raise NetworkError(str(error)) from None

    def _wait_for_nats_link(self, seconds=15):
        """The center answers HTTP from its start; the network is up once it has NATS."""
        port = self.metrics_port or self.port
        give_up = time.monotonic() + seconds
        while time.monotonic() < give_up:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % port, timeout=5):
                    return
            except OSError:  # 503 until it is connected
                time.sleep(0.02)
        raise NetworkError("the center did not connect to NATS: %s" % self.last_words("center"))

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def stop_process(self, name):
        return self.stop_together([name])[name]

    def stop_together(self, names):
        """SIGTERM to each at once; each that has not exited within the deadline and a margin
        is killed. Their exit codes."""
        processes = {name: self.processes.pop(name) for name in names}
        for process in processes.values():
            self._signal_group(process, signal.SIGTERM)
        give_up = time.monotonic() + self.deadline_seconds + 5
        for process in processes.values():
            try:
                process.wait(max(0, give_up - time.monotonic()))
            except subprocess.TimeoutExpired:
                self._signal_group(process, signal.SIGKILL)
                process.wait()
            self._signal_group(process, signal.SIGKILL)  # what a wrapper (faketime) left
            process.stdout.close()
        return {name: process.returncode for name, process in processes.items()}

    @staticmethod
    def _signal_group(process, signum):
        """Each process leads a session of its own: the signal reaches a wrapper's child too."""
        try:
            os.killpg(process.pid, signum)
        except ProcessLookupError:
            pass  # the whole group has exited

    def stop(self):
        """Center and agents first, all at once, so each answers what it has in flight while
        NATS is still there; then NATS."""
        self.stop_together([n for n in self.processes if not n.startswith("nats")])
        self.stop_together([n for n in self.processes if n.startswith("nats")])
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = cli.Parser(prog="python -m tools.lab.network", description=__doc__,
                        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=cli.port, default=8080, help="the center's port (8080)")
    parser.add_argument("--agents", type=int, default=3, choices=range(1, len(NAMES) + 1))
    parser.add_argument("--allow-private", action="store_true",
                        help="let the agents fetch loopback and private addresses too")
    args = parser.parse_args(argv)
    try:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", args.port))
    except OSError as error:
        return cli.fail(parser.prog, "port %d cannot be used: %s (try --port)"
                        % (args.port, error.strerror))
    serverid = secrets.token_hex(32)
    nodes = [(NAMES[i], "node%d" % (i + 1)) for i in range(args.agents)]
    # The logs stay after Ctrl-C, for reading what each process did.
    network = Network(nodes, port=args.port, allowed_servers=[serverid], deadline_seconds=10,
                      allow_private=args.allow_private,
                      workdir=tempfile.mkdtemp(prefix="boce-network-"))
    # Ctrl-C, and SIGTERM as Ctrl-C does, stop it even where it was started with SIGINT ignored
    # (a background job of a shell).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        try:
            network.start()
        except NetworkError as error:
            return cli.fail(parser.prog, error)
        print("probe network: nats-server on 127.0.0.1:%d, center on %s, agents: %s"
              % (network.nats_port, network.url, ", ".join(n for n, _ in nodes)))
        print("logs and configuration in %s (kept after Ctrl-C)" % network.workdir)
        print("serverid: %s" % serverid)
        # A page of the center's own: the try needs nothing outside this machine.
        target = "http://127.0.0.1:%d/livez" % args.port
        print("try: curl -d serverid=%s -d url=%s %s%s%s"
              % (serverid, target, network.url, contract.PANEL_PATH, "" if args.allow_private
                 else "  (the agents refuse loopback and private addresses, code 0 with the "
                 "reason in their logs, unless started with ALLOW_PRIVATE=1)"))
        print("Ctrl-C stops everything.", flush=True)
        while True:
            signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        # A second Ctrl-C must not leave processes behind: the stop is bounded by itself.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        network.stop()
        print("stopped; logs and configuration kept in %s" % network.workdir, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
