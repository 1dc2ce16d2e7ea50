"""URLs and addresses as the probe network judges them: a URL is written as a browser sends it
(the host in IDNA, the path and query percent-encoded), and an address is probed only when it is
globally reachable."""

import functools
import ipaddress
import urllib.parse

import idna

MAX_URL_LENGTH = 4096

# What a browser percent-encodes in a path and in a query: controls, space, the delimiters that
# would change the URL's meaning there, and every byte outside ASCII.
_PATH_SAFE = "/%:@!$&'()*+,;=-._~[]|^"
_QUERY_SAFE = "/%:@!$&'()*+,;=-._~?[]|^`{}\\"


class BadUrl(ValueError):
    """A URL that cannot be probed; the message says why."""


def _quote(text, safe):
    return urllib.parse.quote(text, safe=safe, encoding="utf-8", errors="strict")


def _ascii_host(host):
    if host.isascii():
        return host.lower()  # a plain name or an address literal: as it is
    try:
        return idna.encode(host.rstrip("."), uts46=True).decode("ascii") + \
            ("." if host.endswith(".") else "")
    except idna.IDNAError as error:
        raise BadUrl("the host name is not a valid domain name: %s" % error) from None


def browser_url(url):
    """`url` as a browser sends it on the wire. Raises BadUrl."""
    if not isinstance(url, str) or not url:
        raise BadUrl("no URL")
    if "\x00" in url:
        raise BadUrl("the URL holds a NUL byte")
    try:
        url.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate, anywhere in the URL
        raise BadUrl("the URL holds text that is not valid Unicode") from None
    if len(url) > MAX_URL_LENGTH:
        raise BadUrl("the URL is longer than %d characters" % MAX_URL_LENGTH)
    return _sent_form(str(url))


# Kept for the URLs panels ask again and again: the center and every agent put each one in
# this form, and parsing it costs more than the rest of a probe request's check.
@functools.lru_cache(maxsize=256)
def _sent_form(url):
    try:
        parts = urllib.parse.urlsplit(url.strip())
        port = parts.port
    except ValueError as error:
        raise BadUrl("malformed URL: %s" % error) from None
    if parts.scheme.lower() not in ("http", "https"):
        raise BadUrl("only http and https URLs are probed")
    host = parts.netloc.rpartition("@")[2]
    if port is not None or host.endswith(":"):
        host = host.rpartition(":")[0]
    if not host:
        raise BadUrl("the URL names no host")
    userinfo = parts.netloc.rpartition("@")[0] if "@" in parts.netloc else ""
    netloc = _ascii_host(host)
    if userinfo:
        netloc = _quote(userinfo, "%:!$&'()*+,;=-._~") + "@" + netloc
    if port is not None:
        netloc += ":%d" % port
    path = _quote(parts.path or "/", _PATH_SAFE)
    query = _quote(parts.query, _QUERY_SAFE)
    return urllib.parse.urlunsplit((parts.scheme.lower(), netloc, path, query, ""))


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
_NAT64 = ipaddress.ip_network("64:ff9b::/96")  # the well-known prefix; 64:ff9b:1::/48 is local
_TEREDO = ipaddress.ip_network("2001::/32")
_SIXTOFOUR = ipaddress.ip_network("2002::/16")


def _carried_ipv4(ip):
    """The IPv4 address an IPv6 address stands for (IPv4-mapped, NAT64's well-known prefix,
    6to4), or None."""
    if ip.ipv4_mapped is not None:
        return ip.ipv4_mapped  # the kernel connects to the IPv4 address itself
    if ip in _NAT64:
        return ipaddress.IPv4Address(int(ip) & 0xFFFFFFFF)
    return ip.sixtofour


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
        carried = _carried_ipv4(ip)
        if carried is not None:
            return _registry_says_global(carried)
    return _registry_says_global(ip)
