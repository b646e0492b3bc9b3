"""HeaderMap: build from 20 (name, value) pairs and read every value back,
against a dict of lists with lower-cased keys built in Python, in one run.

Run: python bench/headermap.py
"""

import _timing

_timing.use_dev_build()

from wirelet.http import HeaderMap  # noqa: E402

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


def repeat(fn):
    def run(n):
        for _ in range(n):
            fn()
    return run


def build_only(n):
    for _ in range(n):
        HeaderMap(PAIRS)


def build_empty(n):
    for _ in range(n):
        HeaderMap()


def main():
    assert ours() == baseline()
    r = _timing.compare(repeat(ours), repeat(baseline))
    print(f"HeaderMap build+read (20 pairs): {r['ours'] * 1e9:,.0f} ns, "
          f"dict-of-lists baseline {r['theirs'] * 1e9:,.0f} ns; "
          f"ratio {r['median']:.2f}x (min {r['min']:.2f}x)")
    # Construction alone, less an empty map's cost, per pair (median of rounds).
    c = _timing.compare(build_only, build_empty)
    print(f"HeaderMap(20 pairs) construction: {(c['ours'] - c['theirs']) * 1e9 / len(PAIRS):,.1f} ns per pair "
          f"(empty map {c['theirs'] * 1e9:,.0f} ns)")


if __name__ == "__main__":
    main()
