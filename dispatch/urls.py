"""URLs and addresses as the probe network judges them: a URL is written as a browser sends it
(the host in IDNA, the path and query percent-encoded), and an address is probed only when it is
globally reachable."""

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
    if len(url) > MAX_URL_LENGTH:
        raise BadUrl("the URL is longer than %d characters" % MAX_URL_LENGTH)
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
    try:
        path = _quote(parts.path or "/", _PATH_SAFE)
        query = _quote(parts.query, _QUERY_SAFE)
    except UnicodeEncodeError:
        raise BadUrl("the URL holds text that is not valid Unicode") from None
    return urllib.parse.urlunsplit((parts.scheme.lower(), netloc, path, query, ""))


def is_global(address):
    """True when `address` is reachable from the whole Internet: not loopback, private, shared,
    link-local, site-local, multicast, reserved or unspecified, also when written as an
    IPv4-mapped, 6to4 or NAT64 IPv6 address."""
    ip = ipaddress.ip_address(address.split("%", 1)[0])
    if ip.version == 6:
        embedded = ip.ipv4_mapped or ip.sixtofour
        if embedded is None and ip in ipaddress.ip_network("64:ff9b::/96"):
            embedded = ipaddress.IPv4Address(int(ip) & 0xFFFFFFFF)
        if embedded is not None:
            return is_global(str(embedded))
        if ip.teredo or ip.is_site_local:
            return False
    return ip.is_global and not ip.is_multicast
