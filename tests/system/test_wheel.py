"""The module's wheel as it ships: built by Zig's toolchain for glibc 2.17, tagged manylinux2014,
and posting to the dispatch host it was built for, which its name and DISPATCH_URL tell."""

import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

from boce_dispatch import contract
from tests.common import REPO, SERVICE_ENV, SERVICE_PYTHON, TOOLS
from tools.packaging import build_version

OTHER_HOST = "probe.example.net"
# The wheel's own processes: no module of another build on the search path (the sanitizer run
# puts its build there).
WHEEL_ENV = {name: value for name, value in SERVICE_ENV.items() if name != "PYTHONPATH"}
# The fresh environment's run, in namespaces of its own where OTHER_HOST is 127.0.0.2 and the
# panel directory is a fresh one: a stand-in center there notes what reached it.
POST_TO_OWN_HOST = """
import http.server, json, sqlite3, threading
seen = []
class Center(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        seen.append([self.headers["Host"], self.path, body.decode()])
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"[]")
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.2", 80), Center)
threading.Thread(target=server.serve_forever, daemon=True).start()
db = sqlite3.connect("/www/server/panel/data/default.db")
db.execute("INSERT INTO boce_task (id, url) VALUES (9, 'http://site.example/')")
db.commit()
import start_boce
answer = start_boce.start_boce()._send_task(9)
print(json.dumps({"answer": answer, "seen": seen, "url": start_boce.DISPATCH_URL,
                  "version": start_boce.__version__}))
"""


@pytest.fixture(scope="module")
def wheel(tmp_path_factory, request):
    """A wheel for this interpreter, built for OTHER_HOST."""
    with request.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        print("\nbuilding a wheel with Zig's toolchain (about 4 minutes the first time, then "
              "about 1)", flush=True)
    out = tmp_path_factory.mktemp("dist")
    env = dict(WHEEL_ENV, START_BOCE_DISPATCH_HOST=OTHER_HOST)
    built = subprocess.run([os.path.join(TOOLS, "packaging", "wheel"), sys.executable, str(out)], cwd=REPO,
                           env=env, capture_output=True, text=True, timeout=1200)
    assert built.returncode == 0, built.stderr
    return built.stdout.splitlines()[-1]


def test_the_wheel_is_manylinux2014_and_named_for_its_host(wheel):
    tag = "cp%d%d" % sys.version_info[:2]
    assert re.fullmatch(r"start_boce-0\.1\.0\+probe\.example\.net-%s-%sm?-manylinux2014_x86_64"
                        r"\.manylinux_2_17_x86_64\.whl" % (tag, tag), os.path.basename(wheel))
    checked = check_wheel(wheel)
    assert checked.returncode == 0 and "newest glibc symbol 2.1" in checked.stdout


# This interpreter was built on this machine's glibc (2.36), far above the wheels' floor; the
# emulated arm64 one (tools/packaging/arm64, which make test sets up) is aarch64 code.
ARM64_ELF = os.path.join(REPO, "build", "arm64", "root", "usr", "bin", "python3.11")


@pytest.mark.parametrize("platform, library, module, refusal", [
    ("x86_64", sys.executable, "start_boce.cpython-311-x86_64-linux-gnu.so",
     r"start_boce\S+ needs glibc 2\.3\d, newer than 2\.17"),
    ("aarch64", sys.executable, "start_boce.cpython-311-aarch64-linux-gnu.so",
     r"start_boce\S+ is x86_64 code in a wheel tagged for aarch64"),
    ("aarch64", ARM64_ELF, "start_boce.cpython-311-x86_64-linux-gnu.so",
     r"start_boce\S+ is not named for aarch64: that interpreter would not find it"),
])
def test_the_wheel_check_refuses_what_the_tag_does_not_promise(tmp_path, platform, library,
                                                                module, refusal):
    if not os.path.exists(library):
        pytest.skip("no arm64 program here: make test unpacks one (tools/packaging/arm64)")
    wheel = str(tmp_path / ("start_boce-0.1.0-cp311-cp311-manylinux2014_%s.whl" % platform))
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.write(os.path.realpath(library), module)
    checked = check_wheel(wheel)
    assert checked.returncode == 1
    assert re.search(refusal, checked.stderr), checked.stderr


# What the pyconfig.h of Debian's arm64 CPython 3.11 and this machine's x86_64 one may differ in:
# the build's own settings (headers and libraries found, the interpreter's loop, DTrace, the
# support tier), none of them a size, an alignment or anything a module's code compiles against
# (HAVE_USABLE_WCHAR_T only defines HAVE_WCHAR_H, Py_ENABLE_SHARED matters for Windows DLLs, the
# x87 macros are used by CPython's own code). The aarch64 wheels of the versions Debian has no
# arm64 headers for are built from this machine's.
BUILD_SETTINGS = {
    "HAVE_BLUETOOTH_BLUETOOTH_H", "HAVE_DB_H", "HAVE_GDBM_H", "HAVE_LIBDB",
    "HAVE_LINUX_LIMITS_H", "HAVE_MEMORY_H", "HAVE_RL_COMPDISP_FUNC_T", "HAVE_USABLE_WCHAR_T",
    "HAVE_GCC_ASM_FOR_X64", "HAVE_GCC_ASM_FOR_X87", "PY_SQLITE_ENABLE_LOAD_EXTENSION",
    "PY_SSL_DEFAULT_CIPHERS", "PY_SUPPORT_TIER", "Py_ENABLE_SHARED", "USE_COMPUTED_GOTOS",
    "WITH_DTRACE"}


def defines(pyconfig):
    with open(pyconfig, encoding="utf-8") as f:
        return dict(re.findall(r"^#define (\w+)(.*)$", f.read(), re.MULTILINE))


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="Debian's arm64 headers are 3.11's")
def test_arm64_headers_differ_from_this_machines_only_in_build_settings():
    arm64 = os.path.join(REPO, "build", "arm64", "include", "python3.11", "pyconfig.h")
    if not os.path.exists(arm64):
        pytest.skip("no arm64 headers here: make test unpacks them (tools/packaging/arm64)")
    here = defines(os.path.join(sysconfig.get_paths()["include"], "pyconfig.h"))
    there = defines(arm64)
    differing = {name for name in here.keys() | there.keys() if here.get(name) != there.get(name)}
    assert differing <= BUILD_SETTINGS, sorted(differing - BUILD_SETTINGS)
    assert here["SIZEOF_VOID_P"] == there["SIZEOF_VOID_P"]  # the comparison read the defines


def check_wheel(wheel):
    return subprocess.run([SERVICE_PYTHON, os.path.join(TOOLS, "packaging", "check_wheel.py"), wheel],
                          env=SERVICE_ENV, capture_output=True, text=True)


def fresh_environment(tmp_path, *packages, env=WHEEL_ENV):
    """A new environment of this interpreter with `packages` installed; its python."""
    environment = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(environment)], check=True)
    python = str(environment / "bin" / "python")
    if packages:
        subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "--no-cache-dir", "--no-index", *packages], check=True, env=env)
    return python


def run_on_fresh_panel(tmp_path, python, code, env=WHEEL_ENV):
    """`code` run by `python` as the panel runs its plug-ins, on a panel directory of its own,
    in namespaces where OTHER_HOST is 127.0.0.2."""
    panel, hosts = tmp_path / "panel", tmp_path / "hosts"
    panel.mkdir()
    hosts.write_text("127.0.0.1 localhost\n127.0.0.2 %s\n" % OTHER_HOST)
    run = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
         'mount --bind "$1" /etc/hosts && mount --bind "$2" /www/server/panel && '
         '"$3" tools/lab/install_panel.py >/dev/null && cd / && exec "$3" -c "$4"', "post",
         str(hosts), str(panel), python, textwrap.dedent(code)],
        cwd=REPO, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout.splitlines()[-1])


def test_a_wheel_built_for_another_host_posts_there(wheel, tmp_path):
    python = fresh_environment(tmp_path, wheel)
    facts = run_on_fresh_panel(tmp_path, python, POST_TO_OWN_HOST)
    assert facts["url"] == "http://probe.example.net" + contract.PANEL_PATH
    assert facts["version"] == "0.1.0+probe.example.net"
    assert facts["answer"] == []
    [(host, path, body)] = facts["seen"]
    assert (host, path) == (OTHER_HOST, contract.PANEL_PATH) and "url=http" in body


@pytest.mark.parametrize("host, version", [
    (None, "0.1.0"),
    ("", "0.1.0"),
    (build_version.MAKERS_HOST, "0.1.0"),
    ("Probe.Example.NET", "0.1.0+probe.example.net"),
    ("boce-1.example.cn", "0.1.0+boce-1.example.cn"),
    ("10.0.0.7", "0.1.0+10.0.0.7"),
])
def test_the_version_names_any_host_but_the_makers(monkeypatch, host, version):
    if host is None:
        monkeypatch.delenv("START_BOCE_DISPATCH_HOST", raising=False)
    else:
        monkeypatch.setenv("START_BOCE_DISPATCH_HOST", host)
    assert build_version.dynamic_metadata("version", {"version": "0.1.0"}) == version


@pytest.mark.parametrize("host", ["probe.example.net/x", 'a"b', "-a.example", "a..b", "a b",
                                  "a.example.", "probe:8080"])
def test_a_host_that_is_no_host_name_stops_the_build(host, tmp_path):
    with pytest.raises(ValueError, match="not a host name"):
        build_version.dispatch_host({"START_BOCE_DISPATCH_HOST": host})
    configured = subprocess.run(["cmake", "-S", REPO, "-B", str(tmp_path),
                                 *build_version.cmake_definitions()], capture_output=True,
                                text=True, env=dict(os.environ, START_BOCE_DISPATCH_HOST=host))
    assert configured.returncode != 0 and "is not a host name" in configured.stderr


def test_pip_install_builds_from_the_project_alone(tmp_path):
    """A plain `pip install .` in a fresh environment: its isolated build needs scikit-build-core
    and what it brings, nothing of the interpreter's own site-packages, and no binding library."""
    offline = os.path.join(REPO, "build", "offline")
    with open(os.path.join(offline, "python")) as f:
        if f.read().strip() != "%d.%d" % sys.version_info[:2]:
            pytest.skip("the isolated build's packages are there for the main interpreter")
    env = dict(WHEEL_ENV, PIP_NO_INDEX="1", PIP_FIND_LINKS=offline)
    python = fresh_environment(tmp_path, env=env)
    target = tmp_path / "installed"
    built = subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                            "--no-cache-dir", "--no-deps", "--target", str(target), REPO],
                           env=env, capture_output=True, text=True, timeout=1200)
    assert built.returncode == 0, built.stderr[-3000:]
    facts = run_on_fresh_panel(tmp_path, python, """
        import json, start_boce
        print(json.dumps([start_boce.__version__, start_boce.start_boce.__name__]))
    """, env=dict(WHEEL_ENV, PYTHONPATH=str(target)))
    assert facts == ["0.1.0", "start_boce"]
