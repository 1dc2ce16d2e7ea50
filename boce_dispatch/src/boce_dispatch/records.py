"""The probe result record, as the plug-in reads it, and the check the center applies to every
record an agent sends before it passes it on to a panel; how the plug-in judges a record and
the row it stores for each run. The record's fields and the anomaly rule come from the wire
contract (contract.py), which the plug-in's build reads as well."""

import functools
import ipaddress
import math

from boce_dispatch import contract
from boce_dispatch.logtext import shown

NOT_RESPONDING = contract.NOT_RESPONDING  # the node gave no measurement at all

# The fields the plug-in reads, in the order it stores them; the agents' extra timings follow.
FIELDS = contract.RECORD_FIELDS
MEASURES = tuple(f for f in FIELDS if contract.FIELD_KINDS[f] in ("milliseconds", "count"))
EXTRA_TIMINGS = contract.EXTRA_TIMING_FIELDS
# What a record says beyond its measures (contract.EXPLAINING_FIELDS), each with the value it
# has when there is nothing to say: a fetch that got an answer has no reason, one over http no
# certificate, one that never connected no versions.
_NOTHING_TO_SAY = {"text": "", "unix_seconds": 0, "tls_version": "", "http_version": "",
                   "ip_version": 0, "chain_depth": 0}
EXPLAINING = {name: _NOTHING_TO_SAY[contract.FIELD_KINDS[name]]
              for name in contract.EXPLAINING_FIELDS}
# The HTTP codes the plug-in takes as a working site; any other code of an answering node is an
# anomaly.
ACCEPTABLE_CODES = contract.ACCEPTABLE_CODES
# The row the plug-in stores for each run, its columns in the order it inserts them.
RUN_TABLE = "boce_list"
RUN_COLUMNS = ("status", "data", "pid", "addtime")
# The longest text of an IP address (IPv6 with an IPv4 tail, written out in full); an address
# is passed on without a zone ("%eth0"), which names an interface of the agent's machine.
MAX_ADDRESS_LENGTH = 45


class BadRecord(ValueError):
    """An agent's answer that is no probe result record; the message says why."""


def empty_record(isp):
    """A record with nothing measured: no address, no code, no time, no bytes, nothing to say;
    the same keys as an agent's record."""
    return dict(dict.fromkeys(FIELDS + EXTRA_TIMINGS, 0), **EXPLAINING, isp=isp, primary_ip="")


def is_anomalous(record):
    """The plug-in's rule: a node that answered, with a code other than the acceptable ones; a
    run with more than contract.REPORT_THRESHOLD of them is reported."""
    return bool(record) and record["isp"] != NOT_RESPONDING and \
        record["http_code"] not in ACCEPTABLE_CODES


def not_responding(node_name):
    """The record of a node that gave no measurement; `node` says which one it was."""
    return dict(empty_record(NOT_RESPONDING), node=node_name)


# The largest byte count or speed passed on: every integer below it is exact as a JSON number
# in any reader. A time (milliseconds) is below a day.
MAX_COUNT = 2 ** 53
MAX_MILLISECONDS = 24 * 3600 * 1000
_TIMES = tuple(f for f, kind in contract.FIELD_KINDS.items() if kind == "milliseconds")
LIMITS = {key: MAX_MILLISECONDS if key in _TIMES else MAX_COUNT for key in MEASURES + EXTRA_TIMINGS}


def _checked_number(answer, key, required=True):
    value = answer.get(key)
    if value is None and not required:
        return None
    limit = LIMITS[key]
    kind = type(value)
    if kind is int or kind is float:  # what JSON gives: one comparison (NaN and inf fail it)
        if 0 <= value < limit:
            return value
    elif isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BadRecord("%s is not a number" % key)
    # Compared before any conversion to float: an integer of 400 digits is refused, not raised.
    elif (isinstance(value, int) or math.isfinite(value)) and 0 <= value < limit:
        return value
    raise BadRecord("%s is not a number from 0 to %d" % (key, limit))


def _address(text, node_name, refusals):
    """The agent's primary_ip as an IP address text, or "" (noted in `refusals`): at most
    MAX_ADDRESS_LENGTH characters, no zone, nothing but an address."""
    if not isinstance(text, str):
        raise BadRecord("primary_ip is not text")
    if not text:
        return ""
    address = canonical_address(text) if len(text) <= MAX_ADDRESS_LENGTH else None
    if address is None:
        refusals.append("primary_ip %s of %s is no IP address" % (shown(text), node_name))
        return ""
    return address


@functools.lru_cache(maxsize=4096)
def canonical_address(text):
    # Kept: a node reports the same few addresses probe after probe, and parsing one costs more
    # than the rest of its record's check.
    if "%" in text or not text.isprintable():  # ipaddress takes a zone of any characters
        return None
    try:
        return str(ipaddress.ip_address(text))
    except ValueError:
        return None


MAX_REASON_LENGTH = 400
MAX_ISSUER_LENGTH = 200
MAX_UNIX_SECONDS = 253402300799  # the last second of the year 9999
MAX_CHAIN_DEPTH = 16  # a server's chain is a few certificates
# The values the version fields may hold beside their empty one.
_VERSIONS = {"tls_version": ("SSLv3", "TLSv1", "TLSv1.1", "TLSv1.2", "TLSv1.3"),
             "http_version": ("1.0", "1.1", "2", "3"), "ip_version": (4, 6)}
_TEXT_LIMITS = {"reason": MAX_REASON_LENGTH, "cert_issuer": MAX_ISSUER_LENGTH,
                "cert_subject": MAX_ISSUER_LENGTH}


def _explaining(answer, key, node_name, refusals):
    """The agent's `key` (an EXPLAINING field) checked by its type, its length, its characters
    and its range; an agent too old to send it gets the empty value. A value of the right type
    that fails the rest is passed on empty, the reason noted in `refusals`."""
    empty = EXPLAINING[key]
    value = answer.get(key, empty)
    if isinstance(value, bool) or not isinstance(value, type(empty)):
        raise BadRecord("%s is not %s" % (key, "text" if isinstance(empty, str) else "a number"))
    if key == "cert_expiry":
        if not 0 <= value <= MAX_UNIX_SECONDS:
            raise BadRecord("cert_expiry is not a time from 0 to %d" % MAX_UNIX_SECONDS)
        return value
    if key == "cert_depth":
        if not 0 <= value <= MAX_CHAIN_DEPTH:
            raise BadRecord("cert_depth is not a depth from 0 to %d" % MAX_CHAIN_DEPTH)
        return value
    if value == empty or value in _VERSIONS.get(key, ()) or (
            key in _TEXT_LIMITS and len(value) <= _TEXT_LIMITS[key] and value.isprintable()):
        return value
    refusals.append("%s %s of %s refused" % (key, shown(value if isinstance(value, str)
                                                         else str(value)), node_name))
    return empty


def agent_words(value):
    """Free text an agent sent (why a fetch got no answer, why it is cut off) as text of at most
    MAX_REASON_LENGTH characters; None stays None. Never passed to a panel: wherever it is
    shown, it is shown escaped (logtext.shown)."""
    if value is None:
        return None
    return (value if isinstance(value, str) else repr(value))[:MAX_REASON_LENGTH]


def cut_off_reason(answer):
    """The agent's reason (agent_words) when its answer says it is cut off itself
    ({"inconclusive": reason}); None for any other answer."""
    if not isinstance(answer, dict) or "inconclusive" not in answer:
        return None
    return agent_words(answer["inconclusive"])


# What a record says of a TLS handshake, which only a fetch over https had.
TLS_FIELDS = ("cert_expiry", "cert_issuer", "tls_version", "cert_depth", "cert_subject")


def checked_record(answer, node_name, refusals=None, https=True):
    """The record to hand on for `node_name`, built only from the checked fields of an agent's
    answer; anything else the agent sent is dropped. A primary_ip that is no IP address is
    passed on empty, with the reason appended to `refusals`; so are TLS facts of a fetch that
    was not `https`. Raises BadRecord."""
    refusals = [] if refusals is None else refusals
    if not isinstance(answer, dict):
        raise BadRecord("the answer is not a record")
    if "error" in answer:
        raise BadRecord("the agent refused: %s" % shown(answer["error"], 200))
    address = _address(answer.get("primary_ip"), node_name, refusals)
    code = answer.get("http_code")
    if isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 999:
        raise BadRecord("http_code is not an HTTP status")
    record = {"isp": node_name, "primary_ip": address, "http_code": code}
    # Every field takes one comparison when it holds what JSON gives and is in range (or, for
    # what explains, is empty); anything else takes the full check, which says what is wrong.
    # The center checks every answer of every node: this is most of its own work per answer.
    get = answer.get
    for key, limit in _MEASURE_LIMITS:
        value = get(key)
        kind = type(value)
        record[key] = value if (kind is int or kind is float) and 0 <= value < limit else \
            _checked_number(answer, key)
    for key, limit in _EXTRA_LIMITS:  # an agent too old to measure them sends none
        value = get(key)
        kind = type(value)
        record[key] = (value or 0) if (kind is int or kind is float) and 0 <= value < limit \
            else _checked_number(answer, key, required=False) or 0
    for key, empty, kind, accepted, most in EXPLAINING_CHECKS:
        value = get(key, empty)
        if type(value) is not kind:
            passes = False
        elif accepted:
            passes = value in accepted
        elif kind is str:
            passes = len(value) <= most and value.isprintable()
        else:
            passes = 0 <= value <= most
        if not passes:  # the full check, which says what is wrong
            value = _explaining(answer, key, node_name, refusals)
        if not https and value != empty and key in TLS_FIELDS:
            refusals.append("%s of %s for an http URL refused" % (key, node_name))
            value = empty
        record[key] = value
    record["node"] = node_name
    return record


_MEASURE_LIMITS = tuple((key, LIMITS[key]) for key in MEASURES)
_EXTRA_LIMITS = tuple((key, LIMITS[key]) for key in EXTRA_TIMINGS)
# Per explaining field, what _explaining passes on as it is, in a test or two (here and in the
# center's decoder, center/plain_records.py): its empty value's type, and either the values it
# may hold or its greatest length (text) or value (a number).
_GREATEST = dict(_TEXT_LIMITS, cert_expiry=MAX_UNIX_SECONDS, cert_depth=MAX_CHAIN_DEPTH)
EXPLAINING_CHECKS = tuple(
    (key, empty, type(empty),
     frozenset(_VERSIONS[key] + (empty,)) if key in _VERSIONS else None, _GREATEST.get(key))
    for key, empty in EXPLAINING.items())
