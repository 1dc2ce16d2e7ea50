"""Loading the module on the host panel, the class as Python sees it, and the constructor."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import start_boce
from tests.common import DATA, DISPATCH_URL, read_bytes, write
from tests.doubles import Call, raise_
from tools.packaging import build_version

LIST_FILE = os.path.join(DATA, "mail_list.json")


def run_fresh(code, env=None):
    """Runs `code` in a fresh interpreter (the load changes the whole process)."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, cwd="/", env=env)
    return result


def test_load_on_the_stand_in_panel():
    result = run_fresh("""
        import builtins, json, os, sys
        imported, depth = [], [0]
        real_import = builtins.__import__
        def recording_import(name, *args, **kwargs):
            if depth[0] == 1:
                imported.append(name)  # what loading start_boce asks for itself
            depth[0] += 1
            try:
                return real_import(name, *args, **kwargs)
            finally:
                depth[0] -= 1
        builtins.__import__ = recording_import
        import start_boce
        builtins.__import__ = real_import
        print(json.dumps({
            "cwd": os.getcwd(),
            "last_path": sys.path[-1],
            "order": imported,
            "public": start_boce.public.__file__,
            "send_mail": start_boce.send_mail.__file__,
            "same": [getattr(start_boce, n) is sys.modules[n]
                     for n in ("public", "json", "time", "send_mail", "os", "sys")],
        }))
    """)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts["cwd"] == "/www/server/panel"
    assert facts["last_path"] == "class/"
    assert facts["order"] == ["sys", "os", "public", "json", "time", "send_mail"]
    # Found through the relative entry: 3.7 keeps the module's path relative to the panel root.
    for name in ("public", "send_mail"):
        found = os.path.join(facts["cwd"], facts[name])
        assert found == "/www/server/panel/class/%s.py" % name
    assert facts["same"] == [True] * 6


@pytest.mark.parametrize("raised, seen", [
    ("KeyboardInterrupt", "KeyboardInterrupt"), ("SystemExit(3)", "SystemExit 3"),
    ("ValueError('bad settings')", "ValueError bad settings"),
    ("ImportError('no db')", "ImportError no db"),
])
def test_a_failing_load_step_aborts_the_import_with_its_own_error(tmp_path, raised, seen):
    (tmp_path / "public.py").write_text("raise %s\n" % raised)
    result = run_fresh("""
        import sys
        try:
            import start_boce
        except BaseException as error:
            print(type(error).__name__, error, "start_boce" in sys.modules)
    """, env=dict(os.environ, PYTHONPATH=str(tmp_path)))  # a `public` found before the panel's
    assert result.stdout.split() == seen.split() + ["False"], result.stderr


RELOADS = [
    # (what, how the second import goes, what the first module's objects then show)
    ("a broken public", """
        sys.modules["public"] = None  # import public fails
        try:
            import start_boce
        except ImportError:
            print("second import failed")
        sys.modules["public"] = first.public
        print(first.start_boce().create_serverid(None)["status"],
              made_before.create_serverid(None)["status"])
     """, ["second import failed", "False False"]),
    ("a broken send_mail", """
        sys.modules["send_mail"] = None
        try:
            import start_boce
        except ImportError:
            print("second import failed")
        print(hasattr(first.start_boce(), "mail"))
     """, ["second import failed", "True"]),
    ("a dropped sys.modules entry", """
        import start_boce as second
        class Stub:
            def returnMsg(self, flag, message): return "first's"
        first.public = Stub()
        print(second is not first, made_before.create_serverid(None),
              first.start_boce().create_serverid(None),
              second.start_boce().create_serverid(None)["status"])
     """, ["True first's first's False"]),
]


@pytest.mark.parametrize("second_import, seen", [r[1:] for r in RELOADS],
                         ids=[r[0] for r in RELOADS])
def test_each_module_object_keeps_its_own_globals_through_reloads(second_import, seen):
    result = run_fresh(textwrap.dedent("""
        import sys
        import start_boce as first
        made_before = first.start_boce()
        del sys.modules["start_boce"]
    """) + textwrap.dedent(second_import))
    assert result.stdout.splitlines() == seen, result.stderr


def test_a_sub_interpreter_gets_a_clear_import_error_and_the_process_goes_on():
    pytest.importorskip("_testcapi")
    result = run_fresh(r"""
        import _testcapi
        status = _testcapi.run_in_subinterp(
            "import os\n"
            "try:\n"
            "    import start_boce\n"
            "    os.write(1, b'loaded\\n')\n"
            "except ImportError as error:\n"
            "    os.write(1, ('ImportError: %s\\n' % error).encode())\n")
        import start_boce  # the main interpreter still loads it
        print(status, start_boce.start_boce.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: start_boce can only be loaded in the main interpreter, not in a "
        "sub-interpreter", "0 start_boce"]


def test_the_class_as_python_sees_it():
    cls = start_boce.start_boce
    assert start_boce.__version__ == build_version.dynamic_metadata("version", {"version": "0.1.0"})
    assert start_boce.DISPATCH_URL == DISPATCH_URL
    assert "Probe-task plug-in" in start_boce.__doc__
    assert "slowest first" in cls.start.__doc__ and "never fails" in cls.__init__.__doc__
    assert cls.__module__ == "start_boce" and cls.__qualname__ == "start_boce"
    assert cls.__bases__ == (object,)
    assert cls._start_boce__mail_config == "/www/server/panel/data/stmp_mail.json"
    assert cls._start_boce__mail_list_data == "/www/server/panel/data/mail_list.json"
    assert cls._start_boce__dingding_config == "/www/server/panel/data/dingding.json"
    operations = [n for n in vars(cls) if callable(getattr(cls, n)) and not n.startswith("__")]
    assert operations == ["get_user_mail", "get_dingding", "get_settings", "get_mac_address",
                          "get_cpuname", "get_hostname", "create_serverid", "_send_task",
                          "send_mail", "get_state", "start"]


def test_subclasses_and_instance_attributes_work_as_for_a_python_class(host):
    class Panel(start_boce.start_boce):
        def get_hostname(self):
            return "overridden"

    obj = Panel()
    obj.extra = 1
    assert obj.get_hostname() == "overridden" and obj.extra == 1
    assert isinstance(obj, start_boce.start_boce)
    with pytest.raises(TypeError):
        start_boce.start_boce(1)


WRONG_CALLS = [
    ("no object", lambda cls, obj: cls.get_user_mail()),
    ("one too many", lambda cls, obj: obj.get_state(1, 2, 3)),
    ("too many beside a default", lambda cls, obj: obj.send_mail(1, 2, 3, 4, 5)),
    ("one missing", lambda cls, obj: obj.start()),
    ("two missing", lambda cls, obj: obj._send_task() or obj.get_state()),
    ("three missing", lambda cls, obj: obj.send_mail(send="mail")),
    ("an unknown keyword", lambda cls, obj: obj.create_serverid(got=1)),
    ("an unknown keyword beside too many", lambda cls, obj: obj.get_state(1, 2, 3, x=1)),
    ("one argument twice", lambda cls, obj: obj.get_state(1, data=2)),
    ("the object twice", lambda cls, obj: cls.start(obj, 1, self=obj)),
    ("a constructor argument", lambda cls, obj: cls(1)),
    ("a constructor keyword", lambda cls, obj: cls(x=1)),
    # Names that are no text reach the operation itself on 3.7 and 3.8.
    ("a bytes keyword name", lambda cls, obj: obj.start(**{b"id": 2})),
    ("an int keyword name", lambda cls, obj: obj.get_state([], **{1: 2})),
    ("a None keyword name to the constructor", lambda cls, obj: cls(**{None: 2})),
    # Since 3.13 Python suggests what a misspelt keyword may have meant.
    ("a misspelt keyword", lambda cls, obj: obj.start(idd=1)),
    ("a misspelt keyword beside a default", lambda cls, obj: obj.send_mail([], 1, 2, sned=1)),
    ("a keyword with a lone surrogate", lambda cls, obj: obj.start(**{"i\udcffd": 1})),
]


@pytest.mark.parametrize("call", [c[1] for c in WRONG_CALLS], ids=[c[0] for c in WRONG_CALLS])
def test_a_wrong_call_is_refused_as_python_refuses_it(plugin, call):
    from tests.plugin.reference_class import start_boce as reference

    def refusal(cls, obj):
        with pytest.raises(TypeError) as refused:
            call(cls, obj)
        return str(refused.value)

    assert refusal(start_boce.start_boce, plugin) == refusal(reference, reference())


def test_a_replaced_suggestions_module_changes_no_refusal(plugin, monkeypatch):
    """Python's own refusal never asks the `_suggestions` module, whatever it holds."""
    from tests.plugin.reference_class import start_boce as reference
    suggestions = type(sys)("_suggestions")
    suggestions._generate_suggestions = lambda *args: raise_(KeyboardInterrupt)
    monkeypatch.setitem(sys.modules, "_suggestions", suggestions)
    refusals = []
    for obj in (plugin, reference()):
        with pytest.raises(TypeError) as refused:
            obj.start(idd=1)
        refusals.append(str(refused.value))
    assert refusals[0] == refusals[1]


def test_signatures_are_those_of_the_stub_and_the_python_methods():
    """inspect reads each operation's signature, which the stub and Python's own methods
    share; the stub names what the module and its class hold."""
    import ast
    import inspect

    from tests.common import REPO
    from tests.plugin.reference_class import start_boce as reference
    with open(os.path.join(REPO, "src", "start_boce", "start_boce.pyi"), encoding="utf-8") as f:
        stub = ast.parse(f.read())
    module_names = {alias.asname for node in stub.body if isinstance(node, ast.Import)
                    for alias in node.names} | {
        node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    assert all(hasattr(start_boce, name) for name in module_names)
    stub_class = next(node for node in stub.body if isinstance(node, ast.ClassDef))
    cls, obj = start_boce.start_boce, object.__new__(start_boce.start_boce)
    attributes = [node.target.id for node in stub_class.body if isinstance(node, ast.AnnAssign)]
    obj.mail, obj._start_boce__mail_list = None, []
    assert all(hasattr(obj, name) for name in attributes)
    methods = [node for node in stub_class.body if isinstance(node, ast.FunctionDef)]
    assert [m.name for m in methods] == [n for n in vars(cls) if callable(getattr(cls, n))]
    for method in methods:
        signature = inspect.signature(getattr(cls, method.name))
        stated = method.args.args
        defaults = [None] * (len(stated) - len(method.args.defaults)) + [
            ast.literal_eval(d) for d in method.args.defaults]
        assert [(p.name, None if p.default is p.empty else p.default)
                for p in signature.parameters.values()] == [
            (a.arg, d) for a, d in zip(stated, defaults)], method.name
        if hasattr(reference, method.name):
            assert signature == inspect.signature(getattr(reference, method.name))
        assert str(inspect.signature(getattr(obj, method.name))) == str(
            signature.replace(parameters=list(signature.parameters.values())[1:]))
        assert getattr(cls, method.name).__doc__.strip()


def test_arguments_go_by_position_or_by_name_as_to_a_python_method(plugin, host):
    host.public.tables["boce_task"] = {9: {"name": "web"}}
    for name in ("stmp_mail.json", "dingding.json"):
        write(os.path.join(DATA, name), "{}")
    cls = start_boce.start_boce
    assert cls.get_state(self=plugin, id=9, data=[]) == 1
    assert plugin.send_mail(send="none", id=9, num=3, data=[]) is None
    assert cls.create_serverid(plugin, get=None) == plugin.create_serverid(None)


@pytest.mark.parametrize("before, members, after, kept_aside", [
    (None, [], b"[]", None),
    ("[]", [], b"[]", None),
    ('["a@example.cn", "b@example.cn"]', ["a@example.cn", "b@example.cn"],
     b'["a@example.cn", "b@example.cn"]', None),
    ('[1, {"x": null}]', [1, {"x": None}], b'[1, {"x": null}]', None),
    ("", [], b"[]", b""),
    ("not json", [], b"[]", b"not json"),
    # Bytes that are no UTF-8 fail the host's read: that is the file's content too.
    (b"\xff\xfe[]", [], b"[]", b"\xff\xfe[]"),
    ('["a@example.cn"]'.encode("utf-16"), [], b"[]", '["a@example.cn"]'.encode("utf-16")),
    # Anything but a JSON list is no recipient list: a text would mail each of its characters.
    ('{"a": 1}', [], b"[]", b'{"a": 1}'),
    ('"ops@example.com"', [], b"[]", b'"ops@example.com"'),
    ("3", [], b"[]", b"3"),
    ("null", [], b"[]", b"null"),
])
def test_construction_loads_creates_or_repairs_the_recipient_list(
        host, stdout, before, members, after, kept_aside):
    if isinstance(before, bytes):
        with open(LIST_FILE, "wb") as f:
            f.write(before)
    elif before is not None:
        write(LIST_FILE, before)
    write(LIST_FILE + ".bak", "older backup")

    obj = start_boce.start_boce()

    assert obj._start_boce__mail_list == members
    assert read_bytes(LIST_FILE) == after
    assert read_bytes(LIST_FILE + ".bak") == b"older backup"
    backups = sorted(n for n in os.listdir(DATA) if n.startswith("mail_list.json.bak."))
    assert backups == ([] if kept_aside is None else ["mail_list.json.bak.1"])
    if kept_aside is not None:
        assert read_bytes(LIST_FILE + ".bak.1") == kept_aside
    assert type(obj.mail).__name__ == "FakeSender" and host.log[0] == Call("send_mail.send_mail")
    assert stdout.getvalue() == ""


def test_broken_lists_go_to_the_first_free_backup_name_and_no_backup_is_touched(host):
    os.mkdir(LIST_FILE + ".bak")
    os.symlink("/nowhere", LIST_FILE + ".bak.1")  # a dangling link still takes its name
    for n, broken in enumerate(["{first", "{second"]):
        write(LIST_FILE, broken)
        start_boce.start_boce()
        assert read_bytes(LIST_FILE + ".bak.%d" % (n + 2)) == broken.encode()
    assert os.path.isdir(LIST_FILE + ".bak") and os.listdir(LIST_FILE + ".bak") == []
    assert os.readlink(LIST_FILE + ".bak.1") == "/nowhere"
    assert read_bytes(LIST_FILE) == b"[]"


def test_an_untouched_list_file_is_not_rewritten(host):
    write(LIST_FILE, '["a@example.cn"]')
    start_boce.start_boce()
    assert "writeFile" not in host.log.names()
    assert host.log.names() == ["send_mail.send_mail", "ReadFile"]


def test_a_missing_list_file_is_tested_then_written(host):
    start_boce.start_boce()
    assert host.log == [Call("send_mail.send_mail"), Call("writeFile", (LIST_FILE, "[]"))]


def fifo(path):
    os.mkfifo(path)


@pytest.mark.parametrize("setup, patch", [
    # Errors that say nothing about the file: it stays, whole, and this object has no list.
    (lambda: write(LIST_FILE, '["a@example.cn"]'), {"loads": MemoryError()}),
    (lambda: write(LIST_FILE, '["a@example.cn"]'), {"loads": RecursionError()}),
    # A host whose ReadFile raises instead of answering False, as the stand-in's does.
    (lambda: write(LIST_FILE, '["a@example.cn"]'), {"ReadFile": OSError("I/O error")}),
    # A broken file that cannot be given a backup name stays where it is.
    (lambda: write(LIST_FILE, "{broken"), {"link": PermissionError("no links here")}),
    (lambda: write(LIST_FILE, "{broken"), {"link": FileExistsError("every name taken")}),
    (lambda: write(LIST_FILE, "{broken"), {"unlink": PermissionError("read-only")}),
    (lambda: fifo(LIST_FILE), {}),  # never opened: a FIFO would block the constructor
])
def test_a_list_file_that_cannot_be_loaded_now_is_left_alone(host, monkeypatch, setup, patch):
    setup()
    before = sorted(os.listdir(DATA)), os.stat(LIST_FILE).st_ino
    for name, error in patch.items():
        if name == "loads":
            monkeypatch.setattr(start_boce, "json", type("J", (), {
                "loads": staticmethod(lambda text, error=error: raise_(error)),
                "dumps": staticmethod(json.dumps)}))
        elif name == "ReadFile":
            host.public.script(ReadFile=lambda path, error=error: raise_(error))
        else:
            monkeypatch.setattr(start_boce.os, name, lambda *a, error=error: raise_(error))
    obj = start_boce.start_boce()
    assert obj._start_boce__mail_list == []
    linked_only = ["mail_list.json.bak"] if "unlink" in patch else []  # a second name, no loss
    assert sorted(os.listdir(DATA)) == sorted(before[0] + linked_only)
    assert os.stat(LIST_FILE).st_ino == before[1] and "writeFile" not in host.log.names()


def test_concurrent_constructors_never_lose_a_broken_list(data_dir):
    result = run_fresh("""
        import os, sys
        sys.modules["public"] = type(sys)("public")
        import json, start_boce
        start_boce.public.ReadFile = lambda p: open(p).read()
        start_boce.public.writeFile = lambda p, t: open(p, "w").write(t)  # in place, on purpose
        start_boce.send_mail = type("S", (), {"send_mail": staticmethod(object)})
        lost = 0
        for trial in range(60):
            for name in os.listdir("data"):
                os.unlink("data/" + name)
            with open("data/mail_list.json", "w") as f:
                f.write("{broken %d" % trial)
            children = []
            for _ in range(3):
                pid = os.fork()
                if pid == 0:
                    start_boce.start_boce()
                    os._exit(0)
                children.append(pid)
            for pid in children:
                os.waitpid(pid, 0)
            kept = [open("data/" + n).read() for n in os.listdir("data") if ".bak" in n]
            lost += "{broken %d" % trial not in kept
        print("lost", lost)
    """)
    assert result.stdout.split() == ["lost", "0"], result.stderr


def test_sender_failure_leaves_both_members_absent(host, stdout):
    host.send_mail.construct_error = RuntimeError("no mail settings")
    obj = start_boce.start_boce()
    assert not hasattr(obj, "mail")
    with pytest.raises(AttributeError):
        _ = obj._start_boce__mail_list
    assert not os.path.exists(LIST_FILE)
    write(os.path.join(DATA, "stmp_mail.json"), "{}")
    write(os.path.join(DATA, "dingding.json"), "{}")
    with pytest.raises(AttributeError):
        obj.get_settings()
    assert stdout.getvalue() == ""


def test_a_failing_write_is_ignored_and_the_list_is_empty(host, stdout):
    def failing_write(path, text):
        raise PermissionError("read-only data directory")
    host.public.script(writeFile=failing_write)
    obj = start_boce.start_boce()
    assert obj._start_boce__mail_list == []
    assert not os.path.exists(LIST_FILE)
    assert stdout.getvalue() == ""


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(1)])
@pytest.mark.parametrize("step", ["send_mail", "ReadFile", "loads", "writeFile", "link",
                                  "unlink"])
def test_a_request_to_stop_during_construction_is_not_swallowed(host, stdout, monkeypatch, stop,
                                                                step):
    broken = step in ("writeFile", "link", "unlink")
    write(LIST_FILE, "{broken" if broken else '["a@example.cn"]')
    if step == "send_mail":
        host.send_mail.construct_error = stop
    elif step == "loads":
        monkeypatch.setattr(start_boce, "json", type("J", (), {
            "loads": staticmethod(lambda text: raise_(stop)), "dumps": staticmethod(json.dumps)}))
    elif step in ("link", "unlink"):
        monkeypatch.setattr(start_boce.os, step, lambda *a: raise_(stop))
    else:
        host.public.script(**{step: lambda *a: raise_(stop)})
    with pytest.raises(type(stop)):
        start_boce.start_boce()
    if not broken:  # interrupted while reading: the list file is neither moved nor rewritten
        assert read_bytes(LIST_FILE) == b'["a@example.cn"]'
    # Linked to its backup name, then stopped: the file is never in no place at all.
    assert os.path.exists(LIST_FILE + ".bak") == (step in ("writeFile", "unlink"))
    assert os.path.exists(LIST_FILE) == (step != "writeFile")
    assert stdout.getvalue() == ""


def test_construction_on_the_stand_in_panel_with_the_data_directory_gone(
        data_dir, monkeypatch, stdout):
    from tests.common import load_panel_module
    monkeypatch.setattr(start_boce, "public", load_panel_module("public"))
    monkeypatch.setattr(start_boce, "send_mail", load_panel_module("send_mail"))
    os.rename(DATA, DATA + ".gone")
    try:
        obj = start_boce.start_boce()
    finally:
        os.rename(DATA + ".gone", DATA)
    assert obj._start_boce__mail_list == [] and obj.mail is not None
    assert not os.path.exists(LIST_FILE) and stdout.getvalue() == ""
