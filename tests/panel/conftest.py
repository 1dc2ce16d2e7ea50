"""The stand-in host panel's own tests: its modules from the project, on a panel directory of
their own (no sandbox and no module needed)."""

import pytest

from tests.common import REPO, load_panel_module
from tools.lab import install_panel


@pytest.fixture
def panel_dir(tmp_path):
    return install_panel.install(str(tmp_path))


@pytest.fixture
def public(panel_dir, monkeypatch):
    module = load_panel_module("public", class_dir=REPO + "/panel/class")
    monkeypatch.setattr(module, "DATABASE", panel_dir + "/data/default.db")
    return module
