"""A whole dispatch service on one machine's loopback, for the demo and the tests: the center on
a given port and one node agent per name on free ports (allowed to probe loopback sites)."""

import secrets
import socket

from dispatch import center, node


def _port_nobody_listens_on():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(names, down=(), port=80, allowed_servers=None, deadline=10.0):
    """(the center, its servers); the names in `down` get an agent address where nothing
    listens, so they show as not responding. shutdown() each server to stop."""
    secret = secrets.token_bytes(32)
    servers, nodes = [], []
    for name in names:
        if name in down:
            agent_port = _port_nobody_listens_on()
        else:
            agent = node.serve("127.0.0.1", 0, name, secret, allow_private=True)
            servers.append(agent)
            agent_port = agent.server_address[1]
        nodes.append({"name": name, "url": "http://127.0.0.1:%d" % agent_port})
    the_center = center.DispatchCenter(nodes, secret, allowed_servers, deadline)
    servers.insert(0, center.serve(the_center, "127.0.0.1", port))
    return the_center, servers
