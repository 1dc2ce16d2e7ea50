"""The demo: probe runs from end to end on the stand-in panel, inside the sandbox.

It installs the stand-in panel, starts a small local web site, the probe network (a NATS server,
the dispatch center on the dispatch host's port 80 and nine node agents; the tenth node's agent
is down on purpose), a local SMTP server and two https sites of a CA of the demo's own (one whose
certificate expires in 10 days, one whose certificate has expired); creates probe tasks, the mail
settings and the recipient list; loads the plug-in as the host panel does and runs `start(id)`
for eight sites. Everything worth opening
afterwards stays in demo-out/ (or $DEMO_OUT): the panel directory with its database, every
message the SMTP server received as an .eml file, and each alert's report as an HTML page. Each
demo writes a directory of its own and then makes demo-out point at it in one step, so a reader
never sees half of two runs and two demos at once both succeed. It runs only inside the sandbox.
Exits non-zero if any run did not go as expected."""

import html
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.abspath(os.environ.get("DEMO_OUT", os.path.join(REPO, "demo-out")))

from tools.lab import install_panel  # noqa: E402

install_panel.refuse_outside_sandbox("demo")

from boce_dispatch import records  # noqa: E402
from tools.lab import (
    smtp_sink,  # noqa: E402
    tls_sites,  # noqa: E402
    website,  # noqa: E402
)
from tools.lab.network import Network  # noqa: E402
from tools.lab.plain_env import PLAIN_ENV  # noqa: E402

PANEL = "/www/server/panel"
DATA = os.path.join(PANEL, "data")
NOT_RESPONDING = records.NOT_RESPONDING
RUNS_DIR = OUT + ".runs"  # each demo's own output, until demo-out points at it
# The probe network runs on the project's main interpreter, whatever interpreter runs the demo.
SERVICE_PYTHON = os.environ.get("BOCE_SERVICE_PYTHON", sys.executable)
ISPS = ("北京电信", "上海联通", "广州移动", "深圳电信", "杭州联通", "成都移动", "武汉电信",
        "西安联通", "南京移动")
DOWN_ISP = "沈阳电信"
# A node may read at most HONEST_MS above what this machine reads for the same fetches made at
# once without the network (tools/demo/fetch_reference.py), measured just before the run.
HONEST_MS = 50
# (task name, site: "http" or the kind of certificate of an https site, path, the messages the
# run sends: "alert" (the anomaly report), "notice" (a certificate ending soon), "lapsed" (one
# already ended))
RUNS = (("healthy site", "http", "/fast", ()), ("slow site", "http", "/slow", ()),
        ("moved site", "http", "/redirect", ()), ("members only", "http", "/forbidden", ()),
        ("failing site", "http", "/error", ("alert",)),
        ("dropping site", "http", "/drop", ("alert",)),
        ("expiring certificate", "expiring", "/fast", ("notice",)),
        ("expired certificate", "expired", "/fast", ("alert", "lapsed")))
SUBJECTS = {"alert": "测试异常", "notice": "网站证书将于", "lapsed": "网站证书已过期"}
COLUMNS = ("", "ISP", "address", "code", "total ms", "DNS ms", "1st byte ms", "bytes")
WIDTHS = (2, 10, 15, 10, 9, 8, 11, 7)
LEGEND = """\
Columns of each run, slowest node first:
  !!           anomalous: a code other than 200, 301, 302, 403 or 401 (a silent node never is)
  ISP          the node that probed; "节点未响应" means it gave no measurement at all
  address      what the site's name resolved to there ("解析失败" after an alert: none)
  code         the HTTP status the node received ("无法访问" after an alert: no answer)
  total ms     the whole fetch; DNS ms the name look-up; 1st byte ms until the first byte
  bytes        the size of the answer
More than two anomalous nodes send an alert by e-mail to the recipient list; its rows say why a
node got no answer. A site whose certificate expires within 14 days gets a notice, once a day."""


def write_json(name, value):
    with open(os.path.join(DATA, name), "w", encoding="utf-8") as f:
        json.dump(value, f, ensure_ascii=False)


def display_width(text):
    """Columns a text takes on a terminal: wide (Chinese) characters take two."""
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def cell(value, width, right=False):
    text = str(value)
    padding = " " * max(0, width - display_width(text))
    return padding + text if right else text + padding


def table_line(values):
    return "   " + " ".join(cell(v, w, right=i >= 4) for i, (v, w) in
                            enumerate(zip(values, WIDTHS)))


def readable(data_text, limit=160):
    """The stored `data` with its Chinese shown as Chinese, cut to one line."""
    text = json.dumps(json.loads(data_text), ensure_ascii=False)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def print_run(name, url, result, row):
    print("\n== %s  (%s)" % (name, url))
    if isinstance(result, dict):
        print("   status record:", result)
        return
    print(table_line(COLUMNS))
    for r in result:
        print(table_line(("!!" if records.is_anomalous(r) else "", r["isp"], r["primary_ip"],
                          r["http_code"], "%.2f" % r["total_time"],
                          "%.2f" % r["namelookup_time"], "%.2f" % r["starttransfer_time"],
                          r["size_download"])))
    print("   stored in %s: id=%s %s" % (records.RUN_TABLE, row["id"], " ".join(
        "%s=%s" % (column, row[column]) for column in records.RUN_COLUMNS if column != "data")))
    print("   data=%s" % readable(row["data"]))


def report_page(title, report):
    """The report as sent, wrapped into a page a browser shows with the right characters."""
    return ('<!DOCTYPE html>\n<html lang="zh-CN">\n<head>\n<meta charset="utf-8">\n'
            "<title>%s</title>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (html.escape(title), report))


def keep_messages(messages, first_number, mail_out):
    """Each message as an .eml file, openable in any mail client; their paths."""
    paths = []
    for number, message in enumerate(messages, first_number):
        path = os.path.join(mail_out, "%03d.eml" % number)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(message.raw)
        paths.append(path)
    return paths


def fresh_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def setup(smtp_port):
    write_json("userInfo.json", {"username": "demo", "uid": 1001, "nickname": "演示用户"})
    write_json("stmp_mail.json", {"qq_mail": "alert@quellan.example", "qq_stmp_pwd": "",
                                  "hosts": "127.0.0.1", "port": smtp_port, "tls": "none"})
    write_json("dingding.json", {})
    write_json("mail_list.json", ["ops@example.cn", "oncall@example.cn"])


def shown(path, work):
    """Where a file of this run will be once the run is published, relative to the project."""
    return os.path.relpath(OUT + path[len(work):])


def run_all(plugin, public, base_urls, ca_file, mail_dir, smtp_port, work):
    mail_out = fresh_directory(os.path.join(work, "mail"))
    failures, seen = 0, 0
    for name, site, path, expected in RUNS:
        url = base_urls[site] + path
        reference = reference_ms(url, ca_file)
        task_id = public.M("boce_task").insert({"name": name, "url": url})
        result = plugin.start(task_id)
        row = public.M(records.RUN_TABLE).where("pid=?", task_id).find()
        print_run(name, url, result, row)
        messages = smtp_sink.read_messages(mail_dir)[seen:]
        kept = keep_messages(messages, seen + 1, mail_out)
        seen += len(messages)
        for message, kept_path in zip(messages, kept):
            print("   alert \"%s\" to %s, through the local SMTP server 127.0.0.1:%d: %s" % (
                message.subject, ", ".join(message.rcpt_tos), smtp_port,
                shown(kept_path, work)))
        if messages:
            write_report_pages(work, task_id, messages)
        else:
            print("   no alert (at most two anomalous nodes)")
        honest = honest_timings(result, reference)
        # Each message of a kind expected, and every kind expected among them.
        kinds = [next((k for k, words in SUBJECTS.items() if words in m.subject), None)
                 for m in messages]
        as_expected = set(kinds) == set(expected) and None not in kinds
        if not (isinstance(result, list) and row and as_expected and honest):
            failures += 1
            print("   FAILED: this run did not go as expected")
    return failures


def write_report_pages(work, task_id, messages):
    """The run's anomaly report as report-<task id>.html, and as report.html (the page
    tools/demo/screenshot-report pictures: the demo's last); its certificate notice as
    notice-<task id>.html. Each where the run sent one."""
    alerts = [m for m in messages if SUBJECTS["alert"] in m.subject]
    notices = [m for m in messages if SUBJECTS["alert"] not in m.subject]
    pages = []
    if alerts:
        pages += [("report-%d.html" % task_id, alerts[-1]), ("report.html", alerts[-1])]
    if notices:
        pages.append(("notice-%d.html" % task_id, notices[-1]))
    for file_name, message in pages:
        with open(os.path.join(work, file_name), "w", encoding="utf-8") as f:
            f.write(report_page(message.subject, message.body))
        if file_name != "report.html":
            print("   page: %s" % os.path.relpath(os.path.join(OUT, file_name)))


def reference_ms(url, ca_file):
    """The slowest of as many fetches of `url` as the network has nodes, made at once on this
    machine without the network."""
    printed = subprocess.run(
        [SERVICE_PYTHON, "-m", "tools.demo.fetch_reference", url, str(len(ISPS)), "--ca-file", ca_file],
        cwd=REPO, env=PLAIN_ENV, capture_output=True, text=True, timeout=60, check=True).stdout
    return float(printed)


def honest_timings(result, reference):
    """No node that measured took more than HONEST_MS beyond the `reference` (ms), whether the
    site answered it or not: the network measures the site, never itself."""
    limit = reference + HONEST_MS
    measured = [r for r in result if isinstance(r, dict) and r["isp"] != NOT_RESPONDING]
    slowest = max((r["total_time"] for r in measured), default=0)
    print("   slowest measuring node: %.2f ms (at most %.2f ms: %.2f ms, the slowest of %d "
          "fetches at once without the network, + %d ms)"
          % (slowest, limit, reference, len(ISPS), HONEST_MS))
    return slowest <= limit


def print_summary(failures):
    database = os.path.join(OUT, "panel", "data", "default.db")
    print("\n%d runs, %d failed. To look at afterwards:" % (len(RUNS), failures))
    print("  database     %s" % os.path.relpath(database))
    print('               sqlite3 %s "select id, %s from %s"' % (
        os.path.relpath(database), ", ".join(c for c in records.RUN_COLUMNS if c != "data"),
        records.RUN_TABLE))
    print("  mail         %s/  (one .eml per message received)"
          % os.path.relpath(os.path.join(OUT, "mail")))
    print("  reports      %s  (the last alert; report-<task id>.html and notice-<task id>.html"
          " for each)"
          % os.path.relpath(os.path.join(OUT, "report.html")))


def publish(work):
    """Makes `work` the demo's output at OUT in one step: OUT is a link to the newest complete
    run, replaced atomically. Older complete runs go; one still being written is left alone."""
    open(os.path.join(work, ".complete"), "w").close()
    link = "%s.link-%d" % (OUT, os.getpid())
    os.symlink(os.path.relpath(work, os.path.dirname(OUT)), link)
    if os.path.isdir(OUT) and not os.path.islink(OUT):  # a directory of an older demo
        aside = "%s.old-%d" % (OUT, os.getpid())
        os.rename(OUT, aside)
        shutil.rmtree(aside)
    os.replace(link, OUT)
    for name in os.listdir(RUNS_DIR):
        run = os.path.join(RUNS_DIR, name)
        finished = os.path.exists(os.path.join(run, ".complete"))
        stale = time.time() - os.stat(run).st_mtime > 3600  # an interrupted demo's
        if run != os.path.realpath(OUT) and (finished or stale):
            shutil.rmtree(run, ignore_errors=True)


def main():
    os.makedirs(RUNS_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=RUNS_DIR)
    install_panel.install(PANEL)
    site, base_url = website.serve()
    https_sites = tls_sites.TlsSites(tempfile.mkdtemp(prefix="tls-"))
    base_urls = dict(https_sites.url, http=base_url)
    mail_dir = tempfile.mkdtemp(prefix="smtp-")
    smtp, smtp_port = smtp_sink.start(mail_dir)
    network = None
    try:
        setup(smtp_port)
        import start_boce  # the host panel loads the plug-in: cwd and search path change here
        plugin = start_boce.start_boce()
        print("plug-in %s loaded on the stand-in panel in %s; it posts to %s, which the sandbox "
              "points at 127.0.0.1"
              % (start_boce.__version__, os.getcwd(), start_boce.DISPATCH_URL))
        serverid = plugin.create_serverid(None)["serverid"]  # the center serves this server
        nodes = [(name, "node%d" % n) for n, name in enumerate(ISPS + (DOWN_ISP,), 1)]
        network = Network(nodes, down=[nodes[-1][1]], port=80, allowed_servers=[serverid],
                          deadline_seconds=3, python=SERVICE_PYTHON, allow_private=True,
                          probe_ca_file=https_sites.ca_file, env=PLAIN_ENV).start()
        print("probe network: nats-server, the dispatch center on 127.0.0.1:80 and %d node "
              "agents that dial out to NATS: %s; %s has no agent, on purpose (it shows as "
              "\"%s\")" % (len(ISPS), "、".join(ISPS), DOWN_ISP, NOT_RESPONDING))
        print("local SMTP server on 127.0.0.1:%d; recipient list: %s"
              % (smtp_port, ", ".join(plugin._start_boce__mail_list)))
        print(LEGEND)
        os.chdir(REPO)  # paths below are shown relative to the project
        failures = run_all(plugin, start_boce.public, base_urls, https_sites.ca_file, mail_dir,
                           smtp_port, work)
        print("\nserver identity kept in the account file:", serverid)
    finally:
        smtp_sink.stop(smtp)
        if network is not None:
            network.stop()
        site.shutdown()
        https_sites.shutdown()
    shutil.copytree(PANEL, os.path.join(work, "panel"))  # the panel as the runs left it
    publish(work)
    print_summary(failures)
    return 1 if failures else 0


if __name__ == "__main__":
    started = time.monotonic()
    status = main()
    print("demo finished in %.1f s" % (time.monotonic() - started))
    sys.exit(status)
