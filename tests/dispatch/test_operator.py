"""The operator's own mistakes: a configuration, a command line or a file that is not what the
center, an agent or natsconf can serve with is refused at start in one line that says where and
why, and what natsconf writes gives each secret to the one process that needs it."""

import asyncio
import json
import os
import re
import socket
import stat
import subprocess
import time
import urllib.error
import urllib.request

import pytest

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

import nats  # noqa: E402

from boce_dispatch import __main__, cli, config, natsconf  # noqa: E402
from boce_dispatch.network import free_port  # noqa: E402
from tests.common import (  # noqa: E402
    REPO,
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    wait_until,
)
from tests.dispatch.clients import two_nodes  # noqa: E402


@pytest.fixture(scope="module")
def network():
    with two_nodes() as running:
        yield running


def secret(path, text="p" * 32, mode=0o600):
    natsconf.write_private(str(path), text)
    os.chmod(path, mode)


# ---- the center's configuration ----------------------------------------------------------

CONFIG = config.center_toml([("北京电信", "bj"), ("上海联通", "%s")], ["abc"],
                            ["nats://127.0.0.1:4222"], "center.password", deadline_seconds=20)


@pytest.mark.parametrize("text, message", [
    (CONFIG % "sh", None),
    (CONFIG % "s h", "line 17: a node's id is"),
    (CONFIG % "bj", "line 17: the node id 'bj' is used twice"),
    (CONFIG.replace('name = "上海联通"\n', "") % "sh", "line 15: this node needs a name"),
    *[(CONFIG.replace("= 20", "= " + value) % "sh", "line 2: deadline_seconds must be a number "
       "above 0 and at most 55") for value in ("nan", "inf", "-inf", "0", "-5", "55.5", "90")],
    (CONFIG.replace('["abc"]', '"abc"') % "sh", "line 1: allowed_servers is a list"),
    (CONFIG.replace('user = "center"', 'usr = "center"') % "sh", "line 8: unknown key 'usr'"),
    (CONFIG.replace("nats://", "http://") % "sh", "line 7: servers is a list of nats://"),
    *[(CONFIG.replace("= 8", "= " + value) % "sh", "line 3: max_probes must be a whole number "
       "above 0 and at most 4096") for value in ("0", "-1", "4097", "8.0")],
    ("max_probs = 3\n" + CONFIG % "sh", "line 1: unknown key 'max_probs'"),
    (CONFIG.replace("= 20", "= ") % "sh", "line 2"),  # not TOML at all
])
def test_the_configuration_names_its_bad_line(tmp_path, text, message):
    secret(tmp_path / "center.password")
    (tmp_path / "center.toml").write_text(text, encoding="utf-8")
    if message is None:
        loaded = config.load(str(tmp_path / "center.toml"))
        assert [n.name for n in loaded.nodes] == ["北京电信", "上海联通"]
        assert loaded.nats.password == "p" * 32 and loaded.allowed_servers == {"abc"}
        return
    with pytest.raises(config.ConfigError, match=message):
        config.load(str(tmp_path / "center.toml"))


def test_the_shipped_examples_are_what_the_code_reads_and_writes(tmp_path):
    """What operators copy: the center's example loads, and the NATS example is the generated
    configuration for its two nodes, which nats-server accepts."""
    from importlib.resources import files  # 3.9 and up, as the probe network

    shipped = files("boce_dispatch")
    secret(tmp_path / "center.password")
    (tmp_path / "center.toml").write_text(
        (shipped / "center.example.toml").read_text("utf-8"), encoding="utf-8")
    loaded = config.load(str(tmp_path / "center.toml"))
    assert [(n.name, n.id) for n in loaded.nodes] == [("北京电信", "bj-telecom"),
                                                      ("上海联通", "sh-unicom")]
    assert (loaded.deadline_seconds, loaded.max_probes) == (20, 8)

    example = (shipped / "deploy" / "nats-server.conf.example").read_text("utf-8")
    generated = natsconf.server_config(
        "center", "<center password>",
        {"agent-%s" % n.id: ("<agent password>", n.id) for n in loaded.nodes},
        listen="0.0.0.0:4222")
    placeholders = re.sub(r'user: "([^"]+)", password: "\$2a\$11\$[./A-Za-z0-9]{53}"',
                          r'user: "\1", password: "<bcrypt hash of \1.password>"', generated)
    assert [line for line in example.splitlines() if not line.startswith("#")] == \
        placeholders.splitlines()
    (tmp_path / "nats.conf").write_text(example)
    checked = subprocess.run(["nats-server", "-t", "-c", str(tmp_path / "nats.conf")],
                             capture_output=True, text=True, timeout=30)
    assert checked.returncode == 0, checked.stderr

    # The agent's unit: its command line is one the agent takes, with two check targets.
    unit = (shipped / "deploy" / "boce-agent@.service").read_text("utf-8")
    words = re.search(r"^ExecStart=\S+ (.*)$", unit, re.MULTILINE)[1].replace("%i", "bj-telecom")
    parser = cli.Parser()
    __main__.agent_arguments(parser)
    agent_args = parser.parse_args(words.split())
    assert (agent_args.node, len(agent_args.check_url)) == ("bj-telecom", 2)




# ---- the commands -----------------------------------------------------------------------------

def _command(*words, cwd=None, timeout=30):
    return subprocess.run([SERVICE_PYTHON, *words], capture_output=True, text=True,
                          timeout=timeout, env=SERVICE_ENV, cwd=cwd)


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
                     "127.0.0.1:{busy}"], 1, "cannot listen: error while attempting to bind"),
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
    ("make network on a busy port", ["-m", "boce_dispatch.network", "--port", "{busy}"], 1,
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
    ("install_panel.py asked for help", [os.path.join(REPO, "tools", "install_panel.py"),
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
    result = _command(*[w.format(busy=busy_port) for w in words], cwd=tmp_path)
    assert result.returncode == status, result.stderr
    if answer is None:  # help, and nothing made of the flag
        assert "usage" in result.stdout and sorted(os.listdir(tmp_path)) == made
        return
    assert len(result.stderr.splitlines()) == 1 and answer in result.stderr, result.stderr


def test_natsconf_gives_each_password_to_its_owner_and_the_server_only_hashes(tmp_path):
    out = tmp_path / "nats-server.conf"
    out.write_text("old")
    out.chmod(0o644)
    assert _command("-m", "boce_dispatch.natsconf", "--dir", str(tmp_path), "--node", "bj",
                    "--listen", "127.0.0.1:%d" % free_port(), "--out", str(out)).returncode == 0
    text = out.read_text()
    passwords = {user: (tmp_path / (user + ".password")).read_text().strip()
                 for user in ("center", "agent-bj")}
    assert all(stat.S_IMODE(path.stat().st_mode) == 0o600 for path in tmp_path.iterdir())
    assert not any(password in text for password in passwords.values())
    assert len(re.findall(r'password: "\$2a\$11\$', text)) == 2
    port = int(re.search(r"listen: 127\.0\.0\.1:(\d+)", text)[1])
    with subprocess.Popen(["nats-server", "--config", str(out)], stderr=subprocess.PIPE,
                          text=True) as server:
        try:
            wait_until(lambda: accepts(port), "nats-server to listen", 10)

            async def each_connects():
                for user, password in passwords.items():
                    connection = await nats.connect("nats://127.0.0.1:%d" % port, user=user,
                                                    password=password, allow_reconnect=False)
                    await connection.close()
            asyncio.run(each_connects())
        finally:
            server.terminate()
            warnings = server.communicate(timeout=10)[1]
    assert "Plaintext passwords detected" not in warnings


def test_nats_trouble_is_stated_once_and_a_refused_agent_stops(network, tmp_path):
    secret(tmp_path / "wrong.password", "w" * 32)
    agent_words = ["-m", "boce_dispatch", "agent", "--nats",
                   "nats://127.0.0.1:%d" % network.nats_port, "--password-file",
                   str(tmp_path / "wrong.password")]
    refused = _command(*agent_words, "--node", "bj", "--user", "agent-bj")
    assert refused.returncode == 1 and refused.stderr.splitlines()[-1] == (
        "boce-agent: NATS refused user agent-bj at nats://127.0.0.1:%d: authorization "
        "violation" % network.nats_port)
    # Its own password, another node's subject.
    agent_words[-1] = "%s/agent-sh.password" % network.workdir
    forbidden = _command(*agent_words, "--node", "bj", "--user", "agent-sh")
    assert forbidden.returncode == 1 and 'subject boce.probe.bj' in forbidden.stderr
    assert "ready" not in forbidden.stdout

    secret(tmp_path / "center.password", "w" * 32)
    (tmp_path / "c.toml").write_text((CONFIG % "sh").replace(
        "nats://127.0.0.1:4222", "nats://127.0.0.1:%d" % network.nats_port), encoding="utf-8")
    port = free_port()
    with subprocess.Popen([SERVICE_PYTHON, "-m", "boce_dispatch", "center", "--config",
                           str(tmp_path / "c.toml"), "--listen", "127.0.0.1:%d" % port],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=SERVICE_ENV) as center:
        assert "listening" in center.stdout.readline()  # HTTP at once, NATS or not
        give_up = time.monotonic() + 10
        while True:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/readyz" % port, timeout=5)
            except urllib.error.HTTPError as error:
                reason = json.loads(error.read())["reason"]
                if "uthorization" in reason or time.monotonic() > give_up:
                    break
        assert "Authorization Violation" in reason
        assert ask_center(network.url, "s1", "http://x/")[0] == 200  # the test network is untouched
        center.terminate()
        _, log = center.communicate(timeout=30)
    assert center.returncode == 0
    assert len([line for line in log.splitlines() if "nats error" in line]) == 1


