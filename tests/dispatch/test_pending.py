"""The request ids an agent knows, each until it expires."""

from hypothesis import given
from hypothesis import strategies as st

from boce_dispatch.agent.pending import PendingRequests


@given(st.lists(st.one_of(
    st.tuples(st.just("request"), st.sampled_from("abcd"), st.integers(0, 20)),
    st.tuples(st.just("time passes"), st.integers(0, 8)))))
def test_an_agent_knows_each_request_id_until_it_expires_only(steps):
    pending, known, now = PendingRequests(), {}, 0
    for step in steps:
        if step[0] == "request":  # as the agent does: an id it knows is not added again
            _, request_id, budget = step
            pending.forget_before(now)
            known = {i: d for i, d in known.items() if d > now}
            if pending.get(request_id) is None:
                pending.add(request_id, now + budget)
                known[request_id] = now + budget
        else:
            now += step[1]
        pending.forget_before(now)
        known = {i: d for i, d in known.items() if d > now}
        assert {i: e.expires_at for i, e in pending.by_id.items()} == known
        assert all(expires_at > now for expires_at, _ in pending.expiries)
