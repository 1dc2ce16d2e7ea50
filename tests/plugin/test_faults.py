"""The module when memory runs out and when the host misbehaves: every failure becomes the
Python error it stands for, nothing aborts the panel process, and no run is lost unseen.

The out-of-memory cases run in a child process, with an allocator that starts failing on request
(tests/failing_malloc.c, preloaded) or under an address-space limit."""

import sys
import textwrap

import pytest

import start_boce
from tests.answers import record
from tests.common import EMULATED
from tests.plugin.children import SANITIZED, run_child
from tests.plugin.runs import stored


@pytest.mark.skipif(SANITIZED, reason="the sanitizers bring their own allocator")
@pytest.mark.parametrize("code, printed", [
    # Every allocation of the constructor failing in turn: it still never fails.
    ("""
        shim = ctypes.CDLL(None)
        for n in range(400):
            shim.fail_allocations(n)
            try:
                start_boce.start_boce()
            finally:
                shim.fail_allocations(-1)
        print("constructed")
     """, "constructed"),
    # The first call of a new thread with nothing left to allocate, raising an error on its way
    # out of the module's C++ (whose exception state per thread must need no allocation): the
    # error, never an abort.
    ("""
        shim, plugin, seen = ctypes.CDLL(None), start_boce.start_boce(), []
        def first_call():
            shim.fail_allocations(0)
            try:
                plugin.get_state(None, 1)
            except (TypeError, MemoryError) as error:
                seen.append(type(error).__name__)
            finally:
                shim.fail_allocations(-1)
        thread = threading.Thread(target=first_call)
        thread.start()
        thread.join()
        print(seen[0])
     """, "TypeError"),
])
def test_running_out_of_memory_never_aborts_the_process(failing_malloc, code, printed):
    result = run_child(code, preload=failing_malloc)
    assert (result.returncode, result.stdout.split()[-1:]) == (0, [printed]), result.stderr


SWEEP = """
    import json, re
    from tools.lab.light_host import make_public
    shim = ctypes.CDLL(None)
    data = "/www/server/panel/data/"
    rows = [{"isp": "n%d" % i, "primary_ip": "", "http_code": 500 + i, "total_time": i,
             "namelookup_time": 1, "starttransfer_time": 1, "size_download": 1,
             "speed_download": 1} for i in range(5)]
    rows[3]["http_code"], rows[4]["http_code"] = 301.0, "无法访问"  # compared as Python compares
    files = {data + "stmp_mail.json": '{"qq_mail": "ops@example.cn"}',
             data + "dingding.json": "{}", data + "userInfo.json": '{"serverid": "s"}'}
    start_boce.public = make_public(files, lambda: json.dumps(rows))
    plugin = start_boce.start_boce()
    plugin._start_boce__mail_list = ["ops@example.cn"]
    operations = {
        "get_settings": lambda: plugin.get_settings(),
        "send_mail": lambda data: plugin.send_mail(data, 5, 1),
        "get_state": lambda data: plugin.get_state(data, 1),
        "start": lambda: plugin.start(1)}

    def vm_size():
        return int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1))

    before, seen, points = vm_size(), set(), 0
    for name, operation in operations.items():
        for n in range(20000):
            argument = [dict(r) for r in rows]
            with_data, failed = name in ("send_mail", "get_state"), None
            shim.fail_one_allocation(n)
            try:
                operation(argument) if with_data else operation()
            except BaseException as error:
                failed = error
            try:  # the failure still to come fires here when the operation had no more
                pending = shim.failure_pending()
            except MemoryError:
                pending = True
            if pending:  # n is past the operation's last allocation
                try:
                    shim.fail_allocations(-1)
                except MemoryError:
                    pass  # it fired on the way in: gone all the same
                break
            points += 1
            if failed is not None:
                seen.add(type(failed).__name__)
    grown = (vm_size() - before) // 1024
    print(points > 500, sorted(seen), "grew-over-2-MiB" if grown > 2 else "bounded")
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers bring their own allocator")
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="CPython 3.12 and 3.13 corrupt their own "
                    "heap when making a function object fails (pure Python code crashes too)")
def test_every_failed_allocation_of_a_run_leaves_as_memory_error(failing_malloc):
    """One allocation failing, at every point of get_settings, send_mail, get_state and start in
    turn: each call fails with MemoryError (never pybind11's RuntimeError) or completes (a
    failure the operation may carry on after), and no report's memory is left mapped."""
    # Every object from the C allocator, so that each allocation is a point of the sweep.
    result = run_child(textwrap.dedent(SWEEP), preload=failing_malloc, PYTHONMALLOC="malloc")
    assert result.stdout.splitlines()[-1] == "True ['MemoryError'] bounded", result.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than the limit")
@pytest.mark.parametrize("code, printed", [
    # Making objects until the address space is exhausted ends in MemoryError, not an abort.
    pytest.param("""
        import re
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
        resource.setrlimit(resource.RLIMIT_AS, ((size + 16 * 1024) * 1024,) * 2)
        kept = []
        try:
            while True:
                kept.append(start_boce.start_boce())
        except MemoryError:
            del kept
            print("MemoryError")
     """, "MemoryError", marks=pytest.mark.skipif(
        EMULATED, reason="under qemu-user the limit binds the emulator, whose own allocations "
        "fail first")),
    # The report sizes its buffer from what it writes, not from the number of elements.
    ("""
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30,) * 2)
        plugin = start_boce.start_boce()
        plugin._start_boce__mail_list = ["ops@example.cn"]
        sent = []
        plugin.mail.qq_smtp_send = lambda email, title, body: sent.append(body)
        record = {"isp": "a", "primary_ip": "", "http_code": 500, "total_time": 1,
                  "namelookup_time": 1, "starttransfer_time": 1, "size_download": 1,
                  "speed_download": 1}
        plugin.get_settings = lambda: {"user_mail": {"user_name": True, "info": {}},
                                       "dingding": {}}
        plugin.send_mail([None] * 10 ** 7 + [dict(record) for _ in range(3)], 3, 1)
        print(len(sent), sent[0].count("style='color:red;'"))
     """, "3"),
])
def test_under_an_address_space_limit(code, printed):
    result = run_child(code)
    assert (result.returncode, result.stdout.split()[-1:]) == (0, [printed]), result.stderr


# ---- the host and the records misbehaving -------------------------------------------------

def test_an_insert_that_answers_its_error_text_fails_the_run(run, host):
    run.answer = [record()]
    host.public.script(M=lambda table: type("Q", (), {
        "insert": lambda self, record: "error: database is locked"})())
    with pytest.raises(RuntimeError, match="^error: database is locked$"):
        run.start(1)


def test_an_error_of_a_record_read_for_the_ordering_reaches_the_caller(run, host):
    class Sealed(dict):
        def __getitem__(self, key):
            if key == "total_time":
                raise ValueError("sealed")
            return dict.__getitem__(self, key)
    run.answer = [record(), Sealed(record())]
    with pytest.raises(ValueError, match="sealed"):
        run.start(1)
    assert len(stored(host)) == 1  # stored before the ordering, as always


def test_a_missing_sender_fails_each_delivery_on_its_own(plugin, host, stdout):
    from tests.plugin.test_report import with_recipients
    host.public.tables["boce_task"] = {9: {"name": "web"}}
    host.public.script(get_error_info=lambda: "NO SENDER")
    plugin.get_settings = lambda: {"user_mail": {"user_name": True, "info": {}},
                                   "dingding": {}}
    del plugin.mail
    with_recipients(plugin, ["a@example.cn", "b@example.cn"]).send_mail([record()], 3, 9)
    assert stdout.getvalue() == "NO SENDER\nNO SENDER\n"


class Node(int):
    def bit_length(self):
        return 1.5  # a subclass may answer anything; the address comes from the value itself


@pytest.mark.parametrize("node_id, text", [(Node(0x02AB0C3D4E5F), "02:ab:0c:3d:4e:5f"),
                                           (True, "00:00:00:00:00:01")])
def test_a_node_id_of_an_int_subclass(plugin, monkeypatch, node_id, text):
    monkeypatch.setattr(start_boce.sys.modules["uuid"], "getnode", lambda: node_id)
    assert plugin.get_mac_address() == text
