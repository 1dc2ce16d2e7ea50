"""The probe network runs on the project's main interpreter only: under the other Pythons its
tests are not collected. Its networks, one per test module that asks for it."""

import importlib.util

import pytest

collect_ignore_glob = [] if importlib.util.find_spec("aiohttp") else ["test_*.py"]


@pytest.fixture(scope="module")
def network():
    """Two agents, a short deadline, a small limit (helpers.two_nodes)."""
    from tests.dispatch.helpers import two_nodes

    with two_nodes() as running:
        yield running


@pytest.fixture(scope="module")
def limited_network():
    """Two agents, two known servers, one probe at a time in all."""
    from tests.dispatch.helpers import two_servers_one_probe

    with two_servers_one_probe() as running:
        yield running


@pytest.fixture(scope="session")
def cut_off_lab(tmp_path_factory):
    """What tests/dispatch/cut_off_lab.py saw: three nodes, one of them cut off, in a network
    namespace of the test's own."""
    import json
    import subprocess

    from tests.common import REPO, SERVICE_ENV, SERVICE_PYTHON

    out = tmp_path_factory.mktemp("cut-off") / "seen.json"
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "--fork",
         SERVICE_PYTHON, "-m", "tests.dispatch.cut_off_lab", str(out)],
        cwd=REPO, env=SERVICE_ENV, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    return json.loads(out.read_text(encoding="utf-8"))


@pytest.fixture(scope="session")
def tls_sites(tmp_path_factory):
    """https sites with a valid, an expiring, an expired, a self-signed and a wrong-name
    certificate (tools/tls_sites.py)."""
    from tools.tls_sites import TlsSites

    sites = TlsSites(str(tmp_path_factory.mktemp("tls")))
    yield sites
    sites.shutdown()
