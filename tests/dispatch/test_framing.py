"""The front's reading of where requests end, held to aiohttp's own parser: the same bytes, fed
to both a byte at a time, make the same requests whole, up to the first request either refuses;
and the heads are capped however the bytes arrive."""

import asyncio
from unittest import mock

import pytest
from aiohttp.http_exceptions import HttpProcessingError
from aiohttp.http_parser import HttpRequestParser
from hypothesis import given, settings
from hypothesis import strategies as st

from boce_dispatch.center import framing
from boce_dispatch.center.front import PARSER_LIMITS


class Aiohttp:
    """aiohttp's request parser as the center's server runs it: how many requests it has whole
    (every byte of their bodies), and whether it has refused one."""

    def __init__(self, loop):
        self.parser = HttpRequestParser(mock.Mock(), loop, 2 ** 16, **PARSER_LIMITS)
        self.payloads = []
        self.refused = False

    def feed(self, data):
        try:
            messages, upgraded, _ = self.parser.feed_data(data)
        except HttpProcessingError:
            self.refused = True
            return
        self.payloads += [payload for _, payload in messages]
        self.refused = upgraded  # what follows is no request to it

    @property
    def requests(self):
        return sum(payload.is_eof() for payload in self.payloads)


class Front:
    def __init__(self):
        self.framing = framing.Framing()
        self.refused = False

    def feed(self, data):
        try:
            self.framing.feed(data)
        except (framing.FramingRefused, framing.HeadTooLarge):
            self.refused = True

    @property
    def requests(self):
        return self.framing.requests


def agree(stream):
    """Feeds `stream` to both a byte at a time (each stops at its first refusal): the requests
    both have whole agree after every byte until either refuses. (front refused, aiohttp
    refused, requests the front had whole)."""
    loop = asyncio.new_event_loop()
    try:
        front, parser = Front(), Aiohttp(loop)
        for offset in range(len(stream)):
            for reader in (front, parser):
                if not reader.refused:
                    reader.feed(stream[offset:offset + 1])
            if not (front.refused or parser.refused):
                assert front.requests == parser.requests, (offset, stream[:offset + 1])
        return front.refused, parser.refused, front.requests
    finally:
        loop.close()


PAD = st.sampled_from([b"", b" ", b"\t", b" " * 200, b" \t" * 70])
ENDS = st.sampled_from([b"\r\n"] * 8 + [b"\n", b"\r", b"\r\r\n"])


@st.composite
def content_length(draw, body):
    value = b"%d" % len(body)
    value = draw(st.sampled_from([
        value, b"0" * draw(st.integers(1, 200)) + value, b"+" + value, b"-" + value,
        b"0x%x" % len(body), value + b"_0", value + b", " + value, b"", b"1" * 21,
        b"%d" % (len(body) + draw(st.integers(-3, 3)))]))
    return b"Content-Length:" + draw(PAD) + value + draw(PAD)


@st.composite
def chunked_body(draw):
    pieces = []
    for chunk in draw(st.lists(st.binary(min_size=1, max_size=12), max_size=3)):
        size = draw(st.sampled_from([b"%x", b"%X", b"000%x", b"-%x", b"0x%x", b"%x ", b" %x",
                                     b"%x;ext", b"%x;a=b;c=\"d e\"", b"%x; a", b"%x;"]))
        pieces.append(size % len(chunk) + draw(ENDS) + chunk + draw(
            st.sampled_from([b"\r\n"] * 6 + [b"\n", b"XX", b""])))
    last = draw(st.sampled_from([b"0", b"00", b"0;e=1", b"-0"]))
    trailers = draw(st.sampled_from([b"", b"X: y\r\n", b"Content-Length: 3\r\n", b"bad\r\n"]))
    return b"".join(pieces) + last + draw(ENDS) + trailers + draw(ENDS)


@st.composite
def request(draw):
    body = draw(st.binary(max_size=20))
    line = draw(st.sampled_from([b"POST /api/local/boce HTTP/1.1", b"GET /livez HTTP/1.1",
                                 b"POST / HTTP/1.0"]))
    end = draw(ENDS)
    headers = [b"Host: center"]
    if draw(st.booleans()):  # a header longer than what the front keeps of a line
        headers.append(b"X-Padding: " + b"p" * draw(st.integers(100, 300)))
    framings = draw(st.lists(st.sampled_from(["length", "chunked", "upgrade", "empty chunked"]),
                             max_size=2))
    for kind in framings:
        if kind == "length":
            headers.append(draw(content_length(body)))
        elif kind == "upgrade":
            headers.append(b"Connection: Upgrade" + end + b"Upgrade: websocket")
        else:
            coding = draw(st.sampled_from([b"chunked", b"Chunked", b"gzip, chunked",
                                           b"chunked, gzip", b"identity", b""]))
            headers.append(b"Transfer-Encoding:" + draw(PAD) + coding + draw(PAD))
    head = line + end + b"".join(h + end for h in headers) + end
    if "chunked" in framings or "empty chunked" in framings:
        return head + draw(chunked_body())
    return head + (body if "length" in framings else b"")


def in_pieces(stream, cuts):
    """(refused, requests whole) of a front fed `stream` in pieces cut at `cuts`."""
    front = Front()
    points = sorted({0, len(stream), *[cut % (len(stream) + 1) for cut in cuts]})
    for start, end in zip(points, points[1:], strict=False):
        if not front.refused:
            front.feed(stream[start:end])
    return front.refused, front.requests


@settings(max_examples=600)
@given(st.lists(request(), min_size=1, max_size=3), st.sampled_from([b"", b"\r\n"]),
       st.lists(st.integers(0, 10 ** 6), max_size=8))
def test_the_front_and_aiohttp_take_the_same_requests_as_whole(requests, between, cuts):
    stream = between.join(requests)
    front_refused, _, whole = agree(stream)
    # However the bytes arrive, the front reads them the same.
    assert in_pieces(stream, cuts) == (front_refused, whole)


# The plug-in's form, an operator's scrape and a chunked body as clients send them: both take
# every one, one after another on one connection.
PLAIN = [
    b"POST /api/local/boce HTTP/1.1\r\nHost: c\r\nContent-Type: application/x-www-form-urlencoded"
    b"\r\nContent-Length: 11\r\n\r\nserverid=s1",
    b"GET /metrics HTTP/1.1\r\nHost: c\r\nAccept: */*\r\n\r\n",
    b"POST /api/local/boce HTTP/1.1\r\nHost: c\r\ntransfer-encoding: chunked\r\n\r\n"
    b"5;name=value\r\nabcde\r\n00A\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n",
]


def test_requests_as_clients_send_them_are_followed_whole():
    assert agree(b"".join(PLAIN * 3)) == (False, False, 9)


@pytest.mark.parametrize("attack", [
    # A chunk size with a sign moved the old reading back onto its own line, for ever.
    b"-5\r\na", b"+5\r\nabcde\r\n", b"0x5\r\nabcde\r\n", b"5_0\r\n",
])
def test_a_chunk_size_that_is_no_hex_number_is_refused(attack):
    stream = b"POST / HTTP/1.1\r\nHost: c\r\nTransfer-Encoding: chunked\r\n\r\n" + attack
    assert agree(stream)[:2] == (True, True)


@pytest.mark.parametrize("header", [
    b"Content-Length:" + b" " * 200 + b"5", b"Content-Length: " + b"0" * 200 + b"5",
    b"Transfer-Encoding:" + b" " * 200 + b"chunked",
])
def test_framing_padded_past_what_is_kept_of_a_line_is_read_whole(header):
    """Padding used to push the value past the 128 bytes kept of a line: the front read no
    framing while aiohttp waited for the body, and the connection counted as answered."""
    head = b"POST / HTTP/1.1\r\nHost: c\r\n" + header + b"\r\n\r\n"
    body = b"0\r\n\r\n" if b"chunked" in header else b"abcde"
    assert agree(head + body + b"GET / HTTP/1.1\r\nHost: c\r\n\r\n") == (False, False, 2)


HEAD = b"POST / HTTP/1.1\r\nHost: x\r\n"


def framed(requests, split_points):
    """Feeds `requests` (bytes) to a Framing in pieces cut at `split_points`: (requests that
    arrived whole, whether a head was refused)."""
    reading = framing.Framing()
    cuts = sorted({0, len(requests), *[p % (len(requests) + 1) for p in split_points]})
    try:
        for start, end in zip(cuts, cuts[1:], strict=False):
            reading.feed(requests[start:end])
    except framing.HeadTooLarge:
        return reading.requests, True
    return reading.requests, False


def built(kind, detail):
    """One request of a kind the front must follow, as bytes."""
    if kind == "length":
        return HEAD + b"Content-Length: %d\r\n\r\n" % len(detail) + detail
    if kind == "chunked":
        return HEAD + b"Transfer-Encoding: chunked\r\n\r\n" + b"".join(
            b"%x;ext=1\r\n%s\r\n" % (len(c), c) for c in detail) + b"0\r\nTrailer: t\r\n\r\n"
    if kind == "after a blank line":
        return b"\r\nGET /livez HTTP/1.1\r\n\r\n"
    return HEAD + b"X: " + b"v" * (detail * 1024) + b"\r\n\r\n"  # a header of `detail` KiB


REQUESTS = st.lists(st.one_of(
    st.tuples(st.just("length"), st.binary(max_size=300)),
    st.tuples(st.just("chunked"), st.lists(st.binary(min_size=1, max_size=40), max_size=4)),
    st.tuples(st.just("after a blank line"), st.none()),
    st.tuples(st.just("large head"), st.integers(1, 40))), min_size=1, max_size=5)


@given(REQUESTS, st.lists(st.integers(0, 10 ** 6), max_size=40))
def test_each_head_is_counted_to_its_own_blank_line_however_the_bytes_arrive(kinds, cuts):
    requests = [built(kind, detail) for kind, detail in kinds]
    whole = b"".join(requests)
    too_large = [len(r.split(b"\r\n\r\n", 1)[0]) + 4 > framing.MAX_HEAD_BYTES for r in requests]
    expected = (too_large.index(True), True) if any(too_large) else (len(requests), False)
    assert framed(whole, cuts) == expected
    assert framed(whole, range(len(whole))) == expected  # one byte at a time
