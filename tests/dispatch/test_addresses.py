"""Which addresses an agent may probe: the special-purpose registries, IPv4 carried in IPv6."""

import pytest

from boce_dispatch.agent import addresses


@pytest.mark.parametrize("address, reachable", [
    ("93.184.216.34", True), ("2606:2800:220:1::1", True),
    ("127.0.0.1", False), ("10.1.2.3", False), ("172.16.0.1", False), ("192.168.1.1", False),
    ("100.64.0.1", False), ("169.254.169.254", False), ("0.0.0.0", False), ("224.0.0.1", False),
    ("240.0.0.1", False), ("::1", False), ("fe80::1%eth0", False), ("fec0::1", False),
    ("fd00::1", False), ("::ffff:127.0.0.1", False), ("::ffff:93.184.216.34", True),
    ("64:ff9b::a00:1", False), ("2002:c0a8:101::1", False), ("2001::1", False),
    ("ff02::1", False), ("64:ff9b::5db8:d822", True), ("2002:5db8:d822::1", True),
    # local-use NAT64, IPv4-translated, IPv4-compatible, SRv6 SIDs, Teredo, outside 2000::/3
    ("64:ff9b:1::5db8:d822", False), ("::ffff:0:5db8:d822", False), ("::10.0.0.5", False),
    ("5f00::1", False), ("2001:0:5db8:d822::1", False), ("4000::1", False),
    # the registries' global exceptions inside non-global blocks, and the other way round
    ("192.0.0.9", True), ("192.0.0.8", False), ("2001:1::1", True), ("2001:2::1", False),
    ("198.18.0.1", False), ("192.88.99.1", False), ("3fff::1", False),
])
def test_only_globally_reachable_addresses_are_probed(address, reachable):
    assert addresses.is_global(address) is reachable
