"""Property tests: random dispatch answers, settings, recipient lists and account files."""

import json
import math
import os

from hypothesis import given
from hypothesis import strategies as st

import start_boce
from boce_dispatch.records import FIELDS, RUN_COLUMNS
from tests.common import DATA
from tests.doubles import clear_directory
from tools.lab.light_host import make_public, make_send_mail

ALLOWED_WRITES = {"mail_list.json", "mail_list.json.bak", "userInfo.json"}
EXPECTED_ERRORS = (TypeError, KeyError, ValueError, AttributeError, IndexError)

scalars = (st.none() | st.booleans() | st.integers(-2 ** 70, 2 ** 70)
           | st.floats(allow_nan=True, allow_infinity=True) | st.text(max_size=8))
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                           | st.dictionaries(st.text(max_size=6), inner, max_size=4), max_leaves=12)
field_values = (scalars | st.sampled_from(["", 0, 200, 301, 401, 403, 500, 200.0, "节点未响应",
                                           "北京电信", "<b>&'\"", "\ud800"]))


@st.composite
def probe_records(draw):
    record = {}
    for name in FIELDS:
        if draw(st.integers(0, 20)) > 0:  # now and then a field is missing
            record[name] = draw(field_values)
    if draw(st.booleans()):
        record["extra"] = draw(json_values)
    return record


answers = (json_values
           | st.lists(probe_records() | st.sampled_from([{}, None, [], 0, ""]), max_size=12)
           | st.fixed_dictionaries({"status": json_values, "msg": st.text(max_size=5)}))


def snapshot():
    taken = {}
    for name in os.listdir(DATA):
        with open(os.path.join(DATA, name), "rb") as f:
            taken[name] = f.read()
    return taken


def changed_files(before):
    after = snapshot()
    return {name for name in set(before) | set(after) if before.get(name) != after.get(name)}


def is_real_number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    return not (isinstance(value, float) and math.isnan(value))


def expected_order(response):
    timed, untimed = [], []
    for element in response:
        total = element.get("total_time") if isinstance(element, dict) and element else None
        (timed if is_real_number(total) else untimed).append(element)
    return sorted(timed, key=lambda e: e["total_time"], reverse=True) + untimed


class Host:
    """Light doubles over in-memory settings; `decoded` keeps the dispatch answer as decoded."""

    def __init__(self, monkeypatch, answer_text, files):
        self.decoded = None
        self.awaiting_answer = False
        self.rows = []
        public = make_public(files, self.post)
        self.answer_text = answer_text
        public.M = lambda table: _Table(self, table)
        monkeypatch.setattr(start_boce, "public", public)
        monkeypatch.setattr(start_boce, "send_mail", make_send_mail())

    def post(self):
        self.awaiting_answer = True  # the next decode is the dispatch answer
        return self.answer_text


class _Table:
    def __init__(self, host, table):
        self.host, self.table = host, table

    def where(self, condition, value):
        return self

    def getField(self, name):
        return "http://site.example/"

    def insert(self, record):
        self.host.rows.append(dict(record))


@given(answer=answers, mail=st.sampled_from(['{"qq_mail": "o@x.cn"}', "{}", "{bad", "3"]),
       recipients=st.sampled_from([[], ["a@x.cn"], {"k": 1}]))
def test_a_run_stores_and_orders_whatever_the_dispatch_center_answers(
        data_dir, monkeypatch, capsys, answer, mail, recipients):
    files = {DATA + "/userInfo.json": '{"serverid": "s"}', DATA + "/stmp_mail.json": mail,
             DATA + "/dingding.json": "{}"}
    host = Host(monkeypatch, json.dumps(answer), files)
    real_loads = json.loads

    def loads(text):
        value = real_loads(text)
        if host.awaiting_answer:
            host.decoded, host.awaiting_answer = value, False
        return value
    monkeypatch.setattr(start_boce, "json", type("J", (), {"loads": staticmethod(loads),
                                                          "dumps": staticmethod(json.dumps)}))
    plugin = start_boce.start_boce()
    plugin._start_boce__mail_list = recipients
    before = snapshot()

    try:
        result = plugin.start(1)
    except EXPECTED_ERRORS:
        assert host.rows == []
        return
    finally:
        assert changed_files(before) <= ALLOWED_WRITES
        capsys.readouterr()

    response = host.decoded
    if isinstance(response, (dict, list, str)) and "status" in response:
        assert result is response and host.rows == []
        return
    assert len(host.rows) == 1
    assert list(host.rows[0]) == list(RUN_COLUMNS)
    assert host.rows[0]["data"] == json.dumps(response)  # as the report step left it
    assert [id(e) for e in result] == [id(e) for e in expected_order(response)]


@given(list_file=st.none() | st.text(max_size=20) | json_values.map(json.dumps),
       mail=st.none() | json_values.map(json.dumps) | st.just("{broken"),
       dingding=st.none() | json_values.map(json.dumps),
       account=st.none() | st.text(max_size=10) | json_values.map(json.dumps))
def test_settings_and_identity_from_any_files(host, list_file, mail, dingding, account):
    clear_directory(DATA)
    for name, content in (("mail_list.json", list_file), ("stmp_mail.json", mail),
                          ("dingding.json", dingding), ("userInfo.json", account)):
        if content is not None:
            with open(os.path.join(DATA, name), "w", encoding="utf-8",
                      errors="surrogatepass") as f:
                f.write(content)
    before = snapshot()

    plugin = start_boce.start_boce()  # never fails
    assert hasattr(plugin, "_start_boce__mail_list")
    try:
        settings_record = plugin.get_settings()
        assert list(settings_record) == ["user_mail", "dingding"]
    except EXPECTED_ERRORS:
        pass
    try:
        identity = plugin.create_serverid(None)
        assert "serverid" in identity or identity == {"status": False,
                                                      "msg": "请先登陆Dovrin官网用户"}
    except EXPECTED_ERRORS:
        pass
    assert changed_files(before) <= ALLOWED_WRITES
