"""The wire contract as the center and the agents use it: the probe request made by the center,
read by the agent, and refused with a reason when it is malformed or comes from an older center;
a node's subject."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from boce_dispatch import contract
from boce_dispatch.agent import service as agent_service


@pytest.mark.parametrize("data, reason", [
    (b"x" * (contract.MAX_REQUEST_BYTES + 1), "larger than"), (b"\xff", "not JSON"),
    (b"[]", "not a record"), (b'{"url": "http://x/", "deadline": 1}', "valid id"),
    (b'{"id": "a", "url": "http://x/", "deadline": true}', "budget"),
    (b'{"id": "a", "url": "http://x/", "budget": NaN}', "budget"),
    (b'{"id": "a", "url": "http://x/", "budget": 1e9}', "budget"),
    (b'{"id": "a", "url": "http://x/", "deadline": 1%s}' % (b"0" * 400), "budget"),
    (b"[" * 8000, "not JSON"),
    (b'{"id": "a", "url": "ftp://x/", "budget": 1}', "only http"),
    # What a center before the budget sent: an instant of its clock, refused with the reason.
    (b'{"id": "a", "url": "http://x/", "deadline": 1765000000.5}', "older than this agent"),
])
def test_malformed_probe_requests_are_refused_with_a_reason(data, reason):
    with pytest.raises(contract.BadRequest, match=reason):
        agent_service.parse_request(data)


@given(st.text(min_size=1, max_size=contract.MAX_REQUEST_ID), st.text(max_size=200),
       st.floats(-1e6, contract.MAX_BUDGET_SECONDS), st.booleans())
def test_the_agent_reads_what_the_center_sends(request_id, url, budget, receipt):
    """A request the center makes is read back as it was meant: its id, its URL untouched, its
    budget to the millisecond (a spent one as 0), whether a receipt is asked, and no wall-clock
    instant beside it. A center older than receipts asks for none."""
    sent = contract.probe_request(request_id, url, budget, receipt)
    fields = {name for name, _ in contract._WIRE["request_fields"]}
    assert set(json.loads(sent)) == (fields if receipt else fields - {"receipt"})
    read = contract.read_probe_request(sent)
    assert (read.id, read.url, read.receipt) == (request_id, url, receipt)
    assert read.budget == pytest.approx(max(budget, 0), abs=0.0005)


@given(st.one_of(st.text(min_size=1, max_size=contract.MAX_REQUEST_ID).map(
    lambda request_id: (contract.receipt(request_id), ("taken", request_id))),
    st.text(min_size=1, max_size=contract.MAX_REQUEST_ID).map(
        lambda request_id: (contract.ask_again(request_id), ("ask_again", request_id))),
    st.one_of(st.none(), st.text(max_size=300)).map(
        lambda why: (contract.beat(why), ("beat", why)))))
def test_the_center_reads_what_an_agent_says_of_itself(sent_and_meant):
    sent, meant = sent_and_meant
    assert contract.read_status(sent) == meant


@pytest.mark.parametrize("data", [
    b"", b"\xff", b"[]", b'{"taken": 5}', b'{"taken": ""}', b'{"beat": true}', b"{}",
    b'{"ask_again": null}', b'{"ask_again": ["x"]}',
    b'{"taken": "%s"}' % (b"x" * (contract.MAX_REQUEST_ID + 1)), b"[" * 8000,
])
def test_a_status_that_is_no_beat_or_receipt_says_nothing(data):
    assert contract.read_status(data) is None


@pytest.mark.parametrize("node_id, valid", [
    ("bj-telecom", True), ("sh_unicom2", True), ("x" * 64, True), ("x" * 65, False),
    ("bad id", False), ("bj.telecom", False), ("bj\n", False), ("", False), ("北京", False),
    ("a*", False)])
def test_a_node_id_is_one_token_of_its_subject(node_id, valid):
    assert bool(contract.NODE_ID.fullmatch(node_id)) is valid
    if valid:
        subject = contract.node_subject(node_id)
        assert subject.startswith(contract.SUBJECT_PREFIX + ".") and subject.count(".") == \
            contract.SUBJECT_PREFIX.count(".") + 1
