"""Response serialization throughput: H1Codec against h11's Connection.send.

Two cases: a 200 response head with 8 headers plus a 1 KiB body, and a
chunked response of 16 chunks. Both sides build their header collection
from the same list on every response (h11 validates its list on every send,
we validate when the HeaderMap is built). h11 needs a received request
before each response: that setup is timed separately and subtracted.

    PYTHONPATH=build/dev python3 bench/h1_serialize.py
"""
import time

import h11

from wirelet import _wirelet as w

HEADERS = [
    ("content-type", "text/html; charset=utf-8"),
    ("server", "bench/1.0"),
    ("cache-control", "no-cache, no-store, must-revalidate"),
    ("x-request-id", "4f6a2b9c-8d7e-6f5a-4b3c-2d1e0f9a8b7c"),
    ("vary", "accept-encoding"),
    ("x-frame-options", "DENY"),
    ("strict-transport-security", "max-age=31536000; includeSubDomains"),
    ("set-cookie", "session=abc123; Path=/; HttpOnly"),
]
BODY = b"x" * 1024
CHUNKS = [bytes([97 + i]) * 512 for i in range(16)]
REQUEST = b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"


def ours_length(n):
    c = w.H1Codec()
    t = time.perf_counter()
    for _ in range(n):
        head = c.serialize_response(200, w.HeaderMap(HEADERS), content_length=len(BODY))
        c.serialize_data(BODY)
        c.serialize_end()
        head
    return time.perf_counter() - t


def ours_chunked(n):
    c = w.H1Codec()
    t = time.perf_counter()
    for _ in range(n):
        c.serialize_response(200, w.HeaderMap(HEADERS), chunked=True)
        for ch in CHUNKS:
            c.serialize_data(ch)
        c.serialize_end()
    return time.perf_counter() - t


def h11_setup():
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(REQUEST)
    conn.next_event()
    conn.next_event()
    return conn


def h11_setup_only(n):
    t = time.perf_counter()
    for _ in range(n):
        h11_setup()
    return time.perf_counter() - t


def h11_length(n):
    hdrs = HEADERS + [("content-length", str(len(BODY)))]
    t = time.perf_counter()
    for _ in range(n):
        conn = h11_setup()
        conn.send(h11.Response(status_code=200, headers=hdrs))
        conn.send(h11.Data(data=BODY))
        conn.send(h11.EndOfMessage())
    return time.perf_counter() - t


def h11_chunked(n):
    t = time.perf_counter()
    for _ in range(n):
        conn = h11_setup()
        conn.send(h11.Response(status_code=200, headers=HEADERS))
        for ch in CHUNKS:
            conn.send(h11.Data(data=ch))
        conn.send(h11.EndOfMessage())
    return time.perf_counter() - t


def best(fn, n, rounds=5):
    return min(fn(n) for _ in range(rounds))


def main():
    n_ours, n_h11 = 50000, 3000
    setup = best(h11_setup_only, n_h11) / n_h11
    print(f"{'response':<28}{'wirelet/s':>12}{'h11/s':>10}{'ratio':>8}")
    for name, ours, theirs in (("200 + 8 headers + 1 KiB", ours_length, h11_length),
                               ("chunked, 16 chunks", ours_chunked, h11_chunked)):
        a = best(ours, n_ours) / n_ours
        b = best(theirs, n_h11) / n_h11 - setup
        print(f"{name:<28}{1 / a:>12,.0f}{1 / b:>10,.0f}{b / a:>8.1f}")


if __name__ == "__main__":
    main()
