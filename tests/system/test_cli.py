"""The commands of the network: every mistake on a command line answered in one line, and Ctrl-C
on `make network` draining every process."""

import os
import re
import shutil
import signal
import socket
import subprocess
import time

import pytest

from boce_dispatch import cli
from boce_dispatch.agent import __main__ as agent_command
from boce_dispatch.center import __main__ as center_command
from tests.common import (
    REPO,
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
)
from tests.dispatch.helpers import CONFIG, command, secret, status_field
from tools.lab.ports import free_port, wait_for_port


def test_ctrl_c_on_make_network_drains_every_process_within_the_deadline():
    port = free_port()
    command = [SERVICE_PYTHON, "-m", "tools.lab.network", "--port", str(port), "--agents", "2"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=SERVICE_ENV,
                          start_new_session=True) as network:
        lines = [network.stdout.readline() for _ in range(5)]
        workdir = lines[1].split(" in ", 1)[1].split(" (")[0]
        with open("/proc/%d/task/%d/children" % (network.pid, network.pid)) as f:
            children = f.read().split()
        masks = [int(status_field(pid, "SigBlk"), 16) for pid in children]
        # Without --allow-private the agents refuse loopback.
        status, records = ask_center("http://127.0.0.1:%d" % port, lines[2].split()[1],
                                     "http://127.0.0.1:%d/livez" % port)
        started = time.monotonic()
        network.send_signal(signal.SIGINT)
        assert network.wait(15) == 0
        stopped_in = time.monotonic() - started
        last_words = network.stdout.read()
    # nats, the center and two agents, none with SIGINT or SIGTERM blocked
    assert len(children) == 4 and all(mask & (1 << signal.SIGINT - 1 | 1 << signal.SIGTERM - 1)
                                      == 0 for mask in masks)
    assert status == 200 and {(r["http_code"], r["primary_ip"]) for r in records} == {(0, "")}
    assert stopped_in < 10
    # The logs stay, named when it stops; the refusal's reason is in them, and the try line
    # says how to allow it.
    assert "ALLOW_PRIVATE=1" in lines[3]
    assert last_words == "stopped; logs and configuration kept in %s\n" % workdir
    with open(os.path.join(workdir, "agent-node1.log"), encoding="utf-8") as log:
        assert "refused: 127.0.0.1 is not a global address" in log.read()
    shutil.rmtree(workdir)


@pytest.fixture
def busy_port():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        yield taken.getsockname()[1]


MISTAKES = [
    # (what, the command's words, its exit status, what its one line on stderr says)
    ("a port out of range", ["-m", "boce_dispatch", "center", "--config", "c.toml", "--listen",
                             "127.0.0.1:99999"], 2, "a port is a number from 1 to 65535"),
    ("a missing configuration", ["-m", "boce_dispatch", "center", "--config", "missing.toml"], 2,
     "No such file"),
    ("a busy port", ["-m", "boce_dispatch", "center", "--config", "c.toml", "--listen",
                     "127.0.0.1:{busy}"], 1,
     "cannot listen on 127.0.0.1:{busy}: error while attempting to bind"),
    ("an unknown flag", ["-m", "boce_dispatch", "center", "--config", "c.toml", "--bogus"], 2,
     "unrecognized arguments: --bogus"),
    ("a missing flag", ["-m", "boce_dispatch", "agent", "--node", "x"], 2,
     "the following arguments are required: --nats"),
    ("a missing password file", ["-m", "boce_dispatch", "agent", "--node", "x", "--nats",
                                 "nats://127.0.0.1:1", "--user", "u", "--password-file",
                                 "missing"], 2, "No such file"),
    ("a check target that is no web address", ["-m", "boce_dispatch", "agent", "--node", "x",
                                                "--nats", "nats://127.0.0.1:1", "--user", "u",
                                                "--password-file", "p", "--check-url",
                                                "ftp://x/"], 2, "--check-url: ftp://x/: only http"),
    ("make network on a busy port", ["-m", "tools.lab.network", "--port", "{busy}"], 1,
     "cannot be used: Address already in use (try --port)"),
    ("a center password file others can read", ["-m", "boce_dispatch", "center", "--config",
                                                 "open.toml"], 2, "readable by its owner only"),
    ("an agent password file its group can read", ["-m", "boce_dispatch", "agent", "--node",
                                                    "x", "--nats", "nats://127.0.0.1:1", "--user",
                                                    "u", "--password-file", "open.password"], 2,
     "open.password: a password file must be readable by its owner only (mode 640"),
    ("no fetch at once", ["-m", "boce_dispatch", "agent", "--node", "x", "--nats",
                          "nats://127.0.0.1:1", "--user", "u", "--password-file", "p",
                          "--max-probes", "0"], 2,
     "--max-probes: expected a whole number from 1 to 1024, not '0'"),
    ("natsconf without its directory", ["-m", "boce_dispatch.natsconf", "--dir", "missing",
                                        "--node", "bj"], 2, "missing is not a directory"),
    *[("natsconf with the node id %r" % node_id, ["-m", "boce_dispatch.natsconf", "--dir", ".",
                                                 "--node", node_id], 2, "a node's id is 1 to 64")
      for node_id in ("bad id", "bj.telecom")],
    ("an agent's --probe-ca-file that is not there",
     ["-m", "boce_dispatch", "agent", "--node", "bj", "--nats", "nats://127.0.0.1:1", "--user",
      "agent-bj", "--password-file", "center.password", "--probe-ca-file", "missing.pem"], 2,
     "missing.pem: No such file or directory"),
    ("an agent's --probe-ca-file that holds no certificate",
     ["-m", "boce_dispatch", "agent", "--node", "bj", "--nats", "nats://127.0.0.1:1", "--user",
      "agent-bj", "--password-file", "center.password", "--probe-ca-file", "c.toml"], 2,
     "c.toml: no certificate can be read from it"),
    ("node ids of a center configuration that is not there",
     ["-m", "boce_dispatch.center.config", "--node-ids", "missing.toml"], 2,
     "No such file or directory: 'missing.toml'"),
    ("a log level no one knows", ["-m", "boce_dispatch", "center", "--config", "c.toml",
                                  "--log-level", "loud"], 2, "invalid choice: 'LOUD'"),
    ("install_panel.py asked for help", [os.path.join(REPO, "tools", "lab", "install_panel.py"),
                                         "--help"], 0, None),
]


@pytest.mark.parametrize("words, status, answer", [m[1:] for m in MISTAKES],
                         ids=[m[0] for m in MISTAKES])
def test_every_mistake_is_answered_in_one_line(tmp_path, busy_port, words, status, answer):
    secret(tmp_path / "center.password")
    secret(tmp_path / "open.password", mode=0o640)
    (tmp_path / "c.toml").write_text(CONFIG % "sh", encoding="utf-8")
    (tmp_path / "open.toml").write_text((CONFIG % "sh").replace("center.password",
                                                                "open.password"), encoding="utf-8")
    made = sorted(os.listdir(tmp_path))
    result = command(*[w.format(busy=busy_port) for w in words], cwd=tmp_path)
    assert result.returncode == status, result.stderr
    if answer is None:  # help, and nothing made of the flag
        assert "usage" in result.stdout and sorted(os.listdir(tmp_path)) == made
        return
    answer = answer.format(busy=busy_port)
    assert len(result.stderr.splitlines()) == 1 and answer in result.stderr, result.stderr


@pytest.mark.parametrize("process", [center_command, agent_command])
def test_log_levels_are_taken_in_any_case_and_every_option_is_explained(process):
    name = process.__name__.split(".")[1]
    version = command("-m", "boce_dispatch." + name, "--log-level", "debug", "--version")
    assert version.returncode == 0 and version.stdout.startswith("boce-" + name)
    parser = cli.Parser()
    process.arguments(parser)
    unexplained = [action.option_strings for action in parser._actions if not action.help]
    assert len(parser._actions) > 4 and unexplained == []


def test_ports_for_servers_avoid_the_range_outgoing_connections_take_and_never_repeat():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = (int(field) for field in f.read().split())
    ports = [free_port() for _ in range(200)]
    assert len(set(ports)) == len(ports)
    assert not [port for port in ports if low <= port <= high]
    # Many outgoing connections at once cannot take any of them.
    clients = []
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(300)
        for _ in range(300):
            client = socket.create_connection(listener.getsockname())
            clients.append(client)
        taken = {client.getsockname()[1] for client in clients}
        for client in clients:
            client.close()
    assert not taken & set(ports)


_LISTEN_LATE = ("import socket, sys, time; time.sleep(0.3); s = socket.socket(); "
                "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(); time.sleep(30)")


@pytest.mark.parametrize("program, said", [
    (["python3", "-c", _LISTEN_LATE], None),
    (["python3", "-c", "raise SystemExit(3)"], "ended before opening port %d (exit 3)"),
    (["sleep", "30"], "did not open port %d within 1 s"),
], ids=["opens-late", "ends-first", "never-opens"])
def test_waiting_for_a_server_port_ends_when_it_opens_or_says_why_not(program, said):
    port = free_port()
    with subprocess.Popen([*program, str(port)]) as server:
        try:
            if said is None:
                wait_for_port(port, server, "the server", seconds=10)
            else:
                with pytest.raises(RuntimeError, match=re.escape("the server " + said % port)):
                    wait_for_port(port, server, "the server", seconds=1)
        finally:
            server.kill()
