"""What the center counts for Prometheus, and when each node last answered.

Every series a dashboard or an alert reads is there from the start (counters at 0, one per node
and per outcome), so rate() and absence alerts work before the first event; `node` is the one
per-node label, and boce_node_info{node,name} gives each node's name."""

import time

from prometheus_client import Counter, Gauge, Histogram

import boce_dispatch
from boce_dispatch.prometheus_base import process_registry, seconds_buckets

SEEN_SECONDS = 300  # a node that answered within this counts as seen
# How a panel's request can end: answered, or refused for one of these reasons.
PANEL_OUTCOMES = ("answered", "unknown_server", "busy_server", "over_limit", "bad_url",
                  "no_nats", "stopping", "unsupported_form", "bad_form")


class Metrics:
    def __init__(self, config, connected=lambda: False, in_flight=lambda: 0):
        """`connected` says whether NATS is connected now; `in_flight` how many probes run."""
        self.last_answer_at = {}  # node id -> when it last answered (monotonic)
        self.cut_off = {}  # node id -> (when, why), while its latest answer says it is cut off
        self.registry = registry = process_registry()
        node_ids = [node.id for node in config.nodes]
        buckets = seconds_buckets(config.deadline_seconds)
        Gauge("boce_build_info", "The center's version", ["version"],
              registry=registry).labels(boce_dispatch.__version__).set(1)
        info = Gauge("boce_node_info", "Each configured node's name", ["node", "name"],
                     registry=registry)
        for node in config.nodes:
            info.labels(node.id, node.name).set(1)
        self.requests = Counter("boce_panel_requests", "Panel requests by outcome", ["outcome"],
                                registry=registry)
        for outcome in PANEL_OUTCOMES:
            self.requests.labels(outcome)
        self.panel_seconds = Histogram("boce_panel_seconds", "Time to answer a panel's probe",
                                       registry=registry, buckets=buckets)
        self.answer_seconds = Histogram(
            "boce_node_answer_seconds", "Time from publishing a probe to the node's answer",
            ["node"], registry=registry, buckets=buckets)
        self.not_responding = Counter("boce_node_not_responding",
                                      "Probes a node did not answer", ["node"], registry=registry)
        self.inconclusive = Counter("boce_node_inconclusive",
                                    "Probes a node answered as cut off itself", ["node"],
                                    registry=registry)
        self.last_answer_timestamp = Gauge(
            "boce_node_last_answer_timestamp_seconds",
            "When the node last answered (Unix time; 0: not since the center started)",
            ["node"], registry=registry)
        for node_id in node_ids:
            for family in (self.answer_seconds, self.not_responding, self.inconclusive,
                           self.last_answer_timestamp):
                family.labels(node_id)
        Gauge("boce_probes_in_flight", "Panels' probes under way", registry=registry
              ).set_function(in_flight)
        Gauge("boce_probes_limit", "Probes at once the center takes (max_probes)",
              registry=registry).set(config.max_probes)
        Gauge("boce_nats_connected", "1 while the center is connected to NATS",
              registry=registry).set_function(lambda: 1 if connected() else 0)
        seen = Gauge("boce_nodes_seen", "Nodes whose agent answered a probe within the last %d s"
                     % SEEN_SECONDS, registry=registry)
        seen.set_function(lambda: sum(1 for t in self.last_answer_at.values()
                                      if time.monotonic() - t <= SEEN_SECONDS))
        # Each node's children are looked up once: labels() costs more than observe().
        self._answer_seconds_of = {n: self.answer_seconds.labels(n) for n in node_ids}
        self._last_answer_of = {n: self.last_answer_timestamp.labels(n) for n in node_ids}

    def observe_answer(self, node, seconds):
        self._answer_seconds_of[node.id].observe(seconds)
        self._last_answer_of[node.id].set(time.time())
