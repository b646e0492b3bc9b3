"""Request-head parsing from Python: H1Codec.receive_request_head against
httptools on the same requests. Both sides read the method, the target and
every header name and value as Python objects (ours through
HeaderMap.items(), httptools through its callbacks), on one parser per run
like one connection carrying every request.

Also the trickle workload: a head of 1 KB to 256 KB fed one byte per call,
compared per byte.

    python bench/h1_parse.py [--quick]
"""
import _timing

_timing.use_dev_build()

import httptools  # noqa: E402

from wirelet import _wirelet as w  # noqa: E402

BROWSER_GET = (
    b"GET /articles/2024/03/some-interesting-title?ref=home&utm_source=newsletter HTTP/1.1\r\n"
    b"Host: www.example.com\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:124.0) Gecko/20100101 Firefox/124.0\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    b"Accept-Language: en-US,en;q=0.5\r\n"
    b"Accept-Encoding: gzip, deflate, br\r\n"
    b"Referer: https://www.example.com/\r\n"
    b"Connection: keep-alive\r\n"
    b"Cookie: session=4f6a2b9c8d7e6f5a4b3c2d1e; theme=dark\r\n"
    b"Upgrade-Insecure-Requests: 1\r\n"
    b"Sec-Fetch-Dest: document\r\n"
    b"Sec-Fetch-Mode: navigate\r\n"
    b"Sec-Fetch-Site: none\r\n"
    b"DNT: 1\r\n"
    b"\r\n"
)

API_POST = (
    b"POST /v1/item HTTP/1.1\r\n"
    b"Host: api.example.com\r\n"
    b"Content-Type: application/json\r\n"
    b"Content-Length: 0\r\n"
    b"\r\n"
)

FORTY_HEADERS = (
    b"GET /index.html HTTP/1.1\r\nHost: www.example.com\r\n"
    + b"".join(b"X-Custom-Header-%02d: value-%02d-abcdefghij\r\n" % (i, i) for i in range(39))
    + b"\r\n"
)

BIG_COOKIE = (
    b"GET /account HTTP/1.1\r\nHost: www.example.com\r\nUser-Agent: bench/1.0\r\n"
    b"Cookie: " + b"; ".join(b"c%03d=%s" % (i, b"v" * 24) for i in range(160))[:4096] + b"\r\n"
    b"\r\n"
)

REQUESTS = [
    ("browser GET (%d B)" % len(BROWSER_GET), BROWSER_GET),
    ("API POST (%d B)" % len(API_POST), API_POST),
    ("40 headers (%d B)" % len(FORTY_HEADERS), FORTY_HEADERS),
    ("4 KiB cookie (%d B)" % len(BIG_COOKIE), BIG_COOKIE),
]


def trickle_head(size):
    """A request head of about `size` bytes spread over at most 64 header lines."""
    lines = max(1, min(64, size // 128))
    start = b"GET /trickle HTTP/1.1\r\nHost: www.example.com\r\n"
    room = size - len(start) - 2
    per = room // lines
    out = [start]
    for i in range(lines):
        name = b"X-Fill-%02d: " % i
        out.append(name + b"f" * (per - len(name) - 2) + b"\r\n")
    out.append(b"\r\n")
    return b"".join(out)


class Collector:
    __slots__ = ("url", "headers", "done", "body")

    def __init__(self):
        self.headers = []
        self.url = None
        self.done = False
        self.body = 0

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers.append((name, value))

    def on_headers_complete(self):
        self.done = True

    def on_body(self, body):
        self.body += len(body)


def ours_parse(data):
    codec = w.H1Codec()
    recv = codec.receive_request_head

    def run(n):
        for _ in range(n):
            h = recv(data)
            h.method
            h.target
            for _name, _value in h.headers.items():
                pass
    return run


def httptools_parse(data):
    c = Collector()
    p = httptools.HttpRequestParser(c)
    feed = p.feed_data

    def run(n):
        for _ in range(n):
            c.headers = []
            feed(data)
            p.get_method()
            c.url
            for _name, _value in c.headers:
                pass
    return run


def ours_trickle(pieces):
    codec = w.H1Codec()
    recv = codec.receive_request_head

    def run(n):
        for _ in range(n):
            for b in pieces:
                h = recv(b)
            assert h is not None
            h.method
            h.target
            for _name, _value in h.headers.items():
                pass
    return run


def httptools_trickle(pieces):
    c = Collector()
    p = httptools.HttpRequestParser(c)
    feed = p.feed_data

    def run(n):
        for _ in range(n):
            c.headers = []
            c.done = False
            for b in pieces:
                feed(b)
            assert c.done
            p.get_method()
            c.url
            for _name, _value in c.headers:
                pass
    return run


def check(data):
    h = w.H1Codec().receive_request_head(data)
    c = Collector()
    httptools.HttpRequestParser(c).feed_data(data)
    assert [(n.lower(), v) for n, v in c.headers] == [(n.encode(), v) for n, v in h.headers.items()]


TRICKLE_SIZES = (1024, 4096, 16384, 65536, 262144)


def bench(quick=False):
    rounds = 5 if quick else 9
    rows = []
    for name, data in REQUESTS:
        check(data)
        r = _timing.compare(ours_parse(data), httptools_parse(data), rounds, 0.01 if quick else 0.03)
        rows.append(_timing.row("head parse from Python vs httptools", name, r, 3.0, "httptools"))
    sizes = TRICKLE_SIZES[:4] if quick else TRICKLE_SIZES
    for size in sizes:
        data = trickle_head(size)
        check(data)
        pieces = [data[i:i + 1] for i in range(len(data))]
        r = _timing.compare(ours_trickle(pieces), httptools_trickle(pieces), 3 if quick else 5, 0.02)
        label = f"{size // 1024} KB head" if size < 1 << 20 else f"{size >> 20} MB head"
        rows.append(_timing.row("head fed 1 byte per call, per byte, vs httptools", label, r, 1.0,
                                "httptools"))
    return rows


if __name__ == "__main__":
    _timing.main_of(bench)
