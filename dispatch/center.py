"""The dispatch center: answers the plug-in's POST /api/local/boce by asking every configured
node agent at once and collecting their probe result records within a deadline.

    python -m dispatch center --listen HOST:PORT --config FILE [--script answers.json]

Only servers on the configuration's allow-list are served (any other gets HTTP 403 with a JSON
error and nothing is probed); one probe at a time per server, and at most `max_probes` at once.
A node that fails, refuses or does not answer in time gives the "节点未响应" record. The answer is
the JSON list, one record per node, in configuration order. In scripted mode (for tests) the
answers come from a list instead: exact bodies, HTTP errors, slow answers, dropped connections."""

import concurrent.futures
import http.server
import json
import secrets
import socket
import threading
import time
import urllib.parse
import urllib.request

from dispatch import replies, signing
from dispatch.records import NOT_RESPONDING, empty_record

PATH = "/api/local/boce"
NOT_LOGGED_IN = "服务器未登录，请先绑定账号"


def not_responding():
    return empty_record(NOT_RESPONDING)


class DispatchCenter:
    """What the HTTP handler answers. `nodes`: [{"name": ..., "url": agent URL}, ...];
    `allowed_servers`: the serverids served, or None to serve any server that has one."""

    def __init__(self, nodes, secret, allowed_servers=None, deadline=20.0, max_probes=8,
                 script=None, request_log=None):
        self.nodes = list(nodes)
        self.secret = secret
        self.allowed_servers = None if allowed_servers is None else set(allowed_servers)
        self.deadline = deadline
        self.script = list(script or [])
        self.request_log = request_log
        self.requests = []
        self._lock = threading.Lock()
        self._busy = set()
        self._slots = threading.BoundedSemaphore(max_probes)

    def set_script(self, answers):
        with self._lock:
            self.script = list(answers)

    def next_scripted(self):
        with self._lock:
            if not self.script:
                return None
            return self.script.pop(0) if len(self.script) > 1 else self.script[0]

    def record_request(self, form):
        with self._lock:
            self.requests.append(form)
            if self.request_log:
                with open(self.request_log, "a", encoding="utf-8") as f:
                    f.write(json.dumps(form, ensure_ascii=False) + "\n")

    def answer(self, form):
        """(HTTP status, JSON value) for one request of the plug-in."""
        server = form.get("serverid", "")
        if self.allowed_servers is None:
            if not server:
                return 200, {"status": False, "msg": NOT_LOGGED_IN}
        elif server not in self.allowed_servers:
            return 403, {"status": False, "msg": "unknown server"}
        with self._lock:
            if server in self._busy:
                return 429, {"status": False, "msg": "a probe of this server is under way"}
            if not self._slots.acquire(blocking=False):
                return 503, {"status": False, "msg": "too many probes at once"}
            self._busy.add(server)
        try:
            return 200, self.probe_all(form.get("url", ""))
        finally:
            with self._lock:
                self._busy.discard(server)
                self._slots.release()

    def probe_all(self, url):
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, len(self.nodes)))
        try:
            futures = [pool.submit(self.ask_node, node, url) for node in self.nodes]
            concurrent.futures.wait(futures, timeout=self.deadline)
            return [self._result(node, future) for node, future in zip(self.nodes, futures)]
        finally:
            pool.shutdown(wait=False, cancel_futures=True)  # stragglers are not waited for

    def _result(self, node, future):
        if not future.done() or future.cancelled() or future.exception() is not None:
            return not_responding()
        return future.result()

    def ask_node(self, node, url):
        # A fresh nonce makes every request unique, so a second probe of the same URL within the
        # same second is not taken for a replay of the first.
        body = json.dumps({"url": url, "nonce": secrets.token_hex(16)}).encode("utf-8")
        request = urllib.request.Request(
            node["url"].rstrip("/") + "/probe", data=body, method="POST",
            headers=dict(signing.signed_headers(self.secret, body),
                         **{"Content-Type": "application/json"}))
        with urllib.request.urlopen(request, timeout=self.deadline) as response:
            record = json.loads(response.read().decode("utf-8"))
        if not isinstance(record, dict):
            raise ValueError("the node answered no record")
        record["isp"] = node["name"]
        return record


def make_handler(center):
    class Handler(replies.Handler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length).decode("utf-8", "replace")
            form = {k: v[-1] for k, v in urllib.parse.parse_qs(body, keep_blank_values=True).items()}
            center.record_request(form)
            if self.path != PATH:
                return self.send_text(404, "text/html", "<html><body>404 Not Found</body></html>")
            scripted = center.next_scripted()
            if scripted is None:
                return self.send_json(*center.answer(form))
            time.sleep(scripted.get("delay", 0))
            if scripted.get("drop"):
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return None
            return self.send_text(scripted.get("status", 200),
                              scripted.get("content_type", "application/json"),
                              scripted.get("body", ""))

    return Handler


def serve(center, host="127.0.0.1", port=80):
    """Starts the center in a background thread; returns the server (shutdown() ends it)."""
    server = http.server.ThreadingHTTPServer((host, port), make_handler(center))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
