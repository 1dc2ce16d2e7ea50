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

from boce_dispatch.center.framing import MAX_HEAD_BYTES, Framing, FramingRefused, HeadTooLarge
from boce_dispatch.ipv4_in_ipv6 import carried_ipv4
from boce_dispatch.logtext import Throttled, shown

# aiohttp's parser limits: the request line, each header line, and how many headers.
MAX_LINE_BYTES = 8 * 1024
MAX_HEADERS = 64
PARSER_LIMITS = {"max_line_size": MAX_LINE_BYTES, "max_field_size": MAX_LINE_BYTES,
                 "max_headers": MAX_HEADERS}
MAX_CONNECTIONS = 4096
MAX_CONNECTIONS_PER_CLIENT = 64
OPERATOR_CONNECTIONS = 64  # the operators' listener's own budget, apart from the panels'
# Requests that have arrived whole and wait for their answers: a panel sends one at a time, and a
# client that pipelines more while it reads no answer has its connection closed.
MAX_QUEUED_PER_CONNECTION = 4
MAX_QUEUED_PER_CLIENT = 64
RESERVED_FILES = 64  # descriptors kept for NATS and the log
TRIM_DELAY_SECONDS = 1.0
IPV6_CLIENT_PREFIX = 64
MAX_ADDRESS_LENGTH = 64  # an IPv6 address with a zone fits


def _closing_answer(status, text):
    """An answer the front writes itself before it closes the connection."""
    return (b"HTTP/1.1 %s\r\nConnection: close\r\nContent-Type: text/plain\r\n"
            b"Content-Length: %d\r\n\r\n%s" % (status, len(text), text))


_TOO_LARGE = _closing_answer(b"431 Request Header Fields Too Large",
                             b"the request head is too large\n")
_UNFRAMED = _closing_answer(b"400 Bad Request", b"the request's framing cannot be read\n")

log = logging.getLogger("boce.center")


def client_of(address):
    """The client an address belongs to, as the caps and the log throttle count it: an IPv4
    address as it is, an IPv6 address by its /64, or by the IPv4 address it stands for (mapped,
    6to4 or NAT64: one IPv4 address's whole 6to4 space is one client, as that address is).
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
    carried = carried_ipv4(ip)
    if carried is not None:
        return str(carried)
    return str(ipaddress.IPv6Network((ip, IPV6_CLIENT_PREFIX), strict=False))


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
        self.queued_by_client = {}  # requests arrived whole and not yet answered
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
        _count(self.open_by_client, connection.client, -1)
        _count(self.queued_by_client, connection.client, -connection.queued)
        if self._trim_handle is None:
            self._trim_handle = asyncio.get_running_loop().call_later(
                TRIM_DELAY_SECONDS, self._give_back)

    def queue(self, connection, arrived):
        """Counts `arrived` more requests of `connection` waiting for their answers; False when
        the connection or its client then has more queued than it may."""
        queued = _count(self.queued_by_client, connection.client, arrived)
        return connection.queued <= MAX_QUEUED_PER_CONNECTION and (
            connection.client is None or queued <= MAX_QUEUED_PER_CLIENT)

    def _give_back(self):
        self._trim_handle = None
        self._trim()

    def connection(self, protocol):
        return GuardedConnection(self, protocol)


def _count(counts, client, change):
    """Changes the count of `client` (nothing for None) by `change`; the count now. Counts of
    0 are let go of."""
    if client is None or not change:
        return counts.get(client, 0)
    count = counts.get(client, 0) + change
    if count > 0:
        counts[client] = count
    else:
        counts.pop(client, None)
    return count


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
        arrived, refusal = self.framing.requests, None
        try:
            self.framing.feed(data)
        except HeadTooLarge:
            refusal = ("head", "head-over-%d-bytes" % MAX_HEAD_BYTES, _TOO_LARGE)
        except FramingRefused as refused:
            refusal = ("framing", shown(str(refused)), _UNFRAMED)
        if self.framing.requests > arrived:
            self.guard.waiting.pop(self, None)  # the client is done; the center owes it
            if not self.guard.queue(self, self.framing.requests - arrived) and not refusal:
                refusal = ("queued", "%d-requests-queued" % self.queued, None)
        if refusal:
            self._refuse(*refusal)
            return
        self.inner.data_received(data)

    @property
    def queued(self):
        """Requests that have arrived whole and wait for their answers."""
        return self.framing.requests - self.answered

    def _refuse(self, kind, reason, answer=None):
        """Closes the connection for a request aiohttp never sees, after `answer` if one is
        given: the transport then takes no answer of aiohttp's still due."""
        self.guard.throttled.warning(kind, self.client, "refused request address=%s reason=%s",
                                     self.address, reason)
        if answer is None:
            self.transport.abort()
            return
        self.transport.write(answer)
        self.transport.close()

    def request_answered(self):
        """A handler has finished: once all are, the connection waits for its client again."""
        self.answered += 1
        if self.inner is None:
            return
        _count(self.guard.queued_by_client, self.client, -1)
        if self.answered >= self.framing.requests:
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
    """A TCP listener whose every connection passes the guard first: bound to host and port,
    or a listening socket given (systemd's)."""

    def __init__(self, runner, host, port, guard, backlog, sock=None):
        super().__init__(runner, backlog=backlog)
        self._host, self._port, self._guard, self._sock = host, port, guard, sock

    @property
    def name(self):
        return "http://%s:%d" % (self._host, self._port)

    async def start(self):
        await super().start()
        server = self._runner.server
        where = {"sock": self._sock} if self._sock is not None else {
            "host": self._host, "port": self._port, "reuse_address": True}
        self._server = await asyncio.get_running_loop().create_server(
            lambda: self._guard.connection(server()), backlog=self._backlog, **where)

    @property
    def port(self):
        """The port it listens on (the one asked for, or the one the system chose for 0)."""
        return self._server.sockets[0].getsockname()[1]


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
