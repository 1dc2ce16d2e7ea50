"""How the center and the agents connect to the NATS servers, and how they report trouble
with them."""

import asyncio
import inspect
import ssl

import nats
import nats.aio.client

from boce_dispatch.logtext import Throttled, shown

# A NATS failure is logged when it first happens, then at most this often, with a count.
TROUBLE_REPEAT_SECONDS = 30


def tls_context(ca_file):
    return ssl.create_default_context(cafile=ca_file) if ca_file else None


def wants_tls(settings):
    """Whether the link must be TLS: a CA of the servers is given, or a tls:// server named."""
    return settings.ca_file is not None or any(
        server.startswith("tls://") for server in settings.servers)


class NoTls(nats.errors.Error):
    def __str__(self):
        return "nats: the server offers no TLS; the password is not sent over a plain link"


def is_authorization_violation(error):
    return isinstance(error, nats.errors.AuthorizationError) or (
        "authorization violation" in str(error).lower())


class Trouble:
    """NATS failures as an operator reads them: the first with the servers it concerns, then
    one line per TROUBLE_REPEAT_SECONDS saying how many more came; `last` is the latest."""

    def __init__(self, log, settings):
        self.servers = ",".join(settings.servers)
        self.throttled = Throttled(log, TROUBLE_REPEAT_SECONDS)
        self.last = None

    def note(self, error):
        self.last = "%s: %s" % (type(error).__name__, error) if str(error) else \
            type(error).__name__
        self.throttled.warning("nats", "-", "nats error servers=%s error=%s",
                               self.servers, shown(self.last, 200))


# A link that dies without a reset (a frozen server or host, dropped packets) is found by the
# pings the client sends: one every PING_SECONDS, and the link counts as lost, and reconnects,
# when PINGS_UNANSWERED of them are unanswered, so within 4 to 6 seconds. nats-py's own defaults
# (2 of 120 s) let it pass for connected for six minutes.
PING_SECONDS = 2
PINGS_UNANSWERED = 2


def _reads_messages_as_expected(client_class):
    """Whether nats-py hands each message it reads to `_process_msg(sid, subject, reply, data,
    headers)`, as the releases Connection was measured with do (2.16); another release is
    used as it is."""
    method = getattr(client_class, "_process_msg", None)
    return inspect.iscoroutinefunction(method) and list(
        inspect.signature(method).parameters) == ["self", "sid", "subject", "reply", "data",
                                                  "headers"] and hasattr(
        client_class, "_process_headers")


class Connection(nats.aio.client.Client):
    """nats-py's client, with `handle`: a subscription whose messages are handled as they are
    read. nats-py hands each message of a subscription to a task of its own through a queue,
    as a message object: at 10,000 answers to a panel that is two thirds of the center's work
    per answer (make bench-scale)."""

    HANDLES_AS_READ = _reads_messages_as_expected(nats.aio.client.Client)

    def __init__(self, tls_only=False):
        super().__init__()
        self._handlers = {}  # subscription id -> handler
        self.tls_only = tls_only

    async def _process_info(self, info, initial_connection=False):
        # nats-py turns to TLS only when the server's INFO asks for it, and sends the password
        # either way: a server (or whoever stands between) that does not ask would read it.
        if initial_connection and self.tls_only and not info.get("tls_required"):
            raise NoTls()
        return await super()._process_info(info, initial_connection=initial_connection)

    async def handle(self, subject, handler):
        """Subscribes to `subject`; `handler(subject, data, headers)` is called with each
        message, in the order they came, from the task that reads the connection: it must
        neither block nor wait. Its errors go to the connection's error callback, as nats-py's
        own callbacks' do, and the connection reads on."""
        if not self.HANDLES_AS_READ:
            async def handle_one(message):
                handler(message.subject, message.data, message.headers)
            return await self.subscribe(subject, cb=handle_one)
        subscription = await self.subscribe(subject)
        self._handlers[subscription._id] = handler
        return subscription

    async def _process_msg(self, sid, subject, reply, data, headers):
        handler = self._handlers.get(sid)
        if handler is None or sid not in self._subs:
            return await super()._process_msg(sid, subject, reply, data, headers)
        self.stats["in_msgs"] += 1
        self.stats["in_bytes"] += len(data)
        try:
            handler(subject.decode(), data,
                    await self._process_headers(headers) if headers else None)
        except Exception as error:  # noqa: BLE001 - the connection reads on
            await self._error_cb(error)


async def connect(settings, name, **callbacks):
    """A connection that keeps reconnecting, to any of the servers, for the process's life (the
    first connection too). Publishes made while it reconnects are buffered and sent once it is
    back."""
    connection = Connection(tls_only=wants_tls(settings))
    await connection.connect(
        servers=list(settings.servers), user=settings.user, password=settings.password,
        tls=tls_context(settings.ca_file), name=name, connect_timeout=5,
        max_reconnect_attempts=-1, reconnect_time_wait=0.25, ping_interval=PING_SECONDS,
        max_outstanding_pings=PINGS_UNANSWERED, **callbacks)
    return connection


# How long a stopping process waits for NATS to take what it has buffered.
GOODBYE_SECONDS = 5


async def goodbye(connection, log):
    """Sends what `connection` has buffered and closes it. Each process has already let go of its
    subscriptions and answered what was in flight, so this is one round trip. A NATS server that
    is gone or silent must not hold the process or fail its exit: that is one line, and the
    process still ends cleanly.

    Not nats-py's drain: cancelled on a silent server it leaves a gathered future whose error
    nobody reads (asyncio reports it later) and then waits 10 s more for a flush of its own."""
    try:
        if connection.is_connected:
            await connection.flush(GOODBYE_SECONDS)
            why = None
        else:
            why = "NATS is not connected"
    except Exception as error:  # noqa: BLE001 - stopping all the same
        why = shown(str(error) or type(error).__name__)
    if why is not None:
        log.warning("stopped without a clean NATS goodbye: %s", why)
    try:
        await connection.close()
    except asyncio.CancelledError:
        # nats-py's close waits for its transport's closing, which a connection lost at the same
        # moment has already cancelled: that ends no task, unless this one is being cancelled.
        if getattr(asyncio.current_task(), "cancelling", lambda: 0)():
            raise
    except Exception:  # noqa: BLE001, S110 - what it still held had nowhere to go
        pass


async def cancel(task):
    """Cancels `task` and waits until it has ended. nats-py's connecting loop can lose a
    cancellation (asyncio.wait_for inside it swallows one that meets a failed connect), so it
    is cancelled again until it ends."""
    while not task.done():
        task.cancel()
        await asyncio.wait({task}, timeout=0.1)
