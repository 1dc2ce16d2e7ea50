"""What operators install: the shipped examples are what the code reads and writes, restate the
wire contract faithfully, and the nginx front passes panels with their address."""

import concurrent.futures
import csv
import os
import pathlib
import re
import resource
import shutil
import subprocess
import time
import urllib.parse

import pytest

from boce_dispatch import cli, contract, natsconf
from boce_dispatch.agent import __main__ as agent_command
from boce_dispatch.center import __main__ as center_command
from boce_dispatch.center import config
from tests.common import (
    DISPATCH_DEPLOY,
    DISPATCH_HOST,
    SERVICE_ENV,
    SERVICE_PYTHON,
    accepts,
    ask_center,
    nginx_front,
    wait_until,
)
from tests.dispatch.helpers import (
    BIG_HEAD,
    DEADLINE_SECONDS,
    center_log_after,
    exchange,
    exec_start,
    request,
    secret,
    shipped_environment,
)
from tools.lab.network import Network
from tools.lab.nginx import front_settings
from tools.lab.ports import free_port


def test_the_shipped_examples_are_what_the_code_reads_and_writes(tmp_path):
    """What operators copy: the center's example loads, and the NATS example is the generated
    configuration for its two nodes, which nats-server accepts."""
    shipped = pathlib.Path(DISPATCH_DEPLOY)
    secret(tmp_path / "center.password")
    (tmp_path / "center.toml").write_text(
        (shipped / "center.example.toml").read_text("utf-8"), encoding="utf-8")
    loaded = config.load(str(tmp_path / "center.toml"))
    assert [(n.name, n.id) for n in loaded.nodes] == [("北京电信", "bj-telecom"),
                                                      ("上海联通", "sh-unicom")]
    assert (loaded.deadline_seconds, loaded.max_probes) == (20, None)

    example = (shipped / "nats-server.conf.example").read_text("utf-8")
    generated = natsconf.server_config(
        "center", "<center password>",
        {"agent-%s" % n.id: ("<agent password>", n.id) for n in loaded.nodes},
        listen="0.0.0.0:4222")
    placeholders = re.sub(r'user: "([^"]+)", password: "\$2a\$%02d\$[./A-Za-z0-9]{53}"'
                          % natsconf.BCRYPT_COST,
                          r'user: "\1", password: "<bcrypt hash of \1.password>"', generated)
    assert [line for line in example.splitlines() if not line.startswith("#")] == \
        placeholders.splitlines()
    (tmp_path / "nats.conf").write_text(example)
    checked = subprocess.run(["nats-server", "-t", "-c", str(tmp_path / "nats.conf")],
                             capture_output=True, text=True, timeout=30)
    assert checked.returncode == 0, checked.stderr

    # The agent's unit, with its example environment: a command line the agent takes, with two
    # check targets and its metrics on the loopback.
    environment = dict(shipped_environment("agent.env.example"),
                       BOCE_METRICS_LISTEN="127.0.0.1:9465")
    parser = cli.Parser()
    agent_command.arguments(parser)
    agent_args = parser.parse_args(exec_start("boce-agent@.service", environment, "bj-telecom"))
    assert (agent_args.node, len(agent_args.check_url)) == ("bj-telecom", 2)
    assert agent_args.metrics_listen == ("127.0.0.1", 9465)
    # The center's: on the loopback behind nginx, its operators' routes on a port of their own.
    parser = cli.Parser()
    center_command.arguments(parser)
    center_args = parser.parse_args(exec_start("boce-center.service",
                                               shipped_environment("center.env.example")))
    assert center_args.listen[0] == center_args.metrics_listen[0] == "127.0.0.1"


def test_the_deployed_files_follow_the_wire_contract():
    """The nginx front and the NATS example restate the contract's path, subjects and time-out:
    neither can drift from what the plug-in, the center and the agents use."""
    site = (pathlib.Path(DISPATCH_DEPLOY) / "nginx-boce-center.conf").read_text("utf-8")
    assert re.findall(r"location = (\S+) \{", site) == [contract.PANEL_PATH]
    assert re.findall(r"proxy_read_timeout (\d+)s;", site) == [
        str(contract.PLUGIN_TIMEOUT_SECONDS)]
    example = (pathlib.Path(DISPATCH_DEPLOY) / "nats-server.conf.example").read_text("utf-8")
    assert set(re.findall(r'expires: "(\d+)s"', example)) == {
        str(contract.PLUGIN_TIMEOUT_SECONDS)}
    assert set(re.findall(r'subscribe: \["([^"]+)\.[^".]+"\], allow_responses', example)) == {
        contract.SUBJECT_PREFIX}


@pytest.mark.skipif(shutil.which("nginx") is None, reason="Debian's nginx is missing")
def test_the_deployed_nginx_front_passes_panels_with_their_address(website, tmp_path):
    front_port = free_port()
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=DEADLINE_SECONDS, allow_private=True, trusted_proxies=["127.0.0.1"],
                 env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        nginx = subprocess.Popen(nginx_front(str(tmp_path), "127.0.0.1:%d" % front_port,
                                             "127.0.0.1:%d" % net.port), env=SERVICE_ENV)
        try:
            wait_until(lambda: accepts(front_port), "nginx to listen", 10)
            front_url = "http://127.0.0.1:%d" % front_port
            (status, records), lines = center_log_after(net, lambda: ask_center(
                front_url, "s1", website + "/fast"))
            stranger, refused = center_log_after(net, lambda: exchange(
                front_port, request(b"serverid=nobody&url=http://x/"), "127.0.9.9"))
            huge_head = exchange(front_port, b"GET / HTTP/1.1\r\nHost: x\r\n" + BIG_HEAD)
            hidden = exchange(front_port, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
        finally:
            nginx.terminate()
            nginx.wait(10)
    assert status == 200 and records[0]["http_code"] == 200
    assert "panel address='127.0.0.1' serverid='s1'" in lines
    assert stranger.startswith(b"HTTP/1.1 403") and "address='127.0.9.9'" in refused
    assert huge_head.startswith(b"HTTP/1.1 400") and hidden.startswith(b"HTTP/1.1 404")


@pytest.mark.skipif(not pathlib.Path("/etc/nginx/sites-available/default").exists(),
                    reason="Debian's nginx is missing")
def test_the_nginx_front_answers_panels_beside_debians_default_site(tmp_path):
    """Installed beside Debian's default site, the front takes the requests for the dispatch
    host, which the plug-in sends as Host, and leaves every other name to the default site."""
    front_port = free_port()
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=DEADLINE_SECONDS, allow_private=True,
                 trusted_proxies=["127.0.0.1"], env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        nginx = subprocess.Popen(nginx_front(str(tmp_path), "127.0.0.1:%d" % front_port,
                                             "127.0.0.1:%d" % net.port, beside_default=True),
                                 env=SERVICE_ENV, stderr=subprocess.PIPE, text=True)
        try:
            wait_until(lambda: accepts(front_port), "nginx to listen", 10)
            form = b"serverid=nobody&url=http://x/"
            panel, seen = center_log_after(net, lambda: exchange(
                front_port, request(form, host=DISPATCH_HOST)))
            other, unseen = center_log_after(net, lambda: exchange(
                front_port, request(form, host="elsewhere.example")))
        finally:
            nginx.terminate()
            warnings = nginx.communicate(timeout=10)[1]
    assert panel.startswith(b"HTTP/1.1 403") and "serverid='nobody'" in seen  # the center's
    assert other.startswith(b"HTTP/1.1 40") and "nobody" not in unseen  # Debian's own answer
    assert "conflicting server name" not in warnings + (tmp_path / "nginx-error.log").read_text()


@pytest.mark.skipif(shutil.which("promtool") is None, reason="Debian's prometheus is missing")
def test_the_alert_rules_load_and_fire_when_they_must():
    """promtool's own checks of the shipped rules and scrape configuration, and its unit tests
    of each alert (alerts_test.yml: a center down, a silent node, a node away, every node cut
    off, panels failing)."""
    here = pathlib.Path(__file__).parent
    for words in (["check", "rules", str(pathlib.Path(DISPATCH_DEPLOY) / "boce-alerts.yml")],
                  ["check", "config", str(pathlib.Path(DISPATCH_DEPLOY) / "prometheus-boce.yml")],
                  ["test", "rules", "alerts_test.yml"]):
        checked = subprocess.run(["promtool", *words], cwd=here, capture_output=True, text=True,
                                 timeout=60)
        assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_scrape_configuration_reads_the_listeners_install_gives():
    scrape = (pathlib.Path(DISPATCH_DEPLOY) / "prometheus-boce.yml").read_text("utf-8")
    jobs = dict(re.findall(r'job_name: (\S+)\n\s+static_configs:\n\s+- targets: \["([^"]+)"',
                           scrape))
    center_env = shipped_environment("center.env.example")
    install = (pathlib.Path(DISPATCH_DEPLOY) / "install").read_text("utf-8")
    first_agent = re.search(r"FIRST_AGENT_METRICS_PORT=(\d+)", install)[1]
    assert jobs == {"boce-center": center_env["BOCE_METRICS_LISTEN"],
                    "boce-agent": "127.0.0.1:" + first_agent}


def test_every_series_the_alert_rules_read_is_one_center_or_agent_expose():
    """Each boce_ series a rule names is there in a center's or an agent's /metrics from the
    start (a rule on a series no one exposes would never fire)."""
    from prometheus_client import generate_latest

    from boce_dispatch.agent.metrics import AgentMetrics
    from boce_dispatch.center.metrics import Metrics, answer_buckets
    from boce_dispatch.center.nodes import NodeHealth
    from tests.dispatch.in_process import center_config
    exposed = set()
    center = center_config()
    health = NodeHealth(center, answer_buckets(center))
    for registry in (Metrics(center, health).registry, AgentMetrics("bj").registry):
        exposed |= set(re.findall(r"^(boce_\w+)", generate_latest(registry).decode(), re.M))
    rules = (pathlib.Path(DISPATCH_DEPLOY) / "boce-alerts.yml").read_text("utf-8")
    named = set(re.findall(r"\b(boce_\w+)", rules))
    assert named and named <= exposed, named - exposed
    assert {"boce_agent_nats_connected", "boce_node_present"} <= named


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze is missing")
@pytest.mark.parametrize("unit", ["boce-center.service", "boce-agent@.service"])
def test_the_units_are_hardened_and_stop_before_a_local_nats(unit):
    """systemd's own score of each shipped unit: at most 2.5, where 10 is a service that can
    do anything root can; the center listens on the loopback only, behind nginx. Ordered after
    nats-server, a unit is stopped before it, and says its goodbye to a server still there."""
    text = (pathlib.Path(DISPATCH_DEPLOY) / unit).read_text("utf-8")
    checked = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                              str(pathlib.Path(DISPATCH_DEPLOY) / unit)],
                             capture_output=True, text=True, timeout=60)
    score = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", checked.stdout)[1])
    assert score <= 2.5, checked.stdout
    command = re.search(r"^ExecStart=\S+ (.*)$", text, re.MULTILINE)[1]
    assert not re.search(r"0\.0\.0\.0|\[::\]", command)
    assert "nats-server.service" in re.search(r"^After=(.*)$", text, re.MULTILINE)[1].split()



@pytest.mark.skipif(shutil.which("systemd-analyze") is None
                    or not pathlib.Path("/lib/systemd/system/nats-server.service").exists(),
                    reason="systemd-analyze or Debian's nats-server is missing")
def test_debians_nats_server_unit_is_hardened_by_the_shipped_drop_in(tmp_path):
    """Debian's own unit scores 9.0 (UNSAFE); with the drop-in `install center` puts beside it,
    at most 2.5, and it runs nats-server with the network's configuration."""
    def score(with_drop_in):
        root = tmp_path / ("with" if with_drop_in else "without")
        units = root / "etc/systemd/system"
        (units / "nats-server.service.d").mkdir(parents=True)
        shutil.copy("/lib/systemd/system/nats-server.service", units)
        if with_drop_in:
            shutil.copy(pathlib.Path(DISPATCH_DEPLOY) / "nats-server-boce.conf",
                        units / "nats-server.service.d" / "boce.conf")
        checked = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                                  "--root=%s" % root, "nats-server.service"],
                                 capture_output=True, text=True, timeout=60)
        return float(re.search(r"Overall exposure level for \S+: ([\d.]+)", checked.stdout)[1])
    assert score(with_drop_in=False) > 5 and score(with_drop_in=True) <= 2.5
    drop_in = (pathlib.Path(DISPATCH_DEPLOY) / "nats-server-boce.conf").read_text("utf-8")
    assert "ExecStart=/usr/sbin/nats-server -c /etc/boce/nats-server.conf" in drop_in


def _raised_file_limit():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def _slowhttptest(mode, url, directory):
    """slowhttptest opening 4,000 connections as fast as it can, for 12 s: its count of them
    each second, as rows of {"Seconds", "Closed", "Pending", "Connected"}."""
    statistics = os.path.join(directory, "slowhttptest" + mode)
    subprocess.run(["slowhttptest", mode, "-c", "4000", "-r", "4000", "-i", "2", "-l", "12",
                    "-g", "-o", statistics, "-u", url], capture_output=True, timeout=60,
                   preexec_fn=_raised_file_limit, env=SERVICE_ENV, check=True)
    with open(statistics + ".csv", encoding="utf-8", newline="") as f:
        return [{key: int(value) for key, value in row.items() if key != "Service Available"}
                for row in csv.DictReader(f)]


@pytest.mark.skipif(shutil.which("slowhttptest") is None or shutil.which("nginx") is None
                    or not pathlib.Path("/etc/nginx/sites-available/default").exists(),
                    reason="Debian's slowhttptest or nginx is missing")
def test_the_front_answers_every_panel_under_4000_slow_connections(website, tmp_path):
    """Debian's nginx with the shipped site beside its default one and the shipped settings:
    while slowhttptest opens 4,000 connections from one address with slow heads (slowloris),
    then slow forms to the panels' path, a panel from another address is answered every time.
    Every slow head is taken and held until the head time-out (a second less, for the moment
    slowhttptest counts), not closed at the door as a front short of connections does."""
    head_timeout_seconds = int(re.search(r"^client_header_timeout (\d+)s;$",
                                         front_settings()[0], re.MULTILINE).group(1))
    front_port = free_port()
    url = "http://%s:%d%s" % (DISPATCH_HOST, front_port, contract.PANEL_PATH)
    panel = request(b"serverid=s1&url=" + urllib.parse.quote(website + "/fast").encode(),
                    host=DISPATCH_HOST)
    with Network([("北京电信", "bj")], port=free_port(), allowed_servers=["s1"],
                 deadline_seconds=DEADLINE_SECONDS, allow_private=True,
                 trusted_proxies=["127.0.0.1"], env=SERVICE_ENV, python=SERVICE_PYTHON) as net:
        nginx = subprocess.Popen(nginx_front(str(tmp_path), "127.0.0.1:%d" % front_port,
                                             "127.0.0.1:%d" % net.port, beside_default=True),
                                 env=SERVICE_ENV, preexec_fn=_raised_file_limit)
        try:
            wait_until(lambda: accepts(front_port), "nginx to listen", 10)
            for mode in ("-H", "-B"):
                with concurrent.futures.ThreadPoolExecutor(1) as pool:
                    attack = pool.submit(_slowhttptest, mode, url, str(tmp_path))
                    answers = []
                    while not attack.done():
                        answers.append(exchange(front_port, panel, "127.0.0.2"))
                        time.sleep(0.2)
                counts = attack.result()
                assert len(answers) >= 30 and set(answers) == {b"HTTP/1.1 200 OK"}, (mode, answers)
                if mode == "-H":  # the slow heads were there, not refused at the door
                    assert max(c["Connected"] + c["Closed"] for c in counts) == 4000, counts
                    assert all(c["Closed"] == 0 for c in counts
                               if c["Seconds"] < head_timeout_seconds - 1), counts
        finally:
            nginx.terminate()
            nginx.wait(10)
