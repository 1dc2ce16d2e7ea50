"""The center's HTTP front as the Internet meets it: what one connection and one client address
may cost before aiohttp sees a request.

Every connection is counted in total and per client address; one beyond either cap is closed at
once. A request head (request line and headers) larger than MAX_HEAD_BYTES is answered 431 and
the connection closed, whatever aiohttp's per-line limits would still let through. Connections
from a trusted proxy count only towards the total: the proxy limits its own clients. What closed
connections held is given back to the system soon after they close (glibc keeps freed memory in
its arenas otherwise)."""

import asyncio
import ctypes
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
MAX_CONNECTIONS_PER_ADDRESS = 64
RESERVED_FILES = 64  # descriptors kept for NATS, the log and the metrics listener
TRIM_DELAY_SECONDS = 1.0
_HEAD_END = b"\r\n\r\n"
_TOO_LARGE_TEXT = b"the request head is too large\n"
_TOO_LARGE = (b"HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n"
              b"Content-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
              % (len(_TOO_LARGE_TEXT), _TOO_LARGE_TEXT))

log = logging.getLogger("boce.center")


def _malloc_trim():
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):  # not glibc: its allocator gives memory back itself
        return lambda: None
    trim.argtypes = (ctypes.c_size_t,)
    return lambda: trim(0)


class Guard:
    """The counts of open connections, shared by every listener of one center."""

    def __init__(self, max_connections=MAX_CONNECTIONS, per_address=MAX_CONNECTIONS_PER_ADDRESS,
                 trusted_proxies=(), throttled=None):
        self.max_connections = max_connections
        self.per_address = per_address
        self.trusted_proxies = tuple(ipaddress.ip_network(p) for p in trusted_proxies)
        self.throttled = throttled or Throttled(log)
        self.open = 0
        self.open_by_address = {}
        self.by_transport = {}  # transport -> its GuardedConnection, for the request middleware
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

    def admit(self, address):
        if self.open >= self.max_connections:
            self.throttled.warning("connections", "*", "refused connection address=%s "
                                   "reason=%d-connections-open", address, self.open)
            return False
        if not self.is_trusted_proxy(address):
            if self.open_by_address.get(address, 0) >= self.per_address:
                self.throttled.warning("connections", address, "refused connection address=%s "
                                       "reason=%d-connections-from-this-address",
                                       address, self.per_address)
                return False
            self.open_by_address[address] = self.open_by_address.get(address, 0) + 1
        self.open += 1
        return True

    def release(self, address):
        self.open -= 1
        count = self.open_by_address.get(address)
        if count is not None:
            if count <= 1:
                del self.open_by_address[address]
            else:
                self.open_by_address[address] = count - 1
        if self._trim_handle is None:
            self._trim_handle = asyncio.get_running_loop().call_later(
                TRIM_DELAY_SECONDS, self._give_back)

    def _give_back(self):
        self._trim_handle = None
        self._trim()

    def connection(self, protocol):
        return GuardedConnection(self, protocol)


class GuardedConnection(asyncio.Protocol):
    """Stands before aiohttp's protocol of one connection: admits it, and counts the bytes of
    each request head up to its blank line."""

    def __init__(self, guard, inner):
        self.guard = guard
        self.inner = inner
        self.transport = None
        self.address = None
        self.in_head = True
        self.head_bytes = 0
        self.tail = b""  # the last bytes of the head so far, to find a blank line split in two

    def connection_made(self, transport):
        peer = transport.get_extra_info("peername")
        address = peer[0] if peer else "-"
        if not self.guard.admit(address):
            self.inner = None
            transport.abort()
            return
        self.transport, self.address = transport, address
        self.guard.by_transport[transport] = self
        self.inner.connection_made(transport)

    def data_received(self, data):
        if self.inner is None:
            return
        if self.in_head and not self._head_fits(data):
            self.guard.throttled.warning("head", self.address, "refused request address=%s "
                                         "reason=head-over-%d-bytes", self.address,
                                         MAX_HEAD_BYTES)
            self.transport.write(_TOO_LARGE)
            self.transport.close()
            return
        self.inner.data_received(data)

    def _head_fits(self, data):
        end = (self.tail + data).find(_HEAD_END)
        if end < 0:
            self.head_bytes += len(data)
            self.tail = data[-3:]
            return self.head_bytes <= MAX_HEAD_BYTES
        self.head_bytes += end + len(_HEAD_END) - len(self.tail)
        self.in_head, self.tail = False, b""
        return self.head_bytes <= MAX_HEAD_BYTES

    def request_done(self):
        """The next bytes begin a new request head (keep-alive)."""
        self.in_head, self.head_bytes, self.tail = True, 0, b""

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
        self.guard.by_transport.pop(self.transport, None)
        self.guard.release(self.address)
        inner, self.inner = self.inner, None
        inner.connection_lost(exc)


def request_middleware(guard):
    """Marks the end of each request on its connection, so that the next head is measured."""
    @web.middleware
    async def mark_request_done(request, handler):
        try:
            return await handler(request)
        finally:
            connection = guard.by_transport.get(request.transport)
            if connection is not None:
                connection.request_done()
    return mark_request_done


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
        self.throttled.warning("unparsable", address, "refused request address=%s reason=%s",
                               shown(address), shown(str(error.message or error)))
        return False


def quiet_parser_errors(throttled):
    logging.getLogger("aiohttp.server").addFilter(_ParserErrors(throttled))
