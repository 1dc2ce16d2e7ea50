"""The center's configuration file (TOML):

    secret_file = "/etc/quellan-boce/secret"   # shared with every node agent
    allowed_servers = ["<serverid>", ...]       # the servers the center serves
    deadline_seconds = 20                       # well inside the plug-in's 60-second time-out
    max_probes = 8                              # probes at once, over all servers

    [[nodes]]
    name = "北京电信"
    url = "http://203.0.113.10:8700"

A bad file stops the center at start with a message that names the bad line."""

import os

try:
    import tomllib
except ImportError:  # before Python 3.11
    import tomli as tomllib

from dispatch import signing


class ConfigError(Exception):
    pass


def _line_of(text, needle, occurrence=0):
    """The line number of the `occurrence`-th line that starts with `needle`, if any."""
    found = [number for number, line in enumerate(text.splitlines(), 1)
             if line.strip().startswith(needle)]
    return found[occurrence] if occurrence < len(found) else None


def _fail(path, line, message):
    where = "%s, line %d" % (path, line) if line else path
    raise ConfigError("%s: %s" % (where, message))


def load(path):
    """The center's settings as keyword arguments of DispatchCenter."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise ConfigError("%s: %s" % (path, error)) from None

    nodes = raw.get("nodes")
    if not isinstance(nodes, list) or not nodes:
        _fail(path, None, "no [[nodes]]: name at least one node agent")
    for index, node in enumerate(nodes):
        line = _line_of(text, "[[nodes]]", index)
        for key in ("name", "url"):
            if not isinstance(node.get(key), str) or not node[key]:
                _fail(path, line, "this node needs a %s text" % key)
        if not node["url"].startswith(("http://", "https://")):
            _fail(path, _line_of(text, "url", index) or line, "a node's url is http or https")
    servers = raw.get("allowed_servers")
    if not isinstance(servers, list) or not all(isinstance(s, str) and s for s in servers):
        _fail(path, _line_of(text, "allowed_servers"), "allowed_servers is a list of serverids")
    limits = {}
    for key, default in (("deadline_seconds", 20), ("max_probes", 8)):
        value = raw.get(key, default)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value <= 0:
            _fail(path, _line_of(text, key), "%s is a positive number" % key)
        limits[key] = value
    if limits["deadline_seconds"] >= 60:
        _fail(path, _line_of(text, "deadline_seconds"),
              "deadline_seconds must stay well inside the plug-in's 60-second time-out")
    secret_file = raw.get("secret_file")
    if not isinstance(secret_file, str):
        _fail(path, _line_of(text, "secret_file"), "secret_file names the shared secret's file")
    secret_file = os.path.join(os.path.dirname(os.path.abspath(path)), secret_file)
    try:
        secret = signing.read_secret(secret_file)
    except (OSError, ValueError) as error:
        _fail(path, _line_of(text, "secret_file"), str(error))
    return {"nodes": [{"name": n["name"], "url": n["url"]} for n in nodes], "secret": secret,
            "allowed_servers": servers, "deadline": float(limits["deadline_seconds"]),
            "max_probes": int(limits["max_probes"])}
