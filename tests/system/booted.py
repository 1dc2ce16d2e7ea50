"""A fresh Debian 12 root booted with systemd as PID 1 (systemd-nspawn with a private network:
its own loopback and nothing else), for the units as they run in the field. The root comes from
`make test-deploy` (mmdebstrap, cached under build/); each machine unpacks its own copy."""

import os
import pathlib
import shutil
import signal
import subprocess

from tests.common import wait_until

# What every command inside sees, as root's login shell would give it.
INSIDE_ENV = ["PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root", "LANG=C.UTF-8"]


class BootedMachine:
    def __init__(self, root_tar, top):
        self.root = pathlib.Path(top) / "root"
        self.root.mkdir()
        subprocess.run(["tar", "-C", str(self.root), "-xf", root_tar], check=True)
        self.log = pathlib.Path(top) / "console.log"
        self.nspawn = None
        self.init_pid = None

    def put(self, source, inside):
        """Copies the file or directory `source` to `inside` (an absolute path in the root)."""
        target = self.root / inside.lstrip("/")
        if os.path.isdir(source):
            shutil.copytree(source, target, ignore=shutil.ignore_patterns("build", "*.egg-info",
                                                                          "__pycache__"))
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)

    def boot(self):
        """Boots the root and returns once systemd says the system is up."""
        with open(self.log, "wb") as log:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "--quiet", "--directory", str(self.root), "--boot",
                 "--private-network", "--register=no", "--keep-unit", "--console=passive",
                 "--machine", "boce-%d" % os.getpid()], stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL)
        wait_until(self._found_init, "systemd-nspawn's PID 1 (%s)" % self.log, 30)
        state = self.run("systemctl", "is-system-running", "--wait", check=False).stdout.strip()
        assert state in ("running", "degraded"), self.run("systemctl", "--failed").stdout

    def _found_init(self):
        if self.nspawn.poll() is not None:
            raise AssertionError("systemd-nspawn ended: %s" % self.log.read_text("utf-8", "replace"))
        children = pathlib.Path("/proc/%d/task/%d/children" % ((self.nspawn.pid,) * 2))
        pids = children.read_text("ascii").split()
        if not pids:
            return False
        # systemd's own socket: nspawn's child has become systemd and systemd listens.
        self.init_pid = int(pids[0])
        return os.path.exists("/proc/%d/root/run/systemd/private" % self.init_pid)

    def command(self, *words, network_only=False):
        """`words` as a command inside the machine; with `network_only`, a command of this
        machine's run in the booted one's network (its loopback)."""
        if network_only:
            return ["nsenter", "--target", str(self.init_pid), "--net", "--", *words]
        return ["nsenter", "--target", str(self.init_pid), "--all", "--", "env", "-i",
                *INSIDE_ENV, *words]

    def run(self, *words, check=True, timeout=300, network_only=False):
        done = subprocess.run(self.command(*words, network_only=network_only),
                              capture_output=True, text=True, timeout=timeout)
        if check:
            assert done.returncode == 0, "%s: exit %d\n%s%s" % (
                " ".join(words), done.returncode, done.stdout, done.stderr)
        return done

    def path(self, inside):
        return self.root / inside.lstrip("/")

    def shutdown(self):
        """Powers the machine off as systemd does (SIGTERM to nspawn), killed if it hangs."""
        if self.nspawn is None or self.nspawn.poll() is not None:
            return
        self.nspawn.send_signal(signal.SIGTERM)
        try:
            self.nspawn.wait(60)
        except subprocess.TimeoutExpired:
            self.nspawn.kill()
            self.nspawn.wait()
