"""What operators ask the center: /livez, /readyz, /healthz and /metrics."""

import time

from prometheus_client.aiohttp import make_aiohttp_handler

from boce_dispatch.center.answers import json_answer
from boce_dispatch.center.metrics import SEEN_SECONDS
from boce_dispatch.center.state import CENTER_APP, CONFIG, LINK, METRICS, STOPPING
from boce_dispatch.logtext import shown


def _center(request):
    """The panels' app, whose state the operators' routes report."""
    return request.app.get(CENTER_APP, request.app)


async def livez(request):
    return json_answer(200, {"live": True})


async def readyz(request):
    """200 when the center can answer panels, else 503 with the first reason; ?verbose lists
    every check ("ok" or why)."""
    center = _center(request)
    checks, cut_off = await _readiness(center)
    failed = [why for why in checks.values() if why != "ok"]
    answer = {"ready": not failed}
    if failed:
        answer["reason"] = failed[0]
    if cut_off:
        answer["cut_off"] = cut_off
    if "verbose" in request.query:
        answer["checks"] = checks
    return json_answer(503 if failed else 200, answer)


async def _readiness(center):
    """Each check of /readyz, in order, as "ok" or why it fails; and the cut-off nodes."""
    link = center[LINK]
    gatherer = link.gatherer
    checks = {"draining": "stopping: no new panel is taken" if center[STOPPING].is_set()
              else "ok"}
    if gatherer is None or not gatherer.nc.is_connected:
        checks["nats"] = "NATS is not connected" + (
            ": " + link.trouble.last if link.trouble.last else "")
        return checks, {}
    checks["nats"] = "ok"
    checks["nodes"] = "ok" if await gatherer.any_node_present() else "no node answers"
    cut_off = _cut_off_nodes(gatherer.metrics)
    every_node = cut_off and len(cut_off) == len(center[CONFIG].nodes)
    checks["cut_off"] = "every node is cut off" if every_node else "ok"
    return checks, cut_off


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
    last_answer_at = app[METRICS].last_answer_at
    since = {node.id: (round(now - last_answer_at[node.id], 1)
                       if node.id in last_answer_at else None)
             for node in app[CONFIG].nodes}
    return json_answer(200 if connected else 503, {
        "nats": "connected" if connected else "disconnected",
        "server": gatherer.nc.connected_url.netloc if connected else None,
        # by id, as /metrics labels them, with each node's name
        "nodes": {node.id: {"name": node.name, "seconds_since_last_answer": since[node.id]}
                  for node in app[CONFIG].nodes}})


def add_routes(app, metrics):
    app.router.add_get("/livez", livez)
    app.router.add_get("/readyz", readyz)
    app.router.add_get("/healthz", healthz)
    app.router.add_get("/metrics", make_aiohttp_handler(metrics.registry))
