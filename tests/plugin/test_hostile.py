"""Hostile objects: records, fields and lists whose special methods misbehave as a script says.

Whatever Python code answers, every call ends with a result or a Python exception: never a crash,
a hang or a leaked reference, and a request to stop is never swallowed."""

import json
import sys

from hypothesis import given
from hypothesis import strategies as st

import start_boce
from boce_dispatch.records import FIELDS
from tests.common import DATA
from tools.lab.light_host import make_public, make_send_mail

ACTIONS = ["honest", "honest", "flip", "true", "false", "error", "stop", "wrong type", "clear",
           "mutate", "huge", "negative"]


class Stop(BaseException):
    """A request to stop that is not an ordinary error, like KeyboardInterrupt."""


class Script:
    """The misbehaviour to come, one action per special method call."""

    def __init__(self, actions):
        self.actions = list(actions)
        self.stops = 0
        self.victims = []  # the containers that "clear" and "mutate" act on

    def next(self):
        action = self.actions.pop(0) if self.actions else "honest"
        if action == "stop":
            self.stops += 1
            raise Stop()
        if action == "error":
            raise ValueError("hostile")
        if action in ("clear", "mutate"):
            for victim in self.victims:
                victim.clear() if action == "clear" else victim.append_junk()
        return action


script = Script([])


class Untruthy:
    def __bool__(self):
        script.next()
        raise TypeError("no truth here")


def answer(honest):
    """The honest answer, or the script's lie."""
    action = script.next()
    return {"flip": not honest, "true": True, "false": False,
            "wrong type": Untruthy()}.get(action, honest)


class HostileInt(int):
    def __lt__(self, other):
        return answer(int(self) < int(other))

    def __gt__(self, other):
        return answer(int(self) > int(other))

    def __eq__(self, other):
        return answer(int(self) == other)

    __hash__ = int.__hash__

    def __format__(self, format_spec):
        action = script.next()
        return 12.5 if action == "wrong type" else format(int(self), format_spec)

    def __str__(self):
        action = script.next()
        return b"bytes" if action == "wrong type" else int.__repr__(self)


class HostileText(str):
    def __eq__(self, other):
        return answer(str(self) == other)

    __hash__ = str.__hash__

    def __str__(self):
        action = script.next()
        return 3 if action == "wrong type" else str.__str__(self)


class HostileRecord(dict):
    def __getitem__(self, key):
        script.next()
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        script.next()
        dict.__setitem__(self, key, value)

    def __bool__(self):
        return answer(len(self) > 0)

    def __len__(self):
        action = script.next()
        return {"huge": 2 ** 62, "negative": -1, "wrong type": "3"}.get(action, dict.__len__(self))

    def append_junk(self):
        self["junk"] = HostileRecord()


class HostileList(list):
    def __iter__(self):
        for i in range(10 ** 6):  # bounded, so a bug cannot hang the test
            script.next()
            if i >= list.__len__(self):
                return
            yield list.__getitem__(self, i)

    def __len__(self):
        action = script.next()
        return {"huge": 2 ** 62, "negative": -1, "wrong type": 2.5}.get(action,
                                                                       list.__len__(self))

    def __contains__(self, item):
        return answer(list.__contains__(self, item))

    def __bool__(self):
        return answer(list.__len__(self) > 0)

    def append_junk(self):
        self.append(HostileRecord(isp="junk", http_code=HostileInt(500)))


numbers = st.sampled_from([0, 1, 200, 500, 2 ** 70]).map(HostileInt) | st.floats(0, 1e4)
texts = st.sampled_from(["北京电信", "节点未响应", "", "1.2.3.4", "<x>"]).map(HostileText)


@st.composite
def hostile_records(draw):
    record = HostileRecord()
    for name in FIELDS:
        if draw(st.integers(0, 12)) > 0:
            dict.__setitem__(record, name, draw(texts if name in ("isp", "primary_ip") else numbers))
    return record


def hostile_answer(records):
    data = HostileList(records)
    script.victims = [data] + records
    return data


class Run(start_boce.start_boce):
    answer = None

    def _send_task(self, id):
        return self.answer


def settle(call, *args):
    """The call's result, or the exception it ended with (a Stop included), and nothing kept."""
    try:
        return call(*args), None
    except (Exception, Stop) as error:
        return None, type(error)


@given(records=st.lists(hostile_records(), max_size=6), actions=st.lists(st.sampled_from(ACTIONS),
                                                                         max_size=40),
       operation=st.sampled_from(["get_state", "send_mail", "start"]),
       recipients=st.sampled_from([[], ["a@x.cn"]]))
def test_hostile_objects_end_in_a_result_or_an_exception(data_dir, monkeypatch, capsys, records,
                                                         actions, operation, recipients):
    files = {DATA + "/userInfo.json": '{"serverid": "s"}', DATA + "/dingding.json": "{}",
             DATA + "/stmp_mail.json": '{"qq_mail": "o@x.cn"}'}
    monkeypatch.setattr(start_boce, "public", make_public(files, lambda: "[]"))
    monkeypatch.setattr(start_boce, "send_mail", make_send_mail())
    monkeypatch.setattr(start_boce, "json", json)
    plugin = Run()
    recipient_list = HostileList(recipients)
    plugin._start_boce__mail_list = recipient_list
    data = hostile_answer(records)
    task_id = "task-%d" % len(records)
    script.actions, script.stops = list(actions), 0
    counts = sys.getrefcount(data), sys.getrefcount(task_id), sys.getrefcount(recipient_list)

    if operation == "get_state":
        result, error = settle(plugin.get_state, data, task_id)
    elif operation == "send_mail":
        result, error = settle(plugin.send_mail, data, 3, task_id)
    else:
        plugin.answer = data
        result, error = settle(plugin.start, task_id)
        plugin.answer = None
    capsys.readouterr()
    script.actions = []

    if script.stops:
        assert error is Stop  # a request to stop always reaches the caller
    if error is None:
        assert result is None if operation == "send_mail" else isinstance(result, (int, list))
    del result
    assert (sys.getrefcount(data), sys.getrefcount(task_id),
            sys.getrefcount(recipient_list)) == counts
    script.victims = []


class Liar(int):
    """`<` and `>` answer false at first and true for every pair after that."""

    calls = 0

    def __lt__(self, other):
        Liar.calls += 1
        return Liar.calls > 1

    __gt__ = __lt__


def test_contradicting_comparisons_still_give_every_record_once(data_dir, monkeypatch):
    monkeypatch.setattr(start_boce, "public", make_public({}, lambda: "[]"))
    run = Run()
    run.answer = [{"isp": "a", "http_code": 200, "total_time": Liar(i % 5)} for i in range(200)]
    result = run.start(1)
    assert sorted(map(id, result)) == sorted(map(id, run.answer))
