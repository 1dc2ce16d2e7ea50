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

from tests.common import REPO, SERVICE_ENV, SERVICE_PYTHON

pytest.importorskip("aiohttp")  # the demo's site and network run on the main interpreter


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """Two demos at once into one output: both succeed, and the output is one whole run."""
    out = tmp_path_factory.mktemp("demo-out")
    demos = [subprocess.Popen(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "sh", "-c",
         'mount -t tmpfs panel /www/server/panel && ip link set lo up && '
         'exec "$0" -m tools.demo', sys.executable],
        cwd=REPO, env=dict(os.environ, DEMO_OUT=str(out)), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True) for _ in range(2)]
    results = [(process.wait(180), *process.communicate()) for process in demos]
    for status, printed, errors in results:
        assert status == 0, printed + errors
    assert os.listdir(str(out) + ".runs") == [os.path.basename(os.path.realpath(out))]
    return out, results[0][1]


def test_the_demo_refuses_to_run_outside_the_sandbox():
    outside = {k: v for k, v in os.environ.items() if k != "START_BOCE_SANDBOX"}
    result = subprocess.run([sys.executable, "-m", "tools.demo"], cwd=REPO, env=outside,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and "outside the sandbox" in result.stderr


def test_the_database_holds_every_run(demo):
    out, printed = demo
    database = out / "panel" / "data" / "default.db"
    with sqlite3.connect(database) as db:
        rows = db.execute("select pid, status from boce_list order by id").fetchall()
    db.close()
    assert [status for _, status in rows] == [1, 1, 1, 1, 0, 0, 1, 0]
    assert "select id, status, pid, addtime from boce_list" in printed


def test_every_message_is_a_complete_mail(demo):
    out, printed = demo
    names = sorted(os.listdir(out / "mail"))
    # Two recipients each: two alerts, the certificate notice, the expired certificate's alert
    # and its notice.
    assert names == ["%03d.eml" % n for n in range(1, 11)]
    subjects = []
    for name in names:
        with open(out / "mail" / name, "rb") as f:
            message = email.message_from_binary_file(f, policy=email.policy.default)
        subjects.append(message["Subject"])
        assert message["Date"].datetime is not None
        assert message["Message-ID"].startswith("<") and message["Message-ID"].endswith(">")
        assert message.get_content_type() == "text/html"
        assert name in printed
    assert subjects == [*["【failing site】Quellan拔测监控到[9]个测试异常"] * 2,
                        *["【dropping site】Quellan拔测监控到[9]个测试异常"] * 2,
                        *["【expiring certificate】网站证书将于10天后过期"] * 2,
                        *["【expired certificate】Quellan拔测监控到[9]个测试异常"] * 2,
                        *["【expired certificate】网站证书已过期"] * 2]


def test_every_report_page_declares_utf8_and_holds_the_report_as_sent(demo):
    out, _ = demo
    pages = sorted(p for p in os.listdir(out) if p.endswith(".html"))
    # Each anomaly report and each certificate notice under its run's task id, and the last
    # anomaly report again.
    assert pages == ["notice-7.html", "notice-8.html", "report-5.html", "report-6.html",
                     "report-8.html", "report.html"]
    with open(out / "mail" / "008.eml", "rb") as f:
        sent = email.message_from_binary_file(f, policy=email.policy.default)
    for page in pages:
        text = (out / page).read_text(encoding="utf-8")
        assert text.startswith("<!DOCTYPE html>") and '<meta charset="utf-8">' in text
        title = re.search("<title>(.*)</title>", text)[1]
        assert title.startswith("【") and ("测试异常" in title) is page.startswith("report")
    last = (out / "report.html").read_text(encoding="utf-8")
    assert sent.get_content() in last and "<title>%s</title>" % sent["Subject"] in last
    # The expired certificate's rows say why their nodes got no answer.
    assert last.count("无法访问 (tls: certificate has expired)") == 9


def test_the_demos_bound_is_fetches_made_at_once_as_the_nodes_make_them(website):
    """Three fetches the site holds 0.5 s each read about 0.5 s, not 1.5 s: they run at once,
    and the slowest of them counts."""
    printed = subprocess.run(
        [SERVICE_PYTHON, "-m", "tools.demo.fetch_reference", website + "/fast?delay=0.5", "3"],
        cwd=REPO, env=SERVICE_ENV, capture_output=True, text=True, timeout=60, check=True).stdout
    assert 500 <= float(printed) < 1000
