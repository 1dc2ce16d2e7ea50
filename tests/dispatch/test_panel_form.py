"""The panels' form: bad input is a 4xx and one escaped log line."""

import time

import pytest

from boce_dispatch.logtext import Throttled
from tests.dispatch.helpers import (
    BIG_HEAD,
    FORM,
    POST_HEAD,
    center_log_after,
    exchange,
    request,
)

BOUNDARY = "multipart/form-data; boundary=b"


MULTIPART = b"".join(b"--b\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nx\r\n" % n
                     for n in range(1300)) + b"--b--\r\n"


STRANGER_REQUESTS = [
    # (what, the bytes sent, the status line's start, what the one log line holds)
    ("a head of 120 headers of 8,000 bytes",
     POST_HEAD + BIG_HEAD + b"\r\n", b"HTTP/1.1 431",
     "head-over-32768-bytes"),
    ("a header line over 8 KiB", b"GET /livez HTTP/1.1\r\nX: " + b"v" * 9000 + b"\r\n\r\n",
     b"HTTP/1.0 400", "reason="),
    ("raw 0xFF bytes", request(b"serverid=\xff\xfe&url=\xff"), b"HTTP/1.1 400", "bad_form"),
    ("a URL whose bytes are not UTF-8", request(b"serverid=s1&url=http://x/%FF"),
     b"HTTP/1.1 400", "bad_form"),
    ("more fields than any panel sends", request(b"&".join(b"f%d=x" % n for n in range(300))),
     b"HTTP/1.1 400", "bad_form"),
    ("an unknown charset", request(b"serverid=s1", FORM[:-2] + "; charset=x-klingon\r\n"),
     b"HTTP/1.1 400", "bad_form"),
    ("a body marked gzip that is not", request(b"serverid=s1&url=http://x/",
                                               FORM + "Content-Encoding: gzip\r\n"),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a multipart form of 1,300 fields", request(MULTIPART, "Content-Type: %s\r\n" % BOUNDARY),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a multipart head whose body never comes",
     POST_HEAD + b"Content-Type: %s\r\nContent-Length: 60000"
     b"\r\n\r\n" % BOUNDARY.encode(), b"HTTP/1.1 415", "unsupported_form"),
    ("a nested multipart body", request(
        b"--b\r\nContent-Disposition: form-data; name=\"serverid\"\r\n"
        b"Content-Type: multipart/mixed; boundary=c\r\n\r\n--c\r\n\r\nx\r\n--c--\r\n--b--\r\n",
        "Content-Type: %s\r\n" % BOUNDARY), b"HTTP/1.1 415", "unsupported_form"),
    ("a JSON body", request(b'{"serverid": "s1"}', "Content-Type: application/json\r\n"),
     b"HTTP/1.1 415", "unsupported_form"),
    ("a serverid that forges a log line",
     request(b"serverid=x%0A2026-01-01 INFO panel serverid=s1 url=http://forged/&url=http://x/"),
     b"HTTP/1.1 403", "serverid='x\\n2026-01-01 INFO panel"),
    ("a URL no browser sends", request(b"serverid=s1&url=gopher://x/"), b"HTTP/1.1 400",
     "outcome=bad_url"),
]


@pytest.mark.parametrize("raw, status, logged", [r[1:] for r in STRANGER_REQUESTS],
                         ids=[r[0] for r in STRANGER_REQUESTS])
def test_bad_input_is_a_4xx_and_one_escaped_log_line(network, raw, status, logged):
    source = "127.0.5.%d" % (len(raw) % 250 + 1)  # no throttling by an earlier case
    time.sleep(1.01 / Throttled.BUDGET)  # nor by the budget of lines the earlier ones used
    answer, lines = center_log_after(network, lambda: exchange(network.port, raw, source))
    assert answer.startswith(status)
    assert len(lines.splitlines()) == 1 and logged in lines, lines
    assert "Traceback" not in lines and "INFO panel" not in lines.split("serverid=")[0]
