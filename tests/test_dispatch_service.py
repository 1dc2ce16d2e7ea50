"""The dispatch service's own rules: who may use a node agent, what it refuses to fetch, what
the center serves, and a configuration that names its bad line."""

import json
import threading
import time
import urllib.error
import urllib.request

import pytest

from dispatch import center, config, node, signing

SECRET = b"s" * 32


@pytest.fixture(scope="module")
def agent():
    server = node.serve("127.0.0.1", 0, "北京电信", SECRET)
    yield "http://127.0.0.1:%d/probe" % server.server_address[1]
    server.shutdown()
    server.server_close()


def post(url, body, headers):
    request = urllib.request.Request(url, data=body, headers=headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def signed(body, secret=SECRET, now=None):
    return signing.signed_headers(secret, body, now)


@pytest.mark.parametrize("headers, refusal", [
    ({}, "unsigned request"),
    (signed(b'{"url": "http://x/"}', secret=b"w" * 32), "bad signature"),
    (signed(b'{"url": "http://x/"}', now=time.time() - 600), "stale request"),
])
def test_an_agent_serves_only_fresh_requests_signed_by_the_center(agent, headers, refusal):
    assert post(agent, b'{"url": "http://x/"}', headers) == (403, {"error": refusal})


def test_a_replayed_request_is_refused(agent, website):
    body = json.dumps({"url": website + "/fast"}).encode()
    headers = signed(body)
    assert post(agent, body, headers)[0] == 200
    assert post(agent, body, headers) == (403, {"error": "replayed request"})


def test_an_oversize_request_is_refused_unread(agent):
    body = b" " * (node.MAX_REQUEST_BYTES + 1)
    assert post(agent, body, signed(body)) == (413, {"error": "request too large"})


@pytest.mark.parametrize("url", ["file:///etc/passwd", "ftp://example.cn/", "gopher://x/"])
def test_only_http_and_https_are_fetched(agent, url):
    body = json.dumps({"url": url}).encode()
    assert post(agent, body, signed(body)) == (400, {"error": "only http and https"})


def test_a_private_target_is_refused_on_the_address_connected(agent, website):
    body = json.dumps({"url": website.replace("127.0.0.1", "localhost") + "/fast"}).encode()
    status, record = post(agent, body, signed(body))
    assert status == 200 and record["http_code"] == 0 and record["primary_ip"] == ""
    assert node.probe(website + "/fast", "x", allow_private=True)["http_code"] == 200


def test_a_large_body_is_capped(website, monkeypatch):
    monkeypatch.setattr(node, "MAX_BODY_BYTES", 100)
    record = node.probe(website + "/fast", "x", allow_private=True)
    assert record["size_download"] == 100 and record["http_code"] == 200


def test_a_redirect_is_recorded_not_followed(website):
    record = node.probe(website + "/redirect", "x", allow_private=True)
    assert record["http_code"] == 301 and record["size_download"] == 0


def test_an_unknown_server_is_refused_and_nothing_is_probed():
    asked = []
    the_center = center.DispatchCenter([{"name": "a", "url": "http://127.0.0.1:1"}], SECRET,
                                       allowed_servers=["known"])
    the_center.ask_node = lambda node, url: asked.append(url)
    assert the_center.answer({"serverid": "stranger", "url": "http://x/"})[0] == 403
    assert the_center.answer({"url": "http://x/"})[0] == 403
    assert asked == []


CONFIG = """\
secret_file = "secret"
allowed_servers = ["abc"]
deadline_seconds = 20

[[nodes]]
name = "北京电信"
url = "http://10.0.0.2:8700"

[[nodes]]
name = "上海联通"
url = "%s"
"""


@pytest.mark.parametrize("text, message", [
    (CONFIG % "http://10.0.0.3:8700", None),
    (CONFIG % "10.0.0.3:8700", "line 11: a node's url is http or https"),
    (CONFIG.replace('name = "上海联通"\n', "") % "http://x/", "line 9: this node needs a name"),
    (CONFIG.replace("20", "90") % "http://x/", "line 3: deadline_seconds must stay well inside"),
    (CONFIG.replace('["abc"]', '"abc"') % "http://x/", "line 2: allowed_servers is a list"),
    (CONFIG.replace("= 20", "= ") % "http://x/", "line 3"),  # not TOML at all
])
def test_the_configuration_names_its_bad_line(tmp_path, text, message):
    (tmp_path / "secret").write_bytes(b"k" * 32)
    (tmp_path / "center.toml").write_text(text, encoding="utf-8")
    if message is None:
        settings = config.load(str(tmp_path / "center.toml"))
        assert [n["name"] for n in settings["nodes"]] == ["北京电信", "上海联通"]
        assert settings["secret"] == b"k" * 32 and settings["allowed_servers"] == ["abc"]
        return
    with pytest.raises(config.ConfigError, match=message):
        config.load(str(tmp_path / "center.toml"))


def test_one_probe_at_a_time_per_server_and_a_limit_overall():
    probing, release = threading.Event(), threading.Event()
    the_center = center.DispatchCenter([{"name": "a", "url": "http://127.0.0.1:1"}], SECRET,
                                       allowed_servers=["s1", "s2"], max_probes=1)

    def ask_node(node, url):
        probing.set()
        release.wait(10)
        return {"isp": node["name"]}
    the_center.ask_node = ask_node
    first = threading.Thread(target=the_center.answer, args=({"serverid": "s1", "url": "u"},))
    first.start()
    probing.wait(10)
    assert the_center.answer({"serverid": "s1", "url": "u"})[0] == 429  # that server is busy
    assert the_center.answer({"serverid": "s2", "url": "u"})[0] == 503  # no slot is free
    release.set()
    first.join()
    assert the_center.answer({"serverid": "s2", "url": "u"}) == (200, [{"isp": "a"}])
