"""The network's package as operators install it: laid out by process, with the wire contract
inside it and apart from the project's directory."""

import ast
import pathlib

import pytest

import boce_dispatch

PACKAGE = pathlib.Path(boce_dispatch.__file__).parent


def imported_modules(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module
            yield from ("%s.%s" % (node.module, alias.name) for alias in node.names)


@pytest.mark.parametrize("process, other", [("center", "agent"), ("agent", "center")])
def test_center_and_agent_import_nothing_of_each_other(process, other):
    sources = sorted((PACKAGE / process).glob("*.py"))
    assert sources
    for source in sources:
        reached = [name for name in imported_modules(source)
                   if name.startswith("boce_dispatch.%s" % other)]
        assert reached == [], source.name


def test_the_shared_modules_import_neither_process():
    for source in sorted(PACKAGE.glob("*.py")):
        if source.name == "__main__.py":  # `python -m boce_dispatch center|agent` offers both
            continue
        reached = [name for name in imported_modules(source)
                   if name.startswith(("boce_dispatch.center", "boce_dispatch.agent"))]
        assert reached == [], source.name


def test_the_installed_package_carries_its_contract_and_no_build_leftovers():
    assert (PACKAGE / "wire.json").is_file()
    assert not list(PACKAGE.glob("*.egg-info")) and not (PACKAGE / "build").exists()
    assert not (PACKAGE / "network.py").exists()  # the one-machine lab stays a tool
