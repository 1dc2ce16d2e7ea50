"""libcurl's transfers on the event loop: side by side, measured as on a thread."""

import asyncio
import pathlib

import pytest
import uvloop

from boce_dispatch.agent import http_probe
from boce_dispatch.agent.curl_loop import CurlLoop
from tests.common import (
    held_by_site,
    wait_until,
)
from tools.lab.ports import free_port

LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


def on(curl_loop, url, allow_private=True, seconds=5, **options):
    """A probe of `url` on `curl_loop`, as an agent with `options` makes it."""
    return http_probe.probe(curl_loop, url, asyncio.get_running_loop().time() + seconds,
                            http_probe.ProbeOptions(allow_private=allow_private, **options))


@pytest.mark.parametrize("new_loop", LOOPS.values(), ids=LOOPS.keys())
def test_fetches_on_the_event_loop_run_side_by_side_and_measure_alike_on_any_loop(website,
                                                                                  new_loop):
    closed = "http://127.0.0.1:%d/" % free_port()
    cases = [(website + "/fast", True, 5), (website + "/error", True, 5),
             (website + "/redirect", True, 5), (website + "/drop", True, 5),
             (website + "/fast?delay=3", True, 0.5), (closed, True, 5),
             (website + "/fast", False, 5)]  # the last refused: not a global address
    tag = "side-by-side-%s" % new_loop.__module__

    def outcome(record):
        return record["http_code"], record["size_download"], record.get("reason")

    async def scenario():
        curl_loop = CurlLoop()
        held = [asyncio.ensure_future(on(curl_loop, website + "/fast?delay=1&tag=" + tag))
                for _ in range(3)]
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, wait_until, lambda: held_by_site(website, tag) == 3,
                                   "three fetches held by the site at once")
        records = await asyncio.gather(*(on(curl_loop, *case) for case in cases))
        assert [r["http_code"] for r in await asyncio.gather(*held)] == [200] * 3
        for _ in range(2):  # each fetch connects anew, as a first visit does
            assert (await on(curl_loop, website + "/"))["connect_time"] > 0
        cancelled = asyncio.ensure_future(on(curl_loop, website + "/fast?delay=5", seconds=10))
        await asyncio.sleep(0.2)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        assert curl_loop.transfers == {} and curl_loop.watched == {}  # nothing left behind
        curl_loop.close()
        return records

    with asyncio.Runner(loop_factory=new_loop) as runner:
        on_loop = runner.run(scenario())
    assert [outcome(r) for r in on_loop] == [
        outcome(http_probe.measure(url, seconds, http_probe.ProbeOptions(allow_private=private)))
        for url, private, seconds in cases]
    assert [outcome(r)[0] for r in on_loop] == [200, 500, 301, 0, 0, 0, 0]


def test_a_loop_loads_its_ca_store_before_any_probe_and_anew_only_when_refreshed(tls_sites,
                                                                                tmp_path):
    # The CA file changes under the loop: probes go on with the store prepared (none of them
    # loads it, so none counts the loading), and a refresh takes what the file holds now.
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(pathlib.Path(tls_sites.ca_file).read_bytes())
    unrelated_ca = pathlib.Path(tls_sites.ca_file).with_name("self-signed.pem").read_bytes()

    async def scenario():
        curl_loop = CurlLoop()
        reasons = []

        async def probe():
            record = await on(curl_loop, tls_sites.url["valid"] + "/fast", ca_file=str(ca_file))
            reasons.append(record["reason"])

        await http_probe.prepare_tls(curl_loop, str(ca_file))
        ca_file.write_bytes(unrelated_ca)
        await probe()
        await asyncio.sleep(1.1)  # a refresh takes a store older than a second
        await probe()
        await http_probe.prepare_tls(curl_loop, str(ca_file), refresh=True)
        await probe()
        curl_loop.close()
        return reasons

    assert asyncio.run(scenario()) == ["", "", "tls: unable to get local issuer certificate"]
