"""Reference counts and memory over a long series of probe runs."""

import contextlib
import io
import os
import sys

import pytest

import start_boce
from tests.answers import record
from tests.common import EMULATED
from tools.lab.light_host import Answers, Sender, make_public, make_send_mail

DATA = "/www/server/panel/data"
RUNS = 20_000
BATCH = 1_000
WARM_UP_BATCHES = 2
RECORDS = 100


def node(i, code):
    return record(isp="节点未响应" if i % 40 == 39 else "isp%d" % (i % 9),
                  ip="" if i % 10 == 3 else "192.0.2.%d" % i, code=code, total=float(i % 17),
                  lookup=0.5, transfer=i * 0.25, size=i, speed=i * 10)


def templates():
    healthy = [node(i, 200) for i in range(RECORDS)]
    failing = [node(i, 500 if i % 3 else 0) for i in range(RECORDS)]
    broken = [dict(r) for r in healthy]
    del broken[50]["http_code"]  # get_state fails: the error reaches the caller
    return healthy, failing, broken


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class NullOutput(io.TextIOBase):
    def write(self, text):
        return len(text)


@pytest.mark.slow
def test_twenty_thousand_runs_leak_nothing(data_dir, monkeypatch):
    files = {DATA + "/userInfo.json": '{"uid": 1, "serverid": "s"}',
             DATA + "/stmp_mail.json": '{"qq_mail": "ops@example.cn"}',
             DATA + "/dingding.json": "{}"}
    answers = Answers()
    post = {"answer": lambda: Answers.MARKER}
    monkeypatch.setattr(start_boce, "public", make_public(files, lambda: post["answer"]()))
    monkeypatch.setattr(start_boce, "send_mail", make_send_mail())
    monkeypatch.setattr(start_boce, "json", answers)
    plugin = start_boce.start_boce()
    plugin._start_boce__mail_list = ["a@example.cn", "b@example.cn"]
    healthy, failing, broken = templates()

    def refused():
        raise ConnectionRefusedError("dispatch down")

    block_growth = []
    rss_start = None
    with contextlib.redirect_stdout(NullOutput()):
        for batch in range(RUNS // BATCH):
            blocks_before = sys.getallocatedblocks()
            for i in range(BATCH):
                kind = i % 6
                template = (healthy, failing, failing, broken, None, None)[kind]
                Sender.fail = kind == 2  # a report whose sends fail
                post["answer"] = refused if kind == 5 else (lambda: Answers.MARKER)
                response = [dict(r) for r in template] if template else \
                    {"status": False, "msg": "busy"}
                answers.next = response
                task_id = "task-%d" % i
                records = response if isinstance(response, list) else []
                counts = [sys.getrefcount(task_id), sys.getrefcount(response)]
                counts += [sys.getrefcount(r) for r in records]
                try:
                    result = plugin.start(task_id)
                except KeyError:
                    result = None
                del result
                after = [sys.getrefcount(task_id), sys.getrefcount(response)]
                after += [sys.getrefcount(r) for r in records]
                assert after == counts, "references kept by run %d of batch %d" % (i, batch)
                answers.next = None
                del response, records
            if batch == WARM_UP_BATCHES - 1:
                rss_start = resident_bytes()
            if batch >= WARM_UP_BATCHES:
                block_growth.append(sys.getallocatedblocks() - blocks_before)
    Sender.fail = False

    assert not all(growth > 0 for growth in block_growth), block_growth
    if not EMULATED:  # the emulator's translated code grows in the same resident set
        assert resident_bytes() - rss_start < 16 * 1024 * 1024
