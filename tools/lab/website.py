"""A small local web site for probes: fast, slow, redirecting, forbidden, failing and dropping
paths, and any page (a drop too) held back by `?delay=SECONDS`; `/_held?tag=T` tells how many requests with
`?tag=T` it holds back right now, for a test that waits until probes are under way. aiohttp with a real listen backlog, so a burst of probes never waits on the site's own
accept queue; a per-client delay lets each probing host see its own latency.

    python tools/lab/website.py --listen HOST:PORT [--delays '{"10.0.0.2": 0.45}']"""

import argparse
import asyncio
import collections
import json
import threading

from aiohttp import web

PAGES = {
    "/": (200, "<html><body>home</body></html>"),
    "/fast": (200, "<html><body>" + "fast " * 400 + "</body></html>"),
    "/slow": (200, "<html><body>slow</body></html>"),
    "/redirect": (301, ""),
    "/forbidden": (403, "<html><body>forbidden</body></html>"),
    "/error": (500, "<html><body>internal error</body></html>"),
    "/测试": (200, "<html><body>测试</body></html>"),
}
SLOW_SECONDS = 0.3
BACKLOG = 4096


def make_app(delays=None):
    delays = delays or {}
    held = collections.Counter()  # tag -> requests held back now

    async def held_now(request):
        return web.json_response(held[request.query.get("tag", "")])

    async def page(request):
        delay = delays.get(request.remote, 0) + (SLOW_SECONDS if request.path == "/slow" else 0)
        try:  # ?delay=SECONDS holds any page that long (at most a minute)
            delay += min(max(float(request.query.get("delay", 0)), 0), 60)
        except ValueError:
            pass
        if delay:
            tag = request.query.get("tag", "")
            held[tag] += 1
            try:
                await asyncio.sleep(delay)
            finally:
                held[tag] -= 1
        if request.path == "/drop":
            request.transport.abort()  # the connection ends with no answer at all
            raise web.HTTPInternalServerError()
        status, text = PAGES.get(request.path, (404, "<html><body>not found</body></html>"))
        headers = {"Location": "/fast"} if status in (301, 302) else {}
        return web.Response(status=status, text=text, content_type="text/html",
                            headers=headers)

    app = web.Application()
    app.router.add_get("/_held", held_now)
    app.router.add_get("/{tail:.*}", page)
    return app


class Site:
    """The site served from a thread of its own; `base_url` once started."""

    def __init__(self, host="127.0.0.1", port=0, delays=None):
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(make_app(delays), access_log=None, keepalive_timeout=10)
        started = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(host, port, started), daemon=True)
        self.thread.start()
        started.wait()

    def _run(self, host, port, started):
        asyncio.set_event_loop(self.loop)
        self.loop.run_until_complete(self.runner.setup())
        site = web.TCPSite(self.runner, host, port, backlog=BACKLOG)
        self.loop.run_until_complete(site.start())
        bound = self.runner.addresses[0]
        self.base_url = "http://%s:%d" % (bound[0], bound[1])
        started.set()
        self.loop.run_forever()

    def shutdown(self):
        asyncio.run_coroutine_threadsafe(self.runner.cleanup(), self.loop).result(10)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


def serve(host="127.0.0.1", port=0, delays=None):
    """Starts the site; returns (site, base URL). site.shutdown() stops it."""
    site = Site(host, port, delays)
    return site, site.base_url


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--listen", default="127.0.0.1:8000")
    parser.add_argument("--delays", default="{}", help="JSON: client address -> seconds")
    args = parser.parse_args()
    host, _, port = args.listen.rpartition(":")
    web.run_app(make_app(json.loads(args.delays)), host=host, port=int(port), backlog=BACKLOG,
                access_log=None, print=lambda text: print("site ready", flush=True))


if __name__ == "__main__":
    main()
