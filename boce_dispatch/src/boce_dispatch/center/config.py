"""The center's configuration file (TOML); deploy/center.example.toml shows every key.

Unknown keys, wrong types and out-of-range values stop the center at start with the file, the
line and what was expected."""

# The tests of the module on CPython 3.7 to 3.9 write a center's file with center_toml, from
# this source: its annotations stay text.
from __future__ import annotations

import ipaddress
import math
import os
import re
from dataclasses import dataclass, fields

from boce_dispatch import contract
from boce_dispatch.nats_settings import NatsSettings, read_secret
from boce_dispatch.natsconf import quoted

try:
    import tomllib
except ImportError:  # before Python 3.11
    import tomli as tomllib

# The panel must have its answer inside the plug-in's time-out, with time to spare.
MAX_DEADLINE_SECONDS = contract.PLUGIN_TIMEOUT_SECONDS - 5
MAX_PROBES = 4096  # probes at once over all servers: never more than the center's connections


class ConfigError(Exception):
    pass


@dataclass(frozen=True)
class Node:
    name: str  # what the panel shows as the node's ISP
    id: str  # the token of its probe subject (contract.node_subject)


@dataclass(frozen=True)
class CenterConfig:
    nodes: tuple
    allowed_servers: frozenset
    nats: NatsSettings
    deadline_seconds: float = 20.0
    # Probes at once over all servers; None: what the center's memory and CPU hold
    # (capacity.py).
    max_probes: int | None = None
    # Proxies in front of the center (addresses or networks): their X-Real-IP names the client.
    trusted_proxies: tuple = ()


class _Reader:
    """Looks up values with the line they stand on, for messages that point at it."""

    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()

    def line_of(self, key, section=None, occurrence=0):
        """The line of `key` in the `occurrence`-th `section` (or at the top); else the
        section's header line."""
        start = 0
        if section is not None:
            headers = [n for n, line in enumerate(self.lines)
                       if line.strip().replace(" ", "") == section]
            if occurrence >= len(headers):
                return None
            start = headers[occurrence] + 1
        for number in range(start, len(self.lines)):
            stripped = self.lines[number].strip()
            if stripped.startswith("["):
                break
            if key is not None and re.match(r"^%s\s*=" % re.escape(key), stripped):
                return number + 1
        return start or None

    def fail(self, message, key=None, section=None, occurrence=0):
        line = self.line_of(key, section, occurrence) if key or section else None
        where = "%s, line %d" % (self.path, line) if line else self.path
        raise ConfigError("%s: %s" % (where, message))

    def check_keys(self, table, allowed, section=None, occurrence=0):
        for key in table:
            if key not in allowed:
                self.fail("unknown key %r (expected one of %s)" % (key, ", ".join(allowed)),
                          key, section, occurrence)


def _number(reader, raw, key, kind, largest):
    """A number above 0 and at most `largest`; NaN and the infinities TOML can write are
    refused. The default when it is not there."""
    if key not in raw:
        return getattr(CenterConfig, key)
    value = raw[key]
    if isinstance(value, bool) or not isinstance(value, kind) or not (
            isinstance(value, int) or math.isfinite(value)) or not 0 < value <= largest:
        reader.fail("%s must be a %s above 0 and at most %s" % (
            key, "whole number" if kind is int else "number", largest), key)
    return value


def _nodes(reader, raw):
    nodes = raw.get("nodes")
    if not isinstance(nodes, list) or not nodes:
        reader.fail("no [[nodes]]: name at least one node with its name and id")
    seen = set()
    for index, node in enumerate(nodes):
        reader.check_keys(node, _field_names(Node), "[[nodes]]", index)
        if not isinstance(node.get("name"), str) or not node["name"]:
            reader.fail("this node needs a name text", "name", "[[nodes]]", index)
        if not isinstance(node.get("id"), str) or not contract.NODE_ID.fullmatch(node["id"]):
            reader.fail(contract.NODE_ID_RULE, "id",
                        "[[nodes]]", index)
        if node["id"] in seen:
            reader.fail("the node id %r is used twice" % node["id"], "id", "[[nodes]]", index)
        seen.add(node["id"])
    return tuple(Node(n["name"], n["id"]) for n in nodes)


def _nats(reader, raw, directory):
    section = raw.get("nats")
    if not isinstance(section, dict):
        reader.fail("no [nats] section: the center needs its NATS servers and credentials")
    reader.check_keys(section, ("servers", "user", "password_file", "ca_file"), "[nats]")
    servers = section.get("servers")
    if not isinstance(servers, list) or not servers or not all(
            isinstance(s, str) and re.match(r"^(nats|tls)://", s) for s in servers):
        reader.fail("servers is a list of nats:// or tls:// URLs", "servers", "[nats]")
    if not isinstance(section.get("user"), str) or not section["user"]:
        reader.fail("user names the center's NATS user", "user", "[nats]")
    password_file = section.get("password_file")
    if not isinstance(password_file, str):
        reader.fail("password_file names the file with the center's NATS password",
                    "password_file", "[nats]")
    try:
        password = read_secret(os.path.join(directory, password_file))
    except (OSError, ValueError) as error:
        reader.fail(str(error), "password_file", "[nats]")
    ca_file = section.get("ca_file")
    if ca_file is not None:
        if not isinstance(ca_file, str) or not os.path.isfile(os.path.join(directory, ca_file)):
            reader.fail("ca_file names the CA certificate of the NATS servers", "ca_file",
                        "[nats]")
        ca_file = os.path.join(directory, ca_file)
    return NatsSettings(tuple(servers), section["user"], password, ca_file)


def _read(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    reader = _Reader(path, text)
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise ConfigError("%s: %s" % (path, error)) from None
    reader.check_keys(raw, _field_names(CenterConfig))
    return reader, raw


def load_nodes(path):
    """Only the nodes of the configuration at `path`, which a configuration without its password
    file yet has too. Raises ConfigError."""
    return _nodes(*_read(path))


def load(path):
    """The center's configuration from the TOML file at `path`. Raises ConfigError."""
    reader, raw = _read(path)
    servers = raw.get("allowed_servers")
    if not isinstance(servers, list) or not all(isinstance(s, str) and s for s in servers):
        reader.fail("allowed_servers is a list of serverids", "allowed_servers")
    deadline = _number(reader, raw, "deadline_seconds", (int, float), MAX_DEADLINE_SECONDS)
    return CenterConfig(
        nodes=_nodes(reader, raw), allowed_servers=frozenset(servers),
        nats=_nats(reader, raw, os.path.dirname(os.path.abspath(path))),
        deadline_seconds=float(deadline),
        max_probes=_number(reader, raw, "max_probes", int, MAX_PROBES),
        trusted_proxies=_networks(reader, raw, "trusted_proxies"))


def _networks(reader, raw, key):
    values = raw.get(key, [])
    try:
        if not isinstance(values, list) or not all(isinstance(v, str) for v in values):
            raise ValueError
        return tuple(str(ipaddress.ip_network(v)) for v in values)
    except ValueError:
        reader.fail("%s is a list of IP addresses or networks" % key, key)


def _field_names(kind):
    return tuple(sorted(field.name for field in fields(kind)))


def center_toml(nodes, allowed_servers, servers, password_file, user="center", ca_file=None,
                deadline_seconds=CenterConfig.deadline_seconds,
                max_probes=CenterConfig.max_probes, trusted_proxies=()):
    """The text of a center's configuration file, as load() reads it. `nodes`: [(name, id)];
    `servers`: the NATS URLs; files are relative to the configuration file."""
    def listed(values):
        return "[%s]" % ", ".join(quoted(v) for v in values)
    lines = ["allowed_servers = %s" % listed(allowed_servers),
             "deadline_seconds = %r" % deadline_seconds] + (
                 ["max_probes = %d" % max_probes] if max_probes else []) + [
             "trusted_proxies = %s" % listed(trusted_proxies), "",
             "[nats]", "servers = %s" % listed(servers), "user = %s" % quoted(user),
             "password_file = %s" % quoted(password_file)]
    if ca_file is not None:
        lines.append("ca_file = %s" % quoted(ca_file))
    for name, node_id in nodes:
        lines += ["", "[[nodes]]", "name = %s" % quoted(name), "id = %s" % quoted(node_id)]
    return "\n".join(lines) + "\n"


_TABLE = re.compile(r"\s*\[")
_NODES_TABLE = re.compile(r"\s*\[\[\s*nodes\s*\]\]")


def without_node(path, node_id):
    """The text of the configuration at `path` without the [[nodes]] table of `node_id`: from its
    header to the next table, less the comments just above that one, which are the next table's.
    The rest stays as the operator wrote it, the comments above the table too (they may say more
    than that node). Raises ConfigError."""
    _nodes(*_read(path))  # a file that reads as it is
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines(keepends=True)
    headers = [n for n, line in enumerate(lines) if _TABLE.match(line)] + [len(lines)]
    for index in range(len(headers) - 1):
        start, end = headers[index], headers[index + 1]
        if not _NODES_TABLE.match(lines[start]):
            continue
        if tomllib.loads("".join(lines[start:end]))["nodes"][0].get("id") != node_id:
            continue
        while end > start + 1 and lines[end - 1].lstrip().startswith("#"):
            end -= 1
        rest = "".join(lines[:start] + lines[end:])
        _nodes(_Reader(path, rest), tomllib.loads(rest))  # one node at least is left
        return rest
    raise ConfigError("%s: no [[nodes]] with id = %s" % (path, quoted(node_id)))


def main(argv=None):
    """python -m boce_dispatch.center.config --node-ids FILE | --without-node ID FILE

    --node-ids prints the node ids of the center's configuration FILE, one a line, for natsconf
    --node (deploy/install reads them so): the node list has its one home in FILE.
    --without-node prints FILE without that node's [[nodes]] table (install remove-node)."""
    import sys

    from boce_dispatch import cli
    parser = cli.Parser(prog="python -m boce_dispatch.center.config", description=main.__doc__)
    asked = parser.add_mutually_exclusive_group(required=True)
    asked.add_argument("--node-ids", metavar="FILE",
                       help="the center's configuration (center.toml)")
    asked.add_argument("--without-node", nargs=2, metavar=("ID", "FILE"),
                       help="the node to leave out, and the configuration")
    args = parser.parse_args(argv)
    try:
        if args.without_node:
            sys.stdout.write(without_node(args.without_node[1], args.without_node[0]))
        else:
            sys.stdout.write("".join(node.id + "\n" for node in load_nodes(args.node_ids)))
    except (OSError, ConfigError) as error:
        return cli.fail(parser.prog, error, 2)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
