"""One measurement of a URL with libcurl, as a node agent makes it.

libcurl fetches the URL (already in the form urls.browser_url gives) over http or https only,
through no proxy of the environment (`http_proxy`, `ALL_PROXY`, ... are ignored; only a proxy the
operator names is used), follows no redirect, reads at most MAX_BODY_BYTES and gives up at its
time limit. Unless private targets are allowed, every address it is about to connect to must be
globally reachable, checked on the address itself, so a name that resolves to several addresses,
or differently the second time, gains nothing."""

import asyncio
import calendar
import ipaddress
import os
import re
import socket
from dataclasses import dataclass

import pycurl

from boce_dispatch import contract
from boce_dispatch.agent.addresses import is_global
from boce_dispatch.agent.curl_loop import CurlLoop

MAX_BODY_BYTES = 8 * 1024 * 1024
USER_AGENT = "quellan-boce/2.0"
# Each time field of the record and the libcurl figure it is: seconds from the start of the
# fetch, cumulative, sent as milliseconds.
CURL_TIMES = {"total_time": "TOTAL_TIME", "namelookup_time": "NAMELOOKUP_TIME",
              "starttransfer_time": "STARTTRANSFER_TIME", "connect_time": "CONNECT_TIME",
              "appconnect_time": "APPCONNECT_TIME"}
# The phases in the order they happen, each time including the ones before.
CURL_TIMES_IN_ORDER = ("namelookup_time", "connect_time", "appconnect_time",
                       "starttransfer_time", "total_time")
REFUSED = "refused:"  # how the reason of a fetch this agent would not make begins
# libcurl's CURLOPT_CA_CACHE_TIMEOUT (7.87 on), which pycurl does not name: how many seconds the
# CA store a loop loaded serves its later fetches. Probes keep it until the agent refreshes it
# (prepare_tls), so no probe counts the loading; a refresh takes any store older than a second.
_CA_CACHE_TIMEOUT = 321
_CA_KEPT_UNTIL_REFRESHED = -1
PREPARE_SECONDS = 2


@dataclass(frozen=True)
class ProbeOptions:
    """How an agent fetches, the same for every probe (as blackbox_exporter's prober takes one
    module): whether it may fetch non-global addresses, through which proxy, against which CA
    file (the system's store when None), the head alone (HEAD), and how long libcurl keeps the
    CA store it loaded."""
    allow_private: bool = False
    proxy: str | None = None
    ca_file: str | None = None
    head_only: bool = False
    ca_kept_seconds: int = _CA_KEPT_UNTIL_REFRESHED


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
# libcurl's line, among what it tells of its work, that names the TLS version agreed on.
_TLS_USING = b"SSL connection using "
_TLS_VERSION = re.compile(rb"^SSL connection using (TLSv1(?:\.[0-3])?|SSLv3) ")
# A certificate's end as libcurl writes it, "Dec  8 20:09:10 2026 GMT", read without
# time.strptime, whose first call in a process takes a millisecond or two of CPU that nine agents
# probing at once would queue for.
_EXPIRY = re.compile(r"^([A-Z][a-z]{2}) +(\d{1,2}) (\d\d):(\d\d):(\d\d) (\d{4}) GMT$")
_MONTHS = {name: number for number, name in enumerate(
    ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"), 1)}
# One attribute of a certificate's name as OpenSSL writes it on one line (XN_FLAG_ONELINE):
# `O = "Acme, Inc.", CN = R3`: a value with a separator in it is quoted, a quote or backslash in
# it escaped, and every byte of a character beyond ASCII written \XX.
_NAME_PART = re.compile(r'\s*(\w+) = ("(?:[^"\\]|\\.)*"|(?:[^,+\\]|\\.)*)(?:,|\+|$)')
_ESCAPED = re.compile(rb"\\([0-9A-Fa-f]{2}|.)", re.DOTALL)


def _unescaped(value):
    """A name's value as the certificate holds it: quotes taken off, \\XX as that byte, \\c as
    c, the bytes read as UTF-8."""
    if len(value) >= 2 and value.startswith('"') and value.endswith('"'):
        value = value[1:-1]
    raw = _ESCAPED.sub(lambda m: bytes([int(m[1], 16)]) if len(m[1]) == 2 else m[1],
                       value.encode("utf-8"))
    return raw.decode("utf-8", "replace").strip()


def _name_parts(text):
    """{attribute: value} of a certificate name as OpenSSL writes it, each value as the
    certificate holds it (the first of a repeated attribute)."""
    parts = {}
    for attribute, value in _NAME_PART.findall(text):
        parts.setdefault(attribute, _unescaped(value))
    return parts


def _expiry_seconds(text):
    """A certificate's notAfter as Unix seconds, or 0 when libcurl's text is no date."""
    end = _EXPIRY.match(text.strip())
    month = _MONTHS.get(end[1]) if end else None
    if not month:
        return 0
    day, hour, minute, second, year = map(int, end.groups()[1:])
    if not (1 <= day <= 31 and hour < 24 and minute < 60 and second < 61):
        return 0
    return calendar.timegm((year, month, day, hour, minute, second))


def _why_no_answer(failure, refused, curl, timeout):
    """Why a fetch got no HTTP status: a refused address, a time-out, or the phase that failed,
    in its own words: the system's for a connection that failed (the errno of the last address
    tried), libcurl's for the rest (an errno would be an earlier address's, not this failure's)."""
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
    os_errno = curl.getinfo(pycurl.OS_ERRNO) if phase == "connect" else 0
    words = os.strerror(os_errno) if os_errno else message
    return "%s: %s" % (phase, words[:1].lower() + words[1:])


def _why_body_failed(failure, received, announced, timeout):
    """Why an answer whose head came ended before its body: what was received of it."""
    of = " of %d" % announced if announced >= 0 else ""
    if failure.args[0] == pycurl.E_OPERATION_TIMEDOUT:
        return "body: time-out after %.1f s, %d%s bytes received" % (timeout, received, of)
    return "body: cut short after %d%s bytes" % (received, of)


def _chain_facts(chain):
    """What the certificates the server presented (libcurl's CERTINFO, the site's first) say:
    {cert_expiry, cert_depth, cert_subject} of the one that ends first, and cert_issuer, the
    organisation (or else the common name) of the site certificate's issuer. The empty values
    without a certificate."""
    facts = {"cert_expiry": 0, "cert_depth": 0, "cert_subject": "", "cert_issuer": ""}
    for depth, certificate in enumerate(chain):
        fields = dict(certificate)
        expiry = _expiry_seconds(fields.get("Expire date", ""))
        if depth == 0:
            issuer = _name_parts(fields.get("Issuer", ""))
            facts["cert_issuer"] = issuer.get("O") or issuer.get("CN", "")
        if expiry and (not facts["cert_expiry"] or expiry < facts["cert_expiry"]):
            subject = _name_parts(fields.get("Subject", ""))
            facts.update(cert_expiry=expiry, cert_depth=depth,
                         cert_subject=subject.get("CN") or subject.get("O", ""))
    return facts


def _tls_version(notes):
    """The TLS version agreed on, from what libcurl told of its work; "" without it."""
    for line in notes:
        if line.startswith(_TLS_USING):
            agreed = _TLS_VERSION.match(line)
            return agreed[1].decode() if agreed else ""
    return ""


def _monotone(times, phases):
    """`times` with each phase that happened no later than the next one that did: libcurl
    resolves both families, and its name lookup can end after the connection that one of them
    made (an IPv6 connection on about 2 % of probes)."""
    later = None
    for phase in reversed(phases):
        if times[phase] > 0:
            if later is not None and times[phase] > later:
                times[phase] = later
            later = times[phase]
    return times


class Fetch:
    """One fetch of `url` (already in browser form) on the libcurl handle `curl`, new or reset,
    of at most `seconds`, as `options` (ProbeOptions) say, and what it gathers while libcurl
    runs it on an event loop (agent/curl_loop.py)."""

    def __init__(self, curl, url, seconds, options):
        self.allow_private, self.timeout, self.proxy = options.allow_private, seconds, options.proxy
        self.https = url.startswith("https:")
        self.size = 0
        self.tried = []  # the addresses a connection was opened to, in order
        self.refused = set()
        self.tls_notes = []  # what libcurl tells of its work (https only)
        self.opened = []  # libcurl works on duplicates of these; ours are closed when it is done
        self.curl = curl
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        curl.setopt(pycurl.FOLLOWLOCATION, 0)
        curl.setopt(pycurl.TIMEOUT_MS, max(1, int(seconds * 1000)))
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
        curl.setopt(pycurl.PROXY, options.proxy or "")
        if options.proxy is None:
            curl.setopt(pycurl.NOPROXY, "*")
        curl.setopt(pycurl.OPENSOCKETFUNCTION, self._open_socket)
        curl.setopt(pycurl.WRITEFUNCTION, self._keep_counting)
        if options.head_only:
            curl.setopt(pycurl.NOBODY, 1)
        if options.ca_file is not None:  # the operator's CA for sites of a private one
            curl.setopt(pycurl.CAINFO, options.ca_file)
        try:
            curl.setopt(_CA_CACHE_TIMEOUT, options.ca_kept_seconds)
        except pycurl.error:  # a libcurl older than 7.87 loads the store for every fetch
            pass
        if self.https:
            # The certificates the server presented, also when they are refused, and libcurl's
            # account of its work for the TLS version agreed on (make bench-dispatch: what the
            # reading costs per https probe).
            curl.setopt(pycurl.OPT_CERTINFO, 1)
            curl.setopt(pycurl.VERBOSE, 1)
            # libcurl calls it some seventy times per https fetch with (kind, bytes): the list's
            # own insert, a call without a Python frame, keeps them all (at the kind's index:
            # the order does not matter) for _tls_version to look through once.
            curl.setopt(pycurl.DEBUGFUNCTION, self.tls_notes.insert)

    def _open_socket(self, purpose, address):
        family, socktype, protocol, target = address
        self.tried.append(target[0])
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
        pycurl.error or None. It says what happened on the connection the fetch used, and only
        that: a phase that did not complete has no time (libcurl gives a failed fetch the time
        of its failure as its first byte's). A fetch without a whole HTTP answer has code 0 and
        says why under `reason`: an answer whose body was cut short or stalled is no answer."""
        curl = self.curl
        address = self._address()
        head_code = curl.getinfo(pycurl.RESPONSE_CODE)
        capped = self.size > MAX_BODY_BYTES  # our own stop: the answer stands
        whole = failure is None or capped
        code = head_code if whole else 0
        size_download = min(self.size, MAX_BODY_BYTES)
        total = curl.getinfo(pycurl.TOTAL_TIME)
        times = {field: _ms(curl.getinfo(getattr(pycurl, figure)))
                 for field, figure in CURL_TIMES.items()}
        connected = bool(address) and times["connect_time"] > 0
        happened = {"namelookup_time": bool(self.tried or address),
                    "connect_time": connected, "appconnect_time": connected and self.https,
                    "starttransfer_time": bool(head_code)}
        for field, done in happened.items():
            if not done:
                times[field] = 0
        record = {"primary_ip": address, "http_code": code, "size_download": size_download,
                  "speed_download": round(size_download / total, 3) if total > 0 else 0,
                  **_monotone(times, list(CURL_TIMES_IN_ORDER))}
        if code:
            reason = ""
        elif head_code:
            reason = _why_body_failed(failure, size_download,
                                      curl.getinfo(pycurl.CONTENT_LENGTH_DOWNLOAD_T),
                                      self.timeout)
        else:
            reason = _why_no_answer(failure, self.refused, curl, self.timeout)
        chain = _chain_facts(curl.getinfo(pycurl.INFO_CERTINFO) if self.https else [])
        record.update(
            reason=reason, cert_expiry=chain["cert_expiry"], cert_issuer=chain["cert_issuer"],
            tls_version=_tls_version(self.tls_notes) if self.https else "",
            http_version=_HTTP_VERSIONS.get(curl.getinfo(pycurl.INFO_HTTP_VERSION), "")
            if head_code else "",
            ip_version=_ip_version(address) if connected else 0,
            cert_depth=chain["cert_depth"], cert_subject=chain["cert_subject"])
        return record

    def _address(self):
        """The address the fetch connected to, or else the last it tried (the name resolved to
        it, and the connection failed); "" for none, or one this agent would not connect to."""
        address = self.curl.getinfo(pycurl.PRIMARY_IP) or (self.tried[-1] if self.tried else "")
        return "" if address in self.refused else address

    def close_sockets(self):
        for sock in self.opened:
            sock.close()


def _ip_version(address):
    """4 or 6, as the packets went: an IPv4-mapped address is IPv4 on the wire."""
    ip = ipaddress.ip_address(address.split("%", 1)[0])
    return 4 if ip.version == 4 or ip.ipv4_mapped is not None else 6


async def probe(curl_loop, url, deadline, options):
    """The record of one fetch of `url` (in browser form) made by `curl_loop` on the running
    event loop beside every other fetch, with no thread of its own, ending by `deadline` (the
    loop's clock) and at most FETCH_SECONDS after it starts: the time it has is reckoned here,
    once."""
    seconds = min(contract.FETCH_SECONDS, deadline - asyncio.get_running_loop().time())
    fetch = Fetch(curl_loop.handle(), url, max(seconds, 0.001), options)
    try:
        return fetch.record(await curl_loop.perform(fetch.curl))
    finally:
        curl_loop.give_back(fetch.curl)
        fetch.close_sockets()


def measure(url, seconds=contract.FETCH_SECONDS, options=None):
    """The record of one fetch of `url`, made now on a loop of its own: for tools and tests."""
    async def once():
        curl_loop = CurlLoop(idle_handles=0)
        try:
            return await probe(curl_loop, url, asyncio.get_running_loop().time() + seconds,
                               options or ProbeOptions())
        finally:
            curl_loop.close()
    return asyncio.run(once())


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
            await probe(curl_loop, "https://127.0.0.1:%d/" % listener.getsockname()[1],
                        loop.time() + PREPARE_SECONDS, ProbeOptions(
                            allow_private=True, ca_file=ca_file,
                            ca_kept_seconds=1 if refresh else _CA_KEPT_UNTIL_REFRESHED))
            return True
        finally:
            loop.remove_reader(listener.fileno())
    finally:
        listener.close()
