"""What operators ask the center: /livez, /readyz, /healthz and /metrics."""

from prometheus_client.aiohttp import make_aiohttp_handler

from boce_dispatch.center.answers import json_answer
from boce_dispatch.center.state import CENTER_APP, CONFIG, HEALTH, LINK, STOPPING


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
    checks = {"draining": "stopping: no new panel is taken" if center[STOPPING].is_set()
              else "ok"}
    if not link.connected:
        checks["nats"] = "NATS is not connected" + (
            ": " + link.trouble.last if link.trouble.last else "")
        return checks, {}
    checks["nats"] = "ok"
    checks["nodes"] = "ok" if await link.gatherer.any_node_present() else "no node answers"
    cut_off = center[HEALTH].cut_off()
    every_node = cut_off and len(cut_off) == len(center[CONFIG].nodes)
    checks["cut_off"] = "every node is cut off" if every_node else "ok"
    return checks, cut_off


async def healthz(request):
    app = _center(request)
    link, health = app[LINK], app[HEALTH]
    now = health.clock()

    def since(moment):
        return round(now - moment, 1) if moment is not None else None
    return json_answer(200 if link.connected else 503, {
        "nats": "connected" if link.connected else "disconnected",
        "server": link.server,
        # "learning" for the first beats after the link came up: no node counts as away yet
        "presence": "known" if health.presence_known() else "learning",
        # by id, as /metrics labels them, with each node's name
        "nodes": {node.id: {"name": node.name, "present": health.present(node),
                            "away": health.away(node),
                            "seconds_since_last_beat": since(node.beat_at),
                            "seconds_since_last_answer": since(node.answer_at)}
                  for node in health.nodes}})


def add_routes(app, metrics):
    app.router.add_get("/livez", livez)
    app.router.add_get("/readyz", readyz)
    app.router.add_get("/healthz", healthz)
    app.router.add_get("/metrics", make_aiohttp_handler(metrics.registry))
