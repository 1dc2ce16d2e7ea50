"""The demo's artifacts: the database, the delivered messages and the report pages it leaves.

The demo binds the dispatch host's port 80 and lays out a panel of its own, so it runs in network
and mount namespaces of its own (under a user namespace of its own), with a fresh panel
directory, beside the suite's dispatch center and panel."""

import email
import email.policy
import os
import re
import sqlite3
import subprocess
import sys

import pytest

from conftest import REPO

pytest.importorskip("aiohttp")  # the demo's site and network run on the main interpreter


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo-out")
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "sh", "-c",
         'mount -t tmpfs panel /www/server/panel && ip link set lo up && '
         'exec "$0" tools/demo.py', sys.executable],
        cwd=REPO, env=dict(os.environ, DEMO_OUT=str(out)), capture_output=True, text=True,
        timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return out, result.stdout


def test_the_database_holds_every_run(demo):
    out, printed = demo
    database = out / "panel" / "data" / "default.db"
    with sqlite3.connect(database) as db:
        rows = db.execute("select pid, status from boce_list order by id").fetchall()
    db.close()
    assert [status for _, status in rows] == [1, 1, 1, 1, 0, 0]
    assert "select id, pid, status, addtime from boce_list" in printed


def test_every_message_is_a_complete_mail(demo):
    out, printed = demo
    names = sorted(os.listdir(out / "mail"))
    assert names == ["%03d.eml" % n for n in range(1, 5)]  # two alerts, two recipients each
    for name in names:
        with open(out / "mail" / name, "rb") as f:
            message = email.message_from_binary_file(f, policy=email.policy.default)
        assert re.fullmatch(r"【\w+ site】Quellan拔测监控到\[9\]个测试异常", message["Subject"])
        assert message["Date"].datetime is not None
        assert message["Message-ID"].startswith("<") and message["Message-ID"].endswith(">")
        assert message.get_content_type() == "text/html"
        assert name in printed


def test_every_report_page_declares_utf8_and_holds_the_report_as_sent(demo):
    out, _ = demo
    pages = sorted(p for p in os.listdir(out) if p.endswith(".html"))
    assert "report.html" in pages and len(pages) == 3  # two alerts and the last one again
    with open(out / "mail" / "004.eml", "rb") as f:
        sent = email.message_from_binary_file(f, policy=email.policy.default)
    for page in pages:
        text = (out / page).read_text(encoding="utf-8")
        assert text.startswith("<!DOCTYPE html>") and '<meta charset="utf-8">' in text
        assert "<title>【" in text
    last = (out / "report.html").read_text(encoding="utf-8")
    assert sent.get_content() in last and "<title>%s</title>" % sent["Subject"] in last
