"""The center's side of NATS: one probe published to every node that is there, the answers
gathered until every node has answered or the deadline has passed, and what the agents say of
themselves (beats, receipts) on their status subjects.

A node known to be away (nodes.py) is answered at once and costs no probe message. Every other
node gets the probe once; an agent that takes it says so with its answer, or with a receipt
when it is still fetching contract.RECEIPT_GRACE_SECONDS later. A node that has said neither is
sent the probe again (at most MAX_RESENDS times; its agent may have been moving to another NATS
server, or be older than receipts) only RECEIPT_SECONDS after it was sent and after any node
last took any probe. Never because a site is slow, nor while the agents and NATS are still
working through the probes of many panels to many nodes. When the center's NATS link comes back
(link_back), whatever was said while it was down is lost: every node that has not answered yet
is sent the probe again at once, and its agent answers with the measurement it kept, or a
receipt while it is still fetching. An agent that lost its own NATS server asks for its probes
again (contract.ask_again): a NATS server lets a connection answer only the requests it
delivered to that connection.
The answers of one probe are kept in a plain list and waited for with one event, so that a
gather of 10,000 nodes costs no more per answer than one of ten."""

import asyncio
import logging
import time
import uuid

import orjson

from boce_dispatch import contract, records
from boce_dispatch.center.plain_records import plain_record
from boce_dispatch.logtext import Throttled, shown

MAX_ANSWER_BYTES = 16 * 1024  # one agent's record; the NATS servers cap it as well
# A receipt (or a quick answer) comes back within the agent's grace and a round trip through
# NATS: a millisecond on a loopback, well under 0.3 s between continents. But ten panels' probes
# to 10,000 nodes are taken over seconds while NATS and the agents work through them (make
# bench-scale); counted from when a node last took a probe, not from the sending, a wait of
# RECEIPT_SECONDS sends again only what was lost, or to an agent older than receipts. (Answers
# after a receipt do not count: they come as slowly as the sites answer.)
RECEIPT_SECONDS = 1.0
MAX_RESENDS = 2
PING_SECONDS = 1.0  # how long /readyz waits for any node to answer a ping
NO_RESPONDERS = "503"  # the status of the NATS server's answer when nobody takes a subject

log = logging.getLogger("boce.center")


class Gathering:
    """One probe's answers as they come: per node (in configuration order) the outcome, whether
    its receipt came, how often and when it was sent."""

    __slots__ = ("outcomes", "outstanding", "woken", "receipted", "sends", "sent_at",
                 "rejections", "https", "started")

    def __init__(self, count, https):
        # Per node, the record for the panel and the reason beside it (or None), as soon as
        # they are known: once the last node has answered, the panel is answered at once.
        # None: nothing yet.
        self.outcomes = [None] * count
        self.started = time.monotonic()
        self.outstanding = count
        self.woken = asyncio.Event()  # every node is in, or the link is back
        self.receipted = bytearray(count)
        self.sends = bytearray(count)
        self.sent_at = [0.0] * count  # time.monotonic
        self.rejections = {}  # index -> why its last answer was refused
        self.https = https

    def settle(self, index, outcome):
        if self.outcomes[index] is None:
            self.outcomes[index] = outcome
            self.outstanding -= 1
            if not self.outstanding:
                self.woken.set()

    def unheard(self, index):
        """What node `index` said has not come (a lost link): unless it has answered, it is
        due again at once, with one more send than the bound leaves it."""
        if self.outcomes[index] is None and self.sends[index]:
            self.receipted[index] = 0
            self.sends[index] = min(self.sends[index], MAX_RESENDS)
            self.sent_at[index] = float("-inf")
            self.woken.set()


class Gatherer:
    def __init__(self, connection, config, health):
        self.nc = connection
        self.config = config
        self.health = health
        self.inbox = connection.new_inbox()
        self.pending = {}  # request id -> Gathering, for the request's life
        self.position = {node.id: index for index, node in enumerate(config.nodes)}
        prefix = config.nats.subject_prefix
        self.subjects = [contract.node_subject(node.id, prefix) for node in config.nodes]
        self.status_prefix = contract.STATUS_PREFIX + "."
        self.throttled = Throttled(log)
        self.heard_at = 0.0  # when a node last took a probe (_taken)

    async def start(self):
        # Handled as read (bus.Connection.handle): nothing here waits.
        await self.nc.handle(self.inbox + ".>", self._on_answer)
        await self.nc.handle(self.status_prefix + "*", self._on_status)

    # ---- what arrives ------------------------------------------------------------------------

    def _on_status(self, subject, data, headers):
        node_id = subject[len(self.status_prefix):]
        status = contract.read_status(data, orjson.loads)
        if status is None or node_id not in self.position:
            return
        kind, value = status
        if kind == "beat":
            self.health.beat(node_id, value)
            return
        gathering = self.pending.get(value)
        if gathering is None:
            return
        if kind == "taken":
            self._taken(gathering, self.position[node_id])
        else:  # its agent lost its NATS server, and with it the way to answer this probe
            gathering.unheard(self.position[node_id])

    def link_back(self):
        """The NATS link is back after an outage (see the module's doc)."""
        self.heard_at = 0.0
        for gathering in self.pending.values():
            for index in range(len(gathering.outcomes)):
                gathering.unheard(index)
            gathering.woken.set()  # probes not sent during the outage go now

    def _taken(self, gathering, position):
        """The node at `position` has taken the probe: its receipt, or an answer that came
        before any receipt (an agent that answers within contract.RECEIPT_GRACE_SECONDS sends
        none, nor does one older than receipts)."""
        if not gathering.receipted[position]:
            gathering.receipted[position] = 1
            self.heard_at = time.monotonic()

    def _on_answer(self, subject, data, headers):
        # <inbox>.<request id>.<node index>.<attempt>
        request_id, _, rest = subject[len(self.inbox) + 1:].partition(".")
        index = rest.partition(".")[0]
        gathering = self.pending.get(request_id)
        if gathering is None or not index.isdigit():
            return  # late or foreign: the panel has had its answer
        position = int(index)
        if position >= len(gathering.outcomes) or gathering.outcomes[position] is not None:
            return
        if not data:
            self._nobody_takes(gathering, position, headers)
            return
        if not gathering.receipted[position]:
            self._taken(gathering, position)
        node = self.health.nodes[position]
        refusals = []
        try:
            if len(data) > MAX_ANSWER_BYTES:
                raise records.BadRecord("the answer is %d bytes" % len(data))
            record = plain_record(data, node.name, gathering.https)
            if record is None:  # not a plain record: the full check says what it is
                answer = orjson.loads(data)
                cut_off = records.cut_off_reason(answer)
                if cut_off is not None:
                    self._cut_off(gathering, node, position, cut_off)
                    return
                record = records.checked_record(answer, node.name, refusals, gathering.https)
        except (ValueError, TypeError, OverflowError, RecursionError) as error:
            # A bad answer does not end the wait: a sound one may still come. Whatever the
            # decoding raised, its reason goes to the log, escaped and cut.
            gathering.rejections[position] = reason = shown(str(error) or type(error).__name__,
                                                            200)
            self.throttled.warning("answer", node.id, "bad answer node=%s reason=%s", node.id,
                                   reason)
            return
        for refusal in refusals:
            self.throttled.warning("field", node.id, "bad field node=%s reason=%s", node.id,
                                   refusal)
        self.health.answered(node, time.monotonic() - gathering.started)
        gathering.settle(position, (record, (record["reason"] or None)
                                    if record["http_code"] == 0 else None))

    def _cut_off(self, gathering, node, position, reason):
        """The agent of `node` reaches nothing: silent, never counted against the site."""
        self.throttled.warning("cut-off", node.id, "cut off node=%s reason=%s", node.id,
                               shown(reason, 200))
        self.health.answered_cut_off(node, reason)
        gathering.settle(position, (records.not_responding(node.name), "cut off: " + reason))

    def _nobody_takes(self, gathering, position, headers):
        """The NATS server's "no responders": nobody takes the node's probes right now."""
        if (headers or {}).get("Status") != NO_RESPONDERS:
            return
        node = self.health.nodes[position]
        self.health.nobody_takes_probes(node)
        why = self.health.away(node)
        if why is not None:  # not a node whose agent beat a moment ago (moving server)
            self._away(gathering, node, position, why)

    def _away(self, gathering, node, position, why):
        self.health.silent(node)
        gathering.settle(position, (dict(records.not_responding(node.name), reason=why), why))

    # ---- one probe ---------------------------------------------------------------------------

    async def probe_all(self, url):
        """One record per configured node, in configuration order, within the deadline, and
        beside each the reason for a record without an HTTP answer (or None)."""
        gathering = Gathering(len(self.health.nodes), url.startswith("https:"))
        answer_by = gathering.started + self.config.deadline_seconds
        request_id = uuid.uuid4().hex
        for index, node in enumerate(self.health.nodes):
            why = self.health.away(node)
            if why is not None:
                self._away(gathering, node, index, why)
        self.pending[request_id] = gathering
        try:
            while gathering.outstanding:
                now = time.monotonic()
                if now >= answer_by:
                    break
                # While the link is down nothing is published: nats-py would keep the probe and
                # send it after the outage with a budget that is no longer true.
                if self.nc.is_connected:
                    await self._send_due(gathering, request_id, url, answer_by - now, now)
                check_at = self._next_send_at(gathering)
                try:
                    await asyncio.wait_for(gathering.woken.wait(),
                                           min(answer_by, check_at) - time.monotonic())
                except asyncio.TimeoutError:
                    pass
                gathering.woken.clear()
        finally:
            del self.pending[request_id]
        outcomes = gathering.outcomes
        for index, outcome in enumerate(outcomes):
            if outcome is None:
                outcomes[index] = self._silent(self.health.nodes[index],
                                               gathering.rejections.get(index))
        return [record for record, _ in outcomes], [reason for _, reason in outcomes]

    async def _send_due(self, gathering, request_id, url, budget, now):
        """Sends the probe to each node that has not had it, and again to each that has sent
        nothing and is due (_resend_at), at most MAX_RESENDS times."""
        body = None
        reply = "%s.%s." % (self.inbox, request_id)
        for index, outcome in enumerate(gathering.outcomes):
            sends = gathering.sends[index]
            if outcome is not None or gathering.receipted[index] or sends > MAX_RESENDS or (
                    sends and now < self._resend_at(gathering, index)):
                continue
            if body is None:
                body = contract.probe_request(request_id, url, budget)
            await self.nc.publish(self.subjects[index], body,
                                  reply="%s%d.%d" % (reply, index, sends))
            gathering.sends[index] = sends + 1
            # Its own moment: a publish may let other panels' probes go out before the next.
            gathering.sent_at[index] = time.monotonic()

    def _resend_at(self, gathering, index):
        """When node `index`, sent the probe and silent since, is due to be sent it again, as
        things stand: RECEIPT_SECONDS after it was sent and after any node last took a probe.
        (Not sooner when it has taken a later probe: a quick answer to that one may come
        before the receipt of this one, which its agent is still fetching.)"""
        return max(gathering.sent_at[index], self.heard_at) + RECEIPT_SECONDS

    def _next_send_at(self, gathering):
        """When a node next becomes due for a resend, if nothing more is heard (infinity when
        none will)."""
        due = [self._resend_at(gathering, index)
               for index, outcome in enumerate(gathering.outcomes)
               if outcome is None and not gathering.receipted[index]
               and 0 < gathering.sends[index] <= MAX_RESENDS]
        return min(due, default=float("inf"))

    def _silent(self, node, rejection):
        """The record of a node that has said nothing within the deadline (but perhaps an
        answer that was refused), and its reason (None)."""
        if rejection:
            log.info("not responding node=%s last-refused-answer=%s", node.id, rejection)
        self.health.silent(node)
        return records.not_responding(node.name), None

    async def any_node_present(self):
        """True when a node is present (nodes.py), or any node's agent answers a ping now."""
        if any(self.health.present(node) for node in self.health.nodes):
            return True
        pings = [asyncio.ensure_future(self.nc.request(subject, contract.PING,
                                                       timeout=PING_SECONDS))
                 for subject in self.subjects]
        try:
            for answered in asyncio.as_completed(pings):
                try:
                    await answered
                    return True
                except Exception:  # noqa: BLE001, S112 - no responders, a time-out: the next
                    continue
            return False
        finally:
            for ping in pings:
                ping.cancel()
