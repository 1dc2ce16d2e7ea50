"""URLs as the probe network passes them on: written as a browser sends them (the host in IDNA,
the path and query percent-encoded). The center checks the panel's URL with them, the agent the
URL it is asked to fetch."""

import functools
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

