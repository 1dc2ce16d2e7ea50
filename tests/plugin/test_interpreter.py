"""The module at the interpreter's edges: greenlets that interleave its calls on one thread, module
objects that are dropped and collected, memory that runs out while it is imported, and a C stack
that runs out before the recursion limit does."""

import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import start_boce
from tests.common import DATA, EMULATED, REPO
from tests.plugin.children import SANITIZED, copies_checked_stacks, run_child

greenlet = pytest.importorskip("greenlet")


# ---- greenlets --------------------------------------------------------------------------------

class YieldingHost:
    """One module's host panel, whose every service first lets the hub run another greenlet, as
    gevent's hub does while a request waits on its socket; each answers with its module's tag."""

    def __init__(self, tag, hub):
        self.tag, self.hub = tag, hub
        self.public = type(sys)("public")
        self.send_mail = type(sys)("send_mail")
        for name in ("ReadFile", "readFile", "writeFile", "returnMsg", "httpPost", "M",
                     "format_date", "to_size", "md5", "get_error_info"):
            setattr(self.public, name, self._yielding(getattr(self, "_" + name)))
        self.send_mail.send_mail = self._yielding(lambda: "sender of " + tag)
        self.stored = []
        self.described = []  # the errors get_error_info saw being handled

    def _yielding(self, service):
        def yielding(*args, **kwargs):
            self.hub.switch()
            return service(*args, **kwargs)
        return yielding

    def _ReadFile(self, path):
        if path.endswith("mail_list.json"):
            return json.dumps([self.tag + "@example.cn"])
        return json.dumps({"qq_mail": self.tag + "@example.cn"})

    def _readFile(self, path):
        return json.dumps({"serverid": "s-" + self.tag})

    def _writeFile(self, path, text):
        return True

    def _returnMsg(self, status, message):
        return {"status": status, "msg": message}

    def _httpPost(self, url, data, timeout):
        if "fail" in data["url"]:
            raise ConnectionRefusedError("no center for " + self.tag)
        return json.dumps([{"isp": self.tag, "primary_ip": "192.0.2.1", "http_code": 200,
                            "total_time": 1, "namelookup_time": 1, "starttransfer_time": 1,
                            "size_download": 1, "speed_download": 1}])

    def _M(self, table):
        host = self

        class Query:
            def where(self, condition, value):
                self.task = value
                return self

            def getField(self, name):
                return "http://%s.example/%s" % (host.tag, self.task)

            def insert(self, record):
                host.stored.append(record["pid"])
                return 1
        return Query()

    def _format_date(self):
        return "now"

    def _to_size(self, size):
        return "%s B" % size

    def _md5(self, text):
        return self.tag

    def _get_error_info(self):
        self.described.append(str(sys.exc_info()[1]))  # asked after the hub had its turn
        return "error"


@pytest.fixture
def two_modules(data_dir, monkeypatch):
    """Two module objects of start_boce, as a panel that reloads its plug-ins has them. The
    recipient list and account files exist, so that their contents are asked of the host."""
    for name in ("mail_list.json", "userInfo.json"):
        with open(os.path.join(DATA, name), "w") as f:
            f.write("{}")
    cwd, path = os.getcwd(), list(sys.path)
    monkeypatch.delitem(sys.modules, "start_boce")
    second = importlib.import_module("start_boce")
    monkeypatch.setitem(sys.modules, "start_boce", start_boce)
    os.chdir(cwd)
    sys.path[:] = path
    return start_boce, second


# What each greenlet does, and what it must find when it ends, in its own module's terms.
OPERATIONS = {
    "construct": (lambda module: module.start_boce(),
                  lambda obj, tag: (obj.mail, obj._start_boce__mail_list) ==
                  ("sender of " + tag, [tag + "@example.cn"])),
    "get_settings": (lambda module: _made(module).get_settings(),
                     lambda settings, tag: settings["user_mail"]["info"]["qq_mail"] ==
                     tag + "@example.cn"),
    "create_serverid": (lambda module: _made(module).create_serverid(None),
                        lambda account, tag: account == {"serverid": "s-" + tag}),
    "start": (lambda module: _made(module).start(7),
              lambda records, tag: [r["isp"] for r in records] == [tag]),
    # The post fails: the host describes the error being handled while other greenlets run.
    "failed dispatch": (lambda module: _made(module)._send_task("fail"),
                        lambda answer, tag: answer == {"status": False,
                                                       "msg": "连接调度中心失败!"}),
}


def _made(module):
    """An object of the module's class made without its constructor (no host call)."""
    obj = module.start_boce.__new__(module.start_boce)
    obj._start_boce__mail_list = []
    return obj


@copies_checked_stacks
@given(tasks=st.lists(st.tuples(st.sampled_from(sorted(OPERATIONS)), st.integers(0, 1)),
                      min_size=2, max_size=6),
       schedule=st.lists(st.integers(0, 5), max_size=60))
def test_greenlets_interleaved_in_any_order_each_get_their_own_modules_answers(two_modules,
                                                                              tasks, schedule):
    """Greenlets on one thread each call an operation of one of two module objects; every host
    call lets the hub resume any unfinished greenlet (`schedule` says which), so calls end in
    any order: first in first out, last in first out, or mixed. Each completes with the
    services of the module that defined its class."""
    hub = greenlet.getcurrent()
    hosts = [YieldingHost(tag, hub) for tag in ("A", "B")]
    for module, host in zip(two_modules, hosts):
        module.public, module.send_mail = host.public, host.send_mail
    results = {}

    def run(index, operation, which):
        results[index] = OPERATIONS[operation][0](two_modules[which])

    greenlets = [greenlet.greenlet(lambda i=i, t=t: run(i, *t)) for i, t in enumerate(tasks)]
    for started in greenlets:
        started.switch()  # each runs to its first host call
    picks = iter(schedule)
    while any(not g.dead for g in greenlets):
        waiting = [g for g in greenlets if not g.dead]
        waiting[next(picks, 0) % len(waiting)].switch()
    for index, (operation, which) in enumerate(tasks):
        assert OPERATIONS[operation][1](results[index], "AB"[which]), (operation, results)
    assert sorted(hosts[0].stored + hosts[1].stored) == [7] * sum(t[0] == "start" for t in tasks)
    for host in hosts:  # each description was of that greenlet's own error
        assert host.described == ["no center for " + host.tag] * sum(
            t == ("failed dispatch", hosts.index(host)) for t in tasks)


@copies_checked_stacks
def test_a_greenlet_started_inside_a_host_call_nests_and_unwinds(two_modules):
    """A host service of one module's operation runs another module's operation to its end in a
    greenlet of its own, which itself waits in its services: both complete, each with its own."""
    first, second = two_modules
    hub = greenlet.getcurrent()
    first_host, second_host = YieldingHost("A", hub), YieldingHost("B", hub)
    first.public, first.send_mail = first_host.public, first_host.send_mail
    second.public, second.send_mail = second_host.public, second_host.send_mail
    inner_result = []
    read_file = first.public.ReadFile

    def read_file_running_another_module(path):
        inner = greenlet.greenlet(lambda: inner_result.append(_made(second).get_settings()))
        while not inner.dead:
            inner.switch()  # its services switch back to this greenlet's hub, here the test
        return read_file(path)

    first.public.ReadFile = read_file_running_another_module
    outer = greenlet.greenlet(lambda: _made(first).get_user_mail())
    answer = outer.switch()
    while not outer.dead:
        answer = outer.switch()
    assert answer == {"qq_mail": "A@example.cn"}
    assert inner_result[0]["user_mail"]["info"] == {"qq_mail": "B@example.cn"}


# ---- the interpreter's exit ------------------------------------------------------------------

# A daemon thread waits in the host's dispatch post while the interpreter finalizes; a finalizer
# of the main thread frees it then. Asking for the GIL again, it is ended by CPython (3.7 to
# 3.13), and the process must end as cleanly as with the same operation written in Python. The
# request record is held by the operation alone: letting go of it on a dying thread would run
# its finalizer without the GIL.
EXIT_WHILE_WAITING = """
import os, time
public = sys.modules["public"]
entered, freed = threading.Event(), threading.Event()

def http_post(url, data, timeout):
    del data
    entered.set()
    freed.wait()
public.httpPost = http_post

class Record(dict):
    def __del__(self, write=os.write):
        write(1, b"released on the dying thread\\n")

def send_task(id):  # the operation as Python writes it
    request = Record(serverid="s")
    request["url"] = public.M("boce_task").where("id=?", id).getField("url")
    return public.httpPost("http://dispatch/api/local/boce", request, 60)

plugin = start_boce.start_boce()
plugin.create_serverid = lambda get: Record(serverid="s")
operation = plugin._send_task if WRITTEN_IN == "module" else send_task
threading.Thread(target=operation, args=(7,), daemon=True).start()
entered.wait()

class FreesTheWaitingThread:
    # Only what it binds here is left of the module's globals while the interpreter finalizes.
    def __del__(self, listdir=os.listdir, sleep=time.sleep, freed=freed):
        others = len(listdir("/proc/self/task")) - 1
        freed.set()
        for _ in range(6000):  # until CPython has ended it (at most a minute)
            if len(listdir("/proc/self/task")) <= others:
                break
            sleep(0.01)
sys.frees_the_waiting_thread = FreesTheWaitingThread()  # let go of while finalizing
print("exiting", flush=True)
"""


@pytest.mark.parametrize("written_in", ["module", "python"])
def test_a_thread_inside_a_host_service_at_exit_ends_as_in_python(written_in):
    result = run_child("WRITTEN_IN = %r\n" % written_in + textwrap.dedent(EXIT_WHILE_WAITING))
    assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr


# ---- lifetime ---------------------------------------------------------------------------------

SETTINGS = """
    import gc, importlib, re, weakref
    data = "/www/server/panel/data/"
    sys.modules["public"] = make_public({data + "stmp_mail.json": "{}",
                                         data + "dingding.json": "{}",
                                         data + "mail_list.json": "[]",
                                         data + "userInfo.json": '{"serverid": "s"}'},
                                        lambda: "[]")
    start_boce.public = sys.modules["public"]
"""
CYCLES = SETTINGS + """
    def resident_kib():
        return int(re.search(r"VmRSS:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
    def cycle(refs):
        del sys.modules["start_boce"]
        module = importlib.import_module("start_boce")
        plugin = module.start_boce()
        plugin.get_settings()
        plugin.start(1)
        refs.append(weakref.ref(module))
    refs = []
    for _ in range(100):  # the interpreter's own caches settle first
        cycle(refs)
    gc.collect()
    before = resident_kib()
    refs = []
    for _ in range(2000):
        cycle(refs)
    gc.collect()
    alive = sum(ref() is not None for ref in refs)
    print(alive, (resident_kib() - before) // 1024)
"""


def test_module_objects_that_nothing_uses_are_collected():
    """2,000 cycles of import, use and drop: at most the last module stays (it is still in
    sys.modules), and resident memory grows by at most 2 MiB."""
    result = run_child(textwrap.dedent(CYCLES))
    assert result.returncode == 0, result.stderr
    alive, grown_mib = map(int, result.stdout.split()[-2:])
    assert alive <= 1
    # Under qemu-user the resident set also holds the code the emulator has translated, and
    # AddressSanitizer keeps what is freed in its quarantine.
    assert grown_mib <= 2 or EMULATED or SANITIZED


def test_a_module_object_stays_while_an_instance_uses_it():
    result = run_child(textwrap.dedent(SETTINGS) + textwrap.dedent("""
        plugin = start_boce.start_boce()
        module = weakref.ref(start_boce)
        del sys.modules["start_boce"], start_boce
        gc.collect()
        print(module() is not None, sorted(plugin.get_settings()))
        del plugin
        gc.collect()
        print(module() is None)
    """))
    assert result.stdout.split() == ["True", "['dingding',", "'user_mail']", "True"], \
        result.stderr


# ---- memory during the import ------------------------------------------------------------------

IMPORT_SWEEP = """
    import collections, ctypes, errno, importlib.util, json, os, sys, traceback
    from tools.lab.light_host import make_public, make_send_mail
    sys.modules["public"] = make_public({}, lambda: "[]")
    sys.modules["send_mail"] = make_send_mail()
    shim = ctypes.CDLL(None)
    name, again, project = sys.argv[1], sys.argv[2] == "again", sys.argv[3]
    sys.path.insert(0, sys.argv[4])  # where the plug-in written in Python lies
    module_file = importlib.util.find_spec(name).origin
    if again:
        importlib.import_module(name)
        os.chdir(project)

    def kind(error):
        if isinstance(error, ImportError) and error.path == module_file or isinstance(
                error, UnicodeDecodeError) and "create_module" in traceback.format_exc():
            # dlopen's failure to load the file or a library it needs: glibc's words may be
            # garbled by then, so much that 3.7 cannot even decode them
            return "the loader could not load the file"
        if isinstance(error, OSError) and error.errno == errno.ENOMEM:
            return "the system has no memory"  # an OSError that says so (listing a directory)
        return type(error).__name__

    def outcome(n):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child imports, with its n-th allocation failing
            os.close(read)
            sys.modules.pop(name, None)
            shim.fail_one_allocation(n)
            try:
                importlib.import_module(name)
                result = "imported"
            except BaseException as error:
                result = kind(error)
            try:
                pending = shim.failure_pending()
            except MemoryError:
                pending = True
            shim.fail_allocations(-1)
            os.write(write, json.dumps([result, bool(pending)]).encode())
            os._exit(0)
        os.close(write)
        with os.fdopen(read) as answer:
            told = answer.read()
        status = os.waitpid(pid, 0)[1]
        return json.loads(told) if told else ["a crash (status %d)" % status, False]

    seen = collections.Counter()
    for n in range(100000):
        result, pending = outcome(n)
        if pending:  # n is past the import's last allocation
            break
        seen[result] += 1
    print(json.dumps([n, sorted(seen)]))
"""
# The plug-in's load steps written in Python, as the specification gives them.
PYTHON_PLUGIN = """
import os
import sys

os.chdir("/www/server/panel")
sys.path.append("class/")
import public  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402
import send_mail  # noqa: E402
from reference_class import start_boce  # noqa: E402
"""


def import_sweep(failing_malloc, directory, name, again):
    """(points, the outcomes seen) of failing each allocation of importing `name`."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(IMPORT_SWEEP), name,
         "again" if again else "first", REPO, str(directory)],
        capture_output=True, text=True, cwd=REPO, timeout=900,
        env=dict(os.environ, LD_PRELOAD=failing_malloc, PYTHONMALLOC="malloc"))
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.splitlines()[-1])


@pytest.mark.skipif(SANITIZED, reason="the sanitizers bring their own allocator")
@pytest.mark.parametrize("again", [False, True], ids=["first import", "re-import"])
def test_every_failed_allocation_of_the_import_leaves_as_memory_error(failing_malloc, tmp_path,
                                                                       again):
    """One allocation failing, at every point of the import (loading the file included, for the
    first) and of a re-import, each in a process of its own: the import ends in MemoryError, in
    the ImportError of the loader that could not load the file, in the OSError of a system call
    that had no memory (ENOMEM), or in what the runtime's own services answer the same plug-in
    written in Python (the import machinery's lock), or it succeeds (a failure the runtime
    carries on after). Never a crash."""
    shutil.copy(os.path.join(REPO, "tests", "plugin", "reference_class.py"), str(tmp_path))
    (tmp_path / "python_plugin.py").write_text(PYTHON_PLUGIN)
    points, kinds = import_sweep(failing_malloc, tmp_path, "start_boce", again)
    _, python_kinds = import_sweep(failing_malloc, tmp_path, "python_plugin", again)
    assert points > 300 and "MemoryError" in kinds
    assert not any(kind.startswith("a crash") for kind in kinds), kinds
    assert set(kinds) <= {"MemoryError", "imported", "the loader could not load the file",
                          "the system has no memory", *python_kinds}, (kinds, python_kinds)


# ---- the C stack ------------------------------------------------------------------------------

RECURSION = """
    plugin = start_boce.start_boce()
    start_boce.public.ReadFile = lambda path: plugin.get_settings()  # calls back without end
    outcomes = []

    def without_end():
        try:
            plugin.get_settings()
        except RecursionError:
            outcomes.append("RecursionError")
        plugin.get_state([], 1)  # and the thread goes on

    for limit in (10_000, 100_000, 1_000_000):
        sys.setrecursionlimit(limit)
        without_end()
    threading.stack_size(512 * 1024)  # a thread with a stack much smaller than the main one's
    thread = threading.Thread(target=without_end)
    thread.start()
    thread.join()
    print(" ".join(outcomes))
"""


def test_re_entry_through_host_services_ends_in_recursion_error_while_stack_is_left():
    """A host service that calls back into get_settings without end, under recursion limits far
    beyond what the C stack holds, and on a thread of a small stack: RecursionError each time,
    and the thread carries on."""
    result = run_child(RECURSION)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["RecursionError"] * 4
