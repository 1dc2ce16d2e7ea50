"""boce-ask [--front URL] [--dispatch-host NAME] --serverid ID TARGET

Asks a dispatch center for one probe of TARGET, as a panel's plug-in asks (the same form, the
dispatch host as Host: the installed center's own unless given), and prints its answer: one
line per node, slowest first as the panel shows them, or the center's refusal. For an
operator's trial of an installed center, with what the installer puts on the machine. Exit
status 0 when the center answered the probe."""

import json
import sys
import urllib.error
import urllib.parse
import urllib.request

from boce_dispatch import cli, contract

# Where deploy/install keeps the installed center's place, its dispatch host among it.
CENTER_ENV = "/etc/boce/center.env"


def installed_dispatch_host(path=CENTER_ENV):
    """BOCE_DISPATCH_HOST of an installed center's center.env, or None where there is none (or
    this user may not read it)."""
    try:
        with open(path, encoding="utf-8") as f:
            hosts = [line.split("=", 1)[1].strip() for line in f
                     if line.startswith("BOCE_DISPATCH_HOST=")]
    except (OSError, UnicodeDecodeError):
        return None
    return hosts[-1] if hosts and hosts[-1] else None


def arguments(parser):
    parser.add_argument("--front", default="http://127.0.0.1",
                        help="where to reach the center or its nginx front (default "
                        "http://127.0.0.1)")
    parser.add_argument("--dispatch-host",
                        help="the Host to send: the dispatch host the panels' module posts to "
                        "(default: BOCE_DISPATCH_HOST of %s where this machine has an "
                        "installed center, else none: the front's own name)" % CENTER_ENV)
    parser.add_argument("--serverid", required=True, help="a serverid of allowed_servers")
    parser.add_argument("target", help="the web address to probe")
    cli.common_arguments(parser)


def ask(front, dispatch_host, serverid, target):
    """(HTTP status, decoded JSON answer) of the center at `front`."""
    body = urllib.parse.urlencode({"serverid": serverid, "url": target}).encode()
    request = urllib.request.Request(front.rstrip("/") + contract.PANEL_PATH, data=body)
    if dispatch_host:
        request.add_header("Host", dispatch_host)
    try:
        with urllib.request.urlopen(request, timeout=contract.PLUGIN_TIMEOUT_SECONDS) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        text = error.read()
        try:
            return error.code, json.loads(text)
        except ValueError:  # not the center's: nginx's own page, another site's
            return error.code, {"msg": "not the center's answer: %r" % text[:200]}


def node_line(record):
    code = record["http_code"] or "-"
    why = " (%s)" % record["reason"] if record.get("reason") else ""
    return "%-12s %-8s %8.1f ms  %s%s" % (record["isp"], code, record["total_time"],
                                         record.get("node", ""), why)


def run(args):
    try:
        status, answer = ask(args.front, args.dispatch_host or installed_dispatch_host(),
                             args.serverid, args.target)
    except (OSError, ValueError) as error:
        return cli.fail("boce-ask", "no answer from %s: %s" % (args.front, error))
    if status != 200 or not isinstance(answer, list):
        return cli.fail("boce-ask", "%d %s" % (status, answer.get("msg", answer)
                                              if isinstance(answer, dict) else answer))
    for record in sorted(answer, key=lambda r: r["total_time"], reverse=True):
        print(node_line(record))
    return 0


def main(argv=None):
    return cli.command("boce-ask", "asks a dispatch center as a panel does", arguments, run,
                       argv)


if __name__ == "__main__":
    sys.exit(main())
