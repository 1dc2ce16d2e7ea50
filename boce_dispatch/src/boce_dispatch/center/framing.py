"""Where each request a client sends on one connection begins and ends, read from its bytes
before aiohttp parses them: the head up to its blank line, then the body its framing headers
announce (Content-Length, or chunks up to the last one and its trailers), then the next head.

The front caps each head by it and knows when a client owes it the rest of a request. So the
reading must be aiohttp's: a request the front takes as whole must be whole to aiohttp as well,
and never the other way round, or a client could make the front count a head as a body (no
cap) or a connection as answered while aiohttp still waits for its body (never evicted). The
framing is therefore read only in the strict forms of the HTTP grammar that aiohttp's parser
reads the same way; a request whose framing takes any other form is refused (FramingRefused),
and the front answers it 400 before aiohttp sees it. A property test feeds both the same bytes.
"""

import re

MAX_HEAD_BYTES = 32 * 1024
MAX_LINE_BYTES = 8 * 1024  # aiohttp's limit for a line: a longer framing line is refused
_LINE_KEPT = 128  # of any other line: enough for its name; the rest is only counted
_LARGEST_LENGTH = 2 ** 64 - 1  # the largest body or chunk aiohttp's parser takes

_TOKEN = rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+"
_DIGITS = re.compile(rb"[0-9]+")
# A chunk's size in hex and its extensions (;name or ;name=value, no white space).
_CHUNK_SIZE = re.compile(rb"([0-9A-Fa-f]+)(?:;%s(?:=(?:%s|\"[^\"\\\r\n]*\"))?)*" % (_TOKEN, _TOKEN))
# The framing headers; and Upgrade, which would hand the rest of the connection to a protocol the
# center does not speak.
_CONTENT_LENGTH, _TRANSFER_ENCODING, _UPGRADE = b"content-length", b"transfer-encoding", b"upgrade"
_FRAMING_NAMES = (_CONTENT_LENGTH, _TRANSFER_ENCODING, _UPGRADE)

# What comes next: a line of a head, body bytes, the size line of a chunk, a chunk's bytes, the
# CRLF after them, or a line of a chunked body's trailers.
_HEAD, _BODY, _CHUNK_SIZE_LINE, _CHUNK_DATA, _CHUNK_END, _TRAILERS = range(6)


class HeadTooLarge(Exception):
    """A head (or a chunk size line, or trailers) over the cap."""


class FramingRefused(Exception):
    """A request whose end the front cannot tell as aiohttp would; the message says why."""


class Framing:
    """Follows what a client sends on one connection, request by request. Each head, and each
    chunk size line and trailer section, is counted up to its end; `feed` raises HeadTooLarge as
    soon as one is over `max_head_bytes`, and FramingRefused for framing it does not read.
    `requests` counts the requests that have arrived whole."""

    def __init__(self, max_head_bytes=MAX_HEAD_BYTES):
        self.max_head_bytes = max_head_bytes
        self.requests = 0
        self._expect = _HEAD
        self._section_bytes = 0  # of the current head, size line or trailer section
        self._line = b""  # the current line, or its start
        self._line_bytes = 0  # the current line's length so far
        self._last = b""  # the last byte seen of a line
        self._keep = _LINE_KEPT  # how much of the current line is kept
        self._left = 0  # body, chunk or CRLF bytes still to come
        self._began = False  # whether the current head has its request line
        self._length = None  # the body length its head announced
        self._chunked = False

    def feed(self, data):
        position, end = 0, len(data)
        while position < end:
            if self._expect in (_BODY, _CHUNK_DATA, _CHUNK_END):
                position = self._take_data(data, position, end)
                continue
            newline = data.find(b"\n", position)
            stop = end if newline < 0 else newline + 1
            self._section_bytes += stop - position
            self._line_bytes += stop - position
            if self._section_bytes > self.max_head_bytes:
                raise HeadTooLarge
            kept = len(self._line)
            if kept < self._keep:
                self._line += data[position:min(stop, position + self._keep - kept)]
                if self._keep_framing_line():  # and the rest of this piece too
                    self._line += data[position + len(self._line) - kept:
                                       min(stop, position + self._keep - kept)]
            if newline >= 0:
                before = data[newline - 1:newline] if newline > position else self._last
                line, length = self._line, self._line_bytes
                self._line, self._line_bytes, self._keep = b"", 0, _LINE_KEPT
                self.requests += self._line_done(line, length, before == b"\r")
            self._last = data[stop - 1:stop]
            position = stop

    def _take_data(self, data, position, end):
        taken = min(self._left, end - position)
        if self._expect == _CHUNK_END:
            expected = b"\r\n"[2 - self._left:2 - self._left + taken]
            if data[position:position + taken] != expected:
                raise FramingRefused("no CRLF after a chunk's data")
        self._left -= taken
        if not self._left:
            self.requests += self._data_done()
        return position + taken

    def _keep_framing_line(self):
        """Keeps the whole of a line whose value decides where a request ends: True when it has
        just learnt that the current line is one."""
        if self._keep == MAX_LINE_BYTES:
            return False
        if self._expect == _CHUNK_SIZE_LINE or (
                self._expect == _HEAD and self._began and
                self._line.partition(b":")[0].lower() in _FRAMING_NAMES):
            self._keep = MAX_LINE_BYTES
            return True
        return False

    def _line_done(self, kept, length, crlf):
        """A line has ended: `kept` is as much of it as was kept, `length` its whole length,
        `crlf` whether it ended in CRLF."""
        empty = length <= 2 and kept.rstrip(b"\r\n") == b""
        if self._expect == _HEAD and not self._began:
            # Empty lines before a request line are skipped, as aiohttp skips them.
            if empty:
                return 0
            self._began = True
        if not crlf:
            raise FramingRefused("a line that does not end in CRLF")
        line = kept[:-2]
        if self._expect == _HEAD:
            return self._head_done() if empty else self._head_line(line, length)
        if self._expect == _CHUNK_SIZE_LINE:
            self._chunk_size(line, length)
            return 0
        if empty:  # the end of the trailers: the request is whole
            self._start_head()
            return 1
        return 0

    def _head_line(self, line, length):
        name, colon, value = line.partition(b":")
        name = name.lower()
        if not colon or name not in _FRAMING_NAMES:
            return 0
        if length > MAX_LINE_BYTES:
            raise FramingRefused("a framing header over %d bytes" % MAX_LINE_BYTES)
        value = value.strip(b" \t")
        if name == _UPGRADE:
            raise FramingRefused("an upgrade to another protocol")
        if self._length is not None or self._chunked:
            raise FramingRefused("a second framing header")
        if name == _CONTENT_LENGTH:
            if not _DIGITS.fullmatch(value) or int(value) > _LARGEST_LENGTH:
                raise FramingRefused("a Content-Length that is no length")
            self._length = int(value)
        elif value.lower() == b"chunked":
            self._chunked = True
        else:
            raise FramingRefused("a Transfer-Encoding other than chunked")
        return 0

    def _head_done(self):
        if self._chunked:
            self._start(_CHUNK_SIZE_LINE)
        elif self._length:
            self._expect, self._left = _BODY, self._length
        else:
            self._start_head()
            return 1
        return 0

    def _chunk_size(self, line, length):
        size = _CHUNK_SIZE.fullmatch(line) if length <= MAX_LINE_BYTES else None
        if size is None or int(size[1], 16) > _LARGEST_LENGTH:
            raise FramingRefused("a chunk size line that is no size")
        self._left = int(size[1], 16)
        if self._left:
            self._expect = _CHUNK_DATA
        else:
            self._start(_TRAILERS)

    def _data_done(self):
        if self._expect == _CHUNK_DATA:
            self._expect, self._left = _CHUNK_END, 2
            return 0
        if self._expect == _CHUNK_END:
            self._start(_CHUNK_SIZE_LINE)
            return 0
        self._start_head()
        return 1

    def _start(self, expect):
        self._expect, self._section_bytes = expect, 0

    def _start_head(self):
        self._start(_HEAD)
        self._began, self._length, self._chunked = False, None, False
