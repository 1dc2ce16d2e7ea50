"""The center's NATS link: opened with the panels' app and closed with it (`cleanup_context`, in
the app's cleanup context, so that the panels in flight are answered before it closes).
`connected` is the one place that says whether it stands."""

import asyncio
import contextlib
import logging

from boce_dispatch import bus
from boce_dispatch.center.gathering import Gatherer

log = logging.getLogger("boce.center")


class Link:
    def __init__(self, config, health):
        self.config = config
        self.health = health
        self.connection = None
        self.gatherer = None  # once connected
        self.closing = False  # a stop under way: losing NATS then is no trouble
        self.trouble = bus.Trouble(log, config.nats)
        self.connecting = None
        # Whatever was opened, on every path out: a connection whose set-up failed or was
        # cancelled half-way is closed too.
        self.opened = contextlib.AsyncExitStack()

    @property
    def connected(self):
        return self.gatherer is not None and self.connection.is_connected

    @property
    def server(self):
        """The NATS server it is connected to (host:port), or None."""
        return self.connection.connected_url.netloc if self.connected else None

    async def connect(self):
        async def disconnected():
            self.health.link_down()
            if self.closing:
                log.info("nats disconnected: stopping")
            else:
                log.warning("nats disconnected")

        async def reconnected():
            self.health.link_up()
            if self.gatherer is not None:
                self.gatherer.link_back()
            log.info("nats reconnected server=%s", connection.connected_url.netloc)

        async def failed(error):
            self.trouble.note(error)

        connection = await bus.connect(self.config.nats, "boce-center", error_cb=failed,
                                       disconnected_cb=disconnected,
                                       reconnected_cb=reconnected)
        self.opened.push_async_callback(bus.goodbye, connection, log)
        self.connection = connection
        gatherer = Gatherer(connection, self.config, self.health)
        await gatherer.start()
        self.gatherer = gatherer
        self.health.link_up()
        log.info("nats connected server=%s", connection.connected_url.netloc)

    async def close(self):
        self.closing = True
        await self.opened.aclose()

    def start(self):
        """Dials NATS in the background: the center answers HTTP from its start, with 503 and
        the reason while NATS cannot be reached. Called once the center listens, so that a
        listener that cannot be had ends the start before any word about NATS."""
        self.connecting = asyncio.ensure_future(self.connect())

    async def connected_within(self, seconds):
        """Returns once the first connection stands, or after `seconds` without one."""
        await asyncio.wait({self.connecting}, timeout=seconds)

    async def cleanup_context(self, app):
        """For app.cleanup_ctx: NATS is let go of when the app is cleaned up, once its panels in
        flight are answered."""
        try:
            yield
        finally:
            self.closing = True
            if self.connecting is not None:
                await bus.cancel(self.connecting)  # nothing when it is done
            await self.close()
