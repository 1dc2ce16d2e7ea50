"""The wire contract between the plug-in, the center and the agents, as read from wire.json,
which the plug-in's build reads too: the panel's path and how long the plug-in waits, a node's
subject, the probe request, the record's fields and the anomaly rule. Nothing here is written a
second time anywhere in the network."""

import json
import math
import os
import re
from typing import NamedTuple

# Read beside this file: the record's checks are used by the plug-in's tests on every Python the
# panel may ship, older ones than the network runs on included.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "wire.json"),
          encoding="utf-8") as _file:
    _WIRE = json.load(_file)

PANEL_PATH = _WIRE["panel_path"]
# How long the plug-in waits for the center's answer: a probe ends well inside it, and an agent's
# permission to answer a probe lasts as long.
PLUGIN_TIMEOUT_SECONDS = _WIRE["plugin_timeout_seconds"]
# The longest an agent spends on one fetch, whatever the budget.
FETCH_SECONDS = float(_WIRE["fetch_seconds"])
SUBJECT_PREFIX = _WIRE["subject_prefix"]
# Where an agent tells the center of itself: that it is there (a beat every BEAT_SECONDS, with
# whether it is cut off) and which probes it has taken (receipts).
STATUS_PREFIX = _WIRE["status_prefix"]
BEAT_SECONDS = float(_WIRE["beat_seconds"])
# An agent's receipt goes out when its answer has not within this time of its taking the probe:
# an answer that quick is the receipt, and spares the center a message (about a third of its
# work per answer). A center waits for either well beyond it.
RECEIPT_GRACE_SECONDS = float(_WIRE["receipt_grace_seconds"])
# A node id becomes a token of its NATS subject: the whole id matches (NODE_ID.fullmatch).
NODE_ID = re.compile(_WIRE["node_id_pattern"])
NODE_ID_RULE = "a node's id is 1 to 64 letters, digits, '-' or '_'"
# The record's fields the plug-in reads, in the order it stores them; the agents' extra timings.
RECORD_FIELDS = tuple(name for name, _ in _WIRE["record_fields"])
FIELD_KINDS = dict(_WIRE["record_fields"] + _WIRE["extra_timing_fields"] +
                   _WIRE["explaining_fields"])
EXTRA_TIMING_FIELDS = tuple(name for name, _ in _WIRE["extra_timing_fields"])
# What an agent says of a fetch beyond its measures: why it got no HTTP answer, the server
# certificate's expiry and issuer, the TLS and HTTP versions and the IP version it used.
EXPLAINING_FIELDS = tuple(name for name, _ in _WIRE["explaining_fields"])
# The HTTP codes the plug-in takes as a working site, and how many anomalous nodes a run may have
# before the plug-in reports.
ACCEPTABLE_CODES = tuple(_WIRE["acceptable_codes"])
REPORT_THRESHOLD = _WIRE["report_threshold"]
NOT_RESPONDING = _WIRE["not_responding"]  # the isp of a node that gave no measurement

MAX_REQUEST_BYTES = 8 * 1024
MAX_REQUEST_ID = 64
MAX_BUDGET_SECONDS = 120.0  # beyond any center's deadline


def node_subject(node_id, prefix=SUBJECT_PREFIX):
    """The NATS subject on which the node `node_id` takes its probes."""
    return "%s.%s" % (prefix, node_id)


def status_subject(node_id, prefix=STATUS_PREFIX):
    """The NATS subject on which the agents of `node_id` tell the center of themselves."""
    return "%s.%s" % (prefix, node_id)


def beat(cut_off):
    """An agent's beat: it is there, and why it is cut off itself (None: it is not)."""
    return json.dumps({"beat": {"cut_off": cut_off}}).encode()


def receipt(request_id):
    """An agent's receipt: it has taken the probe `request_id` and fetches it now."""
    return json.dumps({"taken": request_id}).encode()


def ask_again(request_id):
    """An agent back on NATS after losing its server: it can no longer answer the probe
    `request_id` it took before (a NATS server lets a connection answer only the requests it
    delivered to that connection), so the center is to send it again."""
    return json.dumps({"ask_again": request_id}).encode()


def read_status(data, loads=json.loads):
    """("beat", why cut off or None), ("taken", request id) or ("ask_again", request id) of an
    agent's status message; None for anything else. Never raises: a node's status is advice, not a record. `loads`:
    a JSON decoder raising ValueError (the center's is orjson's, as every node sends these)."""
    if len(data) > MAX_REQUEST_BYTES:
        return None
    try:
        status = loads(data)
    except (ValueError, RecursionError):
        return None
    if not isinstance(status, dict):
        return None
    for kind in ("taken", "ask_again"):
        request_id = status.get(kind)
        if isinstance(request_id, str) and 0 < len(request_id) <= MAX_REQUEST_ID:
            return kind, request_id
    beat = status.get("beat")
    if isinstance(beat, dict):
        cut_off = beat.get("cut_off")
        return "beat", cut_off if isinstance(cut_off, str) else None
    return None


class BadRequest(ValueError):
    """A probe request an agent cannot serve; the message says why."""


PING = json.dumps({"ping": True}).encode()


def probe_request(request_id, url, budget_seconds, receipt=True):
    """A probe request: the seconds the agent has, counted from when it receives the request,
    so that no two clocks need agree; `receipt` asks the agent for a receipt (an agent older
    than receipts ignores it)."""
    request = {"id": request_id, "url": url, "budget": round(max(budget_seconds, 0), 3)}
    if receipt:
        request["receipt"] = True
    return json.dumps(request).encode()


class ProbeRequest(NamedTuple):
    """A probe request as sent: its id, URL (not yet checked), the budget in seconds and whether
    a receipt is asked for."""

    id: str
    url: object
    budget: float
    receipt: bool


def read_probe_request(data):
    """The ProbeRequest of a probe request as sent; None for a ping. Raises BadRequest."""
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
    request_id = request.get("id")
    if not isinstance(request_id, str) or not 0 < len(request_id) <= MAX_REQUEST_ID:
        raise BadRequest("request without a valid id")
    budget = request.get("budget")
    if budget is None and "deadline" in request:
        raise BadRequest("request without a budget: its center is older than this agent "
                         "(update the center)")
    if isinstance(budget, bool) or not isinstance(budget, (int, float)) or not (
            -math.inf < budget <= MAX_BUDGET_SECONDS):
        raise BadRequest("request without a budget of at most %g s" % MAX_BUDGET_SECONDS)
    return ProbeRequest(request_id, request.get("url"), float(budget),
                        request.get("receipt") is True)
