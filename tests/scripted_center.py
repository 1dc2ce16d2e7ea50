"""What the tests put on the dispatch host's port 80: it notes every form the plug-in posts and
answers either with the next scripted answer (an exact body, an HTTP error, a delay, a dropped
connection) or, with no script, with what the real center of the probe network answers.

    python tests/scripted_center.py --listen HOST:PORT --center URL

Prints "ready" once it listens. The tests steer it over HTTP: PUT /_script with a JSON list of
answers, GET /_requests for the forms posted so far, DELETE /_requests to forget them."""

import argparse
import asyncio

import aiohttp
from aiohttp import web

from boce_dispatch import contract

PATH = contract.PANEL_PATH
SCRIPT = web.AppKey("script", list)
REQUESTS = web.AppKey("requests", list)
CENTER = web.AppKey("center", str)


def next_scripted(script):
    """The next answer; the last one stays until the script is set again."""
    if not script:
        return None
    return script.pop(0) if len(script) > 1 else script[0]


async def answer(request):
    form = dict(await request.post())
    request.app[REQUESTS].append(form)
    scripted = next_scripted(request.app[SCRIPT])
    if scripted is None:
        async with aiohttp.ClientSession() as session:
            async with session.post(request.app[CENTER] + PATH, data=form) as reply:
                return web.Response(status=reply.status, body=await reply.read(),
                                    content_type=reply.content_type, charset="utf-8")
    await asyncio.sleep(scripted.get("delay", 0))
    if scripted.get("drop"):
        request.transport.abort()
        raise web.HTTPInternalServerError()
    return web.Response(status=scripted.get("status", 200), text=scripted.get("body", ""),
                        content_type=scripted.get("content_type", "application/json"))


async def set_script(request):
    request.app[SCRIPT][:] = await request.json()
    return web.json_response({})


async def requests_seen(request):
    if request.method == "DELETE":
        request.app[REQUESTS].clear()
    return web.json_response(request.app[REQUESTS])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--listen", required=True)
    parser.add_argument("--center", required=True)
    args = parser.parse_args()
    app = web.Application()
    app[SCRIPT], app[REQUESTS], app[CENTER] = [], [], args.center
    app.router.add_post(PATH, answer)
    app.router.add_put("/_script", set_script)
    app.router.add_route("*", "/_requests", requests_seen)
    host, _, port = args.listen.rpartition(":")
    web.run_app(app, host=host, port=int(port), backlog=1024, access_log=None,
                print=lambda text: print("ready", flush=True))


if __name__ == "__main__":
    main()
