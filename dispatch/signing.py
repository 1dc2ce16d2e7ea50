"""Requests from the center to a node agent carry an HMAC-SHA256 of a timestamp and the body
under a secret both share. The agent refuses a request whose signature is wrong, whose
timestamp is too far from its own clock, or that it has seen before."""

import hashlib
import hmac
import threading
import time

TIMESTAMP_HEADER = "X-Boce-Timestamp"
SIGNATURE_HEADER = "X-Boce-Signature"
MAX_SKEW_SECONDS = 30


def read_secret(path):
    with open(path, "rb") as f:
        secret = f.read().strip()
    if len(secret) < 16:
        raise ValueError("%s: the shared secret must be at least 16 bytes" % path)
    return secret


def signature(secret, timestamp, body):
    return hmac.new(secret, timestamp.encode("ascii") + b"\n" + body, hashlib.sha256).hexdigest()


def signed_headers(secret, body, now=None):
    timestamp = "%d" % (time.time() if now is None else now)
    return {TIMESTAMP_HEADER: timestamp, SIGNATURE_HEADER: signature(secret, timestamp, body)}


class Verifier:
    """Checks signatures and remembers those it accepted while they could still be replayed."""

    def __init__(self, secret, clock=time.time):
        self._secret = secret
        self._clock = clock
        self._seen = {}  # signature -> timestamp
        self._lock = threading.Lock()

    def check(self, headers, body):
        """None when the request may be served, otherwise why not."""
        timestamp = headers.get(TIMESTAMP_HEADER, "")
        given = headers.get(SIGNATURE_HEADER, "")
        if not timestamp.isdigit() or not given:
            return "unsigned request"
        if not hmac.compare_digest(signature(self._secret, timestamp, body), given):
            return "bad signature"
        now = self._clock()
        if abs(now - int(timestamp)) > MAX_SKEW_SECONDS:
            return "stale request"
        with self._lock:
            self._seen = {s: t for s, t in self._seen.items()
                          if now - t <= 2 * MAX_SKEW_SECONDS}
            if given in self._seen:
                return "replayed request"
            self._seen[given] = int(timestamp)
        return None
