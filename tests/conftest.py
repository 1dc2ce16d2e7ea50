"""Shared fixtures. The tests run inside tools/sandbox, where /www/server/panel is a fresh
directory: the module runs with its real fixed paths and the real /www is never touched."""

import importlib.util
import os
import sys
import types

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
sys.path.insert(0, os.path.join(REPO, "tools"))

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


@pytest.fixture(scope="session")
def website():
    """The local web site that the probes fetch; its base URL."""
    import website as site
    server, base_url = site.serve()
    yield base_url
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="session")
def dispatch_server():
    """The dispatch center on port 80 of the loopback, where the dispatch host name points
    inside the sandbox, with three node agents and a fourth node that is down."""
    sys.path.insert(0, REPO)
    from dispatch import loopback
    center, servers = loopback.start(["北京电信", "上海联通", "广州移动", "沈阳电信"],
                                     down=["沈阳电信"], deadline=5)
    yield center
    for server in servers:
        server.shutdown()
        server.server_close()


@pytest.fixture
def dispatch_center(dispatch_server):
    dispatch_server.set_script([])
    dispatch_server.requests.clear()
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
