"""The nats-server configuration of a probe network: who may publish and take what. The server's
file holds only bcrypt hashes of the passwords; each password in clear is only in the password
file of the one process that uses it."""

import re
import sys

import bcrypt

from boce_dispatch.contract import (
    NODE_ID,
    NODE_ID_RULE,
    PLUGIN_TIMEOUT_SECONDS,
    STATUS_PREFIX,
    SUBJECT_PREFIX,
    node_subject,
    status_subject,
)

# bcrypt's lowest cost. The server checks a hash at every connection, whoever asks: at cost 11
# (what `nats server passwd` uses) a stranger's 16 connects a second with a wrong password kept
# the server's check of every other connection waiting, panels' probes and agents included,
# for as long as they came and half a minute after. Every password here is 24 random bytes
# (_password_file), far beyond any guessing whatever the cost: the cost guards only weak
# passwords, which a probe network never has.
BCRYPT_COST = 4


def quoted(text):
    """`text` as a double-quoted string of TOML and of nats-server's configuration."""
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def password_hash(password, cost=BCRYPT_COST):
    """The bcrypt hash of `password` as nats-server reads it ($2a$...)."""
    return bcrypt.hashpw(password.encode("utf-8"),
                         bcrypt.gensalt(rounds=cost, prefix=b"2a")).decode("ascii")


# NATS's own monitoring (/varz, /connz, exporters), on the loopback only: it names every
# connection's address and user.
MONITORING_LISTEN = "127.0.0.1:8222"


# What a NATS server holds for a connection that reads slower than it is sent to, before it
# drops the connection as a slow consumer. The center's answers of 10 panels of 10,000 nodes at
# once (make bench-scale) are about 40 MB in a few seconds: at 8 MB the server dropped the
# center, every answer in flight was lost, and the probes sent again after its reconnect (every
# node of every panel) overflowed it again. No agent can make its server hold much: it is sent
# nothing but its own node's probes.
MAX_PENDING_BYTES = 64 * 1024 * 1024


def previous_hashes(text):
    """{user: hash} of a configuration server_config wrote."""
    return dict(re.findall(r'\{user: "([^"\\]+)", password: "(\$2a\$[^"]+)"', text))


def server_config(center_user, center_password, agents, listen="127.0.0.1:4222",
                  subject_prefix=SUBJECT_PREFIX, max_payload=64 * 1024, cluster=None,
                  tls=None, cost=BCRYPT_COST, monitoring=MONITORING_LISTEN, hashes=None):
    """The text of a nats-server configuration for one probe network.

    `agents`: {user: (password, node id)}. The center may publish probes and read its replies
    and every node's status; an agent may only take its own node's probes, answer each of them
    once and tell its own node's status (beats, receipts). Passwords are written as bcrypt
    hashes of `cost`, each user's hash of `hashes` kept while it still matches the password (so
    a file written again is the same file). `cluster`: {"name", "listen", "routes"}; `tls`:
    {"cert_file", "key_file"}; `monitoring`: HOST:PORT of NATS's monitoring port, or None."""
    def hashed(user, password):
        known = (hashes or {}).get(user)
        try:
            if known and bcrypt.checkpw(password.encode("utf-8"), known.encode("ascii")):
                return known
        except ValueError:  # not a hash bcrypt reads: made anew
            pass
        return password_hash(password, cost)
    users = ["{user: %s, password: %s, permissions: {publish: [%s], subscribe: [\"_INBOX.>\", "
             "%s]}}" % (quoted(center_user), quoted(hashed(center_user, center_password)),
                        quoted(subject_prefix + ".>"), quoted(STATUS_PREFIX + ".>"))]
    for user, (password, node_id) in sorted(agents.items()):
        users.append(
            "{user: %s, password: %s, permissions: {publish: [%s], "
            "subscribe: [%s], allow_responses: {max: 1, expires: \"%ds\"}}}"
            % (quoted(user), quoted(hashed(user, password)),
               quoted(status_subject(node_id)), quoted(node_subject(node_id, subject_prefix)),
               PLUGIN_TIMEOUT_SECONDS))
    lines = ["listen: %s" % listen] + (["http: %s" % monitoring] if monitoring else []) + [
             "max_payload: %d" % max_payload,
             "max_pending: %d" % MAX_PENDING_BYTES, "write_deadline: \"5s\"",
             "authorization {", "  users: ["] + ["    " + u for u in users] + ["  ]", "}"]
    if tls:
        lines += ["tls {", "  cert_file: %s" % quoted(tls["cert_file"]),
                  "  key_file: %s" % quoted(tls["key_file"]), "  timeout: 5", "}"]
    if cluster:
        lines += ["cluster {", "  name: %s" % quoted(cluster["name"]),
                  "  listen: %s" % cluster["listen"],
                  "  routes: [%s]" % ", ".join(quoted(r) for r in cluster["routes"]), "}"]
    return "\n".join(lines) + "\n"


def _password_file(directory, user):
    """The user's password file in `directory`, made (mode 0600) when it is not there yet."""
    import os
    import secrets
    path = os.path.join(directory, user + ".password")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        pass
    else:
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_hex(24) + "\n")
    with open(path, encoding="utf-8") as f:
        return f.read().strip()


def write_private(path, text):
    """Writes `text` to `path`, readable by its owner only (it holds passwords)."""
    import os
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.fchmod(fd, 0o600)  # a file that was there before keeps no wider mode
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(text)


def _host_port(address):
    return ("[%s]:%d" if ":" in address[0] else "%s:%d") % address


def node_id(text):
    """A --node: an id the center takes (contract.NODE_ID)."""
    import argparse
    if not NODE_ID.fullmatch(text):
        raise argparse.ArgumentTypeError("%r: %s" % (text, NODE_ID_RULE))
    return text


def main(argv=None):
    """python -m boce_dispatch.natsconf --dir DIR --node ID [--node ID ...] [--listen HOST:PORT]
    [--monitoring HOST:PORT] [--tls-cert FILE --tls-key FILE] [--out FILE]

    Writes the passwords of the center and of each node's agent into DIR (center.password,
    agent-<id>.password, mode 0600; existing ones are kept) and the nats-server configuration,
    which holds their bcrypt hashes, into FILE (mode 0600), or prints it. Says on standard
    error what it wrote and where."""
    import os

    from boce_dispatch import cli
    parser = cli.Parser(prog="python -m boce_dispatch.natsconf", description=main.__doc__)
    parser.add_argument("--dir", required=True, help="where the password files are")
    parser.add_argument("--node", action="append", required=True, type=node_id,
                        help="a node id (repeat it for each node): " + NODE_ID_RULE)
    parser.add_argument("--listen", default="0.0.0.0:4222", type=cli.listen_address,
                        help="HOST:PORT the NATS server listens on (0.0.0.0:4222)")
    parser.add_argument("--monitoring", default=MONITORING_LISTEN, type=cli.listen_address,
                        help="HOST:PORT of NATS's monitoring port, /varz and the like (%s); "
                        "keep it on the loopback" % MONITORING_LISTEN)
    parser.add_argument("--tls-cert", help="the server's certificate: every client must then "
                        "speak TLS (with --tls-key)")
    parser.add_argument("--tls-key", help="the key of --tls-cert")
    parser.add_argument("--out", help="the configuration file to write, mode 0600")
    args = parser.parse_args(argv)
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    if not os.path.isdir(args.dir):
        return cli.fail(parser.prog, "%s is not a directory" % args.dir, 2)
    users = ["center"] + ["agent-" + node for node in args.node]
    made = [user for user in users
            if not os.path.exists(os.path.join(args.dir, user + ".password"))]
    agents = {"agent-" + node: (_password_file(args.dir, "agent-" + node), node)
              for node in args.node}
    monitoring = _host_port(args.monitoring)
    tls = {"cert_file": args.tls_cert, "key_file": args.tls_key} if args.tls_cert else None
    hashes = {}
    if args.out and os.path.exists(args.out):
        with open(args.out, encoding="utf-8") as f:
            hashes = previous_hashes(f.read())
    text = server_config("center", _password_file(args.dir, "center"), agents,
                         _host_port(args.listen), tls=tls, monitoring=monitoring, hashes=hashes)
    if args.out:
        write_private(args.out, text)
    else:
        print(text, end="")
    for user in users:
        print("%s %s" % ("wrote" if user in made else "kept", os.path.join(
            args.dir, user + ".password")), file=sys.stderr)
    print("nats-server configuration for %s: %s (monitoring on %s%s)" % (
        ", ".join(args.node), args.out or "standard output", monitoring,
        "; TLS only, %s" % args.tls_cert if tls else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
