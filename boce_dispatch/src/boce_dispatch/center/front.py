"""The center's HTTP front as the Internet meets it: what one connection and one client may cost
before aiohttp sees a request.

Every connection is counted in total and per client; a client is an IPv4 address or an IPv6 /64
(one subscriber's network: its addresses are free to it). One beyond the client's cap is closed
at once; at the total cap, the connection that has waited longest for a client that owes it the
rest of a request (or the next one) is closed to take the new one, so slow clients cannot keep
out a panel that sends its request at once. Each request head on a connection (request line and
headers, up to its own blank line) larger than MAX_HEAD_BYTES is answered 431 and the connection
closed, whatever aiohttp's per-line limits would still let through: the front follows the bytes
request by request (Framing), so a head that comes after another request in the same write, or
one byte at a time, is counted the same. Connections from a trusted proxy count only towards the
total: the proxy limits its own clients. What closed connections held is given back to the
system soon after they close (glibc keeps freed memory in its arenas otherwise)."""

import asyncio
import collections
import ctypes
import functools
import ipaddress
import logging

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError

from boce_dispatch.logtext import Throttled, shown

# aiohttp's parser limits: the request line, each header line, and how many headers.
MAX_LINE_BYTES = 8 * 1024
MAX_HEADERS = 64
PARSER_LIMITS = {"max_line_size": MAX_LINE_BYTES, "max_field_size": MAX_LINE_BYTES,
                 "max_headers": MAX_HEADERS}
MAX_HEAD_BYTES = 32 * 1024
MAX_CONNECTIONS = 4096
MAX_CONNECTIONS_PER_CLIENT = 64
OPERATOR_CONNECTIONS = 64  # the operators' listener's own budget, apart from the panels'
RESERVED_FILES = 64  # descriptors kept for NATS and the log
TRIM_DELAY_SECONDS = 1.0
IPV6_CLIENT_PREFIX = 64
MAX_ADDRESS_LENGTH = 64  # an IPv6 address with a zone fits
_TOO_LARGE_TEXT = b"the request head is too large\n"
_TOO_LARGE = (b"HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
              b"Content-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
              % (len(_TOO_LARGE_TEXT), _TOO_LARGE_TEXT))

log = logging.getLogger("boce.center")


def client_of(address):
    """The client an address belongs to, as the caps and the log throttle count it: an IPv4
    address as it is, an IPv6 address by its /64 (an IPv4-mapped one by its IPv4 address).
    Text that is no address (a proxy's X-Real-IP may hold anything) is its own client."""
    if len(address) > MAX_ADDRESS_LENGTH:
        return address[:MAX_ADDRESS_LENGTH]
    return _client_of(address)


@functools.lru_cache(maxsize=4096)
def _client_of(address):
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        return address
    if ip.version == 4:
        return str(ip)
    if ip.ipv4_mapped is not None:
        return str(ip.ipv4_mapped)
    return str(ipaddress.IPv6Network((ip, IPV6_CLIENT_PREFIX), strict=False))


class HeadTooLarge(Exception):
    pass


# What Framing expects next: a line of a head or of a chunked body's trailers, body bytes, the
# size line of a chunk, a chunk's bytes, or the line end after them.
_HEAD, _BODY, _CHUNK_SIZE, _CHUNK_DATA, _CHUNK_END, _TRAILERS = range(6)
_LINE_KEPT = 128  # of each line: enough to read a framing header; the rest is only counted


class Framing:
    """Follows what a client sends on one connection, request by request: where each head ends
    (its blank line), how much body follows it (Content-Length, or chunks up to the last one and
    its trailers), and so where the next head begins. Each head, and each chunk size line and
    trailer section, is counted up to its end; `feed` raises HeadTooLarge as soon as one is over
    `max_head_bytes`. `requests` counts the requests that have arrived whole.

    Where the framing headers cannot be read, the bytes that follow are counted as a head:
    aiohttp refuses such a request, and until it does they cost no more than a head may."""

    def __init__(self, max_head_bytes=MAX_HEAD_BYTES):
        self.max_head_bytes = max_head_bytes
        self.requests = 0
        self._expect = _HEAD
        self._section_bytes = 0  # of the current head, size line or trailer section
        self._line = b""  # the start of the current line
        self._line_bytes = 0  # the current line's length so far
        self._left = 0  # body or chunk bytes still to come
        self._began = False  # whether the current head has its request line
        self._length = 0  # the body length its head announced
        self._chunked = False

    def feed(self, data):
        position, end = 0, len(data)
        while position < end:
            if self._expect in (_BODY, _CHUNK_DATA):
                taken = min(self._left, end - position)
                self._left -= taken
                position += taken
                if not self._left:
                    self.requests += self._data_done()
                continue
            newline = data.find(b"\n", position)
            stop = end if newline < 0 else newline + 1
            self._section_bytes += stop - position
            self._line_bytes += stop - position
            if self._section_bytes > self.max_head_bytes:
                raise HeadTooLarge
            if len(self._line) < _LINE_KEPT:
                self._line += data[position:min(stop, position + _LINE_KEPT - len(self._line))]
            position = stop
            if newline >= 0:
                line = self._line.rstrip(b"\r\n")
                empty = self._line_bytes <= 2 and not line
                self._line, self._line_bytes = b"", 0
                self.requests += self._line_done(line, empty)

    def _line_done(self, line, empty):
        if self._expect == _HEAD:
            return self._head_line(line, empty)
        if self._expect == _CHUNK_SIZE:
            self._chunk_size(line)
        elif self._expect == _CHUNK_END:
            self._start(_CHUNK_SIZE)
        elif empty:  # the end of the trailers: the request is whole
            self._start_head()
            return 1
        return 0

    def _head_line(self, line, empty):
        if not self._began:  # empty lines before a request line are skipped, as aiohttp does
            self._began = not empty
            return 0
        if not empty:
            name, _, value = line.partition(b":")
            name, value = name.strip().lower(), value.strip().lower()
            if name == b"content-length":
                self._length = int(value) if value.isdigit() and len(value) < 19 else None
            elif name == b"transfer-encoding":
                self._chunked = value.rsplit(b",", 1)[-1].strip() == b"chunked"
            return 0
        if self._chunked:
            self._start(_CHUNK_SIZE)
        elif self._length is None:  # unreadable: counted as a head from here on
            self._start_head()
        elif self._length:
            self._expect, self._left = _BODY, self._length
        else:
            self._start_head()
            return 1
        return 0

    def _chunk_size(self, line):
        size = line.partition(b";")[0].strip()
        try:
            self._left = int(size, 16) if size and len(size) <= 16 else None
        except ValueError:
            self._left = None
        if self._left is None:
            self._start_head()  # unreadable: counted as a head from here on
        elif self._left:
            self._expect = _CHUNK_DATA
        else:
            self._start(_TRAILERS)

    def _data_done(self):
        if self._expect == _CHUNK_DATA:
            self._start(_CHUNK_END)
            return 0
        self._start_head()
        return 1

    def _start(self, expect):
        self._expect, self._section_bytes = expect, 0

    def _start_head(self):
        self._start(_HEAD)
        self._began, self._length, self._chunked = False, 0, False


def _malloc_trim():
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):  # not glibc: its allocator gives memory back itself
        return lambda: None
    trim.argtypes = (ctypes.c_size_t,)
    return lambda: trim(0)


class Guard:
    """The open connections of one listener (or of several that share a budget): how many in
    all and per client, and which of them wait for their clients."""

    def __init__(self, max_connections=MAX_CONNECTIONS, per_client=MAX_CONNECTIONS_PER_CLIENT,
                 trusted_proxies=(), throttled=None):
        self.max_connections = max_connections
        self.per_client = per_client
        self.trusted_proxies = tuple(ipaddress.ip_network(p) for p in trusted_proxies)
        self.throttled = throttled or Throttled(log)
        self.open = 0
        self.open_by_client = {}
        self.by_transport = {}  # transport -> its GuardedConnection, for the request middleware
        # The connections whose clients owe them a request (the rest of one, or the next), in
        # the order they began to wait: at the cap, the first goes.
        self.waiting = collections.OrderedDict()
        self._trim = _malloc_trim()
        self._trim_handle = None

    def is_trusted_proxy(self, address):
        if not self.trusted_proxies:
            return False
        try:
            ip = ipaddress.ip_address(address)
        except ValueError:
            return False
        return any(ip in network for network in self.trusted_proxies)

    def admit(self, connection):
        address = connection.address
        client = None if self.is_trusted_proxy(address) else client_of(address)
        if client is not None and self.open_by_client.get(client, 0) >= self.per_client:
            self.throttled.warning("connections", client, "refused connection address=%s "
                                   "reason=%d-connections-from-this-client", address,
                                   self.per_client)
            return False
        if self.open >= self.max_connections:
            if not self.waiting:
                self.throttled.warning("connections", "*", "refused connection address=%s "
                                       "reason=%d-connections-open", address, self.open)
                return False
            slowest = next(iter(self.waiting))
            self.throttled.warning("slowest", "*", "closed connection address=%s reason="
                                   "slowest-of-%d-connections", slowest.address, self.open)
            slowest.close_for_another()
        connection.client = client
        if client is not None:
            self.open_by_client[client] = self.open_by_client.get(client, 0) + 1
        self.open += 1
        self.waiting[connection] = None
        return True

    def release(self, connection):
        self.open -= 1
        self.waiting.pop(connection, None)
        self.by_transport.pop(connection.transport, None)
        count = self.open_by_client.get(connection.client)
        if count is not None:
            if count <= 1:
                del self.open_by_client[connection.client]
            else:
                self.open_by_client[connection.client] = count - 1
        if self._trim_handle is None:
            self._trim_handle = asyncio.get_running_loop().call_later(
                TRIM_DELAY_SECONDS, self._give_back)

    def _give_back(self):
        self._trim_handle = None
        self._trim()

    def connection(self, protocol):
        return GuardedConnection(self, protocol)


class GuardedConnection(asyncio.Protocol):
    """Stands before aiohttp's protocol of one connection: admits it, follows its requests'
    framing, and tells the guard whether its client owes it a request or it owes an answer."""

    def __init__(self, guard, inner):
        self.guard = guard
        self.inner = inner
        self.transport = None
        self.address = None
        self.client = None
        self.framing = Framing()
        self.answered = 0  # requests whose handler has finished

    def connection_made(self, transport):
        peer = transport.get_extra_info("peername")
        self.transport, self.address = transport, peer[0] if peer else "-"
        if not self.guard.admit(self):
            self.inner = None
            transport.abort()
            return
        self.guard.by_transport[transport] = self
        self.inner.connection_made(transport)

    def data_received(self, data):
        if self.inner is None:
            return
        arrived = self.framing.requests
        try:
            self.framing.feed(data)
        except HeadTooLarge:
            self.guard.throttled.warning("head", self.client, "refused request address=%s "
                                         "reason=head-over-%d-bytes", self.address,
                                         MAX_HEAD_BYTES)
            self.transport.write(_TOO_LARGE)
            self.transport.close()
            return
        if self.framing.requests > arrived:
            self.guard.waiting.pop(self, None)  # the client is done; the center owes it
        self.inner.data_received(data)

    def request_answered(self):
        """A handler has finished: once all are, the connection waits for its client again."""
        self.answered += 1
        if self.inner is not None and self.answered >= self.framing.requests:
            self.guard.waiting.pop(self, None)
            self.guard.waiting[self] = None

    def close_for_another(self):
        """Closed at once, its place given to a new connection."""
        inner, self.inner = self.inner, None
        self.guard.release(self)
        self.transport.abort()
        inner.connection_lost(None)

    def eof_received(self):
        return self.inner.eof_received() if self.inner is not None else None

    def pause_writing(self):
        if self.inner is not None:
            self.inner.pause_writing()

    def resume_writing(self):
        if self.inner is not None:
            self.inner.resume_writing()

    def connection_lost(self, exc):
        if self.inner is None:
            return
        self.guard.release(self)
        inner, self.inner = self.inner, None
        inner.connection_lost(exc)


def request_middleware(guard):
    """Tells each request's connection when its handler has finished."""
    @web.middleware
    async def mark_request_answered(request, handler):
        try:
            return await handler(request)
        finally:
            connection = guard.by_transport.get(request.transport)
            if connection is not None:
                connection.request_answered()
    return mark_request_answered


class GuardedSite(web.BaseSite):
    """A TCP listener whose every connection passes the guard first."""

    def __init__(self, runner, host, port, guard, backlog):
        super().__init__(runner, backlog=backlog)
        self._host, self._port, self._guard = host, port, guard

    @property
    def name(self):
        return "http://%s:%d" % (self._host, self._port)

    async def start(self):
        await super().start()
        server = self._runner.server
        self._server = await asyncio.get_running_loop().create_server(
            lambda: self._guard.connection(server()), self._host, self._port,
            backlog=self._backlog, reuse_address=True)


class _ParserErrors(logging.Filter):
    """Turns aiohttp's traceback for a request it could not parse into one throttled line."""

    def __init__(self, throttled):
        super().__init__()
        self.throttled = throttled

    def filter(self, record):
        error = record.exc_info[1] if record.exc_info else None
        if not isinstance(error, HttpProcessingError):
            return True
        address = str(record.args[0]) if isinstance(record.args, tuple) and record.args else "-"
        self.throttled.warning("unparsable", client_of(address), "refused request address=%s "
                               "reason=%s", shown(address), shown(str(error.message or error)))
        return False


def quiet_parser_errors(throttled):
    logging.getLogger("aiohttp.server").addFilter(_ParserErrors(throttled))
