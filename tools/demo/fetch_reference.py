"""What a node may honestly read on this machine: the slowest of COUNT fetches of URL, each made
by a process of its own with the agents' own measuring code (a curl loop prepared as an agent
prepares its own), all let go at one moment as a request reaches every agent at once, with
nothing of the probe network around them. Prints it in milliseconds. The demo holds its nodes'
readings against it, made just before each run, so a slow or busy machine (two demos at once on
two cores) raises the bound with the readings, and only what the network adds counts.

    python -m tools.demo.fetch_reference URL COUNT [--ca-file FILE]"""

import argparse
import asyncio
import multiprocessing

from boce_dispatch.agent import http_probe
from boce_dispatch.agent.curl_loop import CurlLoop

FETCH_SECONDS = 5
WAIT_SECONDS = 30


def _fetch_when_let_go(url, ca_file, start, answers):
    async def fetch():
        curl_loop = CurlLoop()
        try:
            await http_probe.prepare_tls(curl_loop, ca_file)
            start.wait(WAIT_SECONDS)  # every fetcher ready: all of them go now
            return await http_probe.probe(
                curl_loop, url, asyncio.get_running_loop().time() + FETCH_SECONDS,
                http_probe.ProbeOptions(allow_private=True, ca_file=ca_file))
        finally:
            curl_loop.close()

    answers.put(asyncio.run(fetch())["total_time"])


def slowest_ms(url, count, ca_file=None):
    processes = multiprocessing.get_context("fork")
    start, answers = processes.Barrier(count + 1), processes.Queue()
    fetchers = [processes.Process(target=_fetch_when_let_go, args=(url, ca_file, start, answers))
                for _ in range(count)]
    for fetcher in fetchers:
        fetcher.start()
    try:
        start.wait(WAIT_SECONDS)
        return max(answers.get(timeout=WAIT_SECONDS) for _ in fetchers)
    finally:
        for fetcher in fetchers:
            fetcher.join(WAIT_SECONDS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("url")
    parser.add_argument("count", type=int)
    parser.add_argument("--ca-file", help="the CA the site's certificate is of")
    options = parser.parse_args()
    print("%.3f" % slowest_ms(options.url, options.count, options.ca_file))


if __name__ == "__main__":
    main()
