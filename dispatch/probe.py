"""One measurement of a URL with libcurl, as a node agent makes it.

libcurl fetches the URL (already in the form urls.browser_url gives) over http or https only,
through no proxy of the environment (`http_proxy`, `ALL_PROXY`, ... are ignored; only a proxy the
operator names is used), follows no redirect, reads at most MAX_BODY_BYTES and gives up at its
time limit. Unless private targets are allowed, every address it is about to connect to must be
globally reachable, checked on the address itself, so a name that resolves to several addresses,
or differently the second time, gains nothing."""

import socket

import pycurl

from dispatch.urls import is_global

MAX_BODY_BYTES = 8 * 1024 * 1024
USER_AGENT = "quellan-boce/2.0"


def _ms(seconds):
    return round(seconds * 1000, 3)


def measure(url, allow_private=False, timeout=15.0, proxy=None):
    """The measurement of one fetch of `url` (already in browser form) as a record without
    `isp`; what was measured before a failure stands."""
    size = [0]
    refused = set()
    opened = []  # libcurl works on duplicates of these; ours are closed when it is done

    def open_socket(purpose, address):
        family, socktype, protocol, target = address
        if not allow_private and proxy is None and not is_global(target[0]):
            refused.add(target[0])
            return pycurl.SOCKET_BAD
        opened.append(socket.socket(family, socktype, protocol))
        return opened[-1]

    def keep_counting(chunk):
        size[0] += len(chunk)
        if size[0] > MAX_BODY_BYTES:
            return -1  # stops the transfer: the body is capped
        return None

    curl = pycurl.Curl()
    try:
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        curl.setopt(pycurl.FOLLOWLOCATION, 0)
        curl.setopt(pycurl.TIMEOUT_MS, max(1, int(timeout * 1000)))
        curl.setopt(pycurl.NOSIGNAL, 1)
        curl.setopt(pycurl.USERAGENT, USER_AGENT)
        # The environment's proxy variables would route every probe past the address check.
        curl.setopt(pycurl.PROXY, proxy or "")
        if proxy is None:
            curl.setopt(pycurl.NOPROXY, "*")
        curl.setopt(pycurl.OPENSOCKETFUNCTION, open_socket)
        curl.setopt(pycurl.WRITEFUNCTION, keep_counting)
        try:
            curl.perform()
        except pycurl.error:
            pass  # what was measured stands; the code stays 0 without an answer
        address = curl.getinfo(pycurl.PRIMARY_IP)
        total = curl.getinfo(pycurl.TOTAL_TIME)
        size_download = min(size[0], MAX_BODY_BYTES)
        return {
            "primary_ip": "" if address in refused else address,
            "http_code": curl.getinfo(pycurl.RESPONSE_CODE),
            "total_time": _ms(total),
            "namelookup_time": _ms(curl.getinfo(pycurl.NAMELOOKUP_TIME)),
            "starttransfer_time": _ms(curl.getinfo(pycurl.STARTTRANSFER_TIME)),
            "size_download": size_download,
            "speed_download": round(size_download / total, 3) if total > 0 else 0,
            "connect_time": _ms(curl.getinfo(pycurl.CONNECT_TIME)),
            "appconnect_time": _ms(curl.getinfo(pycurl.APPCONNECT_TIME)),
        }
    finally:
        curl.close()
        for sock in opened:
            sock.close()
