"""The nats-server configuration of a probe network: who may publish and take what. The server's
file holds only bcrypt hashes of the passwords; each password in clear is only in the password
file of the one process that uses it."""

import bcrypt

from boce_dispatch.config import PLUGIN_TIMEOUT_SECONDS, NatsSettings
from boce_dispatch.config import quoted as _quoted

# What nats-server's own `nats server passwd` uses. The server checks a hash at each connection,
# so a network whose passwords are long random ones (the lab's) may pass a lower cost.
BCRYPT_COST = 11


def password_hash(password, cost=BCRYPT_COST):
    """The bcrypt hash of `password` as nats-server reads it ($2a$...)."""
    return bcrypt.hashpw(password.encode("utf-8"),
                         bcrypt.gensalt(rounds=cost, prefix=b"2a")).decode("ascii")


def server_config(center_user, center_password, agents, listen="127.0.0.1:4222",
                  subject_prefix=NatsSettings.subject_prefix, max_payload=64 * 1024, cluster=None,
                  tls=None, cost=BCRYPT_COST):
    """The text of a nats-server configuration for one probe network.

    `agents`: {user: (password, node id)}. The center may publish probes and read its replies;
    an agent may only take its own node's probes and answer each of them once. Passwords are
    written as bcrypt hashes of `cost`. `cluster`: {"name", "listen", "routes"}; `tls`:
    {"cert_file", "key_file"}."""
    users = ["{user: %s, password: %s, permissions: {publish: [%s], subscribe: [\"_INBOX.>\"]}}"
             % (_quoted(center_user), _quoted(password_hash(center_password, cost)),
                _quoted(subject_prefix + ".>"))]
    for user, (password, node_id) in sorted(agents.items()):
        users.append(
            "{user: %s, password: %s, permissions: {publish: {deny: [\">\"]}, "
            "subscribe: [%s], allow_responses: {max: 1, expires: \"%ds\"}}}"
            % (_quoted(user), _quoted(password_hash(password, cost)),
               _quoted("%s.%s" % (subject_prefix, node_id)), PLUGIN_TIMEOUT_SECONDS))
    lines = ["listen: %s" % listen, "max_payload: %d" % max_payload,
             "max_pending: %d" % (8 * 1024 * 1024), "write_deadline: \"5s\"",
             "authorization {", "  users: ["] + ["    " + u for u in users] + ["  ]", "}"]
    if tls:
        lines += ["tls {", "  cert_file: %s" % _quoted(tls["cert_file"]),
                  "  key_file: %s" % _quoted(tls["key_file"]), "  timeout: 5", "}"]
    if cluster:
        lines += ["cluster {", "  name: %s" % _quoted(cluster["name"]),
                  "  listen: %s" % cluster["listen"],
                  "  routes: [%s]" % ", ".join(_quoted(r) for r in cluster["routes"]), "}"]
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


def main(argv=None):
    """python -m boce_dispatch.natsconf --dir DIR --node ID [--node ID ...] [--listen HOST:PORT]
    [--out FILE]

    Writes the passwords of the center and of each node's agent into DIR (center.password,
    agent-<id>.password, mode 0600; existing ones are kept) and the nats-server configuration,
    which holds their bcrypt hashes, into FILE (mode 0600), or prints it."""
    import os

    from boce_dispatch import cli
    parser = cli.Parser(prog="python -m boce_dispatch.natsconf", description=main.__doc__)
    parser.add_argument("--dir", required=True, help="where the password files are")
    parser.add_argument("--node", action="append", required=True, help="a node id")
    parser.add_argument("--listen", default="0.0.0.0:4222", type=cli.listen_address,
                        help="HOST:PORT the NATS server listens on (0.0.0.0:4222)")
    parser.add_argument("--out", help="the configuration file to write, mode 0600")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.dir):
        return cli.fail(parser.prog, "%s is not a directory" % args.dir, 2)
    agents = {"agent-" + node: (_password_file(args.dir, "agent-" + node), node)
              for node in args.node}
    text = server_config("center", _password_file(args.dir, "center"), agents,
                         ("[%s]:%d" if ":" in args.listen[0] else "%s:%d") % args.listen)
    if args.out:
        write_private(args.out, text)
    else:
        print(text, end="")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
