"""The center's apps in the test's own process and event loop: its front and its routes at
their seams, reached over the loopback without NATS or any other process."""

import asyncio
import contextlib

from boce_dispatch.center import config, service
from boce_dispatch.nats_settings import NatsSettings


def center_config(nodes=(("北京电信", "bj"), ("上海联通", "sh")), **settings):
    """A center's configuration that knows the server "s1"; its NATS is never dialled."""
    return config.CenterConfig(
        nodes=tuple(config.Node(name, node_id) for name, node_id in nodes),
        allowed_servers=frozenset({"s1"}),
        nats=NatsSettings(("nats://127.0.0.1:9",), "center", "p" * 16), **settings)


@contextlib.asynccontextmanager
async def serving(app, guard, center=None):
    """`app` served behind `guard` on a port of the loopback (yielded) until the block ends."""
    runner = service.runner_of(app, center or center_config())
    try:
        yield await service.start_site(runner, ("127.0.0.1", 0), guard)
    finally:
        await runner.cleanup()


async def until(condition, seconds=10.0):
    """Lets the loop run until `condition()` holds; AssertionError after `seconds` without."""
    loop = asyncio.get_running_loop()
    give_up = loop.time() + seconds
    while not condition():
        assert loop.time() < give_up, "never came to pass"
        await asyncio.sleep(0.001)
