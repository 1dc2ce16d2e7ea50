"""Refusals in the log: a flood from one address is one line a second, and many addresses share a
few lines a second."""

import time

from boce_dispatch.logtext import Throttled
from tests.dispatch.helpers import (
    center_log_after,
    exchange,
    request,
)


def test_a_flood_of_refusals_from_one_address_is_logged_once_a_second(network):
    def flood():
        started = time.monotonic()
        for _ in range(100):
            exchange(network.port, request(b"serverid=nobody&url=http://x/"), "127.0.6.1")
        return time.monotonic() - started
    seconds, lines = center_log_after(network, flood)
    assert len(lines.splitlines()) <= seconds + 2
    assert "more like it" in lines or seconds < 1


def test_refusals_from_600_addresses_share_a_few_lines_a_second(network):
    def flood():
        started = time.monotonic()
        for n in range(1200):
            exchange(network.port, request(b"serverid=nobody&url=http://x/"),
                     "127.13.%d.%d" % divmod(n % 600 + 1, 250))
        return time.monotonic() - started
    seconds, lines = center_log_after(network, flood)
    assert len(lines.splitlines()) <= Throttled.BUDGET * (seconds + 2)
    assert "lines of all kinds left out" in lines
