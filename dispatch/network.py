"""A whole probe network on one machine's loopback: a NATS server, the center and one agent per
node, each its own process, with fresh credentials in a working directory of their own. The
demo, the tests and the benchmark use it, and `make network` runs it for trying:

    python -m dispatch.network [--port 8080] [--agents 3]

prints `serverid: <id>`, the server id the center serves, and runs until Ctrl-C."""

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

from dispatch import natsconf

NATS_SERVER = "nats-server"
NAMES = ("北京电信", "上海联通", "广州移动", "深圳电信", "杭州联通", "成都移动", "武汉电信",
         "西安联通", "南京移动", "沈阳电信")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_for_port(port, process, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("the NATS server stopped at start")
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.02)
    raise RuntimeError("the NATS server did not open port %d" % port)


def _toml_text(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class Network:
    """`nodes`: [(name, id)]; nodes whose id is in `down` get no agent, so they never answer.
    start() returns once every agent is subscribed and the center listens."""

    def __init__(self, nodes, down=(), port=8080, allowed_servers=("local-server",),
                 deadline=5.0, max_probes=8, python=sys.executable, allow_private=True,
                 agent_max_probes=16, log_level="INFO", workdir=None, env=None):
        self.nodes = list(nodes)
        self.down = set(down)
        self.port = port
        self.allowed_servers = list(allowed_servers)
        self.deadline = deadline
        self.max_probes = max_probes
        self.python = python
        self.allow_private = allow_private
        self.agent_max_probes = agent_max_probes
        self.log_level = log_level
        self.env = env  # the processes' environment; None: this process's own
        self.own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="boce-network-")
        self.nats_port = free_port()
        self.processes = {}

    def _secret(self, name):
        path = os.path.join(self.workdir, name + ".password")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(secrets.token_hex(16))
        return path

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
                raise RuntimeError("%s did not start: %s" % (name, self.log_tail(name)))
        return process

    def _environment(self):
        """The processes find this very package, wherever it is (installed or a checkout)."""
        env = dict(os.environ if self.env is None else self.env)
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (package_parent, env.get("PYTHONPATH")) if p)
        return env

    def log_tail(self, name, lines=20):
        path = os.path.join(self.workdir, name + ".log")
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()  # nothing started stays behind
            raise

    def _start(self):
        center_password = self._secret("center")
        agents = {}
        for _, node_id in self.nodes:
            if node_id not in self.down:
                agents["agent-" + node_id] = (self._read(self._secret("agent-" + node_id)),
                                              node_id)
        conf = self._write("nats.conf", natsconf.server_config(
            "center", self._read(center_password), agents,
            listen="127.0.0.1:%d" % self.nats_port))
        nats = self._spawn("nats", [NATS_SERVER, "--config", conf], None)
        _wait_for_port(self.nats_port, nats)
        nats_url = "nats://127.0.0.1:%d" % self.nats_port
        for user, (_, node_id) in agents.items():
            command = [self.python, "-m", "dispatch", "agent", "--node", node_id,
                       "--nats", nats_url, "--user", user,
                       "--password-file", os.path.join(self.workdir, user + ".password"),
                       "--max-probes", str(self.agent_max_probes),
                       "--log-level", self.log_level]
            self._spawn(user, command + (["--allow-private"] if self.allow_private else []),
                        "ready")
        nodes = "".join("\n[[nodes]]\nname = %s\nid = %s\n" % (_toml_text(name), _toml_text(i))
                        for name, i in self.nodes)
        center_conf = self._write("center.toml", (
            "allowed_servers = [%s]\ndeadline_seconds = %s\nmax_probes = %d\n\n"
            "[nats]\nservers = [%s]\nuser = \"center\"\npassword_file = \"center.password\"\n%s"
            % (", ".join(_toml_text(s) for s in self.allowed_servers), self.deadline,
               self.max_probes, _toml_text(nats_url), nodes)))
        self._spawn("center", [self.python, "-m", "dispatch", "center", "--config", center_conf,
                               "--listen", "127.0.0.1:%d" % self.port,
                               "--log-level", self.log_level], "listening")
        return self

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def stop_process(self, name):
        process = self.processes.pop(name)
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(self.deadline + 5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        process.stdout.close()
        return process.returncode

    def stop(self):
        for name in [n for n in self.processes if n != "nats"] + ["nats"]:
            if name in self.processes:
                self.stop_process(name)
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m dispatch.network", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--agents", type=int, default=3, choices=range(1, len(NAMES) + 1))
    args = parser.parse_args(argv)
    serverid = secrets.token_hex(32)
    nodes = [(NAMES[i], "node%d" % (i + 1)) for i in range(args.agents)]
    network = Network(nodes, port=args.port, allowed_servers=[serverid], deadline=10)
    try:
        network.start()
        print("probe network: nats-server on 127.0.0.1:%d, center on %s, agents: %s"
              % (network.nats_port, network.url, ", ".join(n for n, _ in nodes)))
        print("logs and configuration in %s" % network.workdir)
        print("serverid: %s" % serverid)
        print("try: curl -d serverid=%s -d url=http://127.0.0.1:%d/healthz %s/api/local/boce"
              % (serverid, args.port, network.url))
        print("Ctrl-C stops everything.", flush=True)
        signal.sigwait({signal.SIGINT, signal.SIGTERM})
    except KeyboardInterrupt:
        pass
    finally:
        network.stop()
    return 0


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    sys.exit(main())
