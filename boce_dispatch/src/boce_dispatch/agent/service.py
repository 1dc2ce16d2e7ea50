"""A node agent: dials out to the NATS servers, takes the probe requests of its node and answers
each with one measurement.

Nothing connects to an agent, so it can stand behind NAT. It answers only what arrives on its
node's subject, which only the center may publish to. A request carries its id, the URL and its
budget: the seconds left from when the agent receives it, so the agent's clock need not agree
with the center's. A request whose budget is spent is dropped; the same id arriving again (the
center asks again while a receipt is missing) is probed once and its measurement given to every
asking, each reply subject at most once. When the center asks for one, the agent sends a
receipt for a probe it has taken and is still fetching RECEIPT_GRACE_SECONDS later (at once for
a probe asked again), and every BEAT_SECONDS it beats: both on its node's status subject, so
that the center knows which nodes are there and which probes are under way. A ping is answered with the node's id. At most `max_probes` fetches run at once; a
request beyond what can start in time is answered as busy. A fetch without an HTTP answer while
the agent reaches none of its check targets either is answered {"inconclusive": reason} instead
(connectivity.py).

Every fetch, the connectivity checks' included, runs on the event loop beside NATS (curl_loop.py),
through one function (http_probe.probe) with one deadline and the agent's one ProbeOptions."""

import asyncio
import contextlib
import json
import logging
import time

from boce_dispatch import bus, contract, eventloop, urls
from boce_dispatch.agent import http_probe
from boce_dispatch.agent.connectivity import Connectivity
from boce_dispatch.agent.curl_loop import CurlLoop
from boce_dispatch.agent.metrics import AgentMetrics
from boce_dispatch.agent.pending import PendingRequests
from boce_dispatch.logtext import shown

# Fetches one agent runs at once, unless its operator says otherwise (--max-probes, at most
# MAX_PROBES_LIMIT).
MAX_PROBES = 16
MAX_PROBES_LIMIT = 1024
# The answer must reach the center before its deadline: the fetch stops this much earlier.
ANSWER_MARGIN_SECONDS = 0.25
QUEUE_FACTOR = 4  # requests waiting for a fetch slot, per slot
# How often the CA store that https probes verify against is loaded anew (the system's store
# changes with its package), and how often a due refresh looks for a moment with no fetch.
CA_REFRESH_SECONDS = 3600
IDLE_CHECK_SECONDS = 1

log = logging.getLogger("boce.agent")


def parse_request(data):
    """The ProbeRequest of a probe request, its URL in browser form, or None for a ping. Raises
    contract.BadRequest."""
    request = contract.read_probe_request(data)
    if request is None:
        return None
    try:
        return request._replace(url=urls.browser_url(request.url))
    except urls.BadUrl as error:
        raise contract.BadRequest(str(error)) from None


class Agent:
    def __init__(self, connection, node_id, subject_prefix=contract.SUBJECT_PREFIX,
                 allow_private=False, max_probes=MAX_PROBES, proxy=None, check_urls=(),
                 metrics=None, probe_ca=None, status_prefix=contract.STATUS_PREFIX,
                 curl_loop=None):
        self.nc = connection
        self.subject = contract.node_subject(node_id, subject_prefix)
        self.status_subject = contract.status_subject(node_id, status_prefix)
        self.node_id = node_id
        self.probe_ca = probe_ca  # ProbeCaFile: the CA of the sites probed, when not the system's
        self.options = http_probe.ProbeOptions(
            allow_private=allow_private, proxy=proxy,
            ca_file=probe_ca.copy if probe_ca is not None else None)
        self.max_probes = max_probes
        # Its own, unless given: one process holding many nodes (make bench-scale) shares one.
        self.own_curl_loop = curl_loop is None
        self.curl_loop = curl_loop or CurlLoop(idle_handles=max_probes)
        self.connectivity = Connectivity(check_urls, self.curl_loop, proxy)
        self.slots = asyncio.Semaphore(max_probes)
        self.pending = PendingRequests()
        self.tasks = set()
        self.subscription = None
        self.background = []  # the CA store's refresh and the beats
        self.telling = set()  # receipts on their way
        self.metrics = metrics or AgentMetrics(node_id, lambda: connection.is_connected)

    async def start(self):
        await self.prepare_fetches()
        await self.take_probes()

    async def prepare_fetches(self):
        if not await http_probe.prepare_tls(self.curl_loop, self.options.ca_file):
            log.warning("no loopback: the first https probe will count loading the CA store")

    async def take_probes(self):
        """Subscribes to the node's probes and starts beating."""
        # One queue group per node: several agents can serve one node, and each request goes
        # to one of them.
        self.subscription = await self.nc.subscribe(self.subject, queue="agents",
                                                    cb=self.on_request)
        self.background = [asyncio.ensure_future(self._refresh_ca_store()),
                           asyncio.ensure_future(self._beat())]
        await self.nc.flush()

    async def on_request(self, message):
        if not message.reply:
            return
        now = time.monotonic()
        try:
            request = parse_request(message.data)
        except contract.BadRequest as error:
            log.warning("refused reason=%s", shown(str(error)))
            self.metrics.count("refused")
            await self._send(message.reply, {"error": str(error)})
            return
        if request is None:
            await self._send(message.reply, {"pong": self.node_id})
            return
        expires_at = now + request.budget
        self.pending.forget_before(now)
        known = self.pending.get(request.id)
        if known is not None and known.answer is None:
            known.expires_at = min(known.expires_at, expires_at)
        if request.budget <= 0:
            log.info("dropped id=%s reason=budget-spent", shown(request.id))
            self.metrics.count("dropped")
            return
        if known is None and len(self.tasks) >= self.max_probes * QUEUE_FACTOR:
            self.metrics.count("busy")
            await self._send(message.reply, {"error": "busy"})
            return
        if known is not None:
            if known.answer is not None:
                await self._send_encoded(message.reply, known.answer)
            else:
                if request.receipt:  # asked again: the center has missed that it was taken
                    await self._tell(contract.receipt(request.id))
                known.replies.append(message.reply)
            return
        entry = self.pending.add(request.id, expires_at)
        entry.replies.append(message.reply)
        if request.receipt:  # taken: the center waits for the answer, however slow the site
            entry.receipt = asyncio.get_running_loop().call_later(
                contract.RECEIPT_GRACE_SECONDS, self._receipt_due, request.id)
        task = asyncio.ensure_future(self._run(request.id, request.url, entry))
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def link_back(self):
        """Back on NATS after losing its server: the replies of the probes it took before go
        nowhere now (the server refuses them), so the center is asked to send each of them
        again, and is then answered from the measurement (or with a receipt while the fetch
        goes on). An answer sent just before the link was lost may be lost too: those are
        asked for again as well."""
        for request_id, entry in list(self.pending.by_id.items()):
            entry.replies = []
            if entry.receipt is not None:
                entry.receipt.cancel()
                entry.receipt = None
            await self._tell(contract.ask_again(request_id))

    def _receipt_due(self, request_id):
        task = asyncio.ensure_future(self._tell(contract.receipt(request_id)))
        self.telling.add(task)
        task.add_done_callback(self.telling.discard)

    async def _run(self, request_id, url, entry):
        try:
            async with self.slots:
                record = await self._fetch_in_time(url, entry)
        finally:
            if entry.receipt is not None:  # the answer (or nothing) comes first
                entry.receipt.cancel()
        if record is None or time.monotonic() >= entry.expires_at:
            log.info("dropped id=%s reason=budget-spent", shown(request_id))
            self.metrics.count("dropped")
            return
        self.metrics.count("cut_off" if "inconclusive" in record else
                           "answered" if record["http_code"] else "no_answer")
        entry.answer = json.dumps(record).encode()
        if log.isEnabledFor(logging.INFO):  # the escaping is not free: only for a line written
            self._log_answer(request_id, url, record)
        replies, entry.replies = entry.replies, []
        for reply in replies:
            await self._send_encoded(reply, entry.answer)

    @staticmethod
    def _log_answer(request_id, url, record):
        if "inconclusive" in record:
            log.info("inconclusive id=%s url=%s reason=%s", shown(request_id), shown(url, 200),
                     shown(record["inconclusive"], 400))
        else:
            log.info("probed id=%s url=%s code=%s total_ms=%s%s", shown(request_id),
                     shown(url, 200), record["http_code"], record["total_time"],
                     " reason=%s" % shown(record["reason"]) if record.get("reason") else "")

    async def _fetch_in_time(self, url, entry):
        """The measurement, within what is left of the request's budget; None when nothing is
        left. Runs in a fetch slot: the time left is counted from when the slot was free."""
        deadline = entry.expires_at - ANSWER_MARGIN_SECONDS
        # A connectivity check needs its full time after a failed fetch: the fetch stops that
        # much earlier, when the budget holds both.
        left = deadline - time.monotonic()
        fetch_by = deadline - self.connectivity.reserve(left)
        if fetch_by <= time.monotonic():
            return None
        loop_clock = asyncio.get_running_loop().time() - time.monotonic()  # the loop's offset
        with self.metrics.probe_seconds.time():
            record = await http_probe.probe(self.curl_loop, url, fetch_by + loop_clock,
                                            self.options)
        # A later asking may have said the budget is spent meanwhile.
        deadline = entry.expires_at - ANSWER_MARGIN_SECONDS
        if record["http_code"]:
            self.connectivity.answered()
        elif not record["reason"].startswith(http_probe.REFUSED) and \
                self.connectivity.can_check(deadline - time.monotonic()):
            with self.metrics.check_seconds.time():
                cut_off = await self.connectivity.cut_off(deadline + loop_clock)
            if cut_off is not None:
                return {"inconclusive": "%s; %s" % (record["reason"], cut_off)}
        return record

    async def _refresh_ca_store(self):
        # Loading the store holds the loop for some milliseconds: it waits for a moment when
        # no fetch runs, so that none counts it.
        while True:
            await asyncio.sleep(CA_REFRESH_SECONDS)
            while self.tasks:
                await asyncio.sleep(IDLE_CHECK_SECONDS)
            if self.probe_ca is not None:
                try:
                    self.probe_ca.take()
                except (OSError, ValueError) as error:
                    log.warning("probe CA file not reloaded: %s; the store loaded before stays",
                                shown(str(error), 300))
                    continue
            await http_probe.prepare_tls(self.curl_loop, self.options.ca_file, refresh=True)

    async def _beat(self):
        """Tells the center every BEAT_SECONDS that this agent is there, and whether it is cut
        off itself, from its start to its stop."""
        while True:
            await self._tell(contract.beat(self.connectivity.verdict))
            await asyncio.sleep(contract.BEAT_SECONDS)

    async def _tell(self, payload):
        """Publishes on the node's status subject; a NATS server whose configuration is older
        than beats refuses it (said among its errors), and the node is then known by its
        answers alone."""
        try:
            await self.nc.publish(self.status_subject, payload)
        except Exception as error:  # noqa: BLE001 - a lost beat or receipt costs a resend at most
            log.debug("status lost error=%s", error)

    async def _send(self, reply, value):
        await self._send_encoded(reply, json.dumps(value).encode())

    async def _send_encoded(self, reply, payload):
        try:
            await self.nc.publish(reply, payload)
        except Exception as error:  # noqa: BLE001 - a lost answer only costs that node's cell
            log.warning("answer lost reply=%s error=%s", reply, error)

    async def stop(self):
        """Takes no new request, answers those in flight, then lets go of NATS."""
        if self.subscription is not None:
            await self.subscription.unsubscribe()
        for task in self.background:
            await bus.cancel(task)
        if self.tasks:
            await asyncio.wait(set(self.tasks), timeout=contract.FETCH_SECONDS + 1)
        if self.own_curl_loop:
            self.curl_loop.close()


class Fatal(Exception):
    """A misconfiguration the agent cannot serve with: NATS refused its user or its subject."""


def _first_of(*awaitables):
    """The first of `awaitables` to finish; the others are cancelled."""
    async def first():
        tasks = [asyncio.ensure_future(a) for a in awaitables]
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
            return done.pop().result()
        finally:
            for task in tasks:
                await bus.cancel(task)
    return first()


async def serve(settings, node_id, allow_private=False, max_probes=MAX_PROBES, proxy=None,
                ready=print, check_urls=(), metrics_listen=None, probe_ca=None):
    """Runs an agent until SIGTERM or SIGINT, with /metrics on `metrics_listen` (host, port)
    when given. Raises Fatal when NATS refuses its user at the start or its node's subject."""
    link = {}  # the NATS connection, once there, and the agent once it takes probes
    metrics = AgentMetrics(node_id, lambda: "nc" in link and link["nc"].is_connected)

    def not_ready():
        if "nc" not in link or not link["nc"].is_connected:
            return "NATS is not connected"
        return None if "agent" in link else "not yet subscribed to its node's probes"
    trouble = bus.Trouble(log, settings)
    subject = contract.node_subject(node_id, settings.subject_prefix)
    fatal = asyncio.get_running_loop().create_future()
    connected = False

    async def failed(error):
        text = str(error)
        if not connected and bus.is_authorization_violation(error):
            reason = "NATS refused user %s at %s: authorization violation" % (
                settings.user, trouble.servers)
        elif "permissions violation" in text.lower() and subject in text:
            reason = "NATS refused user %s the subject %s: %s" % (settings.user, subject, text)
        else:
            trouble.note(error)
            return
        if not fatal.done():
            fatal.set_exception(Fatal(reason))

    async def reconnected():
        log.info("nats reconnected server=%s", connection.connected_url.netloc)
        if "agent" in link:
            await link["agent"].link_back()

    # From the start: Ctrl-C or SIGTERM while NATS is still out of reach ends the agent too.
    stopping = eventloop.stop_on_signals()
    async with contextlib.AsyncExitStack() as opened:
        if metrics_listen is not None:
            operators = await metrics.serve(*metrics_listen, not_ready)
            opened.push_async_callback(operators.cleanup)
        connection = await _first_of(bus.connect(settings, "boce-agent-" + node_id,
                                                 error_cb=failed, reconnected_cb=reconnected),
                                     asyncio.shield(fatal), stopping.wait())
        if connection is True:  # stopping came first
            log.info("stopping: NATS was never reached")
            return
        opened.push_async_callback(bus.goodbye, connection, log)  # on every path out
        connected = True
        link["nc"] = connection
        agent = Agent(connection, node_id, settings.subject_prefix, allow_private, max_probes,
                      proxy, check_urls, metrics, probe_ca)
        await agent.start()
        link["agent"] = agent
        # The server answers a refused subscription soon after the flush that sent it: one
        # more round trip lets it arrive before the agent says it is ready.
        await connection.flush()
        if fatal.done():
            fatal.result()
        ready("agent %s ready on %s" % (node_id, connection.connected_url.netloc))
        await _first_of(stopping.wait(), asyncio.shield(fatal))
        log.info("stopping: answering %d probes in flight", len(agent.tasks))
        await agent.stop()
