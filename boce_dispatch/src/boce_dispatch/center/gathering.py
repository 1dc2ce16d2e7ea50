"""The center's side of NATS: its connection, and the gathering of one probe's answers from
every node."""

import asyncio
import contextlib
import json
import logging
import time
import uuid

from boce_dispatch import bus, contract, records
from boce_dispatch.center.metrics import SEEN_SECONDS
from boce_dispatch.logtext import Throttled, shown

MAX_ANSWER_BYTES = 16 * 1024  # one agent's record; the NATS servers cap it as well
# A node that has not answered is asked again this often: a probe published while its agent was
# moving to another NATS server is not lost.
RESEND_SECONDS = 1.0
PING_SECONDS = 1.0  # how long /readyz waits for any node to answer a ping

log = logging.getLogger("boce.center")


class Gatherer:
    """The center's side of NATS: publishes each probe to every node's subject and routes the
    answers, which come back on reply subjects of the center's own inbox."""

    def __init__(self, connection, config, metrics):
        self.nc = connection
        self.config = config
        self.metrics = metrics
        self.inbox = connection.new_inbox()
        # request id -> (one future per node, why answers were refused, whether the URL is
        # https), for the request's life
        self.pending = {}
        self.throttled = Throttled(log)

    async def start(self):
        await self.nc.subscribe(self.inbox + ".>", cb=self._on_answer)

    async def _on_answer(self, message):
        # <inbox>.<request id>.<node index>.<attempt>; an empty message is the server's "no
        # responders" status, which only says the agent is away right now.
        request_id, _, rest = message.subject[len(self.inbox) + 1:].partition(".")
        index = rest.partition(".")[0]
        gather = self.pending.get(request_id)
        if gather is None or not message.data or not index.isdigit():
            return  # late or foreign: the panel has had its answer
        position = int(index)
        futures, rejections, https = gather
        if position >= len(futures) or futures[position].done():
            return
        node = self.config.nodes[position]
        refusals = []
        try:
            if len(message.data) > MAX_ANSWER_BYTES:
                raise records.BadRecord("the answer is %d bytes" % len(message.data))
            answer = json.loads(message.data)
            cut_off = records.cut_off_reason(answer)
            if cut_off is not None:
                futures[position].set_result((time.monotonic(), None, cut_off))
                return
            record = records.checked_record(answer, node.name, refusals, https)
        except (ValueError, TypeError, OverflowError, RecursionError) as error:
            # A bad answer does not end the wait: a sound one may still come. Whatever the
            # decoding raised, its reason goes to the log, escaped and cut.
            rejections[position] = reason = shown(str(error) or type(error).__name__, 200)
            self.throttled.warning("answer", node.id, "bad answer node=%s reason=%s", node.id,
                                   reason)
            return
        for refusal in refusals:
            self.throttled.warning("field", node.id, "bad field node=%s reason=%s", node.id,
                                   refusal)
        reason = (record["reason"] or None) if record["http_code"] == 0 else None
        futures[position].set_result((time.monotonic(), record, reason))

    async def probe_all(self, url):
        """One record per configured node, in configuration order, within the deadline, and
        beside each the agent's reason for a record without an HTTP answer (or None)."""
        loop = asyncio.get_running_loop()
        nodes = self.config.nodes
        request_id = uuid.uuid4().hex
        futures = [loop.create_future() for _ in nodes]
        rejections = {}
        started_at = time.monotonic()
        answer_by = started_at + self.config.deadline_seconds
        self.pending[request_id] = (futures, rejections, url.startswith("https:"))
        try:
            attempt = 0
            while True:
                # While the link is down nothing is published: nats-py would keep the probe and
                # send it after the outage with a budget that is no longer true.
                if self.nc.is_connected:
                    body = contract.probe_request(request_id, url, answer_by - time.monotonic())
                    for index, node in enumerate(nodes):
                        if not futures[index].done():
                            await self.nc.publish(
                                self._subject(node), body,
                                reply="%s.%s.%d.%d" % (self.inbox, request_id, index, attempt))
                waiting = [f for f in futures if not f.done()]
                left = answer_by - time.monotonic()
                if not waiting or left <= 0:
                    break
                await asyncio.wait(waiting, timeout=min(RESEND_SECONDS, left))
                attempt += 1
        finally:
            del self.pending[request_id]
        answers = [self._record_and_reason(node, future, started_at, rejections.get(index))
                   for index, (node, future) in enumerate(zip(nodes, futures, strict=True))]
        return [record for record, _ in answers], [reason for _, reason in answers]

    def _subject(self, node):
        return contract.node_subject(node.id, self.config.nats.subject_prefix)

    def _record_and_reason(self, node, future, started_at, rejection):
        """The node's record for the panel, and the agent's reason beside it (or None)."""
        if not future.done():
            if rejection:
                log.info("not responding node=%s last-refused-answer=%s", node.id, rejection)
            self.metrics.not_responding.labels(node.id).inc()
            return records.not_responding(node.name), None
        arrived, record, reason = future.result()
        self.metrics.last_answer_at[node.id] = arrived
        if record is None:  # the agent reaches nothing: silent, never counted against the site
            self.throttled.warning("cut-off", node.id, "cut off node=%s reason=%s", node.id,
                                   shown(reason, 200))
            self.metrics.inconclusive.labels(node.id).inc()
            self.metrics.cut_off[node.id] = (arrived, reason)
            return records.not_responding(node.name), "cut off: " + reason
        self.metrics.cut_off.pop(node.id, None)
        self.metrics.observe_answer(node, arrived - started_at)
        return record, reason

    async def any_node_present(self):
        """True when a node answered lately, or any node's agent answers a ping now."""
        now = time.monotonic()
        if any(now - t <= SEEN_SECONDS for t in self.metrics.last_answer_at.values()):
            return True
        pings = [asyncio.ensure_future(self.nc.request(
            self._subject(node), contract.PING, timeout=PING_SECONDS))
            for node in self.config.nodes]
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




class Link:
    """The center's NATS connection: `gatherer` once it is connected, and what went wrong."""

    def __init__(self, config, metrics):
        self.config = config
        self.metrics = metrics
        self.gatherer = None
        self.closing = False  # a stop under way: losing NATS then is no trouble
        self.trouble = bus.Trouble(log, config.nats)
        # Whatever was opened, on every path out: a connection whose set-up failed or was
        # cancelled half-way is closed too.
        self.opened = contextlib.AsyncExitStack()

    async def connect(self):
        async def disconnected():
            if self.closing:
                log.info("nats disconnected: stopping")
            else:
                log.warning("nats disconnected")

        async def reconnected():
            log.info("nats reconnected server=%s", connection.connected_url.netloc)

        async def failed(error):
            self.trouble.note(error)

        connection = await bus.connect(self.config.nats, "boce-center", error_cb=failed,
                                       disconnected_cb=disconnected,
                                       reconnected_cb=reconnected)
        self.opened.push_async_callback(bus.goodbye, connection, log)
        gatherer = Gatherer(connection, self.config, self.metrics)
        await gatherer.start()
        self.gatherer = gatherer
        log.info("nats connected server=%s", connection.connected_url.netloc)

    async def close(self):
        self.closing = True
        await self.opened.aclose()
