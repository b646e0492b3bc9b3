import random

import pytest

from wirelet import _wirelet as w

H1BodyDecoder = getattr(w, "H1BodyDecoder", None)
pytestmark = pytest.mark.skipif(H1BodyDecoder is None, reason="H1BodyDecoder is not registered yet")

PREFIX = "error reading a body from connection: "


def run(kind, data, *, length=0, step=None, eof=False):
    """Feeds data (whole, or `step` bytes at a time), decoding after every
    feed. Returns (body, error args or None, decoder)."""
    d = H1BodyDecoder(kind, length)
    out = []

    def drain():
        while True:
            piece = d.decode()
            if piece is None:
                return
            assert type(piece) is bytes and piece
            out.append(piece)

    fed = 0
    try:
        if step is None:
            d.feed(data)
            fed = len(data)
            drain()
        else:
            while fed < len(data):
                d.feed(data[fed : fed + step])
                fed += step
                drain()
        if eof:
            d.mark_eof()
            drain()
    except w.H1BodyError as e:
        d.feed(data[fed:])  # the rest still arrives; it must stay buffered
        return b"".join(out), e.args, d
    return b"".join(out), None, d


def outcome(kind, data, **kw):
    body, err, d = run(kind, data, **kw)
    t = d.take_trailers()
    return body, err, d.is_complete, d.buffered, None if t is None else list(t.items())


# ---- the class itself ----


def test_class_shape():
    assert H1BodyDecoder.__module__ == "wirelet._wirelet"
    with pytest.raises(TypeError):

        class Sub(H1BodyDecoder):
            pass

    d = H1BodyDecoder("length", 1)
    with pytest.raises(AttributeError):
        d.x = 1
    with pytest.raises(AttributeError):
        d.is_complete = True
    with pytest.raises(TypeError):
        H1BodyDecoder.feed = None
    assert H1BodyDecoder.decode.__text_signature__ == "($self)"
    assert H1BodyDecoder.feed.__text_signature__ == "($self, data)"


@pytest.mark.parametrize(
    "args, kwargs, exc, msg",
    [
        ((1,), {}, TypeError, "H1BodyDecoder() argument 'kind' must be str, not int"),
        ((b"length",), {}, TypeError, "argument 'kind' must be str"),
        (("length", -1), {}, OverflowError, "can't convert negative int"),
        (("length", 2**64), {}, OverflowError, "too big"),
        (("length", 1.0), {}, TypeError, "argument 'length' must be int"),
        ((), {}, TypeError, "missing required argument 'kind'"),
        (("length", 1, 2), {}, TypeError, "at most 2"),
        (("length",), {"size": 1}, TypeError, "unexpected keyword argument 'size'"),
        (("length",), {"kind": "close"}, TypeError, "given by name"),
    ],
)
def test_constructor_errors(args, kwargs, exc, msg):
    with pytest.raises(exc) as ei:
        H1BodyDecoder(*args, **kwargs)
    assert msg in str(ei.value)


@pytest.mark.parametrize(
    "kind, length, complete",
    [("empty", 0, True), ("length", 0, True), ("length", 1, False), ("chunked", 5, False),
     ("close", 5, False), ("", 7, True), ("LENGTH", 7, True), ("identity", 3, True)],
)
def test_kinds(kind, length, complete):
    d = H1BodyDecoder(kind=kind, length=length)
    assert d.is_complete is complete
    assert d.buffered == 0


def test_feed_type_error():
    d = H1BodyDecoder("close")
    with pytest.raises(TypeError, match=r"feed\(\) argument 'data' must be bytes, not bytearray"):
        d.feed(bytearray(b"x"))
    d.feed(data=b"ab")
    assert d.buffered == 2


# ---- length and close bodies ----


def test_length_with_bytes_past_end():
    d = H1BodyDecoder("length", 5)
    d.feed(b"12345678")
    assert d.decode() == b"12345"
    assert d.is_complete and d.buffered == 3
    assert d.decode() is None and d.buffered == 3
    assert d.take_trailers() is None


def test_length_truncated():
    d = H1BodyDecoder("length", 5)
    d.feed(b"123")
    d.mark_eof()
    assert d.decode() == b"123"
    for _ in range(2):  # the failure stays
        with pytest.raises(w.H1BodyError) as ei:
            d.decode()
        assert ei.value.args == ("unexpected_eof", PREFIX + "end of file before message length reached")
    assert isinstance(ei.value, w.H1Error)


def test_length_pieces_follow_feeds():
    d = H1BodyDecoder("length", 10)
    assert d.decode() is None and not d.is_complete
    d.feed(b"abc")
    d.feed(b"def")
    assert d.decode() == b"abcdef"
    assert d.decode() is None
    d.feed(b"ghijKL")
    assert d.decode() == b"ghij" and d.is_complete and d.buffered == 2


def test_close_body():
    d = H1BodyDecoder("close")
    d.feed(bytes(20000))
    assert [len(d.decode()) for _ in range(3)] == [8192, 8192, 3616]
    assert d.decode() is None and not d.is_complete
    d.mark_eof()
    assert d.decode() is None and d.is_complete


@pytest.mark.parametrize("kind, length", [("empty", 0), ("length", 0), ("close", 0)])
def test_complete_without_data(kind, length):
    d = H1BodyDecoder(kind, length)
    d.mark_eof()
    assert d.decode() is None and d.is_complete


# ---- chunked bodies ----


def test_chunked_simple():
    d = H1BodyDecoder("chunked")
    d.feed(b"5\r\nhello\r\n0\r\n\r\n")
    assert d.decode() == b"hello"
    assert d.decode() is None and d.is_complete
    assert d.take_trailers() is None and d.buffered == 0


def test_chunked_trailers_moved_out():
    d = H1BodyDecoder("chunked")
    d.feed(b"5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n")
    assert d.decode() == b"hello" and d.decode() is None
    t = d.take_trailers()
    assert isinstance(t, w.HeaderMap) and list(t.items()) == [("x-sum", b"1")]
    assert d.take_trailers() is None


def test_trailer_fields():
    body = b"0\r\nA: 1\r\nb:2\r\na:  3 \t\r\nC-D:\r\nE: x\x80y \"q\"\r\n\r\n"
    _, err, complete, buffered, trailers = outcome("chunked", body)
    assert err is None and complete and buffered == 0
    assert trailers == [("a", b"1"), ("a", b"3"), ("b", b"2"), ("c-d", b""), ("e", b'x\x80y "q"')]


def test_extension_accepted_and_bare_lf_line_end_in_trailers():
    body = b"5;a=b\r\nhello\r\n3 ; q=\"x y\"\r\nabc\r\n0;last\r\nx: 1\ny: 2\r\n\r\n"
    data, err, complete, _, trailers = outcome("chunked", body)
    assert (data, err, complete) == (b"helloabc", None, True)
    assert trailers == [("x", b"1"), ("y", b"2")]


INVALID = [
    (b"x\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b";a\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b"\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b"5\r\nhello\r\n\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b"5x\r\n", "invalid_input", "Invalid chunk size line: Invalid Size"),
    (b"5\n", "invalid_input", "Invalid chunk size line: Invalid Size"),
    (b"-5\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    (b"5 6\r\n", "invalid_input", "Invalid chunk size linear white space"),
    (b"5 \n", "invalid_input", "Invalid chunk size linear white space"),
    (b"5\rx", "invalid_input", "Invalid chunk size LF"),
    (b"5;a\rx", "invalid_input", "Invalid chunk size LF"),
    (b"5\r\nhelloX", "invalid_input", "Invalid chunk body CR"),
    (b"5\r\nhello\n", "invalid_input", "Invalid chunk body CR"),
    (b"5\r\nhello\rX", "invalid_input", "Invalid chunk body LF"),
    (b"0\r\na: b\rX", "invalid_input", "Invalid trailer end LF"),
    (b"0\r\n\rX", "invalid_input", "Invalid chunk end LF"),
    (b"0\r\na: 1\r\n\r\r", "invalid_input", "Invalid chunk end LF"),
    (b"FFFFFFFFFFFFFFFFF\r\n", "invalid_data", "invalid chunk size: overflow"),
    (b"10000000000000000\r\n", "invalid_data", "invalid chunk size: overflow"),
    (b"5;a\n", "invalid_data", "invalid chunk extension contains newline"),
    (b"5;\n", "invalid_data", "invalid chunk extension contains newline"),
    (b"0\r\n a: 1\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\na : 1\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\n: 1\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\nnocolon\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\na\x00b: 1\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\na: 1\nb\r\n\r\n", "invalid_input", "invalid header name"),
    (b"0\r\na: 1\n\r\n\r\n", "invalid_input", "invalid new line"),
    (b"0\r\n\n\r\n\r\n", "invalid_input", "invalid new line"),
    (b"0\r\na: x\x01y\r\n\r\n", "invalid_input", 'Invalid header value: "a: x\\x01y"'),
    (b"0\r\nb: \x7f\r\n\r\n", "invalid_input", 'Invalid header value: "b: \\x7f"'),
    (b"0\r\nc: \"\\\x00\r\n\r\n", "invalid_input", 'Invalid header value: "c: \\"\\\\\\x00"'),
]


@pytest.mark.parametrize("body, io_kind, text", INVALID)
def test_chunked_invalid(body, io_kind, text):
    data, err, d = run("chunked", body + b"tail")
    assert err == (io_kind, PREFIX + text)
    assert not d.is_complete
    with pytest.raises(w.H1BodyError) as ei:  # the failure stays
        d.decode()
    assert ei.value.args == err


TRUNCATED = [
    (b"", "unexpected EOF during chunk size line"),
    (b"5", "unexpected EOF during chunk size line"),
    (b"5 ", "unexpected EOF during chunk size line"),
    (b"5;ext", "unexpected EOF during chunk size line"),
    (b"5\r", "unexpected EOF during chunk size line"),
    (b"5\r\n", "end of file before message length reached"),
    (b"5\r\nhel", "end of file before message length reached"),
    (b"5\r\nhello", "unexpected EOF during chunk size line"),
    (b"5\r\nhello\r", "unexpected EOF during chunk size line"),
    (b"5\r\nhello\r\n", "unexpected EOF during chunk size line"),
    (b"0\r\n", "unexpected EOF during chunk size line"),
    (b"0\r\nx: 1", "unexpected EOF during chunk size line"),
    (b"0\r\nx: 1\r", "unexpected EOF during chunk size line"),
    (b"0\r\nx: 1\r\n", "unexpected EOF during chunk size line"),
    (b"0\r\n\r", "unexpected EOF during chunk size line"),
]


@pytest.mark.parametrize("body, text", TRUNCATED)
def test_chunked_truncated(body, text):
    for step in (None, 1):
        data, err, d = run("chunked", body, eof=True, step=step)
        assert err == ("unexpected_eof", PREFIX + text)
    _, err, d = run("chunked", body)
    assert err is None and not d.is_complete


def test_eof_after_complete_is_fine():
    data, err, d = run("chunked", b"3\r\nabc\r\n0\r\n\r\n", eof=True)
    assert (data, err, d.is_complete) == (b"abc", None, True)


# ---- limits ----


def ext_body(counted_last):
    # Two chunks with 8000 counted extension bytes each, then the last chunk.
    e = b"e" * 8000
    return b"1;" + e + b"\r\na\r\n2 ;" + e + b"\r\nbb\r\n0;" + b"x" * counted_last + b"\r\n\r\n"


def test_extension_limit_over_whole_body():
    data, err, d = run("chunked", ext_body(383))
    assert (data, err, d.is_complete) == (b"abb", None, True)
    data, err, d = run("chunked", ext_body(384))
    assert err == ("invalid_data", PREFIX + "chunk extensions over limit")


def test_trailer_byte_limit():
    line = b"a: " + b"v" * (16383 - 5) + b"\r\n"
    assert len(line) == 16383
    data, err, d = run("chunked", b"0\r\n" + line + b"\r\n")
    assert err is None and d.is_complete
    assert [(n, len(v)) for n, v in d.take_trailers().items()] == [("a", 16378)]
    line = b"a: " + b"v" * (16384 - 5) + b"\r\n"
    _, err, _ = run("chunked", b"0\r\n" + line + b"\r\n")
    assert err == ("invalid_data", PREFIX + "chunk trailers bytes over limit")
    # Many small lines count together.
    lines = b"".join(b"n%d: %s\r\n" % (i, b"v" * 200) for i in range(90))
    _, err, _ = run("chunked", b"0\r\n" + lines + b"\r\n")
    assert err == ("invalid_data", PREFIX + "chunk trailers bytes over limit")


def test_trailer_line_limit():
    lines = b"".join(b"t%d: x\r\n" % i for i in range(100))
    _, err, complete, _, trailers = outcome("chunked", b"0\r\n" + lines + b"\r\n")
    assert err is None and complete and len(trailers) == 100
    _, err, _ = run("chunked", b"0\r\n" + lines + b"t: x\r\n\r\n")
    assert err == ("invalid_data", PREFIX + "chunk trailers count overflow")


def test_trailer_fields_split_by_bare_lf_are_limited():
    _, err, _ = run("chunked", b"0\r\n" + b"f: 1\n" * 101 + b"g: 2\r\n\r\n")
    assert err == ("invalid_input", PREFIX + "too many headers")
    _, err, complete, _, trailers = outcome("chunked", b"0\r\n" + b"f: 1\n" * 99 + b"g: 2\r\n\r\n")
    assert err is None and len(trailers) == 100


@pytest.mark.parametrize(
    "size, ok",
    [(b"F" * 16, True), (b"f" * 17, False), (b"1" + b"0" * 15, True), (b"1" + b"0" * 16, False),
     (b"0" * 40 + b"3", True)],
)
def test_size_digits(size, ok):
    data, err, d = run("chunked", size + b"\r\nabc")
    if ok:
        assert err is None and data == b"abc"
    else:
        assert err == ("invalid_data", PREFIX + "invalid chunk size: overflow") and data == b""


# ---- split feeding ----


def random_chunked(rng, trailing=b"", bws=True):
    parts = []
    for _ in range(rng.randrange(0, 6)):
        n = rng.choice([1, 2, 15, 16, 17, 255, 4096, rng.randrange(1, 3000)])
        size = b"%x" % n
        if rng.random() < 0.3:
            size = size.upper()
        if rng.random() < 0.2:
            size = b"00" + size
        ext = b""
        if rng.random() < 0.3:
            ext = rng.choice([b";a=b", b";name", b';q="x;y"'] + ([b" ;a", b"\t;b=c"] if bws else []))
        parts.append(size + ext + b"\r\n" + bytes(rng.randrange(256) for _ in range(n)) + b"\r\n")
    parts.append(b"0" + (b";end" if rng.random() < 0.3 else b"") + b"\r\n")
    for i in range(rng.choice([0, 0, 1, 3])):
        parts.append(rng.choice([b"X-T%d: v%d\r\n", b"x-t%d:v%d \r\n"]) % (i, i))
    parts.append(b"\r\n")
    return b"".join(parts) + trailing


def corrupt(rng, body):
    b = bytearray(body)
    for _ in range(rng.randrange(1, 3)):
        i = rng.randrange(len(b))
        b[i] = rng.choice(b"\r\n;:0aZ \t\x00\xff")
    return bytes(b)


def corpus():
    rng = random.Random(1234)
    valid = [random_chunked(rng, trailing=rng.choice([b"", b"", b"GET / HTTP/1.1\r\n"])) for _ in range(40)]
    valid += [b"5\r\nhello\r\n0\r\n\r\n", b"0\r\n\r\n", ext_body(383)]
    invalid = [corrupt(rng, v) for v in valid[:40]] + [b for b, _, _ in INVALID] + [ext_body(384)]
    return valid, invalid


def test_split_feeding_gives_same_outcome():
    valid, invalid = corpus()
    for body in valid + invalid + [b + b"tail\r\n" for b in invalid[-20:]]:
        for eof in (False, True):
            whole = outcome("chunked", body, eof=eof)
            for step in (1, 2, 3, 7, 64):
                assert outcome("chunked", body, eof=eof, step=step) == whole, (body, step)
    for body in valid:
        data, err, complete, _, _ = outcome("chunked", body)
        assert err is None and complete


def test_trailing_bytes_untouched():
    tail = b"POST /next HTTP/1.1\r\n\r\n5\r\n"
    for step in (None, 1, 5):
        data, err, d = run("chunked", b"3\r\nabc\r\n0\r\nt: 1\r\n\r\n" + tail, step=step)
        assert (data, err, d.is_complete, d.buffered) == (b"abc", None, True, len(tail))
        _, _, d = run("length", b"abc" + tail, length=3, step=step)
        assert d.is_complete and d.buffered == len(tail)


@pytest.mark.parametrize(
    "head, body, kind",
    [
        (b"Transfer-Encoding: chunked\r\n", b"5\r\nhello\r\n0\r\nx-a: 1\r\n\r\n", "chunked"),
        (b"Content-Length: 5\r\n", b"hello", "length"),
    ],
)
def test_hand_over_from_codec(head, body, kind):
    nxt = b"GET /next HTTP/1.1\r\nHost: x\r\n\r\n"
    c = w.H1Codec()
    h = c.receive_request_head(b"POST / HTTP/1.1\r\nHost: x\r\n" + head + b"\r\n" + body + nxt)
    assert h.body_kind == kind
    d = H1BodyDecoder(h.body_kind, h.content_length or 0)
    c.take_body_into(d)
    assert c.buffered() == 0 and d.buffered == len(body + nxt)
    assert d.decode() == b"hello"
    assert d.decode() is None and d.is_complete and d.buffered == len(nxt)


@pytest.mark.parametrize("pad", [0, 5000, 9000])
@pytest.mark.parametrize("take", ["into", "bytes"])
@pytest.mark.parametrize("start", [b"POST /u HTTP/1.1\r\nHost: x", b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK"])
def test_large_read_split_anywhere(pad, take, start):
    # A large first read has its head parsed from a partial copy and the rest
    # borrowed; results and errors must equal those of the same bytes parsed
    # from the read buffer, at every split and however the rest is taken.
    head = start + b"\r\nX-Pad: " + b"p" * pad + b"\r\nTransfer-Encoding: chunked\r\n\r\n"
    request = start.startswith(b"POST")
    body = b"".join(b"%x\r\n%s\r\n" % (n, b"ab" * (n // 2)) for n in (2, 3000, 7000)) + b"0\r\n\r\n"
    wire = head + body + b"GET /n HTTP/1.1\r\n\r\n"

    def outcome(first, rest, direct):
        c = w.H1Codec(max_buf_size=8192)
        try:
            if not direct:
                c.feed(first)
                first = b""
            h = (c.receive_request_head if request else c.receive_head)(first)
        except w.H1ParseError as e:
            return type(e), str(e), c.buffered()
        if h is None:
            return None, c.buffered()
        d = H1BodyDecoder(h.body_kind, h.content_length or 0)
        n = c.buffered()
        if take == "into":
            c.take_body_into(d)
        else:
            d.feed(c.take_body())
        if rest:
            d.feed(rest)
        got = b"".join(iter(d.decode, None))
        return h.target if request else h.status, h.headers.items(), n, c.buffered(), got, d.is_complete, d.buffered

    for k in sorted({*range(1, len(wire), 1999), 4095, 4097, 8191, 8193, len(head), len(head) + 1, len(wire)}):
        first, rest = wire[:k], wire[k:]
        assert outcome(first, rest, True) == outcome(first, rest, False), k


# ---- comparison with h11's chunked reader ----


def h11_decode(body):
    h11 = pytest.importorskip("h11")
    c = h11.Connection(h11.CLIENT)
    c.send(h11.Request(method="GET", target="/", headers=[("Host", "x")]))
    c.send(h11.EndOfMessage())
    c.receive_data(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body)
    data, trailers = [], None
    while True:
        ev = c.next_event()
        if isinstance(ev, h11.Data):
            data.append(bytes(ev.data))
        elif isinstance(ev, h11.EndOfMessage):
            trailers = [(bytes(n).decode(), bytes(v)) for n, v in ev.headers]
            return b"".join(data), trailers
        elif ev is h11.NEED_DATA:
            return None
        elif ev is h11.PAUSED:
            return None


def test_matches_h11_on_valid_bodies():
    rng = random.Random(99)
    # h11 refuses whitespace before ";" and more than 20 size digits, which
    # are accepted here; the corpus stays inside what both accept.
    for _ in range(60):
        body = random_chunked(rng, bws=False)
        expected = h11_decode(body)
        assert expected is not None
        data, err, complete, buffered, trailers = outcome("chunked", body)
        assert err is None and complete and buffered == 0
        assert data == expected[0]
        assert (trailers or []) == expected[1]


H11_DIFFERENCES = [
    # Whitespace before ";" (BWS in the chunk-size line) is allowed by the
    # message syntax; h11 refuses it.
    (b"5 ;a\r\nhello\r\n0\r\n\r\n", "h11 error", (b"hello", None)),
    # Leading zeros never overflow the 64-bit size; h11 caps digits at 20.
    (b"0" * 21 + b"5\r\nhello\r\n0\r\n\r\n", "h11 error", (b"hello", None)),
    # Obsolete line folding is refused in trailers as in heads; h11 unfolds.
    (b"0\r\nx: 1\r\n  folded\r\n\r\n", (b"", [("x", b"1 folded")]),
     (b"", ("invalid_input", PREFIX + "invalid header name"))),
    # Control characters in a trailer value are refused, as HeaderMap does;
    # h11 passes them through.
    (b"0\r\nx: a\x01b\r\n\r\n", (b"", [("x", b"a\x01b")]),
     (b"", ("invalid_input", PREFIX + 'Invalid header value: "x: a\\x01b"'))),
]


@pytest.mark.parametrize("body, h11_result, ours", H11_DIFFERENCES)
def test_deliberate_differences_from_h11(body, h11_result, ours):
    h11 = pytest.importorskip("h11")
    if h11_result == "h11 error":
        with pytest.raises(h11.RemoteProtocolError):
            h11_decode(body)
    else:
        assert h11_decode(body) == h11_result
    data, err, _ = run("chunked", body)
    assert (data, err) == ours


# ---- reference counting ----


def test_no_leak_in_loop():
    import sys

    d = H1BodyDecoder("close")
    piece = b"x" * 100
    before = sys.getrefcount(piece)
    for _ in range(10000):
        d.feed(piece)
        assert d.decode() == piece
    assert sys.getrefcount(piece) == before
    for _ in range(2000):
        d = H1BodyDecoder("chunked")
        d.feed(b"1\r\na\r\n0\r\nx: 1\r\n\r\n")
        d.decode()
        d.decode()
        d.take_trailers()


@pytest.mark.parametrize(
    "kind, length, feeds, same, body",
    [
        # A piece that is all of one fed object comes back as that object,
        # and the decoder lets go of it once read.
        ("length", 6, [b"abc", b"def"], True, b"abcdef"),
        ("close", 0, [b"abc"], True, b"abc"),
        # Fed while part of the previous object is unread: joined, then copied out.
        ("length", 8, [b"abcdef", b"ghi"], False, b"abcdefgh"),
        ("chunked", 0, [b"3\r\nabc\r\n3\r\n", b"def\r\n0\r\n\r\n"], False, b"abcdef"),
    ],
)
def test_fed_bytes_read_in_place(kind, length, feeds, same, body):
    import sys

    d = H1BodyDecoder(kind, length)
    got = []
    for f in feeds:
        before = sys.getrefcount(f)
        d.feed(f)
        if same:
            got.append(d.decode())
            assert got[-1] is f and d.decode() is None
            assert sys.getrefcount(f) == before + 1  # the reference in `got` only
    while (x := d.decode()) is not None:
        got.append(x)
    assert b"".join(got) == body
    assert d.buffered == (1 if length == 8 else 0) and d.is_complete == (kind != "close")


class Bytes(bytes):
    pass


def test_read_of_exactly_one_chunks_data_is_handed_out_as_is():
    d = H1BodyDecoder("chunked")
    d.feed(b"3\r\n")
    assert d.decode() is None
    data = b"abc"
    d.feed(data)
    assert d.decode() is data
    # Only an exact bytes: a subclass's data is copied into a new one.
    d.feed(b"\r\n3\r\n")
    assert d.decode() is None
    sub = Bytes(b"def")
    d.feed(sub)
    got = d.decode()
    assert type(got) is bytes and got == b"def"


@pytest.mark.parametrize("size, chunk, keep_every", [(1 << 16, 4096, 3), (50000, 1000, 2), (9000, 300, 5)])
def test_results_are_never_changed_once_handed_out(size, chunk, keep_every):
    # Pieces of different sizes, some kept, some hashed, some dropped: what a
    # caller holds stays as it was, and every piece reads as a new one.
    import sys

    rng = random.Random(size)
    sizes, left = [], size
    while left:
        n = min(left, rng.randrange(chunk // 2, chunk * 2))
        sizes.append(n)
        left -= n
    want = [bytes([97 + i % 26]) * n for i, n in enumerate(sizes)]
    wire = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in want) + b"0\r\n\r\n"
    # Two decoders at once, over reads of two sizes: results released by one
    # may carry the other's next pieces.
    decoders = [H1BodyDecoder("chunked"), H1BodyDecoder("chunked")]
    kept, got = [], [[], []]
    for at in range(0, len(wire), 32768):
        for k, (d, step) in enumerate(zip(decoders, (32768, 8192))):
            for sub in range(at, min(at + 32768, len(wire)), step):
                d.feed(wire[sub:min(sub + step, at + 32768)])
                while (x := d.decode()) is not None:
                    assert type(x) is bytes and sys.getsizeof(x) == sys.getsizeof(bytes(len(x)))
                    assert hash(x) == hash(bytes(bytearray(x))) and x[len(x):] == b""
                    got[k].append(bytes(bytearray(x)))
                    if len(got[k]) % keep_every == 0:
                        kept.append((k, len(got[k]) - 1, x))
    for k, d in enumerate(decoders):
        assert d.is_complete and b"".join(got[k]) == b"".join(want)
    for k, i, x in kept:
        assert x == got[k][i]


def test_idle_decoder_keeps_no_results():
    import sys

    d = H1BodyDecoder("chunked")
    d.feed(b"3\r\nabc\r\n3\r\ndef\r\n")
    first, second = d.decode(), d.decode()
    counts = sys.getrefcount(first), sys.getrefcount(second)
    assert d.decode() is None  # waiting for input: lets go of both
    assert (sys.getrefcount(first), sys.getrefcount(second)) == (counts[0] - 1, counts[1] - 1)


def test_released_decoders_start_fresh():
    # Released decoders are reused: a new one must not see the state,
    # input or trailers of an earlier one, whatever that one reached.
    for _ in range(3):
        done = w.H1BodyDecoder("chunked")
        done.feed(b"3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n")
        assert done.decode() == b"abc" and done.decode() is None and done.is_complete
        failed = w.H1BodyDecoder("chunked")
        failed.feed(b"zz\r\n")
        with pytest.raises(w.H1BodyError):
            failed.decode()
        big = w.H1BodyDecoder("close")
        big.feed(b"x" * 100000)
        big.feed(b"y")
        assert len(big.decode()) == 8192
        del done, failed, big
        d = w.H1BodyDecoder("length", 2)
        assert (d.buffered, d.is_complete, d.decode()) == (0, False, None)
        d.feed(b"hi")
        assert d.decode() == b"hi" and d.is_complete and d.take_trailers() is None
        c = w.H1BodyDecoder("chunked")
        c.feed(b"0\r\n\r\n")
        assert c.decode() is None and c.is_complete and c.take_trailers() is None
