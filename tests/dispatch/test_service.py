"""The probe network's own rules: the configuration, what an agent fetches and refuses, what
NATS lets each party do, and what the center serves."""

import asyncio
import json
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("aiohttp")  # the network runs on the project's main interpreter only

import nats  # noqa: E402
import uvloop  # noqa: E402

from boce_dispatch import (  # noqa: E402
    agent,
    eventloop,
    probe,
    records,
    urls,
)
from boce_dispatch.curl_loop import CurlLoop  # noqa: E402
from boce_dispatch.network import Network, free_port  # noqa: E402
from tests.common import (  # noqa: E402
    SERVICE_ENV,
    SERVICE_PYTHON,
    ask_center,
    held_by_site,
    wait_until,
)


@pytest.fixture(scope="module")
def network():
    with Network([("北京电信", "bj"), ("上海联通", "sh")], port=free_port(),
                 allowed_servers=["s1", "s2"], deadline=2, max_probes=1, allow_private=True,
                 env=SERVICE_ENV, python=SERVICE_PYTHON) as running:
        yield running


# ---- what an agent fetches ----------------------------------------------------------------

@pytest.mark.parametrize("url, sent", [
    ("http://host/测试", "http://host/%E6%B5%8B%E8%AF%95"),
    ("http://例子.测试/a b?q=中 文&x=<1>#frag",
     "http://xn--fsqu00a.xn--0zwm56d/a%20b?q=%E4%B8%AD%20%E6%96%87&x=%3C1%3E"),
    ("HTTPS://Example.CN:8443/%E6%B5%8B", "https://example.cn:8443/%E6%B5%8B"),
    ("http://[::1]:80/x", "http://[::1]:80/x"),
    ("http://a.example", "http://a.example/"),
    ("http://x/\x00", "NUL byte"), ("file:///etc/passwd", "only http and https"),
    ("gopher://x/", "only http and https"), ("http:///path", "names no host"),
    ("http://x:99999/", "malformed"), ("http://\ud800.cn/", "not valid Unicode"),
    ("http://u\udc80@x/", "not valid Unicode"), ("http://x/?q=\udfff", "not valid Unicode"),
    (None, "no URL"),
])
def test_urls_are_sent_as_a_browser_sends_them_or_refused(url, sent):
    if sent.startswith("http"):
        assert urls.browser_url(url) == sent
    else:
        with pytest.raises(urls.BadUrl, match=sent):
            urls.browser_url(url)


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
    assert urls.is_global(address) is reachable


@settings(max_examples=3000)
@given(st.one_of(st.text(max_size=60), st.lists(st.sampled_from(
    ["http://", "https://", "ftp://", "//", "@", ":", "[", "]", "::1", "%", "%zz", "?", "#",
     "\ud800", "例子", ".", "xn--", "99999", " ", "/", "a"]), max_size=12).map("".join)))
def test_browser_url_refuses_whatever_it_cannot_send(url):
    try:
        sent = urls.browser_url(url)
    except urls.BadUrl:
        return
    assert sent.isascii() and sent.startswith(("http://", "https://"))


@pytest.mark.parametrize("proxy_variable", ["http_proxy", "HTTPS_PROXY", "ALL_PROXY"])
def test_the_environment_proxy_is_never_used(website, monkeypatch, proxy_variable):
    monkeypatch.setenv(proxy_variable, "http://127.0.0.1:%d" % free_port())  # nobody there
    assert probe.measure(website + "/fast", allow_private=True)["http_code"] == 200
    for target in (website + "/fast", "http://100.64.0.1/", "http://169.254.169.254/latest",
                   "http://[fec0::1]/", "http://[::ffff:127.0.0.1]/"):
        refused = probe.measure(target, timeout=2)  # no proxy carries it past the check
        assert (refused["http_code"], refused["primary_ip"]) == (0, ""), target


def test_bodies_are_capped_and_redirects_recorded_not_followed(website, monkeypatch):
    monkeypatch.setattr(probe, "MAX_BODY_BYTES", 100)
    assert probe.measure(website + "/fast", allow_private=True)["size_download"] == 100
    moved = probe.measure(website + "/redirect", allow_private=True)
    assert moved["http_code"] == 301 and moved["size_download"] == 0


@pytest.mark.parametrize("installed", [uvloop, None], ids=["uvloop", "without uvloop"])
def test_the_center_and_agents_run_on_uvloop_where_it_is_installed(monkeypatch, installed):
    monkeypatch.setitem(sys.modules, "uvloop", installed)  # None: its import fails

    async def running_loop(value):
        return asyncio.get_running_loop(), value

    ran_on, value = eventloop.run(running_loop(42))
    assert value == 42 and isinstance(ran_on, uvloop.Loop) == (installed is not None)


LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


@pytest.mark.parametrize("new_loop", LOOPS.values(), ids=LOOPS.keys())
def test_fetches_on_the_event_loop_run_side_by_side_and_measure_as_on_a_thread(website,
                                                                               new_loop):
    closed = "http://127.0.0.1:%d/" % free_port()
    cases = [(website + "/fast", True, 5), (website + "/error", True, 5),
             (website + "/redirect", True, 5), (website + "/drop", True, 5),
             (website + "/fast?delay=3", True, 0.5), (closed, True, 5),
             (website + "/fast", False, 5)]  # the last refused: not a global address
    tag = "side-by-side-%s" % new_loop.__module__

    def outcome(record):
        return record["http_code"], record["size_download"], record.get("reason")

    async def scenario():
        curl_loop = CurlLoop()
        held = [asyncio.ensure_future(probe.measure_on(
            curl_loop, website + "/fast?delay=1&tag=" + tag, True, 5)) for _ in range(3)]
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, wait_until, lambda: held_by_site(website, tag) == 3,
                                   "three fetches held by the site at once")
        records = await asyncio.gather(*(probe.measure_on(curl_loop, *case) for case in cases))
        assert [r["http_code"] for r in await asyncio.gather(*held)] == [200] * 3
        for _ in range(2):  # each fetch connects anew, as a first visit does
            assert (await probe.measure_on(curl_loop, website + "/", True))["connect_time"] > 0
        cancelled = asyncio.ensure_future(probe.measure_on(
            curl_loop, website + "/fast?delay=5", True, 10))
        await asyncio.sleep(0.2)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        assert curl_loop.transfers == {} and curl_loop.watched == {}  # nothing left behind
        curl_loop.close()
        return records

    with asyncio.Runner(loop_factory=new_loop) as runner:
        on_loop = runner.run(scenario())
    assert [outcome(r) for r in on_loop] == [outcome(probe.measure(*case)) for case in cases]
    assert [outcome(r)[0] for r in on_loop] == [200, 500, 301, 0, 0, 0, 0]


@pytest.mark.parametrize("data, reason", [
    (b"x" * (agent.MAX_REQUEST_BYTES + 1), "larger than"), (b"\xff", "not JSON"),
    (b"[]", "not a record"), (b'{"url": "http://x/", "deadline": 1}', "valid id"),
    (b'{"id": "a", "url": "http://x/", "deadline": true}', "budget"),
    (b'{"id": "a", "url": "http://x/", "budget": NaN}', "budget"),
    (b'{"id": "a", "url": "http://x/", "budget": 1e9}', "budget"),
    (b'{"id": "a", "url": "http://x/", "deadline": 1%s}' % (b"0" * 400), "budget"),
    (b"[" * 8000, "not JSON"),
    (b'{"id": "a", "url": "ftp://x/", "budget": 1}', "only http"),
])
def test_malformed_probe_requests_are_refused_with_a_reason(data, reason):
    with pytest.raises(agent.BadRequest, match=reason):
        agent.parse_request(data)


# ---- what the center passes on ------------------------------------------------------------

GOOD = {"primary_ip": "1.2.3.4", "http_code": 200, "total_time": 12.5, "namelookup_time": 1,
        "starttransfer_time": 10, "size_download": 100, "speed_download": 8000.5,
        "connect_time": 2, "appconnect_time": 0}


@pytest.mark.parametrize("change, reason", [
    ({}, None), ({"extra": "<b>dropped</b>", "isp": "spoofed"}, None),
    ({"http_code": "<b>x</b>"}, "http_code"), ({"http_code": True}, "http_code"),
    ({"http_code": 1000}, "http_code"), ({"total_time": "NaN"}, "total_time"),
    ({"total_time": float("nan")}, "total_time"), ({"speed_download": float("inf")}, "speed"),
    ({"size_download": -1}, "size_download"), ({"primary_ip": 5}, "primary_ip"),
    ({"primary_ip": "x" * 65}, None), ({"connect_time": -2}, "connect_time"),
    ({"error": "busy"}, "refused"),
])
def test_agent_records_are_checked_before_they_reach_a_panel(change, reason):
    answer = dict(GOOD, **change)
    if reason is None:
        record = records.checked_record(answer, "北京电信")
        assert list(record) == list(records.FIELDS + records.EXTRA_TIMINGS) + ["node"]
        assert record["isp"] == record["node"] == "北京电信"
        return
    with pytest.raises(records.BadRecord, match=reason):
        records.checked_record(answer, "北京电信")


def test_the_center_serves_known_servers_one_probe_each_within_its_limit(network, website):
    assert ask_center(network.url, "stranger", website + "/fast") == (
        403, {"status": False, "msg": "unknown server"})
    assert ask_center(network.url, "s1", "ftp://x/")[0] == 400
    slow = threading.Thread(target=ask_center, args=(network.url, "s1", website + "/slow?delay=1&tag=busy"))
    slow.start()
    wait_until(lambda: held_by_site(website, "busy") == 2, "the first probe under way")
    assert ask_center(network.url, "s1", website + "/fast")[0] == 429  # that server is busy
    assert ask_center(network.url, "s2", website + "/fast")[0] == 503  # max_probes = 1
    slow.join()
    status, answer = ask_center(network.url, "s2", website + "/测试")
    assert status == 200 and [r["http_code"] for r in answer] == [200, 200]
    with urllib.request.urlopen(network.url + "/healthz", timeout=5) as health:
        assert json.loads(health.read())["nats"] == "connected"
    with urllib.request.urlopen(network.url + "/metrics", timeout=5) as metrics:
        text = metrics.read().decode()
    assert 'boce_panel_requests_total{outcome="unknown_server"} 1.0' in text
    assert "boce_agents_seen 2.0" in text


# ---- what NATS lets each party do ---------------------------------------------------------

async def _connect(network, user):
    errors = []

    async def note(error):
        errors.append(str(error))
    connection = await nats.connect("nats://127.0.0.1:%d" % network.nats_port, user=user,
                                    password=network.password(user),
                                    error_cb=note, allow_reconnect=False)
    return connection, errors


def test_only_the_center_publishes_probes_and_each_delivery_is_answered_once(network, website):
    async def scenario():
        center, _ = await _connect(network, "center")
        intruder, intruder_errors = await _connect(network, "agent-sh")
        await intruder.publish("boce.probe.bj", b'{"id": "x"}', reply="_INBOX.stolen")
        await intruder.subscribe("boce.probe.bj")
        await intruder.flush()
        for _ in range(500):  # until both refusals have come back (asserted below)
            if len(intruder_errors) >= 2:
                break
            await asyncio.sleep(0.01)
        request = {"id": "once", "url": website + "/fast", "deadline": time.time() + 5}
        answers = []
        for _ in range(2):  # the same request twice: one fetch, two answers
            answers.append(await center.request("boce.probe.bj", json.dumps(request).encode(),
                                                timeout=5))
        stale = dict(request, id="stale", deadline=time.time() - 1)
        with pytest.raises(nats.errors.TimeoutError):  # a passed deadline gets no answer
            await center.request("boce.probe.bj", json.dumps(stale).encode(), timeout=1)
        await center.close()
        await intruder.close()
        return [json.loads(a.data) for a in answers], intruder_errors

    answers, errors = asyncio.run(scenario())
    assert answers[0] == answers[1] and answers[0]["http_code"] == 200
    assert errors == ['nats: permissions violation for publish to "boce.probe.bj"',
                      'nats: permissions violation for subscription to "boce.probe.bj"']


def test_every_code_0_says_why_in_the_center_log(network):
    closed = "http://127.0.0.1:%d/" % free_port()
    status, answer = ask_center(network.url, "s1", closed)
    assert status == 200 and {r["http_code"] for r in answer} == {0}
    assert "北京电信:0/" in network.log_tail("center", 5)
    assert "('connect: connection refused')" in network.log_tail("center", 5)
    assert all("reason" not in r for r in answer)  # the panel's records keep their fields
