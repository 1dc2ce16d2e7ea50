"""The dispatch center: answers the plug-in's POST /api/local/boce by publishing the probe to
every configured node over NATS and gathering the agents' answers until every node has answered
or the deadline has passed.

Only servers on the allow-list are served (any other gets HTTP 403 and nothing is probed); one
probe at a time per server, and at most `max_probes` at once. A node that gives no valid answer
in time gets the "节点未响应" record. The answer is the JSON list of probe result records, one per
node in configuration order, each with the node's name under `node`.

For operators: GET /livez (the process answers), /readyz (NATS connected and a node present),
/healthz (NATS and when each node last answered) and /metrics (Prometheus), on the panels' port
or, with a metrics listener, on an address of their own that can be kept private."""

import asyncio
import contextlib
import json
import logging
import signal
import time
import urllib.parse
import uuid

from aiohttp import web
from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram
from prometheus_client.aiohttp import make_aiohttp_handler

from boce_dispatch import bus, eventloop, front, records, urls
from boce_dispatch.config import CenterConfig
from boce_dispatch.logtext import Throttled, shown

PATH = "/api/local/boce"
MAX_FORM_BYTES = 64 * 1024
MAX_ANSWER_BYTES = 16 * 1024  # one agent's record; the NATS servers cap it as well
# A connection must deliver a whole request head within this (aiohttp's keep-alive timer runs
# from the moment the connection opens), so idle or trickling connections cannot pile up.
HEADER_SECONDS = 10
BODY_SECONDS = 10
# A node that has not answered is asked again this often: a probe published while its agent was
# moving to another NATS server is not lost.
RESEND_SECONDS = 1.0
SEEN_SECONDS = 300  # a node that answered within this counts as seen
BACKLOG = 1024
PING_SECONDS = 1.0  # how long /readyz waits for any node to answer a ping

log = logging.getLogger("boce.center")

CONFIG = web.AppKey("config", CenterConfig)
BUSY = web.AppKey("busy", set)
GUARD = web.AppKey("guard", front.Guard)
# The operators' app on a listener of its own reports on the panels' app.
CENTER_APP = web.AppKey("center_app", web.Application)


class Metrics:
    def __init__(self):
        self.last_answer = {}  # node id -> when it last answered (monotonic)
        self.registry = CollectorRegistry()
        self.requests = Counter("boce_panel_requests", "Panel requests by outcome", ["outcome"],
                                registry=self.registry)
        self.answer_seconds = Histogram(
            "boce_node_answer_seconds", "Time from publishing a probe to the node's answer",
            ["node", "name"], registry=self.registry,
            buckets=(0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 20, 40))
        self.not_responding = Counter("boce_node_not_responding", "Probes a node did not answer",
                                      ["node", "name"], registry=self.registry)
        self.inconclusive = Counter("boce_node_inconclusive",
                                    "Probes a node answered as cut off itself", ["node"],
                                    registry=self.registry)
        self.cut_off = {}  # node id -> (when, why), while its latest answer says it is cut off
        self._answer_seconds_of = {}  # node id -> its child of answer_seconds
        seen = Gauge("boce_agents_seen", "Nodes that answered within the last %d s" % SEEN_SECONDS,
                     registry=self.registry)
        seen.set_function(lambda: sum(1 for t in self.last_answer.values()
                                      if time.monotonic() - t <= SEEN_SECONDS))

    def observe_answer(self, node, seconds):
        # Each node's child is looked up once: labels() costs more than observe().
        child = self._answer_seconds_of.get(node.id)
        if child is None:
            child = self._answer_seconds_of[node.id] = self.answer_seconds.labels(node.id,
                                                                                  node.name)
        child.observe(seconds)


METRICS = web.AppKey("metrics", Metrics)


class Gatherer:
    """The center's side of NATS: publishes each probe to every node's subject and routes the
    answers, which come back on reply subjects of the center's own inbox."""

    def __init__(self, connection, config, metrics):
        self.nc = connection
        self.config = config
        self.metrics = metrics
        self.inbox = connection.new_inbox()
        # request id -> (one future per node, why answers were refused), for the request's life
        self.pending = {}
        self.last_answer = metrics.last_answer
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
        futures, rejections = gather
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
            record = records.checked_record(answer, node.name, refusals)
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
        reason = records.agent_words(answer.get("reason")) if record["http_code"] == 0 else None
        futures[position].set_result((time.monotonic(), record, reason))

    async def probe_all(self, url):
        """One record per configured node, in configuration order, within the deadline, and
        beside each the agent's reason for a record without an HTTP answer (or None)."""
        loop = asyncio.get_running_loop()
        nodes = self.config.nodes
        request_id = uuid.uuid4().hex
        futures = [loop.create_future() for _ in nodes]
        rejections = {}
        deadline = self.config.deadline_seconds
        started = time.monotonic()
        self.pending[request_id] = (futures, rejections)
        try:
            attempt = 0
            while True:
                # While the link is down nothing is published: nats-py would keep the probe and
                # send it after the outage with a budget that is no longer true.
                if self.nc.is_connected:
                    body = probe_request(request_id, url, started + deadline - time.monotonic())
                    for index, node in enumerate(nodes):
                        if not futures[index].done():
                            await self.nc.publish(
                                "%s.%s" % (self.config.nats.subject_prefix, node.id), body,
                                reply="%s.%s.%d.%d" % (self.inbox, request_id, index, attempt))
                waiting = [f for f in futures if not f.done()]
                left = started + deadline - time.monotonic()
                if not waiting or left <= 0:
                    break
                await asyncio.wait(waiting, timeout=min(RESEND_SECONDS, left))
                attempt += 1
        finally:
            del self.pending[request_id]
        answers = [self._record(node, future, started, rejections.get(index))
                   for index, (node, future) in enumerate(zip(nodes, futures, strict=True))]
        return [record for record, _ in answers], [reason for _, reason in answers]

    def _record(self, node, future, started, rejection):
        if not future.done():
            if rejection:
                log.info("not responding node=%s last-refused-answer=%s", node.id, rejection)
            self.metrics.not_responding.labels(node.id, node.name).inc()
            return records.not_responding(node.name), None
        arrived, record, reason = future.result()
        self.last_answer[node.id] = arrived
        if record is None:  # the agent reaches nothing: silent, never counted against the site
            self.throttled.warning("cut-off", node.id, "cut off node=%s reason=%s", node.id,
                                   shown(reason, 200))
            self.metrics.inconclusive.labels(node.id).inc()
            self.metrics.cut_off[node.id] = (arrived, reason)
            return records.not_responding(node.name), "cut off: " + reason
        self.metrics.cut_off.pop(node.id, None)
        self.metrics.observe_answer(node, arrived - started)
        return record, reason

    async def any_node_present(self):
        """True when a node answered lately, or any node's agent answers a ping now."""
        now = time.monotonic()
        if any(now - t <= SEEN_SECONDS for t in self.last_answer.values()):
            return True
        pings = [asyncio.ensure_future(self.nc.request(
            "%s.%s" % (self.config.nats.subject_prefix, node.id), PING, timeout=PING_SECONDS))
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


PING = json.dumps({"ping": True}).encode()


def probe_request(request_id, url, seconds_left):
    """A probe request. `budget` is the seconds the agent has, counted from when it receives the
    request, so that no two clocks need agree; `deadline`, the same as a wall-clock instant, is
    kept for agents that know only that."""
    return json.dumps({"id": request_id, "url": url, "budget": round(max(seconds_left, 0), 3),
                       "deadline": time.time() + seconds_left}).encode()


def _json_text(value):
    # "<", ">" and "&" as escapes, as Go's encoding/json writes them: whatever an agent or a
    # client put into a text, no answer of the center holds markup.
    return json.dumps(value, ensure_ascii=False).replace("<", "\\u003c").replace(
        ">", "\\u003e").replace("&", "\\u0026")


def _json(status, value):
    return web.json_response(value, status=status, dumps=_json_text)


def client_address(request):
    """The panel's address: the connection's peer or, behind a trusted proxy, the address the
    proxy says it serves (X-Real-IP)."""
    peer = request.transport.get_extra_info("peername") if request.transport else None
    address = peer[0] if peer else "-"
    if request.app[GUARD].is_trusted_proxy(address):
        return request.headers.get("X-Real-IP", address)
    return address


def _refusal(request, outcome, message, *args):
    """Counts a refused request and logs it, at most once a second per client and kind."""
    request.app[METRICS].requests.labels(outcome).inc()
    address = client_address(request)
    request.app[GUARD].throttled.warning(outcome, front.client_of(address), "refused address=%s "
                                         "outcome=%s " + message, shown(address), outcome, *args)


def _refuse(request, status, outcome, serverid, message):
    _refusal(request, outcome, "serverid=%s", shown(serverid))
    return _json(status, {"status": False, "msg": message})


FORM_TYPE = "application/x-www-form-urlencoded"
MAX_FORM_FIELDS = 256  # a panel's form has its account's fields and the URL: a few dozen at most
BAD_FORM = "the form cannot be read: send serverid and url as UTF-8 text fields\n"


async def _read_form(request):
    """(serverid, url) of the panel's form. The plug-in posts an urlencoded UTF-8 form without
    any content coding: anything else is refused before the body is read (415), and a body that
    is not such a form, a value that is not UTF-8 included, is a 400."""
    _check_form_type(request)
    try:
        body = await asyncio.wait_for(request.read(), BODY_SECONDS)
    except asyncio.TimeoutError:
        raise web.HTTPRequestTimeout(text="the request body did not arrive in time") from None
    except web.HTTPException:
        raise  # aiohttp's own answer, such as 413 for a body over the cap
    except Exception as error:  # noqa: BLE001 - a broken body is the client's
        raise _bad_form(request, error) from None
    try:
        fields = urllib.parse.parse_qsl(body.decode("utf-8"), keep_blank_values=True,
                                        encoding="utf-8", errors="strict",
                                        max_num_fields=MAX_FORM_FIELDS)
    except ValueError as error:  # bytes or escapes that are not UTF-8, too many fields
        raise _bad_form(request, error) from None
    form = {}
    for name, value in fields:
        form.setdefault(name, value)  # the first of a repeated field, as before
    return form.get("serverid", ""), form.get("url", "")


def _check_form_type(request):
    """Raises 415 (or 400 for a charset that is not UTF-8) unless the head announces the form
    the plug-in sends."""
    coding = request.headers.get("Content-Encoding", "identity").strip().lower()
    if request.content_type != FORM_TYPE or coding != "identity":
        _refusal(request, "unsupported_form", "reason=%s", shown(
            "Content-Type %s, Content-Encoding %s" % (request.content_type, coding)))
        raise web.HTTPUnsupportedMediaType(
            text="send the form as %s, without a Content-Encoding\n" % FORM_TYPE)
    if (request.charset or "utf-8").lower() not in ("utf-8", "utf8"):
        raise _bad_form(request, "charset %s" % request.charset)


def _bad_form(request, why):
    """The 400 for a form that cannot be read, logged with `why` (an error or a text)."""
    text = "%s: %s" % (type(why).__name__, why) if isinstance(why, Exception) else why
    _refusal(request, "bad_form", "reason=%s", shown(text))
    return web.HTTPBadRequest(text=BAD_FORM)


async def handle_panel_request(request):
    """POST /api/local/boce: the plug-in's probe request."""
    app = request.app
    config, busy = app[CONFIG], app[BUSY]
    serverid, url = await _read_form(request)
    if serverid not in config.allowed_servers:
        return _refuse(request, 403, "unknown_server", serverid, "unknown server")
    if serverid in busy:
        return _refuse(request, 429, "busy_server", serverid,
                       "a probe of this server is under way")
    if len(busy) >= config.max_probes:
        return _refuse(request, 503, "over_limit", serverid, "too many probes at once")
    try:
        url = urls.browser_url(url)
    except urls.BadUrl as error:
        return _refuse(request, 400, "bad_url", serverid, str(error))
    gatherer = app[LINK].gatherer
    if gatherer is None or not gatherer.nc.is_connected:
        return _refuse(request, 503, "no_nats", serverid, "the probe network is not connected")
    busy.add(serverid)
    try:
        started = time.monotonic()
        answer, reasons = await gatherer.probe_all(url)
    finally:
        busy.discard(serverid)
    app[METRICS].requests.labels("answered").inc()
    if log.isEnabledFor(logging.INFO):  # a line per node to escape: only for a line written
        log.info("panel address=%s serverid=%s url=%s seconds=%.3f nodes=%s",
                 shown(client_address(request)), shown(serverid), shown(url, 200),
                 time.monotonic() - started,
                 " ".join(_outcome(record, reason)
                          for record, reason in zip(answer, reasons, strict=True)))
    return _json(200, answer)


def _outcome(record, reason):
    """One node's outcome in the panel's log line: node:code/time, and why when code is 0."""
    why = "(%s)" % shown(reason) if reason is not None else ""
    if record["isp"] == records.NOT_RESPONDING:
        return "%s:not-responding%s" % (record["node"], why)
    return "%s:%s/%sms%s" % (record["node"], record["http_code"], record["total_time"], why)


def _center(request):
    """The panels' app, whose state the operators' routes report."""
    return request.app.get(CENTER_APP, request.app)


async def livez(request):
    return _json(200, {"live": True})


async def readyz(request):
    link = _center(request)[LINK]
    gatherer = link.gatherer
    if gatherer is None or not gatherer.nc.is_connected:
        reason = "NATS is not connected" + (": " + link.trouble.last if link.trouble.last else "")
        return _json(503, {"ready": False, "reason": reason})
    if not await gatherer.any_node_present():
        return _json(503, {"ready": False, "reason": "no node answers"})
    cut_off = _cut_off_nodes(gatherer.metrics)
    if cut_off and len(cut_off) == len(_center(request)[CONFIG].nodes):
        return _json(503, {"ready": False, "reason": "every node is cut off", "cut_off": cut_off})
    return _json(200, {"ready": True, **({"cut_off": cut_off} if cut_off else {})})


def _cut_off_nodes(metrics):
    """Node id -> why (the agent's words, escaped and cut as in the log), for the nodes whose
    latest answer, within SEEN_SECONDS, said they reach nothing."""
    now = time.monotonic()
    return {node: shown(why, 200) for node, (when, why) in metrics.cut_off.items()
            if now - when <= SEEN_SECONDS}


async def healthz(request):
    app = _center(request)
    gatherer = app[LINK].gatherer
    connected = gatherer is not None and gatherer.nc.is_connected
    now = time.monotonic()
    since = {node.id: (round(now - gatherer.last_answer[node.id], 1)
                       if gatherer and node.id in gatherer.last_answer else None)
             for node in app[CONFIG].nodes}
    return _json(200 if connected else 503, {
        "nats": "connected" if connected else "disconnected",
        "server": gatherer.nc.connected_url.netloc if connected else None,
        # by id and name, as /metrics labels them
        "nodes": {node.id: {"name": node.name, "seconds_since_last_answer": since[node.id]}
                  for node in app[CONFIG].nodes},
        # by name, as before: what existing checks read
        "seconds_since_last_answer": {node.name: since[node.id] for node in app[CONFIG].nodes}})


class Link:
    """The center's NATS connection: `gatherer` once it is connected, and what went wrong."""

    def __init__(self, config, metrics):
        self.config = config
        self.metrics = metrics
        self.gatherer = None
        self.trouble = bus.Trouble(log, config.nats)
        # Whatever was opened, on every path out: a connection whose set-up failed or was
        # cancelled half-way is closed too.
        self.opened = contextlib.AsyncExitStack()

    async def connect(self):
        async def disconnected():
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
        await self.opened.aclose()


LINK = web.AppKey("link", Link)


def _add_operator_routes(app, metrics):
    app.router.add_get("/livez", livez)
    app.router.add_get("/readyz", readyz)
    app.router.add_get("/healthz", healthz)
    app.router.add_get("/metrics", make_aiohttp_handler(metrics.registry))


def make_app(config, guard=None, operator_routes=True):
    """The panels' app; with `operator_routes`, the operators' routes on the same port."""
    guard = guard or front.Guard(trusted_proxies=config.trusted_proxies)
    app = web.Application(client_max_size=MAX_FORM_BYTES,
                          middlewares=[front.request_middleware(guard)])
    app[CONFIG] = config
    app[BUSY] = set()
    app[METRICS] = Metrics()
    app[LINK] = Link(config, app[METRICS])
    app[GUARD] = guard
    app.router.add_post(PATH, handle_panel_request)
    if operator_routes:
        _add_operator_routes(app, app[METRICS])
    return app


def make_operator_app(center_app, guard):
    """/livez, /readyz, /healthz and /metrics of `center_app`, for a listener of their own."""
    app = web.Application(client_max_size=1024, middlewares=[front.request_middleware(guard)])
    app[CENTER_APP] = center_app
    app[GUARD] = guard
    _add_operator_routes(app, center_app[METRICS])
    return app


def connection_room():
    """Raises this process's open-file limit as far as the system lets it (idle clients must not
    run the center out of descriptors long before memory) and says how many connections that
    leaves room for."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        soft = wanted
    return max(2, soft - front.RESERVED_FILES)


def guards(config, separate_operators):
    """The panels' guard and the operators' (the same one when they share a listener). The
    operators' listener has a budget of its own, which the panels' connections never use."""
    room = connection_room()
    throttled = Throttled(log)
    if not separate_operators:
        panels = front.Guard(min(front.MAX_CONNECTIONS, room), trusted_proxies=config
                             .trusted_proxies, throttled=throttled)
        return panels, panels
    operators = front.Guard(min(front.OPERATOR_CONNECTIONS, room // 2),
                            per_client=front.OPERATOR_CONNECTIONS, throttled=throttled)
    panels = front.Guard(min(front.MAX_CONNECTIONS, room - operators.max_connections),
                         trusted_proxies=config.trusted_proxies, throttled=throttled)
    return panels, operators


async def serve(config, listen, metrics_listen=None, ready=None):
    """Serves until SIGTERM or SIGINT; then takes no new panel, answers those in flight and
    returns. `listen` and `metrics_listen` are (host, port)."""
    guard, operator_guard = guards(config, metrics_listen is not None)
    front.quiet_parser_errors(guard.throttled)
    app = make_app(config, guard, operator_routes=metrics_listen is None)
    # Bodies are read as sent: a content coding is refused, never decoded (_read_form).
    settings = dict(access_log=None, keepalive_timeout=HEADER_SECONDS, auto_decompress=False,
                    shutdown_timeout=config.deadline_seconds + 1, **front.PARSER_LIMITS)
    sites = [(web.AppRunner(app, **settings), listen, guard)]
    if metrics_listen is not None:
        sites.append((web.AppRunner(make_operator_app(app, operator_guard), **settings),
                      metrics_listen, operator_guard))
    link, connecting = app[LINK], None
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stopping.set)
    try:
        for runner, (host, port), site_guard in sites:
            await runner.setup()
            await front.GuardedSite(runner, host, port, site_guard, BACKLOG).start()
        # NATS in the background: the center answers HTTP from its start, with 503 and the
        # reason while NATS cannot be reached.
        connecting = asyncio.ensure_future(link.connect())
        if ready is not None:
            ready()
        await stopping.wait()
        log.info("stopping: answering %d panels in flight", len(app[BUSY]))
    finally:
        for runner, _, _ in reversed(sites):
            await runner.cleanup()  # answers the panels in flight, which need NATS
        if connecting is not None:
            await bus.cancel(connecting)  # nothing when it is done
        await link.close()


def run(config, listen, metrics_listen=None, ready=None):
    eventloop.run(serve(config, listen, metrics_listen, ready))
