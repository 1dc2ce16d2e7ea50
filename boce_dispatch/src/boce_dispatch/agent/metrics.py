"""What an agent counts for Prometheus (--metrics-listen): probes by outcome, how long fetches and
connectivity checks take, and whether it is connected to NATS. Every series is there from the
start."""

import prometheus_client
from prometheus_client import Counter, Gauge, Histogram

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

    def serve(self, host, port):
        """Answers GET /metrics on HOST:PORT, on a thread of its own."""
        prometheus_client.start_http_server(port, host, registry=self.registry)
