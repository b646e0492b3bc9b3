"""HeaderMap: build from 20 (name, value) pairs and read every value back,
against a dict of lists with lower-cased keys built in Python, in one run.

Run: python bench/headermap.py   (after installing the package)
"""

import time

from wirelet.http import HeaderMap

PAIRS = [
    ("Host", b"example.com"), ("User-Agent", b"Mozilla/5.0 (X11; Linux x86_64)"),
    ("Accept", b"text/html,application/xhtml+xml"), ("Accept-Language", b"en-US,en;q=0.5"),
    ("Accept-Encoding", b"gzip, deflate, br"), ("Connection", b"keep-alive"),
    ("Upgrade-Insecure-Requests", b"1"), ("Sec-Fetch-Dest", b"document"),
    ("Sec-Fetch-Mode", b"navigate"), ("Sec-Fetch-Site", b"none"), ("Sec-Fetch-User", b"?1"),
    ("Cache-Control", b"max-age=0"), ("Cookie", b"a=1"), ("Cookie", b"b=2"),
    ("X-Request-Id", b"0f8fad5b-d9cb-469f-a165-70867728950e"), ("X-Forwarded-For", b"10.0.0.1"),
    ("X-Forwarded-Proto", b"https"), ("Referer", b"https://example.com/start"),
    ("DNT", b"1"), ("Pragma", b"no-cache"),
]


def ours():
    m = HeaderMap(PAIRS)
    return m.values()


def baseline():
    d = {}
    for name, value in PAIRS:
        d.setdefault(name.lower(), []).append(value)
    return [v for values in d.values() for v in values]


def rate(fn, seconds=1.0):
    n, best = 2000, 0.0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        best = max(best, n / dt)
    return best


def main():
    assert ours() == baseline()
    for _ in range(3):
        rate(ours, 0.1)
        rate(baseline, 0.1)
    r_ours = rate(ours)
    r_base = rate(baseline)
    print(f"HeaderMap build+read (20 pairs): {r_ours:,.0f} ops/s")
    print(f"dict-of-lists baseline:          {r_base:,.0f} ops/s")
    print(f"ratio: {r_ours / r_base:.2f}x")


if __name__ == "__main__":
    main()
