"""One measurement of a URL with libcurl, as a node agent makes it.

libcurl fetches the URL (already in the form urls.browser_url gives) over http or https only,
through no proxy of the environment (`http_proxy`, `ALL_PROXY`, ... are ignored; only a proxy the
operator names is used), follows no redirect, reads at most MAX_BODY_BYTES and gives up at its
time limit. Unless private targets are allowed, every address it is about to connect to must be
globally reachable, checked on the address itself, so a name that resolves to several addresses,
or differently the second time, gains nothing."""

import os
import socket

import pycurl

from boce_dispatch.records import CURL_TIMES
from boce_dispatch.urls import is_global

MAX_BODY_BYTES = 8 * 1024 * 1024
USER_AGENT = "quellan-boce/2.0"
REFUSED = "refused:"  # how the reason of a fetch this agent would not make begins


def _ms(seconds):
    return round(seconds * 1000, 3)


# libcurl's failures by the phase they end, in the words an operator looks for.
_PHASES = {pycurl.E_COULDNT_RESOLVE_HOST: "resolve", pycurl.E_COULDNT_CONNECT: "connect",
           pycurl.E_SSL_CONNECT_ERROR: "tls", pycurl.E_PEER_FAILED_VERIFICATION: "tls",
           pycurl.E_GOT_NOTHING: "answer", pycurl.E_RECV_ERROR: "answer",
           pycurl.E_SEND_ERROR: "request", pycurl.E_WRITE_ERROR: "body"}


def _why_no_answer(failure, refused, curl, timeout):
    """Why a fetch got no HTTP status: a refused address, a time-out, or the phase that failed
    with the system's words for it."""
    if refused:
        return "%s %s is not a global address" % (REFUSED, sorted(refused)[0])
    if failure is None:
        return "no HTTP answer"
    code, message = failure.args[0], str(failure.args[1])
    if code == pycurl.E_OPERATION_TIMEDOUT:
        return "time-out after %.1f s" % timeout
    os_errno = curl.getinfo(pycurl.OS_ERRNO)
    words = os.strerror(os_errno).lower() if os_errno else message
    return "%s: %s" % (_PHASES.get(code, "fetch"), words)


class Fetch:
    """One fetch of `url` (already in browser form) on the libcurl handle `curl`, new or reset,
    and what it gathers while libcurl runs it: performed here (`measure`) or by an event loop
    (curl_loop.py). `head_only` asks for the head alone (HEAD)."""

    def __init__(self, curl, url, allow_private=False, timeout=15.0, proxy=None,
                 head_only=False):
        self.allow_private, self.timeout, self.proxy = allow_private, timeout, proxy
        self.size = 0
        self.refused = set()
        self.opened = []  # libcurl works on duplicates of these; ours are closed when it is done
        self.curl = curl
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        curl.setopt(pycurl.FOLLOWLOCATION, 0)
        curl.setopt(pycurl.TIMEOUT_MS, max(1, int(timeout * 1000)))
        curl.setopt(pycurl.NOSIGNAL, 1)
        curl.setopt(pycurl.USERAGENT, USER_AGENT)
        # Every fetch resolves, connects and shakes hands anew, as a visitor's first visit
        # does: handles that share a loop, or serve one fetch after another, would otherwise
        # share connections, names and TLS sessions, and measure them once.
        curl.setopt(pycurl.FRESH_CONNECT, 1)
        curl.setopt(pycurl.FORBID_REUSE, 1)
        curl.setopt(pycurl.DNS_CACHE_TIMEOUT, 0)
        curl.setopt(pycurl.SSL_SESSIONID_CACHE, 0)
        # The environment's proxy variables would route every probe past the address check.
        curl.setopt(pycurl.PROXY, proxy or "")
        if proxy is None:
            curl.setopt(pycurl.NOPROXY, "*")
        curl.setopt(pycurl.OPENSOCKETFUNCTION, self._open_socket)
        curl.setopt(pycurl.WRITEFUNCTION, self._keep_counting)
        if head_only:
            curl.setopt(pycurl.NOBODY, 1)

    def _open_socket(self, purpose, address):
        family, socktype, protocol, target = address
        if not self.allow_private and self.proxy is None and not is_global(target[0]):
            self.refused.add(target[0])
            return pycurl.SOCKET_BAD
        self.opened.append(socket.socket(family, socktype, protocol))
        return self.opened[-1]

    def _keep_counting(self, chunk):
        self.size += len(chunk)
        if self.size > MAX_BODY_BYTES:
            return -1  # stops the transfer: the body is capped
        return None

    def record(self, failure):
        """The measurement as a record without `isp`, once libcurl is done; `failure` is its
        pycurl.error or None. What was measured before a failure stands; a fetch without an
        HTTP answer (code 0) also says why, under `reason`."""
        curl = self.curl
        address = curl.getinfo(pycurl.PRIMARY_IP)
        total = curl.getinfo(pycurl.TOTAL_TIME)
        size_download = min(self.size, MAX_BODY_BYTES)
        record = {
            "primary_ip": "" if address in self.refused else address,
            "http_code": curl.getinfo(pycurl.RESPONSE_CODE),
            "size_download": size_download,
            "speed_download": round(size_download / total, 3) if total > 0 else 0,
        }
        for field, figure in CURL_TIMES.items():
            record[field] = _ms(curl.getinfo(getattr(pycurl, figure)))
        if record["http_code"] == 0:
            record["reason"] = _why_no_answer(failure, self.refused, curl, self.timeout)
        return record

    def close_sockets(self):
        for sock in self.opened:
            sock.close()


def measure(url, allow_private=False, timeout=15.0, proxy=None, head_only=False):
    """The record of one fetch of `url`, made on this thread (see Fetch)."""
    fetch = Fetch(pycurl.Curl(), url, allow_private, timeout, proxy, head_only)
    try:
        failure = None
        try:
            fetch.curl.perform()
        except pycurl.error as error:
            failure = error  # what was measured stands; the code stays 0 without an answer
        return fetch.record(failure)
    finally:
        fetch.curl.close()
        fetch.close_sockets()


async def measure_on(curl_loop, url, allow_private=False, timeout=15.0, proxy=None):
    """The record of one fetch of `url`, made by `curl_loop` (a curl_loop.CurlLoop) on the
    running event loop beside every other fetch, with no thread of its own."""
    fetch = Fetch(curl_loop.handle(), url, allow_private, timeout, proxy)
    try:
        return fetch.record(await curl_loop.perform(fetch.curl))
    finally:
        curl_loop.give_back(fetch.curl)
        fetch.close_sockets()
