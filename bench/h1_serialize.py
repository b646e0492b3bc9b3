"""Response serialization from Python: H1Codec against h11's Connection.send.

Two cases: a 200 response head with 8 headers plus a 1 KiB body, and a
chunked response of 16 chunks. Both sides build their header collection
from the same list on every response (ours a HeaderMap, inside the timing)
and produce the wire bytes. h11 needs a received request before each
response: that setup is timed in the same round and subtracted. h11 writes
no Date line, so ours is built with date_header=False to write the same bytes;
h11 writes the Transfer-Encoding line it adds in title case, so the chunked
case gives both sides title-case names and ours title_case_headers=True.
Both sides' bytes are checked equal once, outside the timing.

    python bench/h1_serialize.py [--quick]
"""
import _timing

_timing.use_dev_build()

import h11  # noqa: E402

from wirelet import _wirelet as w  # noqa: E402

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
# "x-request-id" -> "X-Request-Id", as a title-casing writer spells it.
TITLE_HEADERS = [("-".join(p[:1].upper() + p[1:] for p in n.split("-")), v) for n, v in HEADERS]
BODY = b"x" * 1024
CHUNKS = [bytes([97 + i]) * 512 for i in range(16)]
REQUEST = b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"


def ours_length(n):
    c = w.H1Codec(date_header=False)
    HeaderMap = w.HeaderMap
    length = len(BODY)  # known before the loop, as h11's content-length line is
    for _ in range(n):
        c.serialize_response(200, HeaderMap(HEADERS), content_length=length)
        c.serialize_data(BODY)
        c.serialize_end()


def ours_chunked(n):
    c = w.H1Codec(date_header=False, title_case_headers=True)
    HeaderMap = w.HeaderMap
    for _ in range(n):
        c.serialize_response(200, HeaderMap(TITLE_HEADERS), chunked=True)
        for ch in CHUNKS:
            c.serialize_data(ch)
        c.serialize_end()


def h11_setup():
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(REQUEST)
    conn.next_event()
    conn.next_event()
    return conn


def h11_setup_only(n):
    for _ in range(n):
        h11_setup()


def h11_length(n):
    hdrs = HEADERS + [("content-length", str(len(BODY)))]
    for _ in range(n):
        conn = h11_setup()
        conn.send(h11.Response(status_code=200, headers=hdrs, reason=b"OK"))
        conn.send(h11.Data(data=BODY))
        conn.send(h11.EndOfMessage())


def h11_chunked(n):
    for _ in range(n):
        conn = h11_setup()
        conn.send(h11.Response(status_code=200, headers=TITLE_HEADERS, reason=b"OK"))
        for ch in CHUNKS:
            conn.send(h11.Data(data=ch))
        conn.send(h11.EndOfMessage())


def wire_ours(chunked):
    c = w.H1Codec(date_header=False, title_case_headers=chunked)
    if chunked:
        out = [c.serialize_response(200, w.HeaderMap(TITLE_HEADERS), chunked=True)]
        out += [c.serialize_data(ch) for ch in CHUNKS]
    else:
        out = [c.serialize_response(200, w.HeaderMap(HEADERS), content_length=len(BODY)), c.serialize_data(BODY)]
    return b"".join(out + [c.serialize_end()])


def wire_h11(chunked):
    conn = h11_setup()
    if chunked:
        out = [conn.send(h11.Response(status_code=200, headers=TITLE_HEADERS, reason=b"OK"))]
        out += [conn.send(h11.Data(data=ch)) for ch in CHUNKS]
    else:
        hdrs = HEADERS + [("content-length", str(len(BODY)))]
        out = [conn.send(h11.Response(status_code=200, headers=hdrs, reason=b"OK")), conn.send(h11.Data(data=BODY))]
    return b"".join(out + [conn.send(h11.EndOfMessage())])


def check_same_bytes():
    """Both sides must write the same bytes, or the ratio means nothing."""
    for chunked in (False, True):
        ours, theirs = wire_ours(chunked), wire_h11(chunked)
        if ours != theirs:
            raise SystemExit(f"h1_serialize: outputs differ (chunked={chunked}):\n{ours[:400]!r}\n{theirs[:400]!r}")


def bench(quick=False):
    check_same_bytes()
    rows = []
    for name, ours, theirs in (("200 + 8 headers + 1 KiB body", ours_length, h11_length),
                               ("chunked, 16 chunks", ours_chunked, h11_chunked)):
        r = compare_minus_setup(ours, theirs, 5 if quick else 9, 0.01 if quick else 0.03)
        rows.append(_timing.row("response serialize incl. HeaderMap vs h11", name, r, 80.0, "h11"))
    return rows


def compare_minus_setup(ours, theirs, rounds, min_time):
    import statistics
    n_ours = _timing.calibrate(ours, min_time)
    n_theirs = _timing.calibrate(theirs, min_time)
    ratios, t_ours, t_theirs = [], [], []
    clock = _timing.clock
    for r in range(rounds):
        t0 = clock()
        h11_setup_only(n_theirs)
        t1 = clock()
        theirs(n_theirs)
        t2 = clock()
        ours(n_ours)
        t3 = clock()
        t_theirs.append(((t2 - t1) - (t1 - t0)) / n_theirs)
        t_ours.append((t3 - t2) / n_ours)
        ratios.append(t_theirs[-1] / t_ours[-1])
    return {"ours": statistics.median(t_ours), "theirs": statistics.median(t_theirs),
            "min": min(ratios), "median": statistics.median(ratios)}


if __name__ == "__main__":
    _timing.main_of(bench)
