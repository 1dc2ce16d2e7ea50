"""An agent's answer read and checked in one pass of msgspec's decoder, for the plain record
(every field as an agent writes it, nothing to refuse): decoding it with orjson and checking it
field by field in Python was about a quarter of the center's CPU per answer (make bench-scale).

The decoder takes an answer only when records.checked_record would pass on every field of it
as it is, with no refusal; whatever else (a field to refuse or to make canonical, an answer cut
off or in error, no record at all) is left to checked_record, which says what is wrong. A
property test holds the two to the same records."""

import operator
from typing import Annotated, Literal

import msgspec

from boce_dispatch import records

# The answers checked_record reads otherwise: present with any value, they send it there.
_SENT_ELSEWHERE = ("error", "inconclusive")
# A field taken as any JSON, then dropped or overwritten: those above, and what an agent says
# of its node (the center says which node it is).
_ANY = msgspec.Raw | msgspec.UnsetType, msgspec.UNSET


def _number(limit):
    """What checked_record passes on as it is for a measure: an int or float from 0 to below
    `limit` (JSON has neither NaN nor infinities)."""
    return Annotated[int, msgspec.Meta(ge=0, lt=limit)] | Annotated[
        float, msgspec.Meta(ge=0, lt=limit)]


def _explaining(empty, kind, accepted, most):
    """What checked_record's quick test passes for an explaining field (its text also printable,
    which plain_record tests)."""
    if accepted:
        return Literal[tuple(accepted)]
    if kind is str:
        return Annotated[str, msgspec.Meta(max_length=most)]
    return Annotated[int, msgspec.Meta(ge=0, le=most)]


def _answer_type():
    """The record's fields in the order checked_record builds them, then those sent elsewhere."""
    fields = [("isp", *_ANY),
              ("primary_ip", Annotated[str, msgspec.Meta(max_length=records.MAX_ADDRESS_LENGTH)]),
              ("http_code", Annotated[int, msgspec.Meta(ge=0, le=999)])]
    fields += [(key, _number(records.LIMITS[key])) for key in records.MEASURES]
    fields += [(key, _number(records.LIMITS[key]), 0) for key in records.EXTRA_TIMINGS]
    fields += [(key, _explaining(empty, kind, accepted, most), empty)
               for key, empty, kind, accepted, most in records.EXPLAINING_CHECKS]
    fields += [(key, *_ANY) for key in ("node", *_SENT_ELSEWHERE)]
    return msgspec.defstruct("Answer", fields, kw_only=True, gc=False)


_decoder = msgspec.json.Decoder(_answer_type())
_asdict = msgspec.structs.asdict
_sent_elsewhere = operator.attrgetter(*_SENT_ELSEWHERE)
_texts = operator.attrgetter(*(key for key, _, kind, accepted, _ in records.EXPLAINING_CHECKS
                               if kind is str and not accepted))
# Each TLS field's empty value is its only false one.
_tls_facts = operator.attrgetter(*records.TLS_FIELDS)


def plain_record(data, node_name, https):
    """The record checked_record would build for `node_name` from the answer `data` (JSON),
    when it is a plain one; else None."""
    try:
        answer = _decoder.decode(data)
    except msgspec.MsgspecError:
        return None
    if _sent_elsewhere(answer) != (msgspec.UNSET,) * len(_SENT_ELSEWHERE):
        return None
    address = answer.primary_ip
    if address and records.canonical_address(address) != address:
        return None
    for text in _texts(answer):
        if not text.isprintable():
            return None
    if not https and any(_tls_facts(answer)):
        return None
    record = _asdict(answer)
    for key in _SENT_ELSEWHERE:
        del record[key]
    record["isp"] = record["node"] = node_name
    for key in records.EXTRA_TIMINGS:  # as checked_record passes on a 0.0
        record[key] = record[key] or 0
    return record
