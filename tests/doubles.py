"""Recording stand-ins for the host panel's `public` and `send_mail`.

Every call is logged, in order, in one shared `CallLog` as (name, args, kwargs), so a test can
check which host services the plug-in used, in what order, and in which argument form. Files are
read and written for real, so tests can check the bytes on disk; the database, HTTP and the
sender answer from what the test scripts.
"""

import hashlib
import os
import traceback
import types
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Call:
    name: str
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)


class CallLog(list):
    def names(self):
        return [call.name for call in self]

    def named(self, name):
        return [call for call in self if call.name == name]


def raise_(error):
    raise error


class FakeQuery:
    def __init__(self, public, table):
        self._public = public
        self._table = table
        self._value = None

    def where(self, condition, value):
        self._public.log.append(Call("where", (condition, value)))
        self._value = value
        return self

    def getField(self, name):
        self._public.log.append(Call("getField", (name,)))
        row = self._public.tables.get(self._table, {}).get(self._value)
        return row.get(name, False) if row else False

    def insert(self, record):
        self._public.log.append(Call("insert", (record,)))
        self._public.inserted.append((self._table, dict(record)))
        return len(self._public.inserted)


class FakePublic(types.ModuleType):
    """The helper library `public`. Replace a service for one test with `public.script(...)`."""

    def __init__(self):
        super().__init__("public")
        self.reset(CallLog())

    def reset(self, log):
        self.log = log
        self.tables = {}  # table -> {id: row}
        self.inserted = []
        self.http_answer = "[]"
        self.shell_output = " Test CPU @ 2.00GHz\n"
        self.date_text = "2026-12-07 08:00:00"
        self._scripted = {}

    def script(self, **services):
        """Makes the named services answer with the given callables."""
        self._scripted.update(services)

    def _call(self, name, default, *args, **kwargs):
        self.log.append(Call(name, args, kwargs))
        return self._scripted.get(name, default)(*args, **kwargs)

    # files
    def ReadFile(self, path):
        return self._call("ReadFile", read_text, path)

    def readFile(self, path):
        return self._call("readFile", read_text, path)

    def writeFile(self, path, text):
        return self._call("writeFile", write_text, path, text)

    # shell, hashing, records
    def ExecShell(self, command):
        return self._call("ExecShell", lambda c: (self.shell_output, ""), command)

    def md5(self, text):
        return self._call("md5", lambda t: hashlib.md5(t.encode("utf-8")).hexdigest(), text)

    def returnMsg(self, status, msg):
        return self._call("returnMsg", lambda s, m: {"status": s, "msg": m}, status, msg)

    def httpPost(self, url, data, timeout):
        return self._call("httpPost", lambda u, d, t: self.http_answer, url, data, timeout)

    def get_error_info(self):
        return self._call("get_error_info", traceback.format_exc)

    def format_date(self):
        return self._call("format_date", lambda: self.date_text)

    def to_size(self, size):
        return self._call("to_size", lambda s: "%s B" % s, size)

    def M(self, table):
        return self._call("M", lambda t: FakeQuery(self, t), table)


class FakeSender:
    def __init__(self, module):
        self._module = module

    def qq_smtp_send(self, email, title, body):
        self._module.log.append(Call("qq_smtp_send", (email,), {"title": title, "body": body}))
        return self._module.mail_answer(email)

    def dingding_send(self, content):
        self._module.log.append(Call("dingding_send", (content,)))
        return self._module.dingding_answer(content)


class FakeSendMailModule(types.ModuleType):
    """The sender module `send_mail`; `send_mail()` makes a recording sender object."""

    def __init__(self):
        super().__init__("send_mail")
        self.reset(CallLog())

    def reset(self, log):
        self.log = log
        self.construct_error = None
        self.mail_answer = lambda email: True
        self.dingding_answer = lambda content: {"errcode": 0}

    def send_mail(self):
        self.log.append(Call("send_mail.send_mail"))
        if self.construct_error is not None:
            raise self.construct_error
        return FakeSender(self)


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return False


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True


def clear_directory(path):
    for name in os.listdir(path):
        target = os.path.join(path, name)
        if os.path.isdir(target) and not os.path.islink(target):
            clear_directory(target)
            os.rmdir(target)
        else:
            os.unlink(target)
