"""A node agent: dials out to the NATS servers, takes the probe requests of its node and answers
each with one measurement.

Nothing connects to an agent, so it can stand behind NAT. It answers only what arrives on its
node's subject, which only the center may publish to. A request carries its id, the URL and its
budget: the seconds left from when the agent receives it, so the agent's clock need not agree
with the center's. A request whose budget is spent is dropped; the same id arriving again (the
center asks again while an answer is missing) is probed once and its measurement given to every
asking, each reply subject at most once. A ping is answered with the node's id. At most
`max_probes` fetches run at once; a request beyond what can start in time is answered as busy.
A fetch without an HTTP answer while the agent reaches none of its check targets either is
answered {"inconclusive": reason} instead (connectivity.py).

The fetches run on the event loop beside NATS (curl_loop.py); only a connectivity check, which
is rare and waits on locks, runs on a thread."""

import asyncio
import concurrent.futures
import contextlib
import heapq
import json
import logging
import math
import signal
import time

from boce_dispatch import bus, probe, urls
from boce_dispatch.config import AGENT_MAX_PROBES, NatsSettings
from boce_dispatch.connectivity import Connectivity
from boce_dispatch.curl_loop import CurlLoop
from boce_dispatch.logtext import shown

MAX_REQUEST_BYTES = 8 * 1024
MAX_REQUEST_ID = 64
MAX_BUDGET_SECONDS = 120.0  # beyond any center's deadline
PROBE_SECONDS = 15.0
# The answer must reach the center before its deadline: the fetch stops this much earlier.
ANSWER_MARGIN_SECONDS = 0.25
QUEUE_FACTOR = 4  # requests waiting for a fetch slot, per slot

log = logging.getLogger("boce.agent")


class BadRequest(ValueError):
    pass


def parse_request(data):
    """(id, url in browser form, seconds left) of a probe request, or None for a ping. Raises
    BadRequest."""
    if len(data) > MAX_REQUEST_BYTES:
        raise BadRequest("request larger than %d bytes" % MAX_REQUEST_BYTES)
    try:
        request = json.loads(data)
    except (ValueError, RecursionError):
        raise BadRequest("request is not JSON") from None
    if not isinstance(request, dict):
        raise BadRequest("request is not a record")
    if request.get("ping") is True:
        return None
    request_id, url = request.get("id"), request.get("url")
    if not isinstance(request_id, str) or not 0 < len(request_id) <= MAX_REQUEST_ID:
        raise BadRequest("request without a valid id")
    seconds_left = _seconds_left(request)
    try:
        return request_id, urls.browser_url(url), seconds_left
    except urls.BadUrl as error:
        raise BadRequest(str(error)) from None


def _seconds_left(request):
    """The request's budget; from a center that sends only a wall-clock deadline, that deadline
    less this machine's clock."""
    budget = request.get("budget")
    if budget is None:
        deadline = request.get("deadline")
        if isinstance(deadline, bool) or not isinstance(deadline, (int, float)):
            raise BadRequest("request without a budget")
        try:
            budget = deadline - time.time()
        except OverflowError:  # an integer beyond any float
            raise BadRequest("request without a budget") from None
    if isinstance(budget, bool) or not isinstance(budget, (int, float)) or not (
            -math.inf < budget <= MAX_BUDGET_SECONDS):
        raise BadRequest("request without a budget of at most %g s" % MAX_BUDGET_SECONDS)
    return float(budget)


class PendingRequest:
    """One request id: the fetch, and everyone waiting for its measurement."""

    def __init__(self, deadline):
        # On this process's monotonic clock: the earliest any asking of the id allows. A probe
        # the center buffered across a NATS outage arrives with the budget it had when it was
        # sent; the askings after it tell the budget that is left.
        self.deadline = deadline
        self.replies = []
        self.answer = None  # the encoded measurement, once there


class PendingRequests:
    """The request ids an agent knows, each until its deadline has passed. Forgetting costs
    only the ids that expire, however many are known."""

    def __init__(self):
        self.by_id = {}  # request id -> PendingRequest
        self.expiries = []  # heap of (deadline, request id), one per id added

    def get(self, request_id):
        return self.by_id.get(request_id)

    def add(self, request_id, deadline):
        entry = self.by_id[request_id] = PendingRequest(deadline)
        heapq.heappush(self.expiries, (deadline, request_id))
        return entry

    def forget_before(self, now):
        while self.expiries and self.expiries[0][0] <= now:
            _, request_id = heapq.heappop(self.expiries)
            entry = self.by_id.get(request_id)
            if entry is not None and entry.deadline <= now:  # not an id added again since
                del self.by_id[request_id]


class Agent:
    def __init__(self, connection, node_id, subject_prefix=NatsSettings.subject_prefix,
                 allow_private=False, max_probes=AGENT_MAX_PROBES, proxy=None, check_urls=()):
        self.nc = connection
        self.subject = "%s.%s" % (subject_prefix, node_id)
        self.node_id = node_id
        self.allow_private = allow_private
        self.proxy = proxy
        self.max_probes = max_probes
        self.connectivity = Connectivity(check_urls, proxy)
        self.curl_loop = CurlLoop(idle_handles=max_probes)
        self.slots = asyncio.Semaphore(max_probes)
        self.pool = concurrent.futures.ThreadPoolExecutor(max_probes, "check")
        self.pending = PendingRequests()
        self.tasks = set()
        self.subscription = None

    async def start(self):
        # One queue group per node: several agents can serve one node, and each request goes
        # to one of them.
        self.subscription = await self.nc.subscribe(self.subject, queue="agents",
                                                    cb=self.on_request)
        await self.nc.flush()

    async def on_request(self, message):
        if not message.reply:
            return
        now = time.monotonic()
        try:
            request = parse_request(message.data)
        except BadRequest as error:
            log.warning("refused reason=%s", shown(str(error)))
            await self._send(message.reply, {"error": str(error)})
            return
        if request is None:
            await self._send(message.reply, {"pong": self.node_id})
            return
        request_id, url, seconds_left = request
        deadline = now + seconds_left
        self.pending.forget_before(now)
        known = self.pending.get(request_id)
        if known is not None and known.answer is None:
            known.deadline = min(known.deadline, deadline)
        if seconds_left <= 0:
            log.info("dropped id=%s reason=budget-spent", shown(request_id))
            return
        if known is not None:
            if known.answer is not None:
                await self._send_encoded(message.reply, known.answer)
            else:
                known.replies.append(message.reply)
            return
        if len(self.tasks) >= self.max_probes * QUEUE_FACTOR:
            await self._send(message.reply, {"error": "busy"})
            return
        entry = self.pending.add(request_id, deadline)
        entry.replies.append(message.reply)
        task = asyncio.ensure_future(self._run(request_id, url, entry))
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def _run(self, request_id, url, entry):
        async with self.slots:
            record = await self._fetch_in_time(url, entry)
        if record is None or time.monotonic() >= entry.deadline:
            log.info("dropped id=%s reason=budget-spent", shown(request_id))
            return
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
                     " reason=%s" % shown(record["reason"]) if "reason" in record else "")

    async def _fetch_in_time(self, url, entry):
        """The measurement, within what is left of the request's budget; None when nothing is
        left. Runs in a fetch slot: the time left is counted from when the slot was free."""
        left = self._left(entry)
        # A connectivity check needs its full time after a failed fetch: the fetch stops that
        # much earlier, when the budget holds both.
        seconds = min(PROBE_SECONDS, left - self.connectivity.reserve(left))
        if seconds <= 0:
            return None
        record = await probe.measure_on(self.curl_loop, url, self.allow_private, seconds,
                                        self.proxy)
        if record["http_code"] == 0 and not record["reason"].startswith(probe.REFUSED) and \
                self.connectivity.can_check(self._left(entry)):
            cut_off = await asyncio.get_running_loop().run_in_executor(
                self.pool, lambda: self.connectivity.cut_off(self._left(entry)))
            if cut_off is not None:
                return {"inconclusive": "%s; %s" % (record["reason"], cut_off)}
        return record

    @staticmethod
    def _left(entry):
        return entry.deadline - ANSWER_MARGIN_SECONDS - time.monotonic()

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
        if self.tasks:
            await asyncio.wait(set(self.tasks), timeout=PROBE_SECONDS + 1)
        self.curl_loop.close()
        self.pool.shutdown(wait=False)


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


async def serve(settings, node_id, allow_private=False, max_probes=AGENT_MAX_PROBES, proxy=None,
                ready=print, check_urls=()):
    """Runs an agent until SIGTERM or SIGINT. Raises Fatal when NATS refuses its user at the
    start or its node's subject."""
    trouble = bus.Trouble(log, settings)
    subject = "%s.%s" % (settings.subject_prefix, node_id)
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

    # From the start: Ctrl-C or SIGTERM while NATS is still out of reach ends the agent too.
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stopping.set)
    async with contextlib.AsyncExitStack() as opened:
        connection = await _first_of(bus.connect(settings, "boce-agent-" + node_id,
                                                 error_cb=failed, reconnected_cb=reconnected),
                                     asyncio.shield(fatal), stopping.wait())
        if connection is True:  # stopping came first
            log.info("stopping: NATS was never reached")
            return
        opened.push_async_callback(bus.goodbye, connection, log)  # on every path out
        connected = True
        agent = Agent(connection, node_id, settings.subject_prefix, allow_private, max_probes,
                      proxy, check_urls)
        await agent.start()
        # The server answers a refused subscription soon after the flush that sent it: one
        # more round trip lets it arrive before the agent says it is ready.
        await connection.flush()
        if fatal.done():
            fatal.result()
        ready("agent %s ready on %s" % (node_id, connection.connected_url.netloc))
        await _first_of(stopping.wait(), asyncio.shield(fatal))
        log.info("stopping: answering %d probes in flight", len(agent.tasks))
        await agent.stop()
