"""Shared fixtures. The tests run inside tools/sandbox, where /www/server/panel is a fresh
directory: the module runs with its real fixed paths and the real /www is never touched."""

import importlib.util
import json
import os
import subprocess
import sys
import types
import urllib.request

import pytest
from hypothesis import HealthCheck, settings

from doubles import CallLog, FakePublic, FakeSendMailModule, clear_directory

if os.environ.get("START_BOCE_SANDBOX") != "1":
    pytest.exit("run the tests inside tools/sandbox (make test); they use /www/server/panel", 2)

settings.register_profile("default", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                 HealthCheck.too_slow])
settings.register_profile("sanitized", parent=settings.get_profile("default"), max_examples=150)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PANEL = "/www/server/panel"
DATA = os.path.join(PANEL, "data")
sys.path[:0] = [os.path.join(REPO, "tools"), REPO]

import install_panel  # noqa: E402
import smtp_sink  # noqa: E402

install_panel.install(PANEL)

# The recording doubles stand where the host panel's modules would be found, before the import.
FAKE_PUBLIC = FakePublic()
FAKE_SEND_MAIL = FakeSendMailModule()
sys.modules["public"] = FAKE_PUBLIC
sys.modules["send_mail"] = FAKE_SEND_MAIL

import start_boce  # noqa: E402

# Loading moved this process into the panel directory; the test runner works from the project.
os.chdir(REPO)


def load_panel_module(name):
    """One of the stand-in panel's own modules, loaded from the panel's class directory."""
    module_spec = importlib.util.spec_from_file_location(
        "panel_" + name, os.path.join(PANEL, "class", name + ".py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture
def data_dir():
    """An empty panel data directory with a fresh database."""
    os.makedirs(DATA, exist_ok=True)
    clear_directory(DATA)
    install_panel.install(PANEL)
    return DATA


@pytest.fixture
def host(data_dir, monkeypatch):
    """The recording doubles, reset, sharing one call log; the module reaches them as usual."""
    log = CallLog()
    FAKE_PUBLIC.reset(log)
    FAKE_SEND_MAIL.reset(log)
    for name, module in (("public", FAKE_PUBLIC), ("send_mail", FAKE_SEND_MAIL)):
        monkeypatch.setattr(start_boce, name, module)
    return types.SimpleNamespace(log=log, public=FAKE_PUBLIC, send_mail=FAKE_SEND_MAIL)


@pytest.fixture
def plugin(host):
    """A plug-in object made on the doubles, with the call log emptied afterwards."""
    obj = start_boce.start_boce()
    host.log.clear()
    return obj


class PrintedText:
    """All that has been written to sys.stdout so far (capsys sees sys.stdout only, not fd 1)."""

    def __init__(self, capsys):
        self._capsys = capsys
        self._text = ""

    def getvalue(self):
        self._text += self._capsys.readouterr().out
        return self._text


@pytest.fixture
def stdout(capsys):
    return PrintedText(capsys)


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# The services the tests run (the web site, the probe network, the scripted front) are processes
# of their own, on the project's main interpreter, whatever interpreter runs the tests.
SERVICE_PYTHON = os.environ.get("BOCE_SERVICE_PYTHON", sys.executable)
# They never load the module, so a sanitizer run's preloaded runtimes stay out of them.
SERVICE_ENV = {name: value for name, value in os.environ.items()
               if name not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def start_service(*command):
    """A service process that prints one line once it is ready; stopped with SIGTERM."""
    process = subprocess.Popen((SERVICE_PYTHON,) + command, cwd=REPO, stdout=subprocess.PIPE,
                               text=True, env=SERVICE_ENV)
    if not process.stdout.readline():
        raise RuntimeError("%s did not start" % (command,))
    return process


def stop_service(process):
    process.terminate()
    process.wait(30)
    process.stdout.close()


@pytest.fixture(scope="session")
def website():
    """The local web site that the probes fetch; its base URL."""
    from dispatch.network import free_port
    port = free_port()
    process = start_service("tools/website.py", "--listen", "127.0.0.1:%d" % port)
    yield "http://127.0.0.1:%d" % port
    stop_service(process)


SERVER_ID = "b" * 64  # the server the tests' probe network serves


@pytest.fixture(scope="session")
def probe_network():
    """The probe network on the loopback: NATS, the center and three agents, with a fourth
    node whose agent is down."""
    from dispatch.network import Network
    nodes = [("北京电信", "bj"), ("上海联通", "sh"), ("广州移动", "gz"), ("沈阳电信", "sy")]
    with Network(nodes, down=["sy"], port=8080, allowed_servers=[SERVER_ID], deadline=3,
                 python=SERVICE_PYTHON, env=SERVICE_ENV) as network:
        yield network


class ScriptedFront:
    """The scripted front on the dispatch host's port 80, steered over HTTP."""

    URL = "http://127.0.0.1:80"

    def _call(self, method, path, value=None):
        body = None if value is None else json.dumps(value).encode()
        request = urllib.request.Request(self.URL + path, data=body, method=method)
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.loads(answer.read())

    def set_script(self, answers):
        self._call("PUT", "/_script", answers)

    @property
    def requests(self):
        return self._call("GET", "/_requests")

    def forget_requests(self):
        self._call("DELETE", "/_requests")


@pytest.fixture(scope="session")
def dispatch_server(probe_network):
    """Port 80 of the loopback, where the dispatch host name points inside the sandbox: the
    scripted front of the probe network's center."""
    process = start_service("tests/scripted_center.py", "--listen", "127.0.0.1:80",
                            "--center", probe_network.url)
    yield ScriptedFront()
    stop_service(process)


@pytest.fixture
def dispatch_center(dispatch_server):
    dispatch_server.set_script([])
    dispatch_server.forget_requests()
    return dispatch_server


@pytest.fixture
def real_panel(data_dir, monkeypatch):
    """The module on the stand-in panel's own `public` and `send_mail`."""
    public = load_panel_module("public")
    monkeypatch.setattr(start_boce, "public", public)
    monkeypatch.setattr(start_boce, "send_mail", load_panel_module("send_mail"))
    return public


class SmtpSink:
    """The local SMTP server (its own process and environment) and the messages it kept."""

    def __init__(self, port, directory):
        self.port = port
        self.directory = directory

    def clear(self):
        for name in os.listdir(self.directory):
            os.unlink(os.path.join(self.directory, name))

    def messages(self):
        return smtp_sink.read_messages(self.directory)


@pytest.fixture(scope="session")
def smtp_server(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("smtp"))
    process, port = smtp_sink.start(directory)
    yield SmtpSink(port, directory)
    smtp_sink.stop(process)


@pytest.fixture
def smtp(smtp_server):
    smtp_server.clear()
    return smtp_server
