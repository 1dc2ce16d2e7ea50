"""The nats-server configuration of a probe network: who may publish and take what."""


def _quoted(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def server_config(center_user, center_password, agents, listen="127.0.0.1:4222",
                  subject_prefix="boce.probe", max_payload=64 * 1024, cluster=None, tls=None):
    """The text of a nats-server configuration for one probe network.

    `agents`: {user: (password, node id)}. The center may publish probes and read its replies;
    an agent may only take its own node's probes and answer each of them once. `cluster`:
    {"name", "listen", "routes"}; `tls`: {"cert_file", "key_file"}."""
    users = ["{user: %s, password: %s, permissions: {publish: [%s], subscribe: [\"_INBOX.>\"]}}"
             % (_quoted(center_user), _quoted(center_password),
                _quoted(subject_prefix + ".>"))]
    for user, (password, node_id) in sorted(agents.items()):
        users.append(
            "{user: %s, password: %s, permissions: {publish: {deny: [\">\"]}, "
            "subscribe: [%s], allow_responses: {max: 1, expires: \"60s\"}}}"
            % (_quoted(user), _quoted(password), _quoted("%s.%s" % (subject_prefix, node_id))))
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
