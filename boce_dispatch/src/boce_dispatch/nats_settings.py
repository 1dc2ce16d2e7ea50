"""How a process of the network reaches NATS: its servers, user and password (kept in a file of
its own) and the subjects' prefix. Plain data: read by the center's configuration and the
agent's command line, and by the tools that write configurations, without NATS's client."""

import os
import stat
from dataclasses import dataclass

from boce_dispatch import contract


@dataclass(frozen=True)
class NatsSettings:
    servers: tuple
    user: str
    password: str
    ca_file: str = None  # TLS with this CA when set
    subject_prefix: str = contract.SUBJECT_PREFIX  # see contract.node_subject


MAX_SECRET_BYTES = 4096


def read_secret(path):
    """A password kept in a file of its own: a regular file of this process's user, which
    neither its group nor others may read, of at least 16 characters and at most
    MAX_SECRET_BYTES. Raises OSError or ValueError with the reason."""
    # Opened without blocking, so that a FIFO in its place is refused rather than waited on.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as f:
        status = os.fstat(f.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise ValueError("%s: a password file must be a regular file" % path)
        if status.st_uid != os.geteuid():
            raise ValueError("%s: a password file must belong to the user that reads it (uid %d,"
                             " not %d; chown it)" % (path, os.geteuid(), status.st_uid))
        if status.st_mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise ValueError("%s: a password file must be readable by its owner only (mode %03o;"
                             " chmod 600 it)" % (path, stat.S_IMODE(status.st_mode)))
        content = f.read(MAX_SECRET_BYTES + 1)
    if len(content) > MAX_SECRET_BYTES:
        raise ValueError("%s: a password file holds at most %d bytes" % (path, MAX_SECRET_BYTES))
    try:
        secret = content.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise ValueError("%s: a password must be UTF-8 text" % path) from None
    if len(secret) < 16:
        raise ValueError("%s: a password must be at least 16 characters" % path)
    return secret
