"""H1Codec head parsing: request and response heads, framing rules, limits,
the automatic error status, hostile input and byte-by-byte feeding."""
import gc
import sys

import pytest

from wirelet import _wirelet as w

H1Codec = w.H1Codec
H1ParseError = w.H1ParseError


def req(data, **kw):
    return H1Codec(**kw).receive_request_head(data)


def resp(data, method=None):
    c = H1Codec()
    if method:
        c.serialize_request(method, "/")
    return c.receive_head(data)


def parse_error(fn, *args):
    with pytest.raises(H1ParseError) as ei:
        fn(*args)
    return ei.value.args


# ---------------------------------------------------------------- construction


def test_class_shapes():
    assert H1Codec.__module__ == "wirelet._wirelet"
    assert H1Codec.__qualname__ == "H1Codec"
    for cls in (w.H1RequestHead, w.H1ResponseHead):
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):

        class Sub(H1Codec):  # final
            pass

    c = H1Codec()
    with pytest.raises(AttributeError):
        c.foo = 1
    h = c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n")
    with pytest.raises(AttributeError):
        h.method = "POST"
    assert H1Codec.receive_request_head.__text_signature__ == "($self, data)"
    names = [n for n in dir(w) if n in ("H1Codec", "H1ResponseHead", "H1RequestHead", "H1BodyDecoder")]
    order = list(vars(w))
    assert order.index("H1Codec") < order.index("H1ResponseHead") < order.index("H1RequestHead")
    assert names


@pytest.mark.parametrize(
    "kw, exc, msg",
    [
        ({"max_buf_size": 8191}, ValueError, "the max_buf_size cannot be smaller than 8192"),
        ({"max_buf_size": -1}, OverflowError, None),
        ({"max_buf_size": 1 << 64}, OverflowError, None),
        ({"max_headers": -1}, OverflowError, None),
        ({"max_headers": "1"}, TypeError, "max_headers"),
        ({"date_header": 1}, TypeError, "date_header"),
        ({"title_case_headers": None}, TypeError, "title_case_headers"),
        ({"ignore_invalid_headers": 0}, TypeError, "ignore_invalid_headers"),
        ({"bogus": 1}, TypeError, "bogus"),
    ],
)
def test_constructor_errors(kw, exc, msg):
    with pytest.raises(exc) as ei:
        H1Codec(**kw)
    if msg:
        assert msg in str(ei.value)


def test_constructor_positional_refused_and_defaults():
    with pytest.raises(TypeError):
        H1Codec(100)
    c = H1Codec(max_buf_size=8192, max_headers=None)
    assert c.max_buf_size == 8192
    assert H1Codec().max_buf_size == 417792
    assert H1Codec().parse_error_status is None


@pytest.mark.parametrize("bad", ["GET", bytearray(b"x"), memoryview(b"x"), None])
def test_data_must_be_bytes(bad):
    c = H1Codec()
    for fn in (c.receive_request_head, c.receive_head, c.feed):
        with pytest.raises(TypeError, match="'data' must be bytes"):
            fn(bad)


# ---------------------------------------------------------------- request heads


def test_simple_get_and_pipelined_rest():
    c = H1Codec()
    h = c.receive_request_head(b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\nGET /n")
    assert repr(h) == "H1RequestHead(method='GET', target='/', body_kind=empty)"
    assert (h.body_kind, h.content_length, h.keep_alive, h.http10) == ("empty", 0, True, False)
    assert (h.expect_continue, h.is_upgrade, h.allow_trailers) == (False, False, False)
    assert list(h.headers.items()) == [("host", b"example.com")]
    assert c.buffered() == 6
    assert c.receive_request_head(b"") is None
    assert c.receive_request_head(b" HTTP/1.1\r\n\r\n").target == "/n"
    assert c.buffered() == 0


def test_standard_methods_are_shared_strings():
    for m in ["OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "PATCH", "QUERY"]:
        a = req(f"{m} / HTTP/1.1\r\n\r\n".encode()).method
        b = req(f"{m} / HTTP/1.1\r\n\r\n".encode()).method
        assert a == m and a is b
    assert req(b"CONNECT h:1 HTTP/1.1\r\n\r\n").method is req(b"CONNECT h:2 HTTP/1.1\r\n\r\n").method
    ext = req(b"PROPFIND / HTTP/1.1\r\n\r\n").method
    assert ext == "PROPFIND"
    # Methods are case-sensitive: "get" is an extension method.
    assert req(b"get / HTTP/1.1\r\n\r\n").method == "get"
    assert req(b"GET / HTTP/1.1\r\n\r\n").body_kind is req(b"PUT / HTTP/1.1\r\n\r\n").body_kind


@pytest.mark.parametrize(
    "target, expected",
    [
        (b"/", "/"),
        (b"/a/b?x=1&y", "/a/b?x=1&y"),
        (b"/p#frag", "/p"),
        (b"*", "*"),
        (b"http://example.com", "http://example.com/"),
        (b"http://example.com:8080/x?q", "http://example.com:8080/x?q"),
        (b"example.com:443", "example.com:443"),
        # Bytes above 0x7f read as Latin-1, in the first word or in the tail.
        (b"/caf\xe9", "/caf\xe9"),
        (b"/abcdefgh/\xff", "/abcdefgh/\xff"),
        (b"/\x80bcdefghijklmnop", "/\x80bcdefghijklmnop"),
    ],
)
def test_request_targets(target, expected):
    method = b"CONNECT" if b":443" in target and b"//" not in target else b"GET"
    h = req(method + b" " + target + b" HTTP/1.1\r\n\r\n")
    assert h.target == expected
    assert h.target is h.target
    assert h.target.isascii() == expected.isascii()


def test_request_target_read_as_latin1_whatever_its_length():
    # A byte above 0x7f anywhere in a target of any length.
    for n in range(1, 40):
        for pos in range(n):
            t = bytearray(b"/" + b"a" * (n - 1))
            if pos:
                t[pos] = 0xE9
            h = req(b"GET " + bytes(t) + b" HTTP/1.1\r\n\r\n")
            assert h.target == t.decode("latin-1")
            assert h.target.isascii() == (pos == 0)


def test_lf_only_line_ends_and_leading_empty_lines():
    h = req(b"\r\n\nPOST /x HTTP/1.0\nContent-Length: 3\nX-A:  v  \n\nabc")
    assert h.method == "POST" and h.http10 and not h.keep_alive
    assert h.headers["x-a"] == b"v"
    assert h.content_length == 3 and h.body_kind == "length"


def test_header_names_lower_case_values_kept():
    h = req(b"GET / HTTP/1.1\r\nX-MiXed: Va lue\t\r\nEmpty:\r\nx-mixed: two\r\n\r\n")
    assert list(h.headers.items()) == [("x-mixed", b"Va lue"), ("x-mixed", b"two"), ("empty", b"")]
    assert h.headers.get_all("X-Mixed") == [b"Va lue", b"two"]


def test_obs_text_in_values_is_kept():
    h = req(b"GET / HTTP/1.1\r\nX: caf\xc3\xa9 \xff\r\n\r\n")
    assert h.headers["x"] == b"caf\xc3\xa9 \xff"


@pytest.mark.parametrize(
    "lines, kind, length, keep_alive, cl_count",
    [
        ([b"Content-Length: 5", b"Content-Length: 5"], "length", 5, True, 1),
        ([b"Content-Length: 0"], "empty", 0, True, 1),
        ([b"Content-Length: 5", b"Transfer-Encoding: chunked"], "chunked", None, False, 0),
        ([b"Transfer-Encoding: chunked", b"Content-Length: 5"], "chunked", None, False, 0),
        ([b"Transfer-Encoding: gzip, chunked"], "chunked", None, True, 0),
        ([b"Transfer-Encoding: gzip", b"Transfer-Encoding: CHUNKED"], "chunked", None, True, 0),
        # Trailing whitespace is OWS around the value, not part of it.
        ([b"Transfer-Encoding: chunked "], "chunked", None, True, 0),
        ([b"Content-Length: 00012"], "length", 12, True, 1),
        ([b"Content-Length: 18446744073709551613"], "length", 18446744073709551613, True, 1),
    ],
)
def test_request_framing(lines, kind, length, keep_alive, cl_count):
    h = req(b"POST / HTTP/1.1\r\n" + b"".join(l + b"\r\n" for l in lines) + b"\r\n")
    assert (h.body_kind, h.content_length, h.keep_alive) == (kind, length, keep_alive)
    assert len(h.headers.get_all("content-length")) == cl_count


@pytest.mark.parametrize(
    "lines, kind",
    [
        ([b"Content-Length: 5", b"Content-Length: 6"], "header_content_length_invalid"),
        ([b"Content-Length: +5"], "header_content_length_invalid"),
        ([b"Content-Length: -5"], "header_content_length_invalid"),
        ([b"Content-Length: 5 5"], "header_content_length_invalid"),
        ([b"Content-Length: 5, 5"], "header_content_length_invalid"),
        ([b"Content-Length: 0x10"], "header_content_length_invalid"),
        ([b"Content-Length:"], "header_content_length_invalid"),
        ([b"Content-Length: 18446744073709551616"], "header_content_length_invalid"),
        ([b"Content-Length: 18446744073709551614"], "too_large"),
        ([b"Transfer-Encoding: gzip"], "header_transfer_encoding_invalid"),
        ([b"Transfer-Encoding: xchunked"], "header_transfer_encoding_invalid"),
        ([b"Transfer-Encoding: chunked, gzip"], "header_transfer_encoding_invalid"),
        ([b"Transfer-Encoding: chunked", b"Transfer-Encoding: gzip"], "header_transfer_encoding_invalid"),
        ([b"Transfer-Encoding: \xffchunked"], "header_transfer_encoding_invalid"),
        ([b"Transfer-Encoding : chunked"], "header_token"),
        ([b" Transfer-Encoding: chunked"], "header_token"),
        ([b"X: a", b" folded"], "header_token"),
        ([b"X: a\rb"], "header_token"),
        ([b"X\x00: a"], "header_token"),
        ([b"X: a\x00b"], "header_token"),
        ([b"X: a\x7fb"], "header_token"),
        ([b"X: a\x0bb"], "header_token"),
        ([b"X: a\x1bb"], "header_token"),
        ([b": a"], "header_token"),
        ([b"X a"], "header_token"),
        ([b"X\t: a"], "header_token"),
        ([b"Content-Length: 5\x00"], "header_token"),
    ],
)
def test_request_hostile_headers(lines, kind):
    c = H1Codec()
    data = b"POST / HTTP/1.1\r\n" + b"".join(l + b"\r\n" for l in lines) + b"\r\n"
    args = parse_error(c.receive_request_head, data)
    msgs = {
        "header_content_length_invalid": "invalid content-length parsed",
        "header_transfer_encoding_invalid": "invalid transfer-encoding parsed",
        "header_token": "invalid HTTP header parsed",
        "too_large": "message head is too large",
    }
    assert args == (kind, msgs[kind])
    assert c.parse_error_status == (431 if kind == "too_large" else 400)
    assert c.buffered() == len(data)  # left as it was


def test_http10_transfer_encoding_unexpected():
    c = H1Codec()
    assert parse_error(c.receive_request_head, b"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n") == (
        "header_transfer_encoding_unexpected",
        "unexpected transfer-encoding parsed",
    )
    assert c.parse_error_status == 400


@pytest.mark.parametrize(
    "data, kind, message, status",
    [
        (b"G@T / HTTP/1.1\r\n\r\n", "method", "invalid HTTP method parsed", 400),
        (b" / HTTP/1.1\r\n\r\n", "method", "invalid HTTP method parsed", 400),
        (b"\rGET / HTTP/1.1\r\n\r\n", "method", "invalid HTTP method parsed", 400),
        (b"GET\t/ HTTP/1.1\r\n\r\n", "method", "invalid HTTP method parsed", 400),
        (b"GET  / HTTP/1.1\r\n\r\n", "uri", "invalid URI", 400),
        (b"GET /\x00 HTTP/1.1\r\n\r\n", "uri", "invalid URI", 400),
        (b"GET /a\x7f HTTP/1.1\r\n\r\n", "uri", "invalid URI", 400),
        (b"GET a/b HTTP/1.1\r\n\r\n", "uri", "invalid URI", 400),
        (b"GET http://a b/ HTTP/1.1\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET / HTTP/1.2\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET / HTTP/2.0\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET / http/1.1\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET / HTTP/1.1 \r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET / HTTP/1.1\rX\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"GET /\r\n\r\n", "version", "invalid HTTP version parsed", 400),
        (b"PRI * HTTP/2.0\r\n", "version", "invalid HTTP version parsed", 400),
        (
            b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
            "version_h2",
            "invalid HTTP version parsed (found HTTP2 preface)",
            None,
        ),
        (b"GET / HTTP/1.1\r\nX: y\r\r\n\r\n", "header_token", "invalid HTTP header parsed", 400),
    ],
)
def test_request_line_errors(data, kind, message, status):
    c = H1Codec()
    assert parse_error(c.receive_request_head, data) == (kind, message)
    assert c.parse_error_status == status
    assert c.buffered() == len(data)


def test_uri_too_long_boundary():
    ok = b"/" + b"a" * 65533  # 65534 bytes
    assert req(b"GET " + ok + b" HTTP/1.1\r\n\r\n").target == ok.decode()
    c = H1Codec()
    args = parse_error(c.receive_request_head, b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n")
    assert args == ("uri_too_long", "URI too long")
    assert c.parse_error_status == 414
    # Detected before the request line is complete.
    c = H1Codec()
    assert parse_error(c.receive_request_head, b"GET /" + b"a" * 70000) == ("uri_too_long", "URI too long")


def test_header_name_size_limit():
    name = b"x" * 65535
    h = req(b"GET / HTTP/1.1\r\n" + name + b": v\r\n\r\n")
    assert h.headers[name.decode()] == b"v"
    c = H1Codec()
    assert parse_error(c.receive_request_head, b"GET / HTTP/1.1\r\n" + b"x" * 65536 + b": v\r\n\r\n")[0] == "too_large"
    assert c.parse_error_status == 431


def test_max_buf_size_applies_to_incomplete_heads_only():
    big = b"GET / HTTP/1.1\r\n" + b"".join(b"X-%d: %s\r\n" % (i, b"v" * 200) for i in range(60)) + b"\r\n"
    assert len(big) > 8192
    assert H1Codec(max_buf_size=8192).receive_request_head(big) is not None
    c = H1Codec(max_buf_size=8192)
    assert c.receive_request_head(big[:8000]) is None
    assert parse_error(c.receive_request_head, big[8000:8300]) == ("too_large", "message head is too large")
    assert c.parse_error_status == 431
    c = H1Codec(max_buf_size=8192)
    assert parse_error(c.receive_request_head, b"\r\n" * 4096) == ("too_large", "message head is too large")


@pytest.mark.parametrize("max_headers, count, ok", [(None, 100, True), (None, 101, False), (0, 0, True), (0, 1, False),
                                                    (3, 3, True), (3, 4, False), (150, 150, True),
                                                    (150, 151, False), (1000, 1000, True)])
def test_max_headers(max_headers, count, ok):
    data = b"GET / HTTP/1.1\r\n" + b"".join(b"h%d: %d\r\n" % (i, i) for i in range(count)) + b"\r\n"
    c = H1Codec(max_headers=max_headers)
    if ok:
        h = c.receive_request_head(data)
        assert len(h.headers) == count
        assert h.headers.get(f"h{count - 1}") == (str(count - 1).encode() if count else None)
    else:
        assert parse_error(c.receive_request_head, data)[0] == "too_large"
        assert c.parse_error_status == 431


def test_ignore_invalid_headers():
    data = b"GET / HTTP/1.1\r\nA: 1\r\nBad Name: x\r\n folded\r\nC: \x01\r\nD\r\nE: 5\r\n\r\n"
    h = H1Codec(ignore_invalid_headers=True).receive_request_head(data)
    assert list(h.headers.items()) == [("a", b"1"), ("e", b"5")]
    assert parse_error(H1Codec().receive_request_head, data)[0] == "header_token"
    # Responses are never lenient.
    c = H1Codec(ignore_invalid_headers=True)
    assert parse_error(c.receive_head, b"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n")[0] == "header_token"


@pytest.mark.parametrize(
    "version, conn, keep_alive",
    [
        (b"1.1", None, True),
        (b"1.1", b"close", False),
        (b"1.1", b"Keep-Alive, CLOSE", False),
        (b"1.1", b"closed", True),
        (b"1.0", None, False),
        (b"1.0", b"keep-alive", True),
        (b"1.0", b"foo,  Keep-Alive ", True),
        (b"1.0", b"keep-alive\xff", False),
    ],
)
def test_request_keep_alive(version, conn, keep_alive):
    data = b"GET / HTTP/" + version + b"\r\n" + (b"Connection: " + conn + b"\r\n" if conn else b"") + b"\r\n"
    assert req(data).keep_alive is keep_alive


def test_request_flags():
    h = req(b"POST / HTTP/1.1\r\nExpect: 100-Continue\r\nTE: gzip, TraiLers\r\nUpgrade: websocket\r\n\r\n")
    assert h.expect_continue and h.allow_trailers and h.is_upgrade
    h = req(b"POST / HTTP/1.1\r\nExpect: 100-continue\r\nExpect: other\r\n\r\n")
    assert not h.expect_continue
    h = req(b"GET / HTTP/1.0\r\nUpgrade: websocket\r\n\r\n")
    assert not h.is_upgrade
    h = req(b"CONNECT example.com:443 HTTP/1.1\r\n\r\n")
    assert h.is_upgrade and h.method == "CONNECT"
    assert not req(b"GET / HTTP/1.1\r\nTE: trailersx\r\n\r\n").allow_trailers


def test_codec_records_request_trailer_permission():
    c = H1Codec()
    c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n")
    c.serialize_response(200, chunked=True)
    assert c.serialize_trailers(w.HeaderMap({"trailer": "x"})) == b"0\r\n\r\n"


# ---------------------------------------------------------------- response heads


def test_response_basic():
    c = H1Codec()
    h = c.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nServer: x\r\n\r\n0123")
    assert repr(h) == "H1ResponseHead(status=200, body_kind=length, keep_alive=true)"
    assert (h.status, h.content_length, h.http10, h.is_upgrade) == (200, 10, False, False)
    assert list(h.headers.items()) == [("content-length", b"10"), ("server", b"x")]
    assert c.take_body() == b"0123"
    assert c.take_body() == b""


@pytest.mark.parametrize(
    "line", [b"HTTP/1.1 404\r\n", b"HTTP/1.1 404 \r\n", b"HTTP/1.1 404 Not\tFound \xff\r\n", b"HTTP/1.1 404 Not Found\n"]
)
def test_response_reason_phrases(line):
    assert resp(line + b"Content-Length: 0\r\n\r\n").status == 404


@pytest.mark.parametrize(
    "data, kind",
    [
        (b"HTTP/1.1 099 X\r\n\r\n", "status"),
        (b"HTTP/1.1 20 X\r\n\r\n", "status"),
        (b"HTTP/1.1 2000 X\r\n\r\n", "status"),
        (b"HTTP/1.1 abc X\r\n\r\n", "status"),
        (b"HTTP/1.1 200X\r\n\r\n", "status"),
        (b"HTTP/1.2 200 OK\r\n\r\n", "version"),
        (b"HTTP/1.1  200 OK\r\n\r\n", "status"),
        (b"HTTP/1.1\t200 OK\r\n\r\n", "version"),
        (b"XTTP/1.1 200 OK\r\n\r\n", "version"),
        (b"HTTP/1.1 200 O\x00K\r\n\r\n", "header_token"),
        (b"HTTP/1.1 200 OK\r\nX : y\r\n\r\n", "header_token"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", "header_content_length_invalid"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5,\r\n\r\n", "header_content_length_invalid"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", "too_large"),
        (b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "header_transfer_encoding_unexpected"),
    ],
)
def test_response_errors(data, kind):
    c = H1Codec()
    assert parse_error(c.receive_head, data)[0] == kind
    assert c.parse_error_status is None


@pytest.mark.parametrize(
    "data, method, kind, length, keep_alive, upgrade",
    [
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\n", None, "length", 5, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", None, "length", 5, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", None, "empty", 0, True, False),
        (b"HTTP/1.1 200 OK\r\n\r\n", None, "close", None, True, False),
        (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", None, "close", None, True, False),
        (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 3\r\n\r\n", None, "chunked",
         None, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "HEAD", "empty", 0, True, False),
        (b"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", None, "empty", 0, True, False),
        (b"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", None, "empty", 0, True, False),
        (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: ws\r\n\r\n", None, "empty", 0, False, True),
        (b"HTTP/1.1 200 OK\r\n\r\n", "CONNECT", "empty", 0, False, True),
        (b"HTTP/1.1 407 Auth\r\nContent-Length: 2\r\n\r\n", "CONNECT", "length", 2, True, False),
        (b"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\n", None, "length", 3, True,
         False),
        (b"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", None, "length", 3, False, False),
        (b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", None, "close", None, False, False),
    ],
)
def test_response_framing(data, method, kind, length, keep_alive, upgrade):
    c = H1Codec()
    if method:
        c.serialize_request(method, "example.com:443" if method == "CONNECT" else "/")
    h = c.receive_head(data)
    assert (h.body_kind, h.content_length, h.keep_alive, h.is_upgrade) == (kind, length, keep_alive, upgrade)
    assert h.http10 == data.startswith(b"HTTP/1.0")


def test_interim_responses_are_skipped():
    c = H1Codec()
    assert c.receive_head(b"HTTP/1.1 100 Continue\r\n\r\n") is None
    assert c.buffered() == 0
    h = c.receive_head(b"HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
                       b"Content-Length: 1\r\n\r\nx")
    assert h.status == 200 and list(h.headers.items()) == [("content-length", b"1")]
    assert c.take_body() == b"x"


def test_reset_forgets_method():
    c = H1Codec()
    c.serialize_request("HEAD", "/")
    c.reset()
    assert c.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n").body_kind == "length"


def test_feed_puts_bytes_back():
    c = H1Codec()
    c.feed(b"GET / HT")
    c.feed(b"")
    assert c.buffered() == 8
    assert c.receive_request_head(b"TP/1.1\r\n\r\n").method == "GET"


# ---------------------------------------------------------------- byte by byte

REQUESTS = [
    b"GET / HTTP/1.1\r\nHost: a\r\n\r\n",
    b"\r\n\r\nPOST /upload?x=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nX-Tab: a\tb\r\n\r\nabc",
    b"PUT /x HTTP/1.0\nConnection: keep-alive\nTransfer-Encoding: x\n\n",
    b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n",
    b"GET / HTTP/1.1\r\nX: a\rb\r\n\r\n",
    b"GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
    b"CONNECT h:1 HTTP/1.1\r\nHost: h\r\n\r\n",
    b"OPTIONS * HTTP/1.1\r\n\r\n",
    # (The HTTP/2 preface is not here: it is recognised only when all 24
    # bytes are buffered, so a split preface fails as a plain bad version.)
    b"GET /" + b"v" * 300 + b" HTTP/1.1\r\nLong: " + b"w" * 1000 + b"\r\n\r\n",
]

RESPONSES = [
    b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
    b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
    b"\nHTTP/1.0 301 Moved\nLocation: /x\n\n",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n",
    b"HTTP/1.1 2x0 OK\r\n\r\n",
]


def summarize(fn, data):
    try:
        h = fn(data)
    except H1ParseError as e:
        return ("error", e.args)
    if h is None:
        return None
    fields = [h.body_kind, h.content_length, h.keep_alive, h.is_upgrade, h.http10, list(h.headers.items())]
    if isinstance(h, w.H1RequestHead):
        fields += [h.method, h.target, h.expect_continue, h.allow_trailers]
    else:
        fields += [h.status]
    return fields


@pytest.mark.parametrize("data", REQUESTS + RESPONSES)
def test_byte_by_byte_matches_one_call(data):
    is_req = data in REQUESTS
    whole = H1Codec()
    fn = whole.receive_request_head if is_req else whole.receive_head
    expected = summarize(fn, data)
    rest_expected = whole.buffered()
    split = H1Codec()
    fn = split.receive_request_head if is_req else split.receive_head
    got = None
    for i in range(len(data)):
        got = summarize(fn, data[i:i + 1])
        if got is not None:
            break
    assert got == expected
    if expected and expected[0] != "error":
        assert split.buffered() + (len(data) - 1 - i) == rest_expected
        assert split.parse_error_status == whole.parse_error_status


# ---------------------------------------------------------------- resources


def test_repeated_parsing_keeps_memory_flat():
    data = REQUESTS[1]
    c = H1Codec()
    for _ in range(2000):
        c.receive_request_head(data)
        c.take_body()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(20000):
        h = c.receive_request_head(data)
        h.headers.items()
        c.take_body()
        try:
            c.receive_request_head(b"GET / HTTP/1.1\r\nX: \x00\r\n\r\n")
        except H1ParseError:
            pass
        c.take_body()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


@pytest.mark.parametrize("name", ["method", "target", "headers", "body_kind", "keep_alive", "status"])
def test_head_attributes_not_writable(name):
    for head in (req(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"), resp(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")):
        if not hasattr(head, name):
            continue
        cls = type(head).__name__
        msg = f"attribute '{name}' of 'wirelet._wirelet.{cls}' objects is not writable"
        for op in (lambda: setattr(head, name, 1), lambda: delattr(head, name)):
            with pytest.raises(AttributeError) as ei:
                op()
            assert str(ei.value) == msg


def test_released_heads_and_maps_do_not_leak_into_later_heads():
    # Released heads and maps are reused: what a later head reads must be
    # its own, whether the earlier map was parsed, built or edited.
    c = H1Codec()
    many = b"GET /a HTTP/1.1\r\n" + b"".join(b"X-%d: %d\r\n" % (i, i) for i in range(40)) + b"\r\n"
    few = b"POST /b HTTP/1.1\r\nContent-Length: 0\r\nA: 1\r\nA: 2\r\n\r\n"
    kept = c.receive_request_head(many)
    for _ in range(3):
        edited = w.HeaderMap([("x-%d" % i, "v") for i in range(30)])
        edited.add("x-1", "w")
        del edited["x-2"]
        del edited
        c.receive_request_head(many)
        h = c.receive_request_head(few)
        assert (h.method, h.target, h.body_kind) == ("POST", "/b", "empty")
        assert h.headers.items() == [("content-length", b"0"), ("a", b"1"), ("a", b"2")]
        assert h.headers.get("x-1") is None and len(h.headers) == 3
        r = H1Codec().receive_head(b"HTTP/1.1 204 No Content\r\nB: 3\r\n\r\n")
        assert r.headers.items() == [("b", b"3")] and r.body_kind == "empty"
    assert len(kept.headers) == 40 and kept.headers["x-39"] == b"39"
