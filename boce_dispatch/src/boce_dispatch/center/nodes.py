"""What the center knows of each node: whether an agent is there (presence), when it last
answered, whether it is cut off itself; read by the gathering, the health routes and /metrics.

Presence comes from the agents' beats (one every contract.BEAT_SECONDS on the node's status
subject) and, for a node whose agent never beat (one older than beats, or none at all), from
the NATS server itself: a probe to a subject nobody takes is answered at once with "no
responders". A node is known to be away, and is answered at once without a probe, when:

- the center has been connected to NATS for GRACE_SECONDS (after a start or a failover, every
  agent there has beaten once before any of them counts as away), and
- no beat came from it for AWAY_AFTER_SECONDS, and
- either it beat before (its agent has gone), or the NATS server said lately that nobody takes
  its probes (RECHECK_SECONDS, after which one probe asks again).

A node whose agent is there but silent is awaited to the deadline. A node is cut off when its
last CUT_OFF_ANSWERS answers in a row said its agent reaches nothing itself; a normal answer, or
a beat saying its checks reach sites again, ends that.

The per-node figures are kept in plain numbers and read by Prometheus at scrape time, so that an
answer costs no metric update of its own."""

import bisect
import time

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily

from boce_dispatch import contract
from boce_dispatch.logtext import shown

AWAY_AFTER_SECONDS = 2.5 * contract.BEAT_SECONDS  # two beats missed, and half a beat to spare
GRACE_SECONDS = 1.5 * contract.BEAT_SECONDS
RECHECK_SECONDS = 30.0  # how long "nobody takes its probes" keeps a node away without a probe
CUT_OFF_ANSWERS = 2  # inconclusive answers in a row before a node counts as cut off
SEEN_SECONDS = 300  # a node that answered within this counts as seen


class Node:
    """One node's state."""

    __slots__ = ("id", "name", "beat_at", "beat_time", "beat_cut_off", "unreachable_at",
                 "answer_at", "answer_time", "inconclusive_run", "cut_off_why", "answers",
                 "not_responding", "inconclusive", "buckets", "seconds_sum")

    def __init__(self, node, bucket_count):
        self.id, self.name = node.id, node.name
        self.beat_at = None  # monotonic time of its last beat; time.time() in beat_time
        self.beat_time = None
        self.beat_cut_off = None  # why it is cut off, by its last beat
        self.unreachable_at = None  # when NATS last said nobody takes its probes
        self.answer_at = None
        self.answer_time = None
        self.inconclusive_run = 0
        self.cut_off_why = None
        self.answers = 0
        self.not_responding = 0
        self.inconclusive = 0
        self.buckets = [0] * bucket_count
        self.seconds_sum = 0.0


class NodeHealth:
    """Every configured node's state, by id and in configuration order."""

    def __init__(self, config, buckets, clock=time.monotonic):
        self.bounds = tuple(buckets)
        self.nodes = [Node(node, len(self.bounds) + 1) for node in config.nodes]
        self.by_id = {node.id: node for node in self.nodes}
        self.clock = clock
        self.connected_at = None  # since when the center's NATS link stands (monotonic)
        self.started_time = time.time()

    # ---- what the link and the agents tell -----------------------------------------------

    def link_up(self):
        self.connected_at = self.clock()

    def link_down(self):
        self.connected_at = None

    def beat(self, node_id, cut_off):
        node = self.by_id.get(node_id)
        if node is None:
            return
        node.beat_at, node.beat_time = self.clock(), time.time()
        node.beat_cut_off = cut_off
        node.unreachable_at = None
        if cut_off is None:  # its checks (or probes) reach sites again
            node.inconclusive_run, node.cut_off_why = 0, None

    def nobody_takes_probes(self, node):
        node.unreachable_at = self.clock()

    # ---- what its answers tell -------------------------------------------------------------

    def answered(self, node, seconds):
        now = self.clock()
        node.answer_at, node.answer_time = now, time.time()
        node.unreachable_at = None
        node.inconclusive_run, node.cut_off_why = 0, None
        node.answers += 1
        node.buckets[bisect.bisect_left(self.bounds, seconds)] += 1
        node.seconds_sum += seconds

    def answered_cut_off(self, node, why):
        now = self.clock()
        node.answer_at, node.answer_time = now, time.time()
        node.unreachable_at = None
        node.inconclusive += 1
        node.inconclusive_run += 1
        if node.inconclusive_run >= CUT_OFF_ANSWERS:
            node.cut_off_why = why

    def silent(self, node):
        node.not_responding += 1

    # ---- what the center concludes ----------------------------------------------------------

    def away(self, node):
        """Why `node` is known to be away ("no agent connected since ..."), or None."""
        now = self.clock()
        if node.beat_at is not None and now - node.beat_at < AWAY_AFTER_SECONDS:
            return None  # first: what most nodes are, most of the time
        if not self.presence_known():
            return None
        unreachable = node.unreachable_at is not None and \
            now - node.unreachable_at < RECHECK_SECONDS
        if node.beat_at is None and not unreachable:
            return None  # never beat: an older agent, or one to ask NATS about
        last = max(t for t in (node.beat_time, node.answer_time, 0) if t is not None)
        since = last or self.started_time
        return "no agent connected since %s" % time.strftime("%Y-%m-%d %H:%M:%S UTC",
                                                             time.gmtime(since))

    def presence_known(self):
        """Whether the center has been connected long enough to tell who is there."""
        return self.connected_at is not None and self.clock() - self.connected_at >= \
            GRACE_SECONDS

    def present(self, node):
        """Whether an agent of `node` beat within AWAY_AFTER_SECONDS (or, for one that never
        beats, answered within SEEN_SECONDS)."""
        now = self.clock()
        if node.beat_at is not None:
            return now - node.beat_at < AWAY_AFTER_SECONDS
        return node.answer_at is not None and now - node.answer_at <= SEEN_SECONDS

    def cut_off(self):
        """Node id -> why, escaped and cut, for the nodes cut off themselves lately."""
        now = self.clock()
        return {node.id: shown(node.cut_off_why, 200) for node in self.nodes
                if node.cut_off_why is not None and node.answer_at is not None
                and now - node.answer_at <= SEEN_SECONDS}

    # ---- Prometheus, at scrape time ------------------------------------------------------------

    def collect(self):
        present = GaugeMetricFamily("boce_node_present",
                                    "1 while an agent of the node is there (beats, or answers "
                                    "for one that never beats)", labels=["node"])
        seen = GaugeMetricFamily("boce_nodes_seen", "Nodes whose agent answered a probe within "
                                 "the last %d s" % SEEN_SECONDS)
        last = GaugeMetricFamily("boce_node_last_answer_timestamp_seconds",
                                 "When the node last answered (Unix time; 0: not since the "
                                 "center started)", labels=["node"])
        silent = CounterMetricFamily("boce_node_not_responding", "Probes a node did not answer",
                                     labels=["node"])
        inconclusive = CounterMetricFamily("boce_node_inconclusive",
                                           "Probes a node answered as cut off itself",
                                           labels=["node"])
        answers = HistogramMetricFamily("boce_node_answer_seconds",
                                        "Time from publishing a probe to the node's answer",
                                        labels=["node"])
        now = self.clock()
        for node in self.nodes:
            present.add_metric([node.id], 1 if self.present(node) else 0)
            last.add_metric([node.id], node.answer_time or 0)
            silent.add_metric([node.id], node.not_responding)
            inconclusive.add_metric([node.id], node.inconclusive)
            cumulative, counts = 0, []
            for bound, count in zip(self.bounds + (float("inf"),), node.buckets, strict=True):
                cumulative += count
                counts.append((_bound_text(bound), cumulative))
            answers.add_metric([node.id], counts, node.seconds_sum)
        seen.add_metric([], sum(1 for node in self.nodes if node.answer_at is not None
                                and now - node.answer_at <= SEEN_SECONDS))
        present_total = GaugeMetricFamily("boce_nodes_present", "Nodes with an agent there")
        present_total.add_metric([], sum(1 for node in self.nodes if self.present(node)))
        return [present, present_total, seen, last, silent, inconclusive, answers]


def _bound_text(bound):
    return "+Inf" if bound == float("inf") else repr(float(bound))
