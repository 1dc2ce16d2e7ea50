"""What an agent tells its operator (--metrics-listen): for Prometheus, probes by outcome, how long
fetches and connectivity checks take, and whether it is connected to NATS, every series there
from the start (/metrics); whether the process answers (/livez) and whether it takes probes
(/readyz). Nothing else is answered."""

import json

from aiohttp import web
from prometheus_client import Counter, Gauge, Histogram
from prometheus_client.aiohttp import make_aiohttp_handler

import boce_dispatch
from boce_dispatch import contract
from boce_dispatch.prometheus_base import process_registry, seconds_buckets

# How a probe request can end: answered with an HTTP status or without one (code 0), answered
# as cut off itself, refused as malformed or for a full queue, dropped with its budget spent.
PROBE_OUTCOMES = ("answered", "no_answer", "cut_off", "refused", "busy", "dropped")
_BUCKETS = seconds_buckets(contract.FETCH_SECONDS)


class AgentMetrics:
    def __init__(self, node_id, connected=lambda: False):
        self.registry = registry = process_registry()
        Gauge("boce_agent_build_info", "The agent's version and node", ["version", "node"],
              registry=registry).labels(boce_dispatch.__version__, node_id).set(1)
        self.probes = Counter("boce_agent_probes", "Probe requests by outcome", ["outcome"],
                              registry=registry)
        self._probes_of = {outcome: self.probes.labels(outcome) for outcome in PROBE_OUTCOMES}
        self.probe_seconds = Histogram("boce_agent_probe_seconds", "Time of one fetch",
                                       registry=registry, buckets=_BUCKETS)
        self.check_seconds = Histogram("boce_agent_check_seconds",
                                       "Time of one connectivity check", registry=registry,
                                       buckets=_BUCKETS)
        Gauge("boce_agent_nats_connected", "1 while the agent is connected to NATS",
              registry=registry).set_function(lambda: 1 if connected() else 0)

    def count(self, outcome):
        self._probes_of[outcome].inc()

    async def serve(self, host, port, not_ready):
        """Answers /metrics, /livez and /readyz on HOST:PORT, on the agent's own event loop (so
        /livez answers only while that loop runs); `not_ready()` says why the agent takes no
        probe, or None. The runner, to clean up."""
        app = web.Application(client_max_size=1024)
        app.router.add_get("/metrics", make_aiohttp_handler(self.registry))
        async def livez(request):
            return _answer(200, {"live": True})

        async def readyz(request):
            why = not_ready()
            return _answer(503, {"ready": False, "reason": why}) if why else _answer(
                200, {"ready": True})
        app.router.add_get("/livez", livez)
        app.router.add_get("/readyz", readyz)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        await web.TCPSite(runner, host, port).start()
        return runner


def _answer(status, value):
    return web.json_response(value, status=status, dumps=json.dumps)
