"""The event loop the center and the agents run on: uvloop's where it is installed."""

import asyncio
import sys

import pytest
import uvloop

from boce_dispatch import eventloop


@pytest.mark.parametrize("installed", [uvloop, None], ids=["uvloop", "without uvloop"])
def test_the_center_and_agents_run_on_uvloop_where_it_is_installed(monkeypatch, installed):
    monkeypatch.setitem(sys.modules, "uvloop", installed)  # None: its import fails

    async def running_loop(value):
        return asyncio.get_running_loop(), value

    ran_on, value = eventloop.run(running_loop(42))
    assert value == 42 and isinstance(ran_on, uvloop.Loop) == (installed is not None)
