"""One measurement of a URL with libcurl, as a node agent makes it.

libcurl fetches the URL (already in the form urls.browser_url gives) over http or https only,
through no proxy of the environment (`http_proxy`, `ALL_PROXY`, ... are ignored; only a proxy the
operator names is used), follows no redirect, reads at most MAX_BODY_BYTES and gives up at its
time limit. Unless private targets are allowed, every address it is about to connect to must be
globally reachable, checked on the address itself, so a name that resolves to several addresses,
or differently the second time, gains nothing."""

import asyncio
import calendar
import os
import re
import socket

import pycurl

from boce_dispatch import contract
from boce_dispatch.agent.addresses import is_global

MAX_BODY_BYTES = 8 * 1024 * 1024
USER_AGENT = "quellan-boce/2.0"
# Each time field of the record and the libcurl figure it is: seconds from the start of the
# fetch, cumulative, sent as milliseconds.
CURL_TIMES = {"total_time": "TOTAL_TIME", "namelookup_time": "NAMELOOKUP_TIME",
              "starttransfer_time": "STARTTRANSFER_TIME", "connect_time": "CONNECT_TIME",
              "appconnect_time": "APPCONNECT_TIME"}
REFUSED = "refused:"  # how the reason of a fetch this agent would not make begins
# libcurl's CURLOPT_CA_CACHE_TIMEOUT (7.87 on), which pycurl does not name: how many seconds the
# CA store a loop loaded serves its later fetches. Probes keep it until the agent refreshes it
# (prepare_tls), so no probe counts the loading; a refresh takes any store older than a second.
_CA_CACHE_TIMEOUT = 321
_CA_KEPT_UNTIL_REFRESHED = -1
PREPARE_SECONDS = 2


def _ms(seconds):
    return round(seconds * 1000, 3)


# libcurl's failures by the phase they end, in the words an operator looks for.
_PHASES = {pycurl.E_COULDNT_RESOLVE_HOST: "dns", pycurl.E_COULDNT_CONNECT: "connect",
           pycurl.E_SSL_CONNECT_ERROR: "tls", pycurl.E_PEER_FAILED_VERIFICATION: "tls",
           pycurl.E_SSL_CERTPROBLEM: "tls", pycurl.E_SSL_CIPHER: "tls",
           pycurl.E_GOT_NOTHING: "answer", pycurl.E_RECV_ERROR: "answer",
           pycurl.E_SEND_ERROR: "request", pycurl.E_WRITE_ERROR: "body"}
# What OpenSSL says of a certificate it refused, inside libcurl's message, and the prefixes
# libcurl puts before its other TLS messages.
_VERIFY_RESULT = re.compile(r"verify result: (.+?) \(\d+\)$")
_TLS_PREFIX = re.compile(r"^(SSL certificate problem: |SSL: )")
# libcurl's figure of the HTTP version it spoke, as a record writes it.
_HTTP_VERSIONS = {pycurl.CURL_HTTP_VERSION_1_0: "1.0", pycurl.CURL_HTTP_VERSION_1_1: "1.1",
                  pycurl.CURL_HTTP_VERSION_2_0: "2", pycurl.CURL_HTTP_VERSION_3: "3"}
# libcurl's lines, among what it tells of its work, that name the TLS version agreed on and the
# server certificate's expiry and issuer; it writes them whether or not it trusts the certificate.
_TLS_NOTES = (b"SSL connection using ", b"  expire date: ", b"  issuer: ")
_TLS_VERSION = re.compile(rb"^SSL connection using (TLSv1(?:\.[0-3])?|SSLv3) ")
# "  expire date: Dec  8 20:09:10 2026 GMT", read without time.strptime, whose first call in a
# process takes a millisecond or two of CPU that nine agents probing at once would queue for.
_EXPIRY = re.compile(
    rb"^  expire date: ([A-Z][a-z]{2}) +(\d{1,2}) (\d\d):(\d\d):(\d\d) (\d{4}) GMT$")
_MONTHS = {name: number for number, name in enumerate(
    (b"Jan", b"Feb", b"Mar", b"Apr", b"May", b"Jun", b"Jul", b"Aug", b"Sep", b"Oct", b"Nov",
     b"Dec"), 1)}
_ISSUER_NAME = re.compile(rb"(?:^  issuer: |; )(O|CN)=([^;]+)")


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
    phase = _PHASES.get(code, "fetch")
    if phase == "tls":
        verified = _VERIFY_RESULT.search(message)
        return "tls: %s" % (verified[1] if verified else _TLS_PREFIX.sub("", message))
    os_errno = curl.getinfo(pycurl.OS_ERRNO)
    words = os.strerror(os_errno).lower() if os_errno else message
    return "%s: %s" % (phase, words)


def _tls_facts(notes):
    """(TLS version, the server certificate's notAfter in Unix seconds, its issuer's organisation
    or else common name) from libcurl's lines about the handshake; "", 0 and "" for what they do
    not tell (no TLS, or a handshake that never got so far)."""
    version, expiry, issuer = "", 0, ""
    for line in notes:
        line = line.rstrip(b"\r\n")
        agreed, expires = _TLS_VERSION.match(line), _EXPIRY.match(line)
        if agreed and not version:
            version = agreed[1].decode()
        elif expires and not expiry:
            month = _MONTHS.get(expires[1])
            day, hour, minute, second, year = map(int, expires.groups()[1:])
            if month and 1 <= day <= 31 and hour < 24 and minute < 60 and second < 61:
                expiry = calendar.timegm((year, month, day, hour, minute, second))
        elif line.startswith(b"  issuer: ") and not issuer:
            names = dict(_ISSUER_NAME.findall(line))
            issuer = (names.get(b"O") or names.get(b"CN", b"")).decode("utf-8", "replace")
    return version, expiry, issuer


class Fetch:
    """One fetch of `url` (already in browser form) on the libcurl handle `curl`, new or reset,
    and what it gathers while libcurl runs it: performed here (`measure`) or by an event loop
    (agent/curl_loop.py). `head_only` asks for the head alone (HEAD)."""

    def __init__(self, curl, url, allow_private=False, timeout=contract.FETCH_SECONDS, proxy=None,
                 head_only=False, ca_file=None, ca_kept_seconds=_CA_KEPT_UNTIL_REFRESHED):
        self.allow_private, self.timeout, self.proxy = allow_private, timeout, proxy
        self.size = 0
        self.refused = set()
        self.tls_notes = []
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
        if ca_file is not None:  # the operator's CA for sites of a private one; else the system's
            curl.setopt(pycurl.CAINFO, ca_file)
        try:
            curl.setopt(_CA_CACHE_TIMEOUT, ca_kept_seconds)
        except pycurl.error:  # a libcurl older than 7.87 loads the store for every fetch
            pass
        # libcurl's account of its work tells the TLS version and the server's certificate
        # (make bench-dispatch: 0.07 to 0.11 ms, 5 to 8 % of an agent's CPU per https probe).
        curl.setopt(pycurl.VERBOSE, 1)
        curl.setopt(pycurl.DEBUGFUNCTION, self._keep_tls_note)

    def _keep_tls_note(self, kind, text, text_kind=pycurl.INFOTYPE_TEXT):
        # Called some sixty times per https fetch: it keeps three lines and no more.
        if kind == text_kind and text.startswith(_TLS_NOTES):
            self.tls_notes.append(text)

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
        pycurl.error or None. What was measured before a failure stands, and only that: a
        phase that did not complete has no time (libcurl gives a failed fetch the time of its
        failure as its first byte's). A fetch without an HTTP answer (code 0) says why, under
        `reason`."""
        curl = self.curl
        address = curl.getinfo(pycurl.PRIMARY_IP)
        if address in self.refused:
            address = ""
        total = curl.getinfo(pycurl.TOTAL_TIME)
        size_download = min(self.size, MAX_BODY_BYTES)
        code = curl.getinfo(pycurl.RESPONSE_CODE)
        record = {
            "primary_ip": address,
            "http_code": code,
            "size_download": size_download,
            "speed_download": round(size_download / total, 3) if total > 0 else 0,
        }
        for field, figure in CURL_TIMES.items():
            record[field] = _ms(curl.getinfo(getattr(pycurl, figure)))
        connected = bool(address) and record["connect_time"] > 0
        completed = {"namelookup_time": bool(address or self.refused),
                     "connect_time": connected, "appconnect_time": connected,
                     "starttransfer_time": bool(code)}
        for field, done in completed.items():
            if not done:
                record[field] = 0
        tls_version, record["cert_expiry"], record["cert_issuer"] = _tls_facts(self.tls_notes)
        record.update(
            reason="" if code else _why_no_answer(failure, self.refused, curl, self.timeout),
            tls_version=tls_version,
            http_version=_HTTP_VERSIONS.get(curl.getinfo(pycurl.INFO_HTTP_VERSION), "")
            if code else "",
            ip_version=(6 if ":" in address else 4) if connected else 0)
        return record

    def close_sockets(self):
        for sock in self.opened:
            sock.close()


def measure(url, allow_private=False, timeout=contract.FETCH_SECONDS, proxy=None, head_only=False,
            ca_file=None):
    """The record of one fetch of `url`, made on this thread (see Fetch)."""
    fetch = Fetch(pycurl.Curl(), url, allow_private, timeout, proxy, head_only, ca_file)
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


async def measure_on(curl_loop, url, allow_private=False, timeout=contract.FETCH_SECONDS, proxy=None,
                     ca_file=None, ca_kept_seconds=_CA_KEPT_UNTIL_REFRESHED):
    """The record of one fetch of `url`, made by `curl_loop` (a CurlLoop) on the
    running event loop beside every other fetch, with no thread of its own."""
    fetch = Fetch(curl_loop.handle(), url, allow_private, timeout, proxy, ca_file=ca_file,
                  ca_kept_seconds=ca_kept_seconds)
    try:
        return fetch.record(await curl_loop.perform(fetch.curl))
    finally:
        curl_loop.give_back(fetch.curl)
        fetch.close_sockets()


async def prepare_tls(curl_loop, ca_file=None, refresh=False):
    """Sets up TLS on `curl_loop` before a probe can count it as the site's handshake: OpenSSL's
    own start and the CA store, which libcurl keeps on the loop for the probes that follow.
    Without it an agent's first https probe read 1 to 13 ms of the agent's own work as the
    site's handshake (8 to 13 of them parsing the system's store, some 140 certificates), and
    1 at most with it. `refresh` loads the store anew, from what the CA file holds now. The
    handshake is with a listener of the agent's own on the loopback, which hangs up at once:
    nothing leaves the machine. False when the machine has no loopback to do it on."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        try:
            listener.bind(("127.0.0.1", 0))
        except OSError:
            return False
        listener.listen(1)
        listener.setblocking(False)
        loop = asyncio.get_running_loop()

        def hang_up():
            try:
                listener.accept()[0].close()
            except OSError:
                pass

        loop.add_reader(listener.fileno(), hang_up)
        try:
            await measure_on(curl_loop, "https://127.0.0.1:%d/" % listener.getsockname()[1],
                             allow_private=True, timeout=PREPARE_SECONDS, ca_file=ca_file,
                             ca_kept_seconds=1 if refresh else _CA_KEPT_UNTIL_REFRESHED)
            return True
        finally:
            loop.remove_reader(listener.fileno())
    finally:
        listener.close()
