"""Plain helpers and constants shared by the tests of every subject (no fixtures, no set-up)."""

import importlib.util
import json
import os
import re
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from boce_dispatch import contract
from tools.lab import nginx
from tools.lab.plain_env import PLAIN_ENV
from tools.packaging import build_version

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PANEL = "/www/server/panel"
DATA = os.path.join(PANEL, "data")
PANEL_CLASSES = os.path.join(PANEL, "class")
SERVER_ID = "b" * 64  # the server the tests' probe network serves
TOOLS = os.path.join(REPO, "tools")
# What operators of the probe network install: units, the nginx front, examples.
DISPATCH_DEPLOY = os.path.join(REPO, "boce_dispatch", "deploy")

# The services the tests run (the web site, the probe network, the scripted front) are processes
# of their own, on the project's main interpreter, whatever interpreter runs the tests. They
# never load the module, so a sanitizer run's preloaded runtimes stay out of them.
SERVICE_PYTHON = os.environ.get("BOCE_SERVICE_PYTHON", sys.executable)
SERVICE_ENV = PLAIN_ENV

# Tests run by qemu-user on an emulated machine (make test-arm64): the process's limits and
# resident memory are the emulator's, which also holds the code it has translated.
EMULATED = "QEMU_LD_PREFIX" in os.environ

# The dispatch host the module under test was built for: the same variable decides both.
DISPATCH_HOST = build_version.dispatch_host()
DISPATCH_URL = "http://%s%s" % (DISPATCH_HOST, contract.PANEL_PATH)


def require_sandbox():
    """Tests that use the real panel path /www/server/panel run only inside tools/sandbox."""
    if os.environ.get("START_BOCE_SANDBOX") != "1":
        pytest.exit("run these tests inside tools/sandbox (make test); they use "
                    "/www/server/panel", 2)


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def load_panel_module(name, class_dir=PANEL_CLASSES):
    """One of the stand-in panel's own modules, loaded from a panel's class directory."""
    module_spec = importlib.util.spec_from_file_location(
        "panel_" + name, os.path.join(class_dir, name + ".py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def start_service(*command):
    """A service process that prints one line once it is ready; stopped with SIGTERM."""
    process = subprocess.Popen((SERVICE_PYTHON,) + command, cwd=REPO, stdout=subprocess.PIPE,
                               text=True, env=SERVICE_ENV)
    if not process.stdout.readline():
        raise RuntimeError("%s did not start" % (command,))
    return process


def stop_service(process):
    process.terminate()
    process.wait(30)
    process.stdout.close()


def shipped(name):
    with open(os.path.join(DISPATCH_DEPLOY, name), encoding="utf-8") as f:
        return f.read()


def front_site(center, dispatch_host=DISPATCH_HOST, site=None):
    """The nginx site (the shipped one, or `site`) with the two files it includes written in, as
    deploy/install fills them from /etc/boce/center.env."""
    generated = {"listen.conf": shipped("nginx-boce-listen.conf").replace("@DISPATCH_HOST@",
                                                                          dispatch_host),
                 "upstream.conf": shipped("nginx-boce-upstream.conf").replace("@CENTER_LISTEN@",
                                                                              center)}
    return re.sub(r"(?m)^\s*include /etc/nginx/boce-center/(\S+);$",
                  lambda include: generated[include[1]], site or shipped("nginx-boce-center.conf"))


def nginx_front(directory, listen, center, beside_default=False, site=None):
    """The command that runs the shipped nginx front on `listen` (HOST:PORT) before the center
    at `center` (HOST:PORT), or the installed `site` as it is; its files go to `directory`.
    `beside_default` adds Debian's default site on the same port, as an operator's nginx has
    it."""
    if site is None:
        site = front_site(center)
    site = site.replace("listen [::]:80;", "").replace("listen 80;", "listen %s;" % listen)
    if beside_default:
        with open("/etc/nginx/sites-available/default", encoding="utf-8") as f:
            default = f.read()
        site += default.replace("listen [::]:80 default_server;", "").replace(
            "listen 80 default_server;", "listen %s default_server;" % listen)
    return nginx.command(directory, site, front=True)


def wait_until(condition, what, seconds=20):
    """Returns as soon as `condition()` is true; TimeoutError naming `what` after `seconds`."""
    give_up = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > give_up:
            raise TimeoutError("waited %d s for %s" % (seconds, what))
        time.sleep(0.01)


def accepts(port, host="127.0.0.1"):
    """Whether something accepts connections on `port`."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.settimeout(2)
        return s.connect_ex((host, port)) == 0


def held_by_site(website, tag):
    """How many requests tagged `tag` the local web site holds back right now."""
    with urllib.request.urlopen("%s/_held?tag=%s" % (website, tag), timeout=5) as answer:
        return json.load(answer)


def ask_center(center_url, serverid, target, timeout=30):
    """A panel's request to a dispatch center: its status and its decoded JSON answer."""
    body = urllib.parse.urlencode({"serverid": serverid, "url": target}).encode()
    try:
        with urllib.request.urlopen(center_url + contract.PANEL_PATH, data=body,
                                    timeout=timeout) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def json_post_recorder(answer, keep):
    """An HTTP handler class that answers every POST with the JSON `answer` (bytes) and appends
    keep(handler, body) to the class's `received`."""
    import http.server

    class Recorder(http.server.BaseHTTPRequestHandler):
        received = []

        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            Recorder.received.append(keep(self, body))
            self.send_response(200)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    return Recorder


def write_seen(path, seen):
    """What a lab saw, as JSON at `path`, for the test that ran it."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump(seen, f, ensure_ascii=False)
