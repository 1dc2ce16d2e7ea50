"""What the center counts for Prometheus: the panels' requests and how long they took, its
limits and its NATS link; each node's figures come from its NodeHealth (nodes.py), read at
scrape time.

Every series a dashboard or an alert reads is there from the start (counters at 0, one per node
and per outcome), so rate() and absence alerts work before the first event; `node` is the one
per-node label, and boce_node_info{node,name} gives each node's name."""

from prometheus_client import Counter, Gauge, Histogram

import boce_dispatch
from boce_dispatch.prometheus_base import process_registry, seconds_buckets

# How a panel's request can end: answered, or refused for one of these reasons.
PANEL_OUTCOMES = ("answered", "unknown_server", "busy_server", "over_limit", "bad_url",
                  "no_nats", "stopping", "unsupported_form", "bad_form")


def answer_buckets(config):
    """The time buckets of a node's answer and of a panel's wait: from 1 ms to the deadline."""
    return seconds_buckets(config.deadline_seconds)


class Metrics:
    def __init__(self, config, health, connected=lambda: False, in_flight=lambda: 0,
                 max_probes=None):
        """`connected` says whether NATS is connected now; `in_flight` how many probes run."""
        self.registry = registry = process_registry()
        Gauge("boce_build_info", "The center's version", ["version"],
              registry=registry).labels(boce_dispatch.__version__).set(1)
        info = Gauge("boce_node_info", "Each configured node's name", ["node", "name"],
                     registry=registry)
        for node in config.nodes:
            info.labels(node.id, node.name).set(1)
        self.requests = Counter("boce_panel_requests", "Panel requests by outcome", ["outcome"],
                                registry=registry)
        self._requests_of = {outcome: self.requests.labels(outcome) for outcome in PANEL_OUTCOMES}
        self.panel_seconds = Histogram("boce_panel_seconds", "Time to answer a panel's probe",
                                       registry=registry, buckets=answer_buckets(config))
        Gauge("boce_probes_in_flight", "Panels' probes under way", registry=registry
              ).set_function(in_flight)
        Gauge("boce_probes_limit", "Probes at once the center takes (max_probes, or what its "
              "memory and CPU hold)", registry=registry).set(max_probes or config.max_probes or 0)
        Gauge("boce_nats_connected", "1 while the center is connected to NATS",
              registry=registry).set_function(lambda: 1 if connected() else 0)
        registry.register(health)

    def count(self, outcome):
        self._requests_of[outcome].inc()
