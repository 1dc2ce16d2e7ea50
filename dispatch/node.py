"""A node agent: fetches a URL for the dispatch center and answers one probe result record.

    python -m dispatch node --listen HOST:PORT --isp NAME --secret-file FILE [--allow-private]

It answers only signed requests (POST /probe, JSON {"url": ...}), measures with libcurl, whose
timing points are the record's own (name look-up, first byte, total), follows no redirect, reads
at most MAX_BODY_BYTES and gives up after PROBE_SECONDS. Unless --allow-private, it refuses to
connect to loopback, private, link-local, multicast or reserved addresses, checked on the address
it actually connects to, so a name that resolves differently the second time gains nothing."""

import http.server
import ipaddress
import json
import socket
import threading

import pycurl

from dispatch import replies, signing
from dispatch.records import empty_record

MAX_REQUEST_BYTES = 64 * 1024
MAX_BODY_BYTES = 8 * 1024 * 1024
PROBE_SECONDS = 15
USER_AGENT = "quellan-boce/1.0"


def is_public(address):
    ip = ipaddress.ip_address(address)
    if getattr(ip, "ipv4_mapped", None):
        ip = ip.ipv4_mapped
    return not (ip.is_private or ip.is_loopback or ip.is_link_local or ip.is_multicast
                or ip.is_reserved or ip.is_unspecified)


def _ms(seconds):
    return round(seconds * 1000, 3)


def probe(url, isp, allow_private=False, timeout=PROBE_SECONDS):
    """One measurement of `url`; failures leave the fields at what was measured so far."""
    record = empty_record(isp)
    size = [0]
    refused = []
    opened = []  # libcurl works on duplicates of these; ours are closed when it is done

    def open_socket(purpose, address):
        family, socktype, protocol, target = address
        if not allow_private and not is_public(target[0]):
            refused.append(target[0])
            return pycurl.SOCKET_BAD
        opened.append(socket.socket(family, socktype, protocol))
        return opened[-1]

    def keep_counting(chunk):
        size[0] += len(chunk)
        if size[0] > MAX_BODY_BYTES:
            return -1  # stops the transfer: the body is capped
        return None

    curl = pycurl.Curl()
    try:
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        curl.setopt(pycurl.FOLLOWLOCATION, 0)
        curl.setopt(pycurl.TIMEOUT_MS, int(timeout * 1000))
        curl.setopt(pycurl.NOSIGNAL, 1)
        curl.setopt(pycurl.USERAGENT, USER_AGENT)
        curl.setopt(pycurl.OPENSOCKETFUNCTION, open_socket)
        curl.setopt(pycurl.WRITEFUNCTION, keep_counting)
        try:
            curl.perform()
        except pycurl.error:
            pass  # what was measured stands; the code stays 0 without an answer
        record["primary_ip"] = "" if refused else curl.getinfo(pycurl.PRIMARY_IP)
        record["http_code"] = curl.getinfo(pycurl.RESPONSE_CODE)
        record["namelookup_time"] = _ms(curl.getinfo(pycurl.NAMELOOKUP_TIME))
        record["starttransfer_time"] = _ms(curl.getinfo(pycurl.STARTTRANSFER_TIME))
        total = curl.getinfo(pycurl.TOTAL_TIME)
        record["total_time"] = _ms(total)
        record["size_download"] = min(size[0], MAX_BODY_BYTES)
        record["speed_download"] = round(record["size_download"] / total, 3) if total > 0 else 0
    finally:
        curl.close()
        for sock in opened:
            sock.close()
    return record


def make_handler(isp, verifier, allow_private):
    class Handler(replies.Handler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            if self.path != "/probe":
                return self.send_json(404, {"error": "not found"})
            if length > MAX_REQUEST_BYTES:
                self.close_connection = True
                return self.send_json(413, {"error": "request too large"})
            body = self.rfile.read(length)
            refusal = verifier.check(self.headers, body)
            if refusal:
                return self.send_json(403, {"error": refusal})
            try:
                url = json.loads(body)["url"]
                scheme = url.split("://", 1)[0].lower() if "://" in url else ""
            except (ValueError, KeyError, TypeError, AttributeError):
                return self.send_json(400, {"error": "expected {\"url\": ...}"})
            if scheme not in ("http", "https"):
                return self.send_json(400, {"error": "only http and https"})
            return self.send_json(200, probe(url, isp, allow_private))

    return Handler


def serve(host, port, isp, secret, allow_private=False):
    """Starts an agent in a background thread; returns the server (shutdown() ends it)."""
    server = http.server.ThreadingHTTPServer(
        (host, port), make_handler(isp, signing.Verifier(secret), allow_private))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
