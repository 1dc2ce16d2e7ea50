"""Child processes for what must not happen in the test runner itself: the module imported
anew, memory running out, the C stack running out."""

import os
import platform
import subprocess
import sys
import textwrap

import pytest

from tests.common import EMULATED, REPO, SERVICE_PYTHON

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
# greenlet saves a greenlet's stack with memcpy, which AddressSanitizer checks against the
# redzones of the module's frames on that stack: a report on every switch, and no fault.
copies_checked_stacks = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer takes greenlet's stack copies for overflows")
CHILD_SETUP = """
import ctypes, resource, sys, threading
from tools.lab.light_host import make_public, make_send_mail
sys.modules["public"] = make_public({}, lambda: "[]")
sys.modules["send_mail"] = make_send_mail()
import start_boce
"""


def c_compiler():
    """gcc, or on an emulated machine Zig's cc for that machine (the project's own interpreter
    has it), with its cache in the project's build directory."""
    if not EMULATED:
        return ["gcc"], os.environ
    cache = os.path.join(REPO, "build", "zig-cache")
    return ([SERVICE_PYTHON, "-m", "ziglang", "cc", "-target", platform.machine() + "-linux-gnu"],
            dict(os.environ, ZIG_GLOBAL_CACHE_DIR=cache, ZIG_LOCAL_CACHE_DIR=cache))


def build_failing_malloc(directory):
    """The allocator that fails on request (tests/failing_malloc.c), built into `directory`."""
    library = os.path.join(str(directory), "failing_malloc.so")
    compiler, env = c_compiler()
    subprocess.run(compiler + ["-shared", "-fPIC", "-O1", "-o", library,
                               os.path.join(REPO, "tests", "failing_malloc.c"), "-ldl"],
                   check=True, env=env)
    return library


def run_child(code, preload=None, **environment):
    """`code` run by a fresh interpreter once CHILD_SETUP has imported the module on the light
    host, with `preload` (the failing allocator) and `environment`."""
    env = dict(os.environ, **environment)
    if preload:
        env["LD_PRELOAD"] = preload
    return subprocess.run([sys.executable, "-c", CHILD_SETUP + textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, cwd=REPO, timeout=300)
