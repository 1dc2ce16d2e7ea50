"""The sandbox the tests run in isolates for real: read-only machine, no host process, no
capability, loopback only. Each check only tries; nothing outside is changed."""

import errno
import os
import socket

import pytest

from tests.common import PANEL, REPO

CAPABILITY_SETS = ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")


OUTSIDE = ["/", "/etc", "/usr", "/root", "/var"]
if not REPO.startswith("/tmp/"):  # a clone under /tmp has the sandbox's private /tmp around it
    OUTSIDE.append(os.path.dirname(REPO))


@pytest.mark.parametrize("directory", OUTSIDE)
def test_the_machine_outside_is_read_only(directory):
    with pytest.raises(OSError) as failure:
        open(os.path.join(directory, ".sandbox-probe"), "x").close()
    assert failure.value.errno in (errno.EROFS, errno.EACCES)


@pytest.mark.parametrize("directory", [REPO, PANEL, "/tmp"])
def test_the_project_the_panel_and_tmp_are_writable(directory):
    probe = os.path.join(directory, ".sandbox-probe")
    with open(probe, "w") as f:
        f.write("x")
    os.unlink(probe)


def test_no_process_of_the_machine_is_visible():
    with open("/proc/1/comm") as f:
        assert f.read().strip() == "bwrap"  # the sandbox's own first process, not the machine's
    outer = os.environ["SANDBOX_OUTER_PID"]  # the script that started the sandbox, outside it
    pids = {int(name) for name in os.listdir("/proc") if name.isdigit()}
    assert int(outer) not in pids or open("/proc/%s/comm" % outer).read().strip() != "sandbox"
    assert os.getpid() in pids and len(pids) < 50


def test_no_capability_is_held():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    assert {name: int(fields[name], 16) for name in CAPABILITY_SETS} == \
        dict.fromkeys(CAPABILITY_SETS, 0)
    assert fields["NoNewPrivs"].strip() == "1"


def test_only_the_loopback_is_there():
    interfaces = [name for _, name in socket.if_nameindex()]
    assert interfaces == ["lo"]
    with socket.socket() as s:
        s.settimeout(1)
        assert s.connect_ex(("192.0.2.1", 80)) in (errno.ENETUNREACH, errno.EHOSTUNREACH)
