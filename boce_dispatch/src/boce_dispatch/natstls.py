"""TLS for the agents' link to NATS: a CA of the center's own and the NATS server's certificate
for the names agents dial, made with Debian's openssl and renewed when they near their end or
the names change. The passwords agents send then never cross the network in clear."""

import ipaddress
import os
import subprocess
import sys
import tempfile

CA_FILE = "nats-ca.pem"
CA_KEY = "nats-ca.key"
SERVER_CERT = "nats-server.pem"
SERVER_KEY = "nats-server.key"
CA_DAYS = 20 * 365
SERVER_DAYS = 5 * 365
# A run of `install center` this close to the server certificate's end makes a new one.
RENEW_DAYS = 60
KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
# What a strict verifier (Python 3.13's) asks of a CA (make_ca) and of a server's certificate.
SERVER_EXTENSIONS = ("basicConstraints=critical,CA:false\n"
                     "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n"
                     "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid,issuer\n"
                     "subjectAltName=%s\n")


class TlsError(Exception):
    """openssl refused: its own words."""


def _openssl(*words, directory):
    done = subprocess.run(["openssl", *words], cwd=directory, capture_output=True, text=True,
                          timeout=60)
    if done.returncode != 0:
        raise TlsError("openssl %s: %s" % (words[0], done.stderr.strip().splitlines()[-1:]))
    return done.stdout


def _is_address(name):
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


def alt_names(names):
    return ",".join(("IP:%s" if _is_address(name) else "DNS:%s") % name for name in names)


def _extensions(directory, text):
    handle, path = tempfile.mkstemp(suffix=".ext", dir=directory)
    with os.fdopen(handle, "w", encoding="ascii") as f:
        f.write(text)
    return path


def make_ca(directory):
    """A new CA in `directory`: CA_FILE and its key CA_KEY (mode 600)."""
    _openssl("req", "-x509", *KEY, "-keyout", CA_KEY, "-out", CA_FILE, "-days", str(CA_DAYS),
             "-subj", "/CN=boce NATS CA", "-addext", "basicConstraints=critical,CA:true",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-addext", "subjectKeyIdentifier=hash", directory=directory)
    os.chmod(os.path.join(directory, CA_KEY), 0o600)


def make_server_certificate(directory, names):
    """SERVER_CERT for `names` (host names and addresses) with its key SERVER_KEY, signed by
    the CA of `directory`."""
    extensions = _extensions(directory, SERVER_EXTENSIONS % alt_names(names))
    request = os.path.join(directory, "nats-server.csr")
    try:
        _openssl("req", *KEY, "-keyout", SERVER_KEY, "-out", request, "-subj",
                 "/CN=%s" % names[0], directory=directory)
        _openssl("x509", "-req", "-in", request, "-CA", CA_FILE, "-CAkey", CA_KEY,
                 "-set_serial", "0x" + os.urandom(16).hex(), "-days", str(SERVER_DAYS),
                 "-extfile", extensions, "-out", SERVER_CERT, directory=directory)
    finally:
        for path in (extensions, request):
            if os.path.exists(path):
                os.unlink(path)
    os.chmod(os.path.join(directory, SERVER_KEY), 0o600)


def why_renewed(directory, names, renew_days=RENEW_DAYS):
    """Why the server certificate of `directory` must be made anew, or None while it is
    signed by the CA there, lasts beyond `renew_days` and covers every one of `names`."""
    certificate = os.path.join(directory, SERVER_CERT)
    if not os.path.exists(certificate) or not os.path.exists(os.path.join(directory,
                                                                          SERVER_KEY)):
        return "none yet"
    try:
        _openssl("verify", "-CAfile", CA_FILE, SERVER_CERT, directory=directory)
    except TlsError:
        return "not signed by %s" % CA_FILE
    try:
        _openssl("x509", "-in", SERVER_CERT, "-noout", "-checkend", str(renew_days * 86400),
                 directory=directory)
    except TlsError:
        return "it ends within %d days" % renew_days
    for name in names:
        check = "-checkip" if _is_address(name) else "-checkhost"
        said = _openssl("x509", "-in", SERVER_CERT, "-noout", check, name, directory=directory)
        if "does NOT match" in said:
            return "it does not name %s" % name
    return None


def ensure(directory, names, renew_days=RENEW_DAYS):
    """The CA (made once) and a server certificate for `names` in `directory`; what was done,
    one line each."""
    said = []
    if not os.path.exists(os.path.join(directory, CA_FILE)):
        make_ca(directory)
        said.append("made the NATS CA %s" % os.path.join(directory, CA_FILE))
    elif not os.path.exists(os.path.join(directory, CA_KEY)):
        raise TlsError("%s has no key %s beside it: give the NATS server's certificate of that "
                       "CA with --nats-cert and --nats-key" % (CA_FILE, CA_KEY))
    why = why_renewed(directory, names, renew_days)
    if why is not None:
        make_server_certificate(directory, names)
        said.append("made the NATS server's certificate for %s (%s)" % (", ".join(names), why))
    else:
        said.append("kept the NATS server's certificate")
    return said


def main(argv=None):
    """python -m boce_dispatch.natstls --dir DIR --name NAME [--name NAME ...]

    Makes the NATS CA in DIR once (nats-ca.pem, nats-ca.key) and the NATS server's
    certificate for the names (nats-server.pem, nats-server.key) when it is missing, ends within
    60 days or names other names. Says what it did on standard output."""
    from boce_dispatch import cli
    parser = cli.Parser(prog="python -m boce_dispatch.natstls", description=main.__doc__)
    parser.add_argument("--dir", required=True, help="where the CA and certificate are")
    parser.add_argument("--name", action="append", required=True,
                        help="a host name or address agents dial (repeat it)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.dir):
        return cli.fail(parser.prog, "%s is not a directory" % args.dir, 2)
    try:
        for line in ensure(args.dir, list(dict.fromkeys(args.name))):
            print(line)
    except (TlsError, OSError) as error:
        return cli.fail(parser.prog, error)
    return 0


if __name__ == "__main__":
    sys.exit(main())
