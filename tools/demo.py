"""The demo: a probe run from end to end on the stand-in panel, inside the sandbox.

It installs the stand-in panel, starts a small local web site, the stand-in dispatch center
(ten nodes, one of them down) on the dispatch host's port 80 and a local SMTP server; creates
probe tasks, the mail settings and the recipient list; loads the plug-in as the host panel does
and runs `start(id)` for a healthy site, a slow one and a failing one. Each alert's report is
written to demo-out/. Exits non-zero if any step failed."""

import json
import os
import sys
import tempfile
import time

TOOLS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(TOOLS)
OUT = os.path.join(REPO, "demo-out")
sys.path[:0] = [TOOLS, REPO]

import install_panel  # noqa: E402
import smtp_sink  # noqa: E402
import website  # noqa: E402
from dispatch.server import DispatchCenter, serve  # noqa: E402

DATA = "/www/server/panel/data"
ACCEPTABLE = (200, 301, 302, 403, 401)
NOT_RESPONDING = "节点未响应"


def write_json(name, value):
    with open(os.path.join(DATA, name), "w", encoding="utf-8") as f:
        json.dump(value, f, ensure_ascii=False)


def is_anomalous(record):
    return bool(record) and record["isp"] != NOT_RESPONDING and \
        record["http_code"] not in ACCEPTABLE


def print_run(name, url, result, row):
    print("\n== %s  (%s)" % (name, url))
    if isinstance(result, dict):
        print("   status record:", result)
        return
    print("   %-3s %-10s %-15s %-8s %10s %10s %10s %9s" % (
        "", "ISP", "address", "code", "total ms", "lookup ms", "first ms", "bytes"))
    for record in result:
        mark = "!!" if is_anomalous(record) else ""
        print("   %-3s %-8s %-15s %-8s %10.2f %10.2f %10.2f %9s" % (
            mark, record["isp"], record["primary_ip"], record["http_code"],
            record["total_time"], record["namelookup_time"], record["starttransfer_time"],
            record["size_download"]))
    data = row["data"] if len(row["data"]) < 90 else row["data"][:87] + "..."
    print("   stored boce_list row: id=%s pid=%s status=%s addtime=%s data=%s" % (
        row["id"], row["pid"], row["status"], row["addtime"], data))


def main():
    install_panel.install()
    os.makedirs(OUT, exist_ok=True)
    for old in os.listdir(OUT):
        if old.endswith(".html"):
            os.unlink(os.path.join(OUT, old))
    site, base_url = website.serve()
    nodes = [{"isp": isp} for isp in ("北京电信", "上海联通", "广州移动", "深圳电信", "杭州联通",
                                      "成都移动", "武汉电信", "西安联通", "南京移动")]
    nodes.append({"isp": "沈阳电信", "down": True})
    dispatch = serve(DispatchCenter(nodes, probe_timeout=5), "127.0.0.1", 80)
    mail_dir = tempfile.mkdtemp(prefix="smtp-")
    smtp, smtp_port = smtp_sink.start(mail_dir)
    try:
        write_json("userInfo.json", {"username": "demo", "uid": 1001, "nickname": "演示用户"})
        write_json("stmp_mail.json", {"qq_mail": "alert@quellan.example", "qq_stmp_pwd": "",
                                      "hosts": "127.0.0.1", "port": smtp_port, "tls": "none"})
        write_json("dingding.json", {})
        write_json("mail_list.json", ["ops@example.cn", "oncall@example.cn"])

        import start_boce  # the host panel loads the plug-in: cwd and search path change here
        public = start_boce.public
        print("plug-in loaded on the stand-in panel; working directory %s" % os.getcwd())
        plugin = start_boce.start_boce()
        print("recipient list:", plugin._start_boce__mail_list)

        failures = 0
        seen_messages = 0
        runs = (("healthy site", "/fast", False), ("slow site", "/slow", False),
                ("moved site", "/redirect", False), ("members only", "/forbidden", False),
                ("failing site", "/error", True), ("dropping site", "/drop", True))
        for name, path, expect_alert in runs:
            task_id = public.M("boce_task").insert({"name": name, "url": base_url + path})
            result = plugin.start(task_id)
            row = public.M("boce_list").where("pid=?", task_id).find()
            print_run(name, base_url + path, result, row)
            messages = smtp_sink.read_messages(mail_dir)[seen_messages:]
            seen_messages += len(messages)
            for message in messages:
                print("   alert to %s: %s" % (", ".join(message.rcpt_tos), message.subject))
            if messages:
                report = messages[-1].body
                for file_name in ("report-%d.html" % task_id, "report.html"):
                    with open(os.path.join(OUT, file_name), "w", encoding="utf-8") as f:
                        f.write(report)
                print("   report written to demo-out/report-%d.html" % task_id)
            elif not expect_alert:
                print("   no alert (at most two anomalous nodes)")
            ok = isinstance(result, list) and bool(row) and bool(messages) == expect_alert
            if not ok:
                failures += 1
                print("   FAILED: this run did not go as expected")
        with open(os.path.join(DATA, "userInfo.json"), encoding="utf-8") as f:
            print("\nserver identity kept in the account file:", json.load(f)["serverid"])
        print("\n%d runs, %d failed" % (len(runs), failures))
        return 1 if failures else 0
    finally:
        smtp_sink.stop(smtp)
        dispatch.shutdown()
        site.shutdown()


if __name__ == "__main__":
    started = time.monotonic()
    status = main()
    print("demo finished in %.1f s" % (time.monotonic() - started))
    sys.exit(status)
