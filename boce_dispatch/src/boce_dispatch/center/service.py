"""The center's process: its listeners, their connection budgets, and its life from start to a
clean stop."""

import asyncio
import gc
import logging
import os
import socket

from aiohttp import web

from boce_dispatch import contract, eventloop
from boce_dispatch.center import capacity, front, operators, panel_form
from boce_dispatch.center.link import Link
from boce_dispatch.center.metrics import Metrics, answer_buckets
from boce_dispatch.center.nodes import NodeHealth
from boce_dispatch.center.state import (
    BUSY,
    CENTER_APP,
    CONFIG,
    GUARD,
    HEALTH,
    LIMIT,
    LINK,
    METRICS,
    STOPPING,
)
from boce_dispatch.logtext import Throttled

MAX_FORM_BYTES = 64 * 1024
# A connection must deliver a whole request head within this (aiohttp's keep-alive timer runs
# from the moment the connection opens), so idle or trickling connections cannot pile up.
HEADER_SECONDS = 10
BACKLOG = 1024

log = logging.getLogger("boce.center")


class CannotListen(Exception):
    """A listener that could not start: its address and the system's reason, in one line."""


# The first descriptor systemd passes a socket-activated service (sd_listen_fds(3)).
LISTEN_FDS_START = 3
# How long the panels that wait in systemd's queue may wait for NATS before the center takes
# them (with 503 "not connected" while it still has no link): well inside the plug-in's 60 s.
HELD_PANELS_SECONDS = 10


def inherited_listener(environ=os.environ, fd=LISTEN_FDS_START):
    """The panels' listening socket systemd passed this process (boce-center.socket holds it
    across the center's restarts, so a panel that comes meanwhile waits in its queue for the
    next center instead of being refused), or None. The variables that said so are taken out
    of `environ`, as sd_listen_fds does."""
    if environ.get("LISTEN_PID") != str(os.getpid()) or environ.get("LISTEN_FDS") != "1":
        return None
    for name in ("LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"):
        environ.pop(name, None)
    return socket.socket(fileno=fd)


def make_app(config, guard=None, operator_routes=True):
    """The panels' app, with its NATS link in its cleanup context; with `operator_routes`, the
    operators' routes on the same port."""
    guard = guard or front.Guard(trusted_proxies=config.trusted_proxies)
    app = web.Application(client_max_size=MAX_FORM_BYTES,
                          middlewares=[front.request_middleware(guard)])
    app[CONFIG] = config
    app[BUSY] = set()
    app[LIMIT] = capacity.panels_at_once(config)
    app[HEALTH] = health = NodeHealth(config, answer_buckets(config))
    app[LINK] = link = Link(config, health)
    app[METRICS] = Metrics(config, health, connected=lambda: link.connected,
                           in_flight=lambda: len(app[BUSY]), max_probes=app[LIMIT])
    app[GUARD] = guard
    app[STOPPING] = asyncio.Event()
    app.cleanup_ctx.append(link.cleanup_context)
    app.router.add_post(contract.PANEL_PATH, panel_form.handle_panel_request)
    if operator_routes:
        operators.add_routes(app, app[METRICS])
    return app


def make_operator_app(center_app, guard):
    """/livez, /readyz, /healthz and /metrics of `center_app`, for a listener of their own."""
    app = web.Application(client_max_size=1024, middlewares=[front.request_middleware(guard)])
    app[CENTER_APP] = center_app
    app[GUARD] = guard
    operators.add_routes(app, center_app[METRICS])
    return app


def connection_room():
    """Raises this process's open-file limit as far as the system lets it (idle clients must not
    run the center out of descriptors long before memory) and says how many connections that
    leaves room for."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 65536 if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        soft = wanted
    return max(2, soft - front.RESERVED_FILES)


def guards(config, separate_operators):
    """The panels' guard and the operators' (the same one when they share a listener). The
    operators' listener has a budget of its own, which the panels' connections never use."""
    room = connection_room()
    throttled = Throttled(log)
    if not separate_operators:
        panels = front.Guard(min(front.MAX_CONNECTIONS, room), trusted_proxies=config
                             .trusted_proxies, throttled=throttled)
        return panels, panels
    operators = front.Guard(min(front.OPERATOR_CONNECTIONS, room // 2),
                            per_client=front.OPERATOR_CONNECTIONS, throttled=throttled)
    panels = front.Guard(min(front.MAX_CONNECTIONS, room - operators.max_connections),
                         trusted_proxies=config.trusted_proxies, throttled=throttled)
    return panels, operators


def runner_of(app, config):
    """The runner of one of the center's apps, with its server's limits."""
    # Bodies are read as sent: a content coding is refused, never decoded (_read_form).
    return web.AppRunner(app, access_log=None, keepalive_timeout=HEADER_SECONDS,
                         auto_decompress=False, shutdown_timeout=config.deadline_seconds + 1,
                         **front.PARSER_LIMITS)


async def start_site(runner, listen, guard, sock=None):
    """`runner`'s app served on `listen` (host, port; port 0 for any), or on the listening
    `sock` given, behind `guard`: the port it listens on."""
    await runner.setup()
    site = front.GuardedSite(runner, *listen, guard, BACKLOG, sock)
    try:
        await site.start()
    except OSError as error:  # a port that is taken or an address this machine does not have
        raise CannotListen("cannot listen on %s:%d: %s" % (*listen, error.strerror or error)) \
            from error
    return site.port


async def serve(config, listen, metrics_listen=None, ready=None):
    """Serves until SIGTERM or SIGINT; then takes no new panel, answers those in flight and
    returns. `listen` and `metrics_listen` are (host, port)."""
    guard, operator_guard = guards(config, metrics_listen is not None)
    front.quiet_parser_errors(guard.throttled)
    app = make_app(config, guard, operator_routes=metrics_listen is None)
    held = inherited_listener()
    sites = [(runner_of(app, config), listen, guard, held)]
    if metrics_listen is not None:
        sites.append((runner_of(make_operator_app(app, operator_guard), config), metrics_listen,
                      operator_guard, None))
    stopping = eventloop.stop_on_signals()
    panels_site, *operator_sites = sites
    try:
        if held is None:
            for site in sites:
                await start_site(*site)
            app[LINK].start()
        else:
            # The panels' listener is systemd's, so it stands already: the panels that came
            # while the center restarted wait in its queue until NATS is there too, and get
            # every node's record rather than 503 "not connected".
            for site in operator_sites:
                await start_site(*site)
            app[LINK].start()
            await app[LINK].connected_within(HELD_PANELS_SECONDS)
            await start_site(*panels_site)
        # What the center holds for its life (its modules, configuration and apps, a state per
        # node) is never looked through by the garbage collector again: with 10,000 nodes each
        # full collection took 50 to 60 ms, during which no answer was read.
        gc.freeze()
        if ready is not None:
            ready()
        await stopping.wait()
        app[STOPPING].set()  # /readyz says 503 from now on
        log.info("stopping: answering %d panels in flight", len(app[BUSY]))
    finally:
        # The panels' listener first: it answers the panels in flight, which need NATS, and
        # then lets NATS go (its cleanup context), while the operators' listener still tells
        # that the center is draining.
        for runner, *_ in sites:
            await runner.cleanup()


def run(config, listen, metrics_listen=None, ready=None):
    eventloop.run(serve(config, listen, metrics_listen, ready))
