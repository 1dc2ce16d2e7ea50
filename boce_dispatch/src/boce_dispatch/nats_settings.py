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


def read_secret(path):
    """A password kept in a file of its own, which neither its group nor others may read; at
    least 16 characters. Raises OSError or ValueError with the reason."""
    with open(path, encoding="utf-8") as f:
        mode = os.fstat(f.fileno()).st_mode
        if mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise ValueError("%s: a password file must be readable by its owner only (mode %03o;"
                             " chmod 600 it)" % (path, stat.S_IMODE(mode)))
        secret = f.read().strip()
    if len(secret) < 16:
        raise ValueError("%s: a password must be at least 16 characters" % path)
    return secret
