"""URLs as a browser sends them, or refused with the reason."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from boce_dispatch import urls


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
