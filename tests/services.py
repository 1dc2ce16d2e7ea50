"""Fixtures for the services that tests of several subjects use: the local web site, the probe
network on the loopback and the scripted front on the dispatch host's port 80."""

import json
import urllib.request

import pytest

from tests.common import SERVER_ID, SERVICE_ENV, SERVICE_PYTHON, start_service, stop_service


@pytest.fixture(scope="session")
def website():
    """The local web site that the probes fetch; its base URL."""
    from tools.lab.ports import free_port
    port = free_port()
    process = start_service("tools/lab/website.py", "--listen", "127.0.0.1:%d" % port)
    yield "http://127.0.0.1:%d" % port
    stop_service(process)


@pytest.fixture(scope="session")
def probe_network():
    """The probe network on the loopback: NATS, the center and three agents, with a fourth
    node whose agent is down."""
    from tools.lab.network import Network
    nodes = [("北京电信", "bj"), ("上海联通", "sh"), ("广州移动", "gz"), ("沈阳电信", "sy")]
    with Network(nodes, down=["sy"], port=8080, allowed_servers=[SERVER_ID], deadline_seconds=3,
                 allow_private=True, python=SERVICE_PYTHON, env=SERVICE_ENV) as network:
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
