"""Which addresses an agent may probe: only those that are globally reachable."""

import ipaddress

from boce_dispatch.ipv4_in_ipv6 import carried_ipv4

# The IANA special-purpose address registries (IPv4 and IPv6), each block with its "Globally
# Reachable" entry. A block inside another is listed before it, so the first match decides: the
# anycast services inside 192.0.0.0/24 and 2001::/23 are global, the rest of those blocks not.
# Multicast and, for IPv6, everything outside global unicast (2000::/3) are never a probe target.
_SPECIAL_PURPOSE = [(ipaddress.ip_network(block), reachable) for block, reachable in (
    ("0.0.0.0/8", False), ("10.0.0.0/8", False), ("100.64.0.0/10", False),
    ("127.0.0.0/8", False), ("169.254.0.0/16", False), ("172.16.0.0/12", False),
    ("192.0.0.9/32", True), ("192.0.0.10/32", True), ("192.0.0.0/24", False),
    ("192.0.2.0/24", False), ("192.31.196.0/24", True), ("192.52.193.0/24", True),
    ("192.88.99.0/24", False), ("192.168.0.0/16", False), ("192.175.48.0/24", True),
    ("198.18.0.0/15", False), ("198.51.100.0/24", False), ("203.0.113.0/24", False),
    ("224.0.0.0/4", False), ("240.0.0.0/4", False),
    ("2001:1::1/128", True), ("2001:1::2/128", True), ("2001:1::3/128", True),
    ("2001:3::/32", True), ("2001:4:112::/48", True), ("2001:20::/28", True),
    ("2001:30::/28", True), ("2001::/23", False), ("2001:db8::/32", False),
    ("2620:4f:8000::/48", True), ("3fff::/20", False),
)]
_GLOBAL_UNICAST_V6 = ipaddress.ip_network("2000::/3")
_TEREDO = ipaddress.ip_network("2001::/32")


def _registry_says_global(ip):
    for block, reachable in _SPECIAL_PURPOSE:
        if ip.version == block.version and ip in block:
            return reachable
    return ip.version == 4 or ip in _GLOBAL_UNICAST_V6


def is_global(address):
    """True when `address` is reachable from the whole Internet by the IANA special-purpose
    registries. An IPv6 address that stands for an IPv4 one (mapped, NAT64, 6to4) is judged by
    that IPv4 address; Teredo, the IPv4-translated (::ffff:0:0:0/96) and -compatible (::/96)
    forms and local-use NAT64 (64:ff9b:1::/48) are never global."""
    ip = ipaddress.ip_address(address.split("%", 1)[0])
    if ip.version == 6:
        if ip in _TEREDO:
            return False
        carried = carried_ipv4(ip)
        if carried is not None:
            return _registry_says_global(carried)
    return _registry_says_global(ip)
