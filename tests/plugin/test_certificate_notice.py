"""The warning before a site's certificate lapses, and when it has: when (in calendar days of
the panel's local time), to whom, once a day, and what a run without a certificate expiry never
does."""

import json
import os
import time
import types

import pytest

import start_boce
from tests.answers import record
from tests.common import DATA, write
from tests.doubles import raise_, read_text, write_text
from tests.plugin.children import copies_checked_stacks

DAY = 86400
NOW = 1796990400.5  # a fixed moment; the runs' "now"
DAYS_FILE = os.path.join(DATA, "boce_cert_notice.json")
RECIPIENTS = ["a@example.cn", "b@example.cn"]


@pytest.fixture
def notice_run(run, host, monkeypatch):
    """A run of task 9 ("web") whose records the test gives, at a moment it sets."""
    host.public.tables["boce_task"] = {9: {"name": "web", "url": "https://web.example/"}}
    write(os.path.join(DATA, "stmp_mail.json"), '{"qq_mail": "ops@example.cn"}')
    write(os.path.join(DATA, "dingding.json"), "{}")
    run._start_boce__mail_list = list(RECIPIENTS)

    def start(answer, now=NOW):
        monkeypatch.setattr(start_boce, "time", types.SimpleNamespace(time=lambda: now))
        run.answer = answer
        host.log.clear()
        return run.start(9)
    return start


def certified(expires_in, isp="北京电信", issuer="Let's Encrypt", now=NOW):
    return record(isp=isp, cert_expiry=int(now + expires_in), cert_issuer=issuer)


def notices(host):
    return [call for call in host.log.named("qq_smtp_send")]


def day_of(seconds):
    return time.strftime("%Y-%m-%d", time.localtime(seconds))


@pytest.fixture
def zone(monkeypatch):
    """Sets the panel's time zone (the process's TZ) for the test; the local time of a text."""
    def set_zone(name):
        monkeypatch.setenv("TZ", name)
        time.tzset()
        return lambda text: time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))
    yield set_zone
    monkeypatch.undo()
    time.tzset()


# The run at 2026-12-10 09:00:00 in Shanghai; when the site's certificate ends there, and the
# calendar days the notice counts: 0 on the day itself, whatever the hour.
@pytest.mark.parametrize("ends, days", [
    ("2026-12-20 16:00:00", 10), ("2026-12-10 09:30:00", 0), ("2026-12-11 00:30:00", 1),
    ("2026-12-24 23:59:59", 14), ("2026-12-25 00:00:00", None), ("2027-03-01 00:00:00", None),
])
def test_a_certificate_ending_within_14_calendar_days_is_noticed_to_every_recipient(
        notice_run, host, zone, ends, days):
    local = zone("Asia/Shanghai")
    now, at = local("2026-12-10 09:00:00"), local(ends)
    result = notice_run([certified(at - now, now=now), certified(at - now, "上海联通", now=now),
                         certified(at - now + 5 * DAY, "广州移动", now=now), record(isp="无证书")],
                        now=now)
    assert len(result) == 4  # the run itself is as ever
    sent = notices(host)
    if days is None:
        assert sent == [] and not os.path.exists(DAYS_FILE)
        return
    title = "【web】网站证书将于%s过期" % ("%d天后" % days if days else "今天")
    assert [(c.args[0], c.kwargs["title"]) for c in sent] == [(r, title) for r in RECIPIENTS]
    body = sent[0].kwargs["body"]
    assert body.startswith("<h2>%s</h2>" % title) and body.endswith(
        "<hr><p>此为Quellan企业版平台自动通知邮件，请勿回复</p>")
    assert "证书到期时间：%s</p>" % ends in body and "（网站证书）" in body
    assert "Let&#x27;s Encrypt" in body and "北京电信、上海联通</p>" in body
    assert "广州移动" not in body
    with open(DAYS_FILE, encoding="utf-8") as f:
        assert json.load(f) == {"9": "2026-12-10"}


@pytest.mark.parametrize("zone_name, days", [("UTC", 2), ("Asia/Shanghai", 1),
                                             ("America/Los_Angeles", 1)])
def test_the_days_are_counted_in_the_panels_own_time_zone(notice_run, host, zone, zone_name,
                                                          days):
    """The same moments, 2026-12-10 23:30 and 2026-12-12 01:00 in UTC, are other calendar days
    elsewhere."""
    zone(zone_name)
    now, at = 1797031800, 1797123600
    notice_run([certified(at - now, now=now)], now=now)
    assert {c.kwargs["title"] for c in notices(host)} == {"【web】网站证书将于%d天后过期" % days}


def test_a_lapsed_certificate_on_some_nodes_is_noticed_beside_the_one_to_come(notice_run, host):
    """A balanced site: one backend's certificate has lapsed, the other's lapses in 10 days,
    and the third node sees an intermediate lapse sooner. Each notice goes once a day."""
    answer = [certified(-3600, "北京电信"), certified(10 * DAY, "上海联通"),
              dict(certified(5 * DAY, "广州移动"), cert_depth=1, cert_subject="Acme R3"),
              certified(-2 * DAY, "深圳电信")]
    notice_run(answer)
    titles = [c.kwargs["title"] for c in notices(host)]
    assert titles == ["【web】网站证书已过期"] * 2 + ["【web】网站证书将于5天后过期"] * 2
    lapsed, coming = notices(host)[0].kwargs["body"], notices(host)[2].kwargs["body"]
    assert "检测到的节点：北京电信、深圳电信</p>" in lapsed
    assert "证书：Acme R3（中间证书）" in coming and "检测到的节点：广州移动</p>" in coming
    notice_run(answer, now=NOW + 60)  # the same day: nothing more
    assert notices(host) == []
    with open(DAYS_FILE, encoding="utf-8") as f:
        assert json.load(f) == {"9": day_of(NOW), "9:expired": day_of(NOW)}


def test_one_notice_per_task_and_calendar_day(notice_run, host):
    answer = [certified(10 * DAY)]
    notice_run(answer)
    assert len(notices(host)) == 2
    notice_run(answer, now=NOW + 60)  # the same day: nothing
    assert notices(host) == []
    next_day = NOW + DAY
    notice_run([certified(9 * DAY, now=next_day)], now=next_day)
    assert [c.kwargs["title"] for c in notices(host)] == ["【web】网站证书将于9天后过期"] * 2
    with open(DAYS_FILE, encoding="utf-8") as f:
        assert json.load(f) == {"9": day_of(next_day)}  # yesterday's entries are not kept


@pytest.mark.parametrize("broken", ["{not json", "[1, 2]", "\udcff"])
def test_a_broken_notice_file_is_kept_aside_and_started_afresh(notice_run, host, broken):
    with open(DAYS_FILE, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(broken)
    notice_run([certified(3 * DAY)])
    assert len(notices(host)) == 2
    with open(DAYS_FILE + ".bak", encoding="utf-8", errors="surrogateescape") as f:
        assert f.read() == broken
    with open(DAYS_FILE, encoding="utf-8") as f:
        assert json.load(f) == {"9": day_of(NOW)}


@pytest.mark.parametrize("extra", [
    {}, {"cert_expiry": 0, "cert_issuer": ""}, {"cert_expiry": None}, {"cert_expiry": "soon"},
    {"cert_expiry": int(NOW) + 100 * DAY, "cert_issuer": "far"}, {"reason": "tls: x"},
])
def test_a_run_without_a_near_expiry_makes_the_calls_it_always_made(notice_run, host, extra):
    def calls():  # the stored run's data holds the records, which differ by `extra`
        return [(c.name, c.args if c.name != "insert" else ()) for c in host.log]
    notice_run([record(code=500) for _ in range(3)])
    plain = calls()
    notice_run([record(code=500, **extra) for _ in range(3)])
    assert calls() == plain and not os.path.exists(DAYS_FILE)


def test_a_notice_that_fails_is_shown_and_the_run_is_returned(notice_run, host, stdout):
    host.public.tables["boce_task"] = {}
    host.send_mail.mail_answer = lambda email: raise_(OSError("smtp down"))
    result = notice_run([certified(2 * DAY)])
    assert len(result) == 1 and len(notices(host)) == 2
    assert "smtp down" in stdout.getvalue()


@pytest.mark.parametrize("clock", [1e300, -1e300, 2 ** 70])  # the run's own addtime takes them
def test_a_clock_far_from_the_certificate_sends_no_notice(notice_run, host, clock):
    assert len(notice_run([certified(3 * DAY)], now=clock)) == 1
    assert notices(host) == [] and not os.path.exists(DAYS_FILE)



@copies_checked_stacks
def test_runs_at_the_same_moment_keep_each_others_days_and_send_once(
        notice_run, run, host, monkeypatch):
    """Two tasks' runs interleaved at every file service, as a panel's greenlets under gevent
    (or its threads and processes) interleave them: each task's day is kept, and a later run
    of the same day sends nothing more."""
    greenlet = pytest.importorskip("greenlet")
    notice_run([record()])  # the plug-in and its panel, set up
    host.public.tables["boce_task"][10] = {"name": "api", "url": "https://api.example/"}
    runs = []

    def elsewhere(*_):
        """Lets the other run go on first, if it still runs."""
        current = greenlet.getcurrent()
        for other in runs:
            if other is not current and not other.dead:
                other.switch()
                return

    host.public.script(ReadFile=lambda path: (elsewhere(), read_text(path))[1],
                       writeFile=lambda path, text: (elsewhere(), write_text(path, text))[1])
    # The wait for the lock gives the time to the other run, as gevent's sleep does.
    monkeypatch.setattr(start_boce, "time", types.SimpleNamespace(time=lambda: NOW,
                                                                  sleep=elsewhere))
    run.answer = [certified(3 * DAY)]
    host.log.clear()
    runs.extend(greenlet.greenlet(lambda task=task: run.start(task)) for task in (9, 10))
    while any(not each.dead for each in runs):
        next(each for each in runs if not each.dead).switch()
    assert sorted(c.kwargs["title"] for c in notices(host)) == sorted(
        ["【web】网站证书将于3天后过期", "【api】网站证书将于3天后过期"] * len(RECIPIENTS))
    with open(DAYS_FILE, encoding="utf-8") as f:
        assert json.load(f) == {"9": day_of(NOW), "10": day_of(NOW)}
    notice_run(run.answer)
    assert notices(host) == []


def a_directory(path):
    os.mkdir(path)


def a_fifo(path):
    os.mkfifo(path)  # a read would wait for a writer that never comes


def a_directory_beside(path):
    os.mkdir(path + ".new")


def no_backup_name_free(path):
    write(path, "{not json")
    for number in range(1000):
        write(path + (".bak" if number == 0 else ".bak.%d" % number), "older")


@pytest.mark.parametrize("make, why", [
    (a_directory, "is not a regular file"), (a_fifo, "is not a regular file"),
    (a_directory_beside, "cannot be"), (no_backup_name_free, "no backup name is free"),
])
def test_an_unusable_notice_state_is_said_in_one_line_each_run(notice_run, host, stdout, make,
                                                                why):
    make(DAYS_FILE)
    for _ in range(2):
        notice_run([certified(3 * DAY)])
        assert notices(host) == []
    first, second = stdout.getvalue().splitlines()  # one line each run
    assert first == second and first.startswith(
        "start_boce: no certificate notice: %s " % DAYS_FILE) and why in first
