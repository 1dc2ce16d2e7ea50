"""A small local web site for probes: fast, slow, redirecting, forbidden, failing and dropping
paths, on the loopback."""

import http.server
import socket
import threading
import time

PAGES = {
    "/": (200, "<html><body>home</body></html>"),
    "/fast": (200, "<html><body>" + "fast " * 400 + "</body></html>"),
    "/slow": (200, "<html><body>slow</body></html>"),
    "/redirect": (301, ""),
    "/forbidden": (403, "<html><body>forbidden</body></html>"),
    "/error": (500, "<html><body>internal error</body></html>"),
}
SLOW_SECONDS = 0.3


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path == "/drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if self.path == "/slow":
            time.sleep(SLOW_SECONDS)
        status, text = PAGES.get(self.path, (404, "<html><body>not found</body></html>"))
        payload = text.encode()
        self.send_response(status)
        if status in (301, 302):
            self.send_header("Location", "/fast")
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


def serve(host="127.0.0.1", port=0):
    """Starts the site in a background thread; returns (server, base URL)."""
    server = http.server.ThreadingHTTPServer((host, port), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://%s:%d" % (host, server.server_address[1])
