"""The panels' request: the form the plug-in posts, its checks and refusals, and the answer."""

import asyncio
import logging
import time
import urllib.parse

from aiohttp import web

from boce_dispatch import records, urls
from boce_dispatch.center import front
from boce_dispatch.center.answers import json_answer
from boce_dispatch.center.state import BUSY, CONFIG, GUARD, LIMIT, LINK, METRICS, STOPPING
from boce_dispatch.logtext import shown

BODY_SECONDS = 10

log = logging.getLogger("boce.center")


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
    request.app[METRICS].count(outcome)
    address = client_address(request)
    request.app[GUARD].throttled.warning(outcome, front.client_of(address), "refused address=%s "
                                         "outcome=%s " + message, shown(address), outcome, *args)


def _refuse(request, status, outcome, serverid, message):
    _refusal(request, outcome, "serverid=%s", shown(serverid))
    return json_answer(status, {"status": False, "msg": message})


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
    """The plug-in's probe request, posted to the panel path."""
    app = request.app
    config, busy = app[CONFIG], app[BUSY]
    serverid, url = await _read_form(request)
    if serverid not in config.allowed_servers:
        return _refuse(request, 403, "unknown_server", serverid, "unknown server")
    if app[STOPPING].is_set():
        return _refuse(request, 503, "stopping", serverid, "the center is stopping")
    if serverid in busy:
        return _refuse(request, 429, "busy_server", serverid,
                       "a probe of this server is under way")
    if len(busy) >= app[LIMIT]:
        return _refuse(request, 503, "over_limit", serverid, "too many probes at once")
    try:
        url = urls.browser_url(url)
    except urls.BadUrl as error:
        return _refuse(request, 400, "bad_url", serverid, str(error))
    link = app[LINK]
    if not link.connected:
        return _refuse(request, 503, "no_nats", serverid, "the probe network is not connected")
    busy.add(serverid)
    try:
        started = time.monotonic()
        answer, reasons = await link.gatherer.probe_all(url)
    finally:
        busy.discard(serverid)
    app[METRICS].count("answered")
    app[METRICS].panel_seconds.observe(time.monotonic() - started)
    if log.isEnabledFor(logging.INFO):  # a line per node to escape: only for a line written
        log.info("panel address=%s serverid=%s url=%s seconds=%.3f nodes=%s",
                 shown(client_address(request)), shown(serverid), shown(url, 200),
                 time.monotonic() - started,
                 " ".join(_outcome(record, reason)
                          for record, reason in zip(answer, reasons, strict=True)))
    return json_answer(200, answer)


def _outcome(record, reason):
    """One node's outcome in the panel's log line: node:code/time, and why when code is 0."""
    why = "(%s)" % shown(reason) if reason is not None else ""
    if record["isp"] == records.NOT_RESPONDING:
        return "%s:not-responding%s" % (record["node"], why)
    return "%s:%s/%sms%s" % (record["node"], record["http_code"], record["total_time"], why)
