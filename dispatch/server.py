"""The stand-in dispatch center: answers POST /api/local/boce as the maker's one does.

In probe mode every configured node fetches the task's `url` for real, all nodes at once, and
the answer is the JSON list of their probe result records. In scripted mode the answers come from
a file instead (exact bodies, HTTP errors, slow answers, dropped connections), for tests.

    python dispatch/server.py [--host 127.0.0.1] [--port 80] [--nodes nodes.json]
                              [--script answers.json] [--requests requests.jsonl]
"""

import argparse
import concurrent.futures
import http.client
import http.server
import json
import socket
import ssl
import sys
import threading
import time
import urllib.parse

NOT_RESPONDING = "节点未响应"
DEFAULT_NODES = [
    {"isp": "北京电信"}, {"isp": "上海联通"}, {"isp": "广州移动"}, {"isp": "深圳电信"},
    {"isp": "杭州联通"}, {"isp": "成都移动"}, {"isp": "武汉电信"}, {"isp": "西安联通"},
    {"isp": "南京移动"}, {"isp": "沈阳电信", "down": True},
]
PATH = "/api/local/boce"


def _ms(seconds):
    return round(seconds * 1000, 3)


def probe(url, isp, timeout):
    """One node's measurement of `url`: name look-up, first byte, whole body."""
    record = {"isp": isp, "primary_ip": "", "http_code": 0, "total_time": 0,
              "namelookup_time": 0, "starttransfer_time": 0, "size_download": 0,
              "speed_download": 0}
    parts = urllib.parse.urlsplit(url if "://" in url else "http://" + url)
    secure = parts.scheme == "https"
    port = parts.port or (443 if secure else 80)
    started = time.perf_counter()
    try:
        address = socket.getaddrinfo(parts.hostname, port, type=socket.SOCK_STREAM)[0][4][0]
    except (OSError, UnicodeError, TypeError):
        record["namelookup_time"] = record["total_time"] = _ms(time.perf_counter() - started)
        return record
    resolved = time.perf_counter()
    record["primary_ip"] = address
    record["namelookup_time"] = _ms(resolved - started)
    if secure:
        connection = http.client.HTTPSConnection(parts.hostname, port, timeout=timeout,
                                                 context=ssl.create_default_context())
    else:
        connection = http.client.HTTPConnection(address, port, timeout=timeout)
    size = 0
    try:
        target = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        connection.request("GET", target, headers={"Host": parts.netloc,
                                                   "User-Agent": "quellan-boce/1.0"})
        response = connection.getresponse()
        record["starttransfer_time"] = _ms(time.perf_counter() - started)
        record["http_code"] = response.status
        size = len(response.read())
    except (OSError, http.client.HTTPException):
        pass
    finally:
        connection.close()
    total = time.perf_counter() - started
    record["total_time"] = _ms(total)
    record["size_download"] = size
    record["speed_download"] = round(size / total, 3) if total > 0 else 0
    return record


class DispatchCenter:
    """The answers the HTTP handler gives; scripted answers take precedence when present."""

    def __init__(self, nodes=None, probe_timeout=10.0, script=None, request_log=None):
        self.nodes = nodes if nodes is not None else DEFAULT_NODES
        self.probe_timeout = probe_timeout
        self.script = list(script or [])
        self.request_log = request_log
        self.requests = []
        self._lock = threading.Lock()

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
        """The JSON answer to one request: a status record, or the nodes' probe records."""
        if not form.get("serverid"):
            return {"status": False, "msg": "服务器未登录，请先绑定账号"}
        url = form.get("url", "")
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(self.nodes) or 1) as pool:
            futures = [pool.submit(self._node_answer, node, url) for node in self.nodes]
            return [future.result() for future in futures]

    def _node_answer(self, node, url):
        if node.get("down"):
            return {"isp": NOT_RESPONDING, "primary_ip": "", "http_code": 0, "total_time": 0,
                    "namelookup_time": 0, "starttransfer_time": 0, "size_download": 0,
                    "speed_download": 0}
        return probe(url, node["isp"], self.probe_timeout)


def make_handler(center):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length).decode("utf-8", "replace")
            form = {k: v[-1] for k, v in urllib.parse.parse_qs(body, keep_blank_values=True).items()}
            center.record_request(form)
            if self.path != PATH:
                return self._send(404, "text/html", "<html><body>404 Not Found</body></html>")
            scripted = center.next_scripted()
            if scripted is None:
                return self._send(200, "application/json",
                                  json.dumps(center.answer(form), ensure_ascii=False))
            time.sleep(scripted.get("delay", 0))
            if scripted.get("drop"):
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return None
            return self._send(scripted.get("status", 200),
                              scripted.get("content_type", "application/json"),
                              scripted.get("body", ""))

        def _send(self, status, content_type, text):
            payload = text.encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", content_type + "; charset=utf-8")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def log_message(self, *args):
            pass

    return Handler


def serve(center, host="127.0.0.1", port=80):
    """Starts the dispatch center in a background thread; returns the server (shutdown() ends it)."""
    server = http.server.ThreadingHTTPServer((host, port), make_handler(center))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--nodes", help="JSON file: a list of {\"isp\": ..., \"down\": bool}")
    parser.add_argument("--script", help="JSON file: a list of scripted answers")
    parser.add_argument("--requests", help="file that receives each request as a JSON line")
    parser.add_argument("--probe-timeout", type=float, default=10.0)
    args = parser.parse_args(argv)
    nodes = json.load(open(args.nodes, encoding="utf-8")) if args.nodes else None
    script = json.load(open(args.script, encoding="utf-8")) if args.script else None
    center = DispatchCenter(nodes, args.probe_timeout, script, args.requests)
    server = http.server.ThreadingHTTPServer((args.host, args.port), make_handler(center))
    print("dispatch center listening on %s:%d" % (args.host, args.port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
