"""The probe result record, as the plug-in reads it, and the check the center applies to every
record an agent sends before it passes it on to a panel."""

import math

NOT_RESPONDING = "节点未响应"  # the node gave no measurement at all

# The fields the plug-in reads, in the order it stores them; the agents' extra timings follow.
FIELDS = ("isp", "primary_ip", "http_code", "total_time", "namelookup_time",
          "starttransfer_time", "size_download", "speed_download")
MEASURES = ("total_time", "namelookup_time", "starttransfer_time", "size_download",
            "speed_download")
EXTRA_TIMINGS = ("connect_time", "appconnect_time")
MAX_ADDRESS_LENGTH = 64  # the longest IPv6 text with a zone is well below this


class BadRecord(ValueError):
    """An agent's answer that is no probe result record; the message says why."""


def empty_record(isp):
    """A record with nothing measured: no address, no code, no time, no bytes."""
    return {"isp": isp, "primary_ip": "", "http_code": 0, "total_time": 0,
            "namelookup_time": 0, "starttransfer_time": 0, "size_download": 0,
            "speed_download": 0}


def not_responding(node_name):
    """The record of a node that gave no measurement; `node` says which one it was."""
    return dict(empty_record(NOT_RESPONDING), node=node_name)


def _measure(answer, key, required=True):
    value = answer.get(key)
    if value is None and not required:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BadRecord("%s is not a number" % key)
    if not math.isfinite(value) or value < 0:
        raise BadRecord("%s is not a finite non-negative number" % key)
    return value


def checked_record(answer, node_name):
    """The record to hand on for `node_name`, built only from the checked fields of an agent's
    answer; anything else the agent sent is dropped. Raises BadRecord."""
    if not isinstance(answer, dict):
        raise BadRecord("the answer is not a record")
    if "error" in answer:
        raise BadRecord("the agent refused: %s" % str(answer["error"])[:200])
    address = answer.get("primary_ip")
    if not isinstance(address, str) or len(address) > MAX_ADDRESS_LENGTH:
        raise BadRecord("primary_ip is not an address text")
    code = answer.get("http_code")
    if isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 999:
        raise BadRecord("http_code is not an HTTP status")
    record = {"isp": node_name, "primary_ip": address, "http_code": code}
    for key in MEASURES:
        record[key] = _measure(answer, key)
    for key in EXTRA_TIMINGS:
        value = _measure(answer, key, required=False)
        if value is not None:
            record[key] = value
    record["node"] = node_name
    return record
