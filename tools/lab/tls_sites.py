"""Local https sites for probes, each with a certificate of its own kind, made with openssl: one
valid for 90 days, one expiring in 10, one expired, one self-signed, one for another name, and
two good for 60 days under an intermediate that lapses in 5 or lapsed 10 days ago. All but the
self-signed one are issued by a CA of their own (`ca.pem`), which agents are told to trust
(--probe-ca-file); the expired ones are issued with faketime, which dates them in the past.
Debian's nginx serves them (tools/lab/website.py's /fast page on each): its handshakes take a
fraction of a millisecond, so nine agents probing at once measure the site, not a queue of
handshakes in a slow server."""

import os
import subprocess

from tools.lab import nginx, website
from tools.lab.plain_env import PLAIN_ENV
from tools.lab.ports import free_port, wait_for_port

# kind -> (days valid, issued how many days ago, the names it is for, signed by: the CA, an
# intermediate of INTERMEDIATES, or None for itself)
KINDS = {
    "valid": (90, 0, "IP:127.0.0.1,DNS:localhost", "ca"),
    "expiring": (10, 0, "IP:127.0.0.1,DNS:localhost", "ca"),
    "expired": (30, 60, "IP:127.0.0.1,DNS:localhost", "ca"),
    "self-signed": (90, 0, "IP:127.0.0.1,DNS:localhost", None),
    "wrong-name": (90, 0, "DNS:elsewhere.example", "ca"),
    # A site certificate good for 60 days under an intermediate that lapses first, or has.
    "intermediate-expiring": (60, 0, "IP:127.0.0.1,DNS:localhost", "expiring-intermediate"),
    "intermediate-expired": (60, 0, "IP:127.0.0.1,DNS:localhost", "expired-intermediate"),
}
# name -> (days valid, issued how many days ago, its organisation: names that need quoting)
INTERMEDIATES = {
    "expiring-intermediate": (5, 0, "Acme, Inc."),
    "expired-intermediate": (30, 40, "Acme; Inc."),
}
CA_NAME = "Boce Test CA"


def _openssl(*words, days_ago=0, cwd):
    command = ["openssl", *words]
    if days_ago:
        command = ["faketime", "-f", "-%dd" % days_ago, *command]
    subprocess.run(command, cwd=cwd, check=True, capture_output=True, timeout=60, env=PLAIN_ENV)


def make_certificates(directory):
    """The CA (`ca.pem`) and one `<kind>.pem` and `<kind>.key` per kind, in `directory`."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    # Python 3.13's strict verification wants a CA's key usage and key identifiers.
    _openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
             "-subj", "/O=%s/CN=Boce Test Root" % CA_NAME,
             "-addext", "basicConstraints=critical,CA:true",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash", cwd=directory)
    for name, (days, days_ago, organisation) in INTERMEDIATES.items():
        with open(os.path.join(directory, name + ".ext"), "w") as f:
            f.write("basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"
                    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
        _openssl("req", *key, "-keyout", name + ".key", "-out", name + ".csr",
                 "-subj", "/O=%s/CN=%s" % (organisation.replace(",", "\\,"), name),
                 cwd=directory)
        _openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", str(days), "-extfile", name + ".ext",
                 "-out", name + ".pem", days_ago=days_ago, cwd=directory)
    for kind, (days, days_ago, names, issuer) in KINDS.items():
        extensions = os.path.join(directory, kind + ".ext")
        with open(extensions, "w") as f:
            f.write("subjectAltName=%s\nauthorityKeyIdentifier=keyid\n" % names)
        if issuer:
            _openssl("req", *key, "-keyout", kind + ".key", "-out", kind + ".csr",
                     "-subj", "/CN=probe test %s" % kind, cwd=directory)
            _openssl("x509", "-req", "-in", kind + ".csr", "-CA", issuer + ".pem",
                     "-CAkey", issuer + ".key", "-CAcreateserial", "-days", str(days),
                     "-extfile", kind + ".ext", "-out", kind + ".pem", days_ago=days_ago,
                     cwd=directory)
            if issuer != "ca":  # the site presents its certificate and the intermediate
                with open(os.path.join(directory, kind + ".pem"), "a") as chain, \
                        open(os.path.join(directory, issuer + ".pem")) as intermediate:
                    chain.write(intermediate.read())
        else:
            _openssl("req", "-x509", *key, "-keyout", kind + ".key", "-out", kind + ".pem",
                     "-days", str(days), "-subj", "/O=Nobody/CN=probe test %s" % kind,
                     "-addext", "subjectAltName=%s" % names, cwd=directory)
    return os.path.join(directory, "ca.pem")


class TlsSites:
    """One https site per kind of certificate, on the loopback, all served by one nginx.
    `ca_file` is the CA to trust, `url[kind]` each site's base URL (its page: /fast)."""

    def __init__(self, directory):
        self.ca_file = make_certificates(directory)
        root = os.path.join(directory, "site")
        os.makedirs(root, exist_ok=True)
        with open(os.path.join(root, "fast"), "w", encoding="utf-8") as f:
            f.write(website.PAGES["/fast"][1])
        ports = {kind: free_port() for kind in KINDS}
        servers = "".join(
            "server { listen 127.0.0.1:%d ssl; ssl_protocols TLSv1.2 TLSv1.3; ssl_certificate %s.pem;"
            " ssl_certificate_key %s.key;"
            " root %s; }\n" % (port, os.path.join(directory, kind), os.path.join(directory, kind),
                                 root) for kind, port in ports.items())
        self.process = subprocess.Popen(nginx.command(directory, servers),
                                        stderr=subprocess.DEVNULL, env=PLAIN_ENV)
        try:
            for port in ports.values():
                wait_for_port(port, self.process, "nginx serving the https sites")
        except BaseException:
            self.shutdown()
            raise
        self.url = {kind: "https://127.0.0.1:%d" % port for kind, port in ports.items()}

    def shutdown(self):
        self.process.terminate()
        self.process.wait(30)
