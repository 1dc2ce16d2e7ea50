"""The center's JSON answers."""

import json

from aiohttp import web


def json_text(value):
    # "<", ">" and "&" as escapes, as Go's encoding/json writes them: whatever an agent or a
    # client put into a text, no answer of the center holds markup.
    return json.dumps(value, ensure_ascii=False).replace("<", "\\u003c").replace(
        ">", "\\u003e").replace("&", "\\u0026")


def json_answer(status, value):
    return web.json_response(value, status=status, dumps=json_text)
