"""The CA certificates an agent checks the https sites it probes against, when its operator
names a file of them (--probe-ca-file) for sites of a private CA.

libcurl reads the file again whenever the agent reloads its store (hourly). A file that is
empty, broken or half-written then would turn every https probe into a failure on every node,
and healthy sites into outage mails. So the agent checks what the file holds before it takes it,
at its start (a file that holds no certificate stops the start) and at each reload (a bad one is
left, said in one line, and the last good store stays): libcurl reads a private copy of the last
good content, never the operator's file itself."""

import os
import ssl
import tempfile

MAX_CA_BYTES = 16 * 1024 * 1024  # far more than the system's whole store


class BadCaFile(ValueError):
    """A CA file that holds no certificate OpenSSL can load; the message says why."""


def checked_certificates(path):
    """The content of the CA file at `path` when OpenSSL loads at least one certificate from it.
    Raises OSError or BadCaFile."""
    with open(path, "rb") as f:
        content = f.read(MAX_CA_BYTES + 1)
    if len(content) > MAX_CA_BYTES:
        raise BadCaFile("%s: larger than %d bytes" % (path, MAX_CA_BYTES))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    try:
        context.load_verify_locations(cadata=content.decode("ascii"))
    except (ssl.SSLError, UnicodeDecodeError, ValueError) as error:
        raise BadCaFile("%s: no certificate can be read from it (%s)" % (path, error)) from None
    if not context.cert_store_stats()["x509"]:
        raise BadCaFile("%s: holds no certificate" % path)
    return content


class ProbeCaFile:
    """The operator's CA file (`path`) as the agent's fetches read it: `copy`, the agent's own
    file holding the content last taken."""

    def __init__(self, path):
        self.path = path
        self.copy = None

    def take(self):
        """Takes the file's content as it is now. Raises OSError or BadCaFile, and the last
        good content stays."""
        content = checked_certificates(self.path)
        fd, taken = tempfile.mkstemp(prefix="boce-probe-ca-", suffix=".pem")
        with os.fdopen(fd, "wb") as f:
            f.write(content)
        if self.copy is None:
            self.copy = taken
        else:
            os.replace(taken, self.copy)  # whole: a fetch reads the old store or the new

    def close(self):
        if self.copy is not None:
            os.unlink(self.copy)
            self.copy = None
