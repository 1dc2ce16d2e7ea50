"""The dispatch center: answers the plug-in's POST /api/local/boce by publishing the probe to
every configured node over NATS and gathering the agents' answers until every node has answered
or the deadline has passed.

Only servers on the allow-list are served (any other gets HTTP 403 and nothing is probed); one
probe at a time per server, and at most `max_probes` at once. A node that gives no valid answer
in time gets the "节点未响应" record. The answer is the JSON list of probe result records, one per
node in configuration order, each with the node's name under `node`. GET /healthz tells whether
NATS is connected and which nodes answered lately; GET /metrics gives Prometheus metrics."""

import asyncio
import json
import logging
import time
import uuid

from aiohttp import web
from prometheus_client import (
    CONTENT_TYPE_LATEST,
    CollectorRegistry,
    Counter,
    Gauge,
    Histogram,
    generate_latest,
)

from dispatch import bus, records, urls

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

log = logging.getLogger("boce.center")

CONFIG = web.AppKey("config", object)
GATHERER = web.AppKey("gatherer", object)
METRICS = web.AppKey("metrics", object)
BUSY = web.AppKey("busy", set)


class Metrics:
    def __init__(self):
        self.last_answer = {}  # node id -> when it last answered (monotonic)
        self.registry = CollectorRegistry()
        self.requests = Counter("boce_panel_requests", "Panel requests by outcome", ["outcome"],
                                registry=self.registry)
        self.answer_seconds = Histogram(
            "boce_node_answer_seconds", "Time from publishing a probe to the node's answer",
            ["node"], registry=self.registry,
            buckets=(0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 20, 40))
        self.not_responding = Counter("boce_node_not_responding", "Probes a node did not answer",
                                      ["node"], registry=self.registry)
        seen = Gauge("boce_agents_seen", "Nodes that answered within the last %d s" % SEEN_SECONDS,
                     registry=self.registry)
        seen.set_function(lambda: sum(1 for t in self.last_answer.values()
                                      if time.monotonic() - t <= SEEN_SECONDS))


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
        try:
            if len(message.data) > MAX_ANSWER_BYTES:
                raise records.BadRecord("the answer is %d bytes" % len(message.data))
            record = records.checked_record(json.loads(message.data), node.name)
        except (ValueError, UnicodeDecodeError) as error:
            # A bad answer does not end the wait: a sound one may still come.
            rejections[position] = str(error)
            log.warning("bad answer node=%s reason=%s", node.id, error)
            return
        futures[position].set_result((time.monotonic(), record))

    async def probe_all(self, url):
        """One record per configured node, in configuration order, within the deadline."""
        loop = asyncio.get_running_loop()
        nodes = self.config.nodes
        request_id = uuid.uuid4().hex
        futures = [loop.create_future() for _ in nodes]
        rejections = {}
        deadline = self.config.deadline_seconds
        started = time.monotonic()
        body = json.dumps({"id": request_id, "url": url,
                           "deadline": time.time() + deadline}).encode()
        self.pending[request_id] = (futures, rejections)
        try:
            attempt = 0
            while True:
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
        return [self._record(node, future, started, rejections.get(index))
                for index, (node, future) in enumerate(zip(nodes, futures))]

    def _record(self, node, future, started, rejection):
        if not future.done():
            if rejection:
                log.info("not responding node=%s last-refused-answer=%s", node.id, rejection)
            self.metrics.not_responding.labels(node.id).inc()
            return records.not_responding(node.name)
        arrived, record = future.result()
        self.last_answer[node.id] = arrived
        self.metrics.answer_seconds.labels(node.id).observe(arrived - started)
        return record


def _json(status, value):
    return web.json_response(value, status=status,
                             dumps=lambda v: json.dumps(v, ensure_ascii=False))


def _refuse(request, status, outcome, serverid, message):
    request.app[METRICS].requests.labels(outcome).inc()
    log.info("refused serverid=%s outcome=%s", serverid[:80] or "-", outcome)
    return _json(status, {"status": False, "msg": message})


async def _read_form(request):
    try:
        form = await asyncio.wait_for(request.post(), BODY_SECONDS)
    except asyncio.TimeoutError:
        raise web.HTTPRequestTimeout(text="the request body did not arrive in time") from None
    serverid, url = form.get("serverid", ""), form.get("url", "")
    if not isinstance(serverid, str) or not isinstance(url, str):
        raise web.HTTPBadRequest(text="serverid and url are form fields")
    return serverid, url


async def boce(request):
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
    busy.add(serverid)
    try:
        started = time.monotonic()
        answer = await app[GATHERER].probe_all(url)
    finally:
        busy.discard(serverid)
    app[METRICS].requests.labels("answered").inc()
    log.info("panel serverid=%s url=%s seconds=%.3f nodes=%s", serverid, url,
             time.monotonic() - started,
             " ".join("%s:%s/%sms" % (r["node"], r["http_code"], r["total_time"])
                      if r["isp"] != records.NOT_RESPONDING else "%s:not-responding" % r["node"]
                      for r in answer))
    return _json(200, answer)


async def healthz(request):
    gatherer = request.app.get(GATHERER)
    connected = gatherer is not None and gatherer.nc.is_connected
    now = time.monotonic()
    agents = {node.name: (round(now - gatherer.last_answer[node.id], 1)
                          if gatherer and node.id in gatherer.last_answer else None)
              for node in request.app[CONFIG].nodes}
    return _json(200 if connected else 503,
                 {"nats": "connected" if connected else "disconnected",
                  "server": gatherer.nc.connected_url.netloc if connected else None,
                  "seconds_since_last_answer": agents})


async def metrics(request):
    return web.Response(body=generate_latest(request.app[METRICS].registry),
                        headers={"Content-Type": CONTENT_TYPE_LATEST})


async def _nats_connection(app):
    async def report(error):
        log.warning("nats error=%s", error)

    async def disconnected():
        log.warning("nats disconnected")

    async def reconnected():
        log.info("nats reconnected server=%s", connection.connected_url.netloc)

    config = app[CONFIG]
    connection = await bus.connect(config.nats, "boce-center", error_cb=report,
                               disconnected_cb=disconnected, reconnected_cb=reconnected)
    gatherer = Gatherer(connection, config, app[METRICS])
    await gatherer.start()
    app[GATHERER] = gatherer
    log.info("nats connected server=%s", connection.connected_url.netloc)
    yield
    await connection.drain()


def make_app(config):
    app = web.Application(client_max_size=MAX_FORM_BYTES)
    app[CONFIG] = config
    app[BUSY] = set()
    app[METRICS] = Metrics()
    app.cleanup_ctx.append(_nats_connection)
    app.router.add_post(PATH, boce)
    app.router.add_get("/healthz", healthz)
    app.router.add_get("/metrics", metrics)
    return app


def raise_open_file_limit():
    """As many open connections as the system lets this process have: idle clients must not
    run the center out of file descriptors long before memory."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def run(config, host, port, ready=None):
    """Serves until SIGTERM or SIGINT; then takes no new panel, answers those in flight and
    exits."""
    raise_open_file_limit()
    web.run_app(make_app(config), host=host, port=port, backlog=BACKLOG,
                shutdown_timeout=config.deadline_seconds + 1, keepalive_timeout=HEADER_SECONDS,
                access_log=None, print=ready, handle_signals=True)
