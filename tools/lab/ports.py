"""Ports for the servers the tests, the demo and the labs start on this machine."""

import errno
import random
import socket
import time

# The kernel's ephemeral range (net.ipv4.ip_local_port_range) is where it picks the source port of
# every outgoing connection: a port chosen there can be taken by a client's connect() between our
# choice and the server's bind(), which fails with "address already in use". We choose below it.
_LOWEST = 10000
_handed_out = set()


def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(field) for field in f.read().split())
            return low, high
    except (OSError, ValueError):
        return 32768, 60999  # Linux's default


def _bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError as error:
            if error.errno in (errno.EADDRINUSE, errno.EACCES):
                return False
            raise
        return True


def free_port():
    """A TCP port of the loopback that nothing listens on now, outside the range the kernel gives
    outgoing connections, and not handed out before by this process."""
    low, high = _ephemeral_range()
    ranges = [(p, q) for p, q in ((_LOWEST, low - 1), (high + 1, 65535)) if q >= p]
    for _ in range(1000):
        start, end = random.choice(ranges)
        port = random.randint(start, end)
        if port not in _handed_out and _bindable(port):
            _handed_out.add(port)
            return port
    raise OSError(errno.EADDRINUSE, "no free port outside the ephemeral range %d-%d" % (low, high))


def wait_for_port(port, process, what, seconds=15):
    """Returns once something accepts connections on the loopback's `port`; raises RuntimeError
    naming `what` if `process` (a Popen) ends first or `seconds` pass."""
    give_up_at = time.monotonic() + seconds
    while True:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        if process.poll() is not None:
            raise RuntimeError("%s ended before opening port %d (exit %d)"
                               % (what, port, process.returncode))
        if time.monotonic() > give_up_at:
            raise RuntimeError("%s did not open port %d within %g s" % (what, port, seconds))
        time.sleep(0.01)
