"""Request-head parsing throughput: H1Codec.receive_request_head against
httptools and h11 on the same requests, reading method, target and every
header value back from each head (ours through HeaderMap.values(); httptools
delivers name and value to its on_header callback, h11 as a list).

    PYTHONPATH=build/dev python3 bench/h1_parse.py
"""
import time

import h11
import httptools

from wirelet import _wirelet as w

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
    b"\r\n"
)

API_POST = (
    b"POST /v1/items HTTP/1.1\r\n"
    b"Host: api.example.com\r\n"
    b"Content-Type: application/json\r\n"
    b"Content-Length: 0\r\n"
    b"\r\n"
)


def ours(data, n):
    codec = w.H1Codec()
    recv = codec.receive_request_head
    t = time.perf_counter()
    for _ in range(n):
        h = recv(data)
        h.method
        h.target
        for _value in h.headers.values():
            pass
    return time.perf_counter() - t


class Collector:
    __slots__ = ("url", "headers", "done")

    def __init__(self):
        self.headers = []
        self.url = None
        self.done = False

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers.append((name, value))

    def on_headers_complete(self):
        self.done = True


def theirs_httptools(data, n):
    # One parser for the whole run, like one connection carrying every
    # request (the same reuse our codec gets).
    c = Collector()
    p = httptools.HttpRequestParser(c)
    t = time.perf_counter()
    for _ in range(n):
        c.headers = []
        p.feed_data(data)
        p.get_method()
        c.url
        for _name, _value in c.headers:
            pass
    return time.perf_counter() - t


def theirs_h11(data, n):
    t = time.perf_counter()
    for _ in range(n):
        c = h11.Connection(h11.SERVER)  # h11 needs a response before its next request
        c.receive_data(data)
        ev = c.next_event()
        ev.method
        ev.target
        for _name, _value in ev.headers:
            pass
    return time.perf_counter() - t


def best(fn, data, n, rounds=5):
    return min(fn(data, n) for _ in range(rounds))


def main():
    print(f"{'request':<14}{'wirelet heads/s':>18}{'httptools':>14}{'h11':>12}{'x httptools':>14}{'x h11':>9}")
    for name, data in (("browser GET", BROWSER_GET), ("API POST", API_POST)):
        n = 50000
        a = n / best(ours, data, n)
        b = n / best(theirs_httptools, data, n)
        c = (n // 10) / best(theirs_h11, data, n // 10)
        print(f"{name + f' ({len(data)}B)':<14}{a:>18,.0f}{b:>14,.0f}{c:>12,.0f}{a / b:>14.2f}{a / c:>9.1f}")


if __name__ == "__main__":
    main()
