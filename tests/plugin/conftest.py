"""Fixtures of the plug-in's tests. They run inside tools/sandbox, where /www/server/panel is a
fresh directory: the module runs with its real fixed paths and the real /www is never touched.
The recording doubles stand where the host panel's modules would be found before the module is
imported; the stand-in panel's own modules are there for the tests that use the real ones."""

import os
import sys
import types

import pytest

from tests.common import DATA, PANEL, REPO, load_panel_module, require_sandbox
from tests.doubles import CallLog, FakePublic, FakeSendMailModule, clear_directory

require_sandbox()

from tools.lab import (
    install_panel,  # noqa: E402
    smtp_sink,  # noqa: E402
)

install_panel.install(PANEL)

FAKE_PUBLIC = FakePublic()
FAKE_SEND_MAIL = FakeSendMailModule()
sys.modules["public"] = FAKE_PUBLIC
sys.modules["send_mail"] = FAKE_SEND_MAIL

import start_boce  # noqa: E402

# Loading moved this process into the panel directory; the test runner works from the project.
os.chdir(REPO)


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


@pytest.fixture(scope="session")
def failing_malloc(tmp_path_factory):
    """The allocator that fails on request, to preload into a child (tests/plugin/children)."""
    from tests.plugin.children import build_failing_malloc
    return build_failing_malloc(tmp_path_factory.mktemp("shim"))


@pytest.fixture
def run(host):
    """A plug-in whose dispatch answer and report are the test's (runs.Run)."""
    from tests.plugin.runs import Run
    Run.reports = []
    obj = Run()
    host.log.clear()
    return obj


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
