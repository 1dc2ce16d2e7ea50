"""The records the center passes on: checked field by field, and an agent's words as text."""

import json

import orjson
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from boce_dispatch import records
from boce_dispatch.center.plain_records import plain_record

GOOD = {"primary_ip": "1.2.3.4", "http_code": 200, "total_time": 12.5, "namelookup_time": 1,
        "starttransfer_time": 10, "size_download": 100, "speed_download": 8000.5,
        "connect_time": 2, "appconnect_time": 0}


@pytest.mark.parametrize("change, reason", [
    ({}, None), ({"extra": "<b>dropped</b>", "isp": "spoofed"}, None),
    ({"http_code": "<b>x</b>"}, "http_code"), ({"http_code": True}, "http_code"),
    ({"http_code": 1000}, "http_code"), ({"total_time": "NaN"}, "total_time"),
    ({"total_time": float("nan")}, "total_time"), ({"speed_download": float("inf")}, "speed"),
    ({"size_download": -1}, "size_download"), ({"primary_ip": 5}, "primary_ip"),
    ({"primary_ip": "x" * 65}, None), ({"connect_time": -2}, "connect_time"),
    ({"error": "busy"}, "refused"),
    ({"reason": 5}, "reason is not text"), ({"cert_expiry": "soon"}, "cert_expiry is not a n"),
    ({"cert_expiry": True}, "cert_expiry is not a n"), ({"cert_expiry": 1.5}, "cert_expiry is"),
    ({"cert_expiry": -1}, "cert_expiry is not a time"), ({"cert_expiry": 10 ** 12}, "not a time"),
    ({"cert_issuer": None}, "cert_issuer is not text"), ({"ip_version": "4"}, "ip_version"),
    ({"tls_version": 1.3}, "tls_version is not text"),
])
def test_agent_records_are_checked_before_they_reach_a_panel(change, reason):
    answer = dict(GOOD, **change)
    if reason is None:
        record = records.checked_record(answer, "北京电信")
        assert list(record) == list(records.FIELDS + records.EXTRA_TIMINGS) + list(
            records.EXPLAINING) + ["node"]
        assert list(record) == list(records.not_responding("北京电信"))  # the same keys
        assert record["isp"] == record["node"] == "北京电信"
        return
    with pytest.raises(records.BadRecord, match=reason):
        records.checked_record(answer, "北京电信")


EXPLAINED = {"reason": "tls: certificate has expired", "cert_expiry": 1797624693,
             "cert_issuer": "Let's Encrypt", "tls_version": "TLSv1.3", "http_version": "2",
             "ip_version": 6, "cert_depth": 1, "cert_subject": "R3"}
NO_TLS = {key: records.EXPLAINING[key] for key in records.TLS_FIELDS}


HTTP = {"https": False}  # the fetch was of an http URL: no TLS fact can be true


@pytest.mark.parametrize("change, passed_on, refused", [
    ({}, EXPLAINED, False),
    (HTTP, dict(EXPLAINED, **NO_TLS), True),
    ({**HTTP, **NO_TLS}, dict(EXPLAINED, **NO_TLS), False),
    ({"cert_depth": 17}, None, "cert_depth is not a depth"),
    ({"cert_depth": "1"}, None, "cert_depth is not a number"),
    ({"cert_subject": "x\u2028y"}, dict(EXPLAINED, cert_subject=""), True),
    ({"reason": "x" * (records.MAX_REASON_LENGTH + 1)}, dict(EXPLAINED, reason=""), True),
    ({"reason": "dns: \x1b[31m"}, dict(EXPLAINED, reason=""), True),
    ({"cert_issuer": "CA\nforged: line"}, dict(EXPLAINED, cert_issuer=""), True),
    ({"tls_version": "TLSv9"}, dict(EXPLAINED, tls_version=""), True),
    ({"http_version": "1.1 <b>"}, dict(EXPLAINED, http_version=""), True),
    ({"ip_version": 5}, dict(EXPLAINED, ip_version=0), True),
    # An agent older than these fields: its records carry them empty.
    ({key: None for key in EXPLAINED}, records.EXPLAINING, False),
])
def test_what_a_record_explains_is_checked_by_type_length_characters_and_range(
        change, passed_on, refused):
    change = dict(change)
    https = change.pop("https", True)
    answer = {**GOOD, **EXPLAINED, **change}
    for key in [key for key, value in change.items() if value is None]:
        del answer[key]
    refusals = []
    if passed_on is None:  # refused as a whole
        with pytest.raises(records.BadRecord, match=refused):
            records.checked_record(answer, "北京电信", refusals, https)
        return
    record = records.checked_record(answer, "北京电信", refusals, https)
    assert {key: record[key] for key in records.EXPLAINING} == passed_on
    assert bool(refusals) == refused and all("北京电信" in line for line in refusals)
    assert all(line.isprintable() for line in refusals)


# What an agent may send as an explaining field: what it should, near misses, and nonsense.
EXPLAINING_VALUES = st.one_of(
    st.sampled_from(["", 0, 4, 6, "1.1", "2", "TLSv1.3", "TLSv9", 16, 17, -1, True, 1.0,
                     records.MAX_UNIX_SECONDS, records.MAX_UNIX_SECONDS + 1, None,
                     "x" * records.MAX_ISSUER_LENGTH, "x" * (records.MAX_REASON_LENGTH + 1)]),
    st.text(max_size=40), st.integers(), st.floats())


@given(st.fixed_dictionaries({}, optional={key: EXPLAINING_VALUES for key in records.EXPLAINING}),
       st.booleans())
def test_a_record_passes_on_what_each_explaining_field_check_passes_on(change, https):
    """The record's quick tests take nothing that the field's full check refuses."""
    answer = dict(GOOD, **change)
    expected, refused = {}, False
    try:
        for key, empty in records.EXPLAINING.items():
            value = records._explaining(answer, key, "x", [])
            if not https and value != empty and key in records.TLS_FIELDS:
                value = empty
            expected[key] = value
    except records.BadRecord:
        refused = True
    if refused:
        with pytest.raises(records.BadRecord):
            records.checked_record(answer, "x", [], https)
        return
    record = records.checked_record(answer, "x", [], https)
    assert {key: record[key] for key in records.EXPLAINING} == expected
    assert all(type(record[key]) is type(empty) for key, empty in records.EXPLAINING.items())


def assert_read_as_checked(data, https):
    """The center's decoder builds the same record as checked_record (keys, order, values and
    their types), only when nothing is refused, and for every answer passed on as it is."""
    try:
        answer = orjson.loads(data)
        refusals = []
        checked = records.checked_record(answer, "x", refusals, https)
    except (ValueError, records.BadRecord):
        checked = None
    record = plain_record(data, "x", https)
    if record is not None:
        assert checked is not None and not refusals
        assert [(key, type(value), value) for key, value in record.items()] == \
            [(key, type(value), value) for key, value in checked.items()]
    elif checked is not None and not refusals and "inconclusive" not in answer:
        changed = [key for key, value in answer.items()
                   if key in checked and key != "isp" and (
                       type(value) is not type(checked[key]) or value != checked[key])]
        assert changed, "a plain record left to the full check"


# What an agent may send in any field (besides the explaining fields' values).
ANY_VALUE = st.one_of(EXPLAINING_VALUES, st.sampled_from(
    [-0.0, 1e300, 2 ** 64, "::FFFF:1.2.3.4", "é" * records.MAX_REASON_LENGTH, [], {}]))
ALL_KEYS = ("primary_ip", "http_code") + records.MEASURES + records.EXTRA_TIMINGS + tuple(
    records.EXPLAINING) + ("error", "inconclusive", "extra")


@given(st.dictionaries(st.sampled_from(ALL_KEYS), ANY_VALUE, max_size=3),
       st.sets(st.sampled_from(ALL_KEYS), max_size=3), st.booleans())
@example({}, set(), True)  # an agent's plain record over https
def test_the_centers_decoder_builds_what_the_check_passes_on_as_it_is(change, missing, https):
    answer = {key: value for key, value in {**GOOD, **EXPLAINED, **change}.items()
              if key not in missing}
    assert_read_as_checked(json.dumps(answer).encode(), https)


@pytest.mark.parametrize("data", [
    b'{"http_code": 200, "http_code": "x"}', b'[1]', b'"x"', b'{"http_code": 1e400}',
    b'{"ip_version": 4.0}', b'{"http_code": 200.0}', b'{"cert_depth": 1.0}',
    b'{"primary_ip": "1.2.3.4", "primary_ip": "5.6.7.8", "total_time": 1, "total_time": 2.5}',
    b'{"reason": "a\\u2028b"}', b'{"connect_time": null}', b'{"error": null}',
    b'{"total_time": 123456789012345678901234567890}', b'{"primary_ip": "::FFFF:1.2.3.4"}',
    b'{"primary_ip": "999.1.1.1"}', b'{"total_time": %d}' % records.MAX_MILLISECONDS,
    b'{"size_download": %d}' % records.MAX_COUNT, b'{"connect_time": 0.0}',
    b'{"reason": "%s"}' % (b"x" * (records.MAX_REASON_LENGTH + 1)),
    b'{"cert_issuer": "%s"}' % ("é".encode() * (records.MAX_ISSUER_LENGTH + 1)),
])
def test_the_centers_decoder_reads_odd_json_and_edge_values_as_the_check_does(data):
    plain = orjson.dumps({**GOOD, **EXPLAINED})[:-1]
    assert_read_as_checked(plain + b"," + data[1:] if data.startswith(b"{") else data, True)


@pytest.mark.parametrize("answer, reason", [
    ({"inconclusive": "dns: x; no check target answers"}, "dns: x; no check target answers"),
    ({"inconclusive": ["not", "text"]}, "['not', 'text']"),
    ({"inconclusive": "x" * 1000}, "x" * records.MAX_REASON_LENGTH),
    ({"http_code": 0, "reason": "dns: x"}, None),
    (["inconclusive"], None),
])
def test_the_center_reads_an_inconclusive_answer_as_text(answer, reason):
    assert records.cut_off_reason(answer) == reason
