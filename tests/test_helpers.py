import re
import threading
import time

import pytest

from wirelet import _wirelet as w


@pytest.mark.parametrize(
    "url, expected",
    [
        ("http://example.com/index.html", ("http", "example.com", 80, "example.com:80")),
        ("http://example.com", ("http", "example.com", 80, "example.com:80")),
        ("HTTP://Example.com/", ("http", "Example.com", 80, "Example.com:80")),
        ("https://example.com:8443/a?b#frag", ("https", "example.com", 8443, "example.com:8443")),
        ("https://user:pw@example.com/", ("https", "example.com", 443, "example.com:443")),
        ("wss://[::1]:9000/chat", ("wss", "::1", 9000, "[::1]:9000")),
        ("ws://[fe80::1]/", ("ws", "fe80::1", 80, "[fe80::1]:80")),
        ("ftp://files.example/", ("ftp", "files.example", None, None)),
        ("ftp://files.example:21/", ("ftp", "files.example", 21, "files.example:21")),
        ("http://host:/", ("http", "host", 80, "host:80")),
        ("/just/a/path?q=1", (None, None, None, None)),
        ("*", (None, None, None, None)),
        ("example.com:8080", (None, "example.com", 8080, "example.com:8080")),
        ("example.com", (None, "example.com", None, None)),
        ("[::1]:443", (None, "::1", 443, "[::1]:443")),
    ],
)
def test_uri_parts(url, expected):
    assert w.uri_parts(url) == expected


@pytest.mark.parametrize(
    "url, reason",
    [
        ("", "empty string"),
        ("http://exa mple.com/", "invalid uri character"),
        ("/pa th", "invalid uri character"),
        ("/a\x7f", "invalid uri character"),
        ("http://a:b:c/", "invalid authority"),
        ("http://[::1/", "invalid authority"),
        ("http://a@b@c/", "invalid authority"),
        ("http://host:8o/", "invalid port"),
        ("http:///path", "invalid format"),
        ("relative/path", "invalid format"),
        ("1http://host/", "invalid scheme"),
        ("a" * 65 + "://host/", "scheme too long"),
        ("/" + "a" * 65534, "uri too long"),
    ],
)
def test_uri_parts_errors(url, reason):
    with pytest.raises(ValueError) as ei:
        w.uri_parts(url)
    assert str(ei.value) == f"invalid url {url}: {reason}"


def test_uri_parts_length_boundary():
    assert w.uri_parts("/" + "a" * 65533) == (None, None, None, None)


@pytest.mark.parametrize("bad", [None, b"http://x/", 1])
def test_uri_parts_type(bad):
    with pytest.raises(TypeError, match="url"):
        w.uri_parts(bad)


DATE = re.compile(rb"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT$")


def test_http_date_format_and_clock():
    d = w.http_date()
    assert len(d) == 29 and DATE.match(d)
    parsed = time.strptime(d.decode(), "%a, %d %b %Y %H:%M:%S GMT")
    import calendar
    assert abs(calendar.timegm(parsed) - time.time()) <= 2


def test_http_date_stable_within_a_second():
    # Retry across a second boundary: two reads inside one second are equal.
    for _ in range(5):
        t0 = int(time.time())
        a, b = w.http_date(), w.http_date()
        if int(time.time()) == t0:
            assert a == b
            return
    pytest.fail("could not sample within one second")


def test_http_date_per_thread():
    out = []
    t = threading.Thread(target=lambda: out.append(w.http_date()))
    t.start()
    t.join()
    assert DATE.match(out[0])


def test_once_latch_basics():
    latch = w.OnceLatch()
    assert latch.is_set is False
    assert latch.try_acquire() is True
    assert latch.is_set is True
    assert [latch.try_acquire() for _ in range(3)] == [False] * 3
    with pytest.raises(TypeError):
        w.OnceLatch(1)
    with pytest.raises(AttributeError):
        latch.is_set = False
    assert w.OnceLatch.try_acquire.__text_signature__ == "($self)"


def test_once_latch_race_has_one_winner():
    for _ in range(50):
        latch = w.OnceLatch()
        barrier = threading.Barrier(8)
        wins = []

        def racer():
            barrier.wait()
            if latch.try_acquire():
                wins.append(1)

        threads = [threading.Thread(target=racer) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(wins) == 1
