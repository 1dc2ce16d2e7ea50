"""The HTTP handler base of the center and the agents: HTTP/1.1, every answer with its length,
and no log lines on standard error."""

import http.server
import json


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def send_text(self, status, content_type, text):
        payload = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type + "; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def send_json(self, status, value):
        self.send_text(status, "application/json", json.dumps(value, ensure_ascii=False))

    def log_message(self, *args):
        pass
