"""The IPv4 address an IPv6 address stands for: the agents judge a target by it, and the center
counts a client by it."""

import ipaddress

NAT64 = ipaddress.ip_network("64:ff9b::/96")  # the well-known prefix; 64:ff9b:1::/48 is local


def carried_ipv4(ip):
    """The IPv4 address that the IPv6 address `ip` stands for (IPv4-mapped, NAT64's well-known
    prefix, 6to4), or None."""
    if ip.ipv4_mapped is not None:
        return ip.ipv4_mapped  # the kernel connects to the IPv4 address itself
    if ip in NAT64:
        return ipaddress.IPv4Address(int(ip) & 0xFFFFFFFF)
    return ip.sixtofour
