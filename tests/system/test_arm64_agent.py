"""A vantage point on an ARM machine: the probe network's agent, installed as an operator installs
it (the package with its agent extra, pycurl's aarch64 wheel) on Debian's arm64 CPython run by
qemu-user (tools/packaging/arm64), dials out to this machine's NATS server and answers a probe of the local
site beside an agent of this machine."""

import os

import pytest

from tests.common import SERVER_ID, SERVICE_ENV, SERVICE_PYTHON, ask_center

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

# The emulated interpreter, with the probe network's package installed (make test sets it).
ARM64_PYTHON = os.environ.get("BOCE_ARM64_PYTHON")


@pytest.mark.skipif(not ARM64_PYTHON, reason="no emulated arm64 interpreter: make test sets "
                    "BOCE_ARM64_PYTHON")
def test_an_agent_on_arm64_answers_a_probe_beside_a_native_one(website):
    from tools.lab.network import Network, free_port
    nodes = [("北京电信", "bj"), ("深圳电信 ARM", "sz-arm")]
    with Network(nodes, port=free_port(), allowed_servers=[SERVER_ID], deadline_seconds=10,
                 allow_private=True, python=SERVICE_PYTHON, env=SERVICE_ENV,
                 agent_python={"sz-arm": ARM64_PYTHON}) as network:
        # The kernel runs an aarch64 program through its binfmt interpreter, qemu.
        runner = os.readlink("/proc/%d/exe" % network.processes["agent-sz-arm"].pid)
        status, records = ask_center(network.url, SERVER_ID, website + "/fast")
    assert "qemu-aarch64" in runner
    assert status == 200
    assert sorted((r["isp"], r["http_code"], r["primary_ip"]) for r in records) == [
        ("北京电信", 200, "127.0.0.1"), ("深圳电信 ARM", 200, "127.0.0.1")]
    assert all(0 < r["total_time"] < 10_000 and r["size_download"] > 0 for r in records)
