"""The probe network's labs as fixtures, for its in-process tests' folder and the whole-system
one alike (a plug-in of the suite: each lab is made once per module or session, wherever its
tests are)."""

import pytest

# The labs that start the probe network's processes (NATS, the center, agents): their tests are
# marked `processes`, as are those that start them themselves.
PROCESS_LABS = {"network", "limited_network", "cut_off_lab"}


def pytest_collection_modifyitems(items):
    for item in items:
        if PROCESS_LABS & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.processes)


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
    certificate (tools/lab/tls_sites.py)."""
    from tools.lab.tls_sites import TlsSites

    sites = TlsSites(str(tmp_path_factory.mktemp("tls")))
    yield sites
    sites.shutdown()
