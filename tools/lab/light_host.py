"""A host that does almost nothing and keeps nothing: for soak runs, where a recording double's
growing log would look like a leak."""

import json
import types


class Query:
    def __init__(self, table):
        self.table = table

    def where(self, condition, value):
        return self

    def getField(self, name):
        return "http://site.example/" if name == "url" else "site"

    def insert(self, record):
        return 1


class Sender:
    fail = False

    def qq_smtp_send(self, email, title, body):
        if Sender.fail:
            raise ConnectionRefusedError("smtp down")
        return True

    def dingding_send(self, content):
        return True


def make_public(files, post):
    """`files`: path -> text; `post`: the dispatch center's behaviour."""
    public = types.ModuleType("public")
    public.ReadFile = public.readFile = lambda path: files.get(path, False)
    public.writeFile = lambda path, text: files.__setitem__(path, text) or True
    public.returnMsg = lambda status, msg: {"status": status, "msg": msg}
    public.httpPost = lambda url, data, timeout: post()
    public.get_error_info = lambda: "error"
    public.format_date = lambda: "2026-12-07 08:00:00"
    public.to_size = lambda size: "1 KB"
    public.M = Query
    return public


def make_send_mail():
    module = types.ModuleType("send_mail")
    module.send_mail = Sender
    return module


class Answers:
    """json.loads that hands out a prepared dispatch answer for the marker text."""

    MARKER = "<dispatch answer>"

    def __init__(self):
        self.next = None

    def loads(self, text):
        if text == self.MARKER:
            return self.next
        return json.loads(text)

    def dumps(self, value):
        return json.dumps(value)
