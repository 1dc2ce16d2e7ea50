"""Debian's nginx in the foreground, for the tests and the benchmark: the main configuration
around the caller's server blocks, with every file nginx writes in the caller's directory;
`user root` keeps the workers' user where only root is mapped (a namespace of a test's own)."""

import os
import re

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# What the dispatch center's front needs of nginx as a whole, as operators install it.
FRONT_SETTINGS = os.path.join(REPO,
                              "boce_dispatch", "deploy", "nginx-boce.conf")

MAIN = """
daemon off; user root; pid %(dir)s/nginx.pid; error_log %(dir)s/nginx-error.log warn;
%(main)s
events { %(events)s }
http {
    access_log off;
    client_body_temp_path %(dir)s/body; proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi; uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    %(http)s
    %(servers)s
}
"""


def front_settings():
    """The front's settings file: its http-level text, and its lines for nginx.conf's main
    context and events {} block (`# main: ...`, `# events: ...`)."""
    with open(FRONT_SETTINGS, encoding="utf-8") as f:
        text = f.read()
    return (text, " ".join(re.findall(r"^# main: (.+)$", text, re.MULTILINE)),
            " ".join(re.findall(r"^# events: (.+)$", text, re.MULTILINE)))


def command(directory, servers, front=False):
    """The command that runs nginx with `servers` (its server blocks) in `directory`; `front`
    adds the settings the dispatch center's front is installed with."""
    http, main, events = front_settings() if front else ("", "", "worker_connections 256;")
    path = os.path.join(directory, "nginx.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write(MAIN % {"dir": directory, "servers": servers, "http": http, "main": main,
                        "events": events})
    return ["nginx", "-c", path, "-e", os.path.join(directory, "nginx-start.log")]
