"""H1Codec head serialization, the body encoder, and serialize -> parse round
trips."""
import itertools
import os
import re

import pytest
from conftest import skip_if_sanitized

from wirelet import _wirelet as w

H1Codec = w.H1Codec
HeaderMap = w.HeaderMap
DATE_RE = rb"date: [A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT\r\n"


def server(method="GET", request=None, **kw):
    c = H1Codec(**kw)
    c.receive_request_head(request or f"{method} / HTTP/1.1\r\n\r\n".encode())
    return c


def lines(head):
    assert head.endswith(b"\r\n\r\n")
    return head[:-4].split(b"\r\n")


def user_error(fn, *args, **kw):
    with pytest.raises(w.H1UserError) as ei:
        fn(*args, **kw)
    return ei.value.args


# ---------------------------------------------------------------- responses


def test_plain_200():
    c = server()
    head = c.serialize_response(200)
    assert re.fullmatch(rb"HTTP/1\.1 200 OK\r\ncontent-length: 0\r\n" + DATE_RE + rb"\r\n", head)
    assert c.body_is_eof() and not c.response_is_last and not c.response_close_delimited


def test_no_date_and_given_date():
    c = server(date_header=False)
    assert c.serialize_response(200) == b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n"
    c = server()
    head = c.serialize_response(200, HeaderMap({"date": "yesterday"}))
    assert lines(head) == [b"HTTP/1.1 200 OK", b"date: yesterday", b"content-length: 0"]


@pytest.mark.parametrize(
    "status, line",
    [
        (299, b"HTTP/1.1 299 <none>"),
        (404, b"HTTP/1.1 404 Not Found"),
        (203, b"HTTP/1.1 203 Non Authoritative Information"),
        (413, b"HTTP/1.1 413 Payload Too Large"),
        (999, b"HTTP/1.1 999 <none>"),
        (101, b"HTTP/1.1 101 Switching Protocols"),
    ],
)
def test_status_lines(status, line):
    assert lines(server(date_header=False).serialize_response(status))[0] == line


def test_http10_200_status_line():
    head = server(date_header=False).serialize_response(200, http10=True, keep_alive=False)
    assert lines(head)[0] == b"HTTP/1.0 200 OK"


@pytest.mark.parametrize(
    "status, exc, args",
    [
        (99, ValueError, ("invalid status: invalid status code",)),
        (1000, ValueError, ("invalid status: invalid status code",)),
        (103, w.H1UserError, ("unsupported_status_code", "response has 1xx status code, not supported by server")),
        (100, w.H1UserError, ("unsupported_status_code", "response has 1xx status code, not supported by server")),
    ],
)
def test_bad_status_leaves_codec_unchanged(status, exc, args):
    c = server()
    c.serialize_response(200, content_length=3)
    with pytest.raises(exc) as ei:
        c.serialize_response(status)
    assert ei.value.args == args
    assert c.serialize_data(b"abcd") == b"abc"  # the earlier encoder is still there


class Int(int):
    pass


# Ints of one internal digit are read in place, any other the general way:
# both sides of the digit boundary (2**30), subclasses and bool agree.
@pytest.mark.parametrize(
    "length, want",
    [(0, b"0"), (2**30 - 1, b"1073741823"), (2**30, b"1073741824"), (2**64 - 1, b"18446744073709551615"),
     (True, b"1"), (Int(7), b"7"), (Int(2**40), b"1099511627776"),
     (-1, "can't convert negative int"), (-(2**30), "can't convert negative int"), (2**64, "too big")],
)
def test_integer_arguments(length, want):
    c = server(date_header=False)
    if isinstance(want, str):
        with pytest.raises(OverflowError, match=want):
            c.serialize_response(200, content_length=length)
        return
    assert b"content-length: " + want in lines(c.serialize_response(200, content_length=length))
    h2 = w.H2Codec()
    assert h2.serialize_response_headers(Int(1), Int(200)) == h2.serialize_response_headers(True, 200)
    with pytest.raises(ValueError, match="invalid status"):
        h2.serialize_response_headers(1, 2**30 + 200)


def test_status_argument_types():
    c = server()
    with pytest.raises(OverflowError):
        c.serialize_response(65536)
    with pytest.raises(OverflowError):
        c.serialize_response(-1)
    with pytest.raises(TypeError, match="status"):
        c.serialize_response("200")
    with pytest.raises(TypeError, match="headers"):
        c.serialize_response(200, {"a": "b"})
    with pytest.raises(TypeError, match="keep_alive"):
        c.serialize_response(200, keep_alive=1)
    with pytest.raises(OverflowError):
        c.serialize_response(200, content_length=-1)


def test_204_and_304_carry_no_length():
    c = server(date_header=False)
    assert c.serialize_response(204, content_length=10) == b"HTTP/1.1 204 No Content\r\n\r\n"
    assert c.body_is_eof()
    c = server(date_header=False)
    assert c.serialize_response(304, chunked=True) == b"HTTP/1.1 304 Not Modified\r\n\r\n"
    assert c.body_is_eof() and not c.response_close_delimited


def test_head_response_keeps_length_header():
    c = server("HEAD", date_header=False)
    assert lines(c.serialize_response(200, content_length=10)) == [b"HTTP/1.1 200 OK", b"content-length: 10"]
    assert c.body_is_eof()
    c = server("HEAD", date_header=False)
    head = c.serialize_response(200, HeaderMap({"content-length": "7"}))
    assert lines(head) == [b"HTTP/1.1 200 OK", b"content-length: 7"]
    assert c.body_is_eof()
    c = server("HEAD", date_header=False)
    assert lines(c.serialize_response(200)) == [b"HTTP/1.1 200 OK"]


def test_connect_2xx_is_a_tunnel():
    c = server(request=b"CONNECT h:443 HTTP/1.1\r\n\r\n", date_header=False)
    assert c.serialize_response(200, content_length=5) == b"HTTP/1.1 200 OK\r\n\r\n"
    assert c.response_is_last and c.body_is_eof()


def test_chunked_on_http10_is_close_delimited():
    c = server(date_header=False)
    head = c.serialize_response(200, chunked=True, http10=True)
    # The body ends with the connection: no keep-alive, and the last response.
    assert lines(head) == [b"HTTP/1.0 200 OK"]
    assert c.response_close_delimited and c.response_is_last and not c.body_is_eof()
    chunk = b"raw"
    assert c.serialize_data(chunk) is chunk
    assert c.serialize_end() == b""


def test_http10_keeps_callers_first_keep_alive_and_leaves_close_alone():
    c = server(date_header=False)
    h = HeaderMap([("connection", "Keep-Alive, x"), ("connection", "y")])
    assert lines(c.serialize_response(200, h, http10=True)) == [
        b"HTTP/1.0 200 OK", b"connection: Keep-Alive, x, y", b"content-length: 0"]
    c = server(date_header=False)
    head = c.serialize_response(200, HeaderMap({"connection": "close"}), http10=True, keep_alive=False)
    assert lines(head) == [b"HTTP/1.0 200 OK", b"connection: close", b"content-length: 0"]
    assert c.response_is_last


def test_keep_alive_false_writes_close():
    c = server(date_header=False)
    head = c.serialize_response(200, HeaderMap({"connection": "upgrade"}), keep_alive=False)
    assert lines(head) == [b"HTTP/1.1 200 OK", b"connection: close", b"content-length: 0"]
    assert c.response_is_last


def test_close_token_in_response_headers_marks_last():
    c = server()
    c.serialize_response(200, HeaderMap({"connection": "foo, Close"}))
    assert c.response_is_last
    c.reset()
    assert not c.response_is_last


def test_101_is_last():
    c = server()
    c.serialize_response(101, HeaderMap({"upgrade": "websocket"}))
    assert c.response_is_last and c.body_is_eof()


def test_conflicting_length_headers():
    c = server()
    h = HeaderMap([("content-length", "5"), ("transfer-encoding", "chunked")])
    assert user_error(c.serialize_response, 200, h, content_length=5) == (
        "unexpected_header", "user sent unexpected header")
    assert c.body_is_eof()  # unchanged: no encoder
    # No body intent: the length line is dropped, the body becomes chunked.
    head = c.serialize_response(200, h)
    assert b"content-length" not in head and b"transfer-encoding: chunked\r\n" in head
    assert c.serialize_data(b"x") == b"1\r\nx\r\n"
    # The next call works normally.
    c.reset()
    assert b"content-length: 2\r\n" in c.serialize_response(200, content_length=2)


@pytest.mark.parametrize("values", [["5", "6"], ["x"], ["-1"], ["18446744073709551616"]])
def test_unknown_length_validates_length_header(values):
    c = server()
    h = HeaderMap([("content-length", v) for v in values])
    assert user_error(c.serialize_response, 200, h, chunked=True)[0] == "unexpected_header"


def test_unknown_length_with_length_header():
    c = server(date_header=False)
    h = HeaderMap([("content-length", "3"), ("content-length", "3")])
    assert lines(c.serialize_response(200, h, chunked=True)) == [b"HTTP/1.1 200 OK", b"content-length: 3"]
    assert c.serialize_data(b"abcdef") == b"abc"


def test_known_length_follows_the_written_header():
    # The peer frames the body by the header: the encoder must agree with
    # it, or the bytes after the body would be read as the next message.
    c = server(date_header=False)
    head = c.serialize_response(200, HeaderMap({"content-length": "9"}), content_length=4)
    assert lines(head) == [b"HTTP/1.1 200 OK", b"content-length: 9"]
    six = b"abcdef"
    assert c.serialize_data(six) is six
    assert c.serialize_data(b"ghijk") == b"ghi"
    c = server(date_header=False)
    h = HeaderMap({"content-length": "nine"})
    assert user_error(c.serialize_response, 200, h, content_length=4)[0] == "unexpected_header"


def test_transfer_encoding_gets_chunked_appended():
    c = server(date_header=False)
    head = c.serialize_response(200, HeaderMap({"transfer-encoding": "gzip"}))
    assert lines(head) == [b"HTTP/1.1 200 OK", b"transfer-encoding: gzip, chunked"]
    assert c.serialize_data(b"a" * 26) == b"1A\r\n" + b"a" * 26 + b"\r\n"


def test_title_case():
    c = server(title_case_headers=True)
    h = HeaderMap([("x-request-id", "AbC"), ("te", "x"), ("content-type", "text/plain")])
    head = c.serialize_response(200, h, content_length=1)
    assert re.fullmatch(
        rb"HTTP/1\.1 200 OK\r\nX-Request-Id: AbC\r\nTe: x\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n"
        + DATE_RE.replace(b"date", b"Date") + rb"\r\n", head)
    c = server(title_case_headers=True, date_header=False)
    assert lines(c.serialize_response(200, chunked=True, keep_alive=False)) == [
        b"HTTP/1.1 200 OK", b"Connection: close", b"Transfer-Encoding: chunked"]


@pytest.mark.parametrize("name", ["a", "a-b", "x" * 15 + "-y", "x" * 16 + "-y", "abc-" * 9 + "z", "-a--b-",
                                  "0a-9b-_c-~d-e" * 3, "set-cookie"])
def test_title_case_at_any_length(name):
    expect = "-".join(p[:1].upper() + p[1:] for p in name.split("-")).encode()
    c = server(title_case_headers=True, date_header=False)
    head = c.serialize_response(200, HeaderMap([(name, "v"), (name, "w")]), content_length=0)
    assert lines(head)[1:3] == [expect + b": v", expect + b": w"]


@pytest.mark.parametrize("title", [False, True])
def test_names_and_values_of_every_short_length(title):
    # Short names and values are copied by width classes: each length is whole.
    pairs = [(("a1-b" * 12)[:n + 1], "".join(chr(33 + (i * 7 + n) % 94) for i in range(n))) for n in range(41)]
    c = server(title_case_headers=title, date_header=False)
    head = c.serialize_response(200, HeaderMap(pairs), content_length=0)
    spell = (lambda n: "-".join(p[:1].upper() + p[1:] for p in n.split("-"))) if title else str
    assert lines(head)[1:-1] == [f"{spell(n)}: {v}".encode() for n, v in pairs]


def test_repeated_values_one_line_per_value_except_joined_names():
    c = server(date_header=False)
    h = HeaderMap([("set-cookie", "a=1"), ("trailer", "x-a"), ("set-cookie", "b=2"), ("trailer", "x-b")])
    assert lines(c.serialize_response(200, h, chunked=True)) == [
        b"HTTP/1.1 200 OK", b"set-cookie: a=1", b"set-cookie: b=2", b"trailer: x-a, x-b",
        b"transfer-encoding: chunked"]


def test_continue_response_and_connection_close():
    assert H1Codec.continue_response() == b"HTTP/1.1 100 Continue\r\n\r\n"
    assert H1Codec.continue_response() is H1Codec.continue_response()
    assert H1Codec.connection_close(HeaderMap([("connection", "a"), ("connection", " CLOSE ")]))
    assert not H1Codec.connection_close(HeaderMap({"connection": "closed"}))
    assert not H1Codec.connection_close(HeaderMap({"connection": b"close\xff"}))
    assert not H1Codec.connection_close(HeaderMap())
    with pytest.raises(TypeError, match="headers"):
        H1Codec.connection_close({"connection": "close"})


# ---------------------------------------------------------------- requests


def test_request_basics():
    c = H1Codec()
    head = c.serialize_request("GET", "http://example.com/a?b#frag", HeaderMap({"host": "example.com"}))
    assert head == b"GET http://example.com/a?b HTTP/1.1\r\nhost: example.com\r\n\r\n"
    assert c.body_is_eof() and not c.request_connection_close


@pytest.mark.parametrize(
    "url, target",
    [("/", b"/"), ("/p?q=1", b"/p?q=1"), ("*", b"*"), ("h.example:443", b"h.example:443"),
     ("https://h.example", b"https://h.example/")],
)
def test_request_targets(url, target):
    assert H1Codec().serialize_request("OPTIONS", url).split(b" ")[1] == target


@pytest.mark.parametrize(
    "method, url, message",
    [
        ("GE T", "/", "invalid method: invalid HTTP method"),
        ("", "/", "invalid method: invalid HTTP method"),
        ("GET", "", "invalid url: empty string"),
        ("GET", "/a b", "invalid url: invalid uri character"),
        ("GET", "http://h:x/", "invalid url: invalid port"),
    ],
)
def test_request_value_errors(method, url, message):
    c = H1Codec()
    with pytest.raises(ValueError) as ei:
        c.serialize_request(method, url)
    assert str(ei.value) == message


def test_request_argument_types():
    c = H1Codec()
    with pytest.raises(TypeError, match="method"):
        c.serialize_request(b"GET", "/")
    with pytest.raises(TypeError, match="url"):
        c.serialize_request("GET", b"/")
    with pytest.raises(TypeError, match="headers"):
        c.serialize_request("GET", "/", [])
    with pytest.raises(TypeError):
        c.serialize_request("GET", "/", None, False)  # http10 is keyword-only


@pytest.mark.parametrize(
    "method, kw, headers, expect_lines, encoder",
    [
        ("POST", {"chunked": True}, {}, [b"transfer-encoding: chunked"], "chunked"),
        ("GET", {"chunked": True}, {}, [], 0),
        ("HEAD", {"chunked": True}, {}, [], 0),
        ("PUT", {"content_length": 3}, {}, [b"content-length: 3"], 3),
        ("PUT", {"content_length": 3}, {"content-length": "4"}, [b"content-length: 4"], 4),
        ("PUT", {"content_length": 3}, {"transfer-encoding": "gzip"}, [b"transfer-encoding: gzip, chunked"],
         "chunked"),
        ("PUT", {"chunked": True}, {"content-length": "2", "transfer-encoding": "chunked"},
         [b"transfer-encoding: chunked"], "chunked"),
        ("PUT", {}, {"transfer-encoding": "chunked", "x": "y"}, [b"x: y"], 0),
        # No body intent, but the caller's length frames the body all the same.
        ("PUT", {}, {"content-length": "5"}, [b"content-length: 5"], 5),
        ("POST", {"content_length": 2, "http10": True}, {}, [b"connection: keep-alive", b"content-length: 2"], 2),
        ("POST", {"chunked": True, "http10": True}, {"content-length": "6"},
         [b"content-length: 6", b"connection: keep-alive"], 6),
    ],
)
def test_request_framing(method, kw, headers, expect_lines, encoder):
    c = H1Codec()
    head = c.serialize_request(method, "/", HeaderMap(headers), **kw)
    assert lines(head)[1:] == expect_lines
    assert lines(head)[0].endswith(b"HTTP/1.0" if kw.get("http10") else b"HTTP/1.1")
    if encoder == "chunked":
        assert c.serialize_data(b"ab") == b"2\r\nab\r\n"
    elif encoder == 0:
        assert c.body_is_eof()
    else:
        assert c.serialize_data(b"x" * 10) == b"x" * encoder


def test_request_connection_close():
    c = H1Codec()
    head = c.serialize_request("GET", "/", HeaderMap([("connection", "keep-alive, close"), ("a", "b")]))
    assert lines(head)[1:] == [b"connection: close", b"a: b"]
    assert c.request_connection_close
    head = c.serialize_request("GET", "/", HeaderMap({"connection": "close"}), http10=True)
    assert lines(head)[1:] == [b"connection: close"]
    c.reset()
    assert not c.request_connection_close


def test_request_never_title_cased_or_dated():
    c = H1Codec(title_case_headers=True)
    assert c.serialize_request("POST", "/", HeaderMap({"x-a": "b"}), content_length=1) == \
        b"POST / HTTP/1.1\r\nx-a: b\r\ncontent-length: 1\r\n\r\n"


def test_request_method_drives_response_parsing():
    c = H1Codec()
    c.serialize_request("HEAD", "/")
    assert c.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n").body_kind == "empty"


# ---------------------------------------------------------------- body encoder


def test_length_encoder():
    c = server()
    c.serialize_response(200, content_length=5)
    a = b"abc"
    assert c.serialize_data(a) is a
    assert c.serialize_data(b"defg") == b"de"
    assert c.serialize_data(b"more") == b""
    assert c.serialize_end() == b""
    with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
        c.serialize_data(b"x")


def test_short_length_body_aborts():
    c = server()
    c.serialize_response(200, content_length=5)
    c.serialize_data(b"abc")
    assert user_error(c.serialize_end) == (
        "body_write_aborted", "user body write aborted: early end, expected 2 more bytes")
    assert c.body_is_eof()
    assert c.serialize_end() == b""


def test_chunked_encoder_and_shared_terminator():
    c = server()
    c.serialize_response(200, chunked=True)
    assert not c.body_is_eof()
    data = bytes(range(65, 91))
    assert c.serialize_data(data) == b"1A\r\n" + data + b"\r\n"
    assert c.serialize_data(b"x" * 4096) == b"1000\r\n" + b"x" * 4096 + b"\r\n"
    t1 = c.serialize_end()
    assert t1 == b"0\r\n\r\n"
    assert c.serialize_end() == b""
    c.serialize_response(200, chunked=True)
    assert c.serialize_end() is t1


@pytest.mark.parametrize("then, framed", [
    (lambda c: c.serialize_end(), None),
    (lambda c: c.serialize_trailers(HeaderMap()), None),
    (lambda c: c.serialize_head_and_body(b"", b"x"), None),
    (lambda c: c.reset(), None),
    (lambda c: c.serialize_response(200, content_length=2), b"ab"),
    (lambda c: c.serialize_response(200, chunked=True, http10=True), b"abc"),
    (lambda c: c.serialize_response(200, chunked=True), b"3\r\nabc\r\n"),
    (lambda c: c.serialize_request("GET", "http://a/", content_length=1), b"a"),
    (lambda c: c.serialize_request("POST", "http://a/"), b""),
    (lambda c: c.serialize_request("POST", "http://a/", chunked=True), b"3\r\nabc\r\n"),
])
def test_chunks_follow_every_change_of_encoder(then, framed):
    # Chunks of a chunked body are framed from the encoder's kind alone.
    for start in (lambda c: c.serialize_response(200, chunked=True), lambda c: c.serialize_request("PUT", "/x", chunked=True)):
        c = server()
        start(c)
        assert c.serialize_data(b"abc") == b"3\r\nabc\r\n"
        then(c)
        if framed is None:
            with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
                c.serialize_data(b"abc")
        else:
            assert c.serialize_data(b"abc") == framed


def test_empty_chunk_skips_the_codec():
    c = H1Codec()
    e = b""
    assert c.serialize_data(e) is e
    with pytest.raises(TypeError, match="chunk"):
        c.serialize_data("x")


def test_trailers():
    c = server(request=b"GET / HTTP/1.1\r\nTE: trailers\r\n\r\n")
    c.serialize_response(200, HeaderMap({"trailer": "X-Checksum, bad name, Content-Type"}), chunked=True)
    t = HeaderMap([("x-other", "1"), ("x-checksum", "abc"), ("content-type", "x"), ("x-checksum", "def")])
    assert c.serialize_trailers(t) == b"0\r\nx-checksum: abc\r\nx-checksum: def\r\n\r\n"
    assert c.body_is_eof()
    c.reset()
    c.serialize_response(200, HeaderMap({"trailer": "content-type"}), chunked=True)
    assert c.serialize_trailers(HeaderMap({"content-type": "x"})) == b"0\r\n\r\n"


def test_trailers_dropped_without_permission_or_list():
    c = server()  # request without te: trailers
    c.serialize_response(200, HeaderMap({"trailer": "x-a"}), chunked=True)
    assert c.serialize_trailers(HeaderMap({"x-a": "1"})) == b"0\r\n\r\n"
    c = server(request=b"GET / HTTP/1.1\r\nTE: trailers\r\n\r\n")
    c.serialize_response(200, chunked=True)
    assert c.serialize_trailers(HeaderMap({"x-a": "1"})) == b"0\r\n\r\n"
    c.serialize_response(200, content_length=1)
    assert user_error(c.serialize_trailers, HeaderMap())[0] == "body_write_aborted"
    # Client side: requests may always carry trailers.
    c = H1Codec()
    c.serialize_request("POST", "/", HeaderMap({"trailer": "x-a"}), chunked=True)
    assert c.serialize_trailers(HeaderMap({"x-a": "1"})) == b"0\r\nx-a: 1\r\n\r\n"


def test_head_and_body():
    c = server(date_header=False)
    head = c.serialize_response(200, content_length=5)
    assert c.serialize_head_and_body(head, b"hello!") == head + b"hello"
    assert c.body_is_eof()
    head = c.serialize_response(200, content_length=5)
    assert user_error(c.serialize_head_and_body, head, b"hey")[0] == "body_write_aborted"
    head = c.serialize_response(200, chunked=True)
    assert c.serialize_head_and_body(head, b"hey") == head + b"3\r\nhey\r\n0\r\n\r\n"
    head = c.serialize_response(200, chunked=True)
    assert c.serialize_head_and_body(head) == head + b"0\r\n\r\n"
    head = c.serialize_response(204)
    assert c.serialize_head_and_body(head, b"ignored") is head
    head = c.serialize_response(200, chunked=True, http10=True)
    assert c.serialize_head_and_body(head, b"raw") == head + b"raw"
    c = server(request=b"GET / HTTP/1.1\r\nTE: trailers\r\n\r\n", date_header=False)
    head = c.serialize_response(200, HeaderMap({"trailer": "x-a"}), chunked=True)
    out = c.serialize_head_and_body(head, b"ab", HeaderMap({"x-a": "1"}))
    assert out == head + b"2\r\nab\r\n0\r\nx-a: 1\r\n\r\n"
    with pytest.raises(TypeError, match="body"):
        c.serialize_head_and_body(head, "x")


def test_reset_clears_encoder():
    c = server()
    c.serialize_response(200, chunked=True)
    c.reset()
    assert c.body_is_eof()
    assert c.serialize_end() == b""


# ---------------------------------------------------------------- round trips

HEADER_SETS = [
    [],
    [("host", "example.com")],
    [("host", "a"), ("accept", "*/*"), ("x-dup", "1"), ("x-dup", "2"), ("user-agent", "t/1.0")],
    [("x-empty", ""), ("x-obs", b"caf\xc3\xa9"), ("x-tab", "a\tb")],
    [("connection", "keep-alive")],
    [("connection", "close")],
    [("trailer", "x-sum")],
]
INTENTS = [{}, {"content_length": 0}, {"content_length": 7}, {"chunked": True}]


@pytest.mark.parametrize("headers, intent, http10, method", list(itertools.product(
    HEADER_SETS, INTENTS, [False, True], ["GET", "POST", "HEAD", "CONNECT"])))
def test_request_round_trip(headers, intent, http10, method):
    client = H1Codec()
    url = "example.com:443" if method == "CONNECT" else "/path?q=1"
    if http10 and intent.get("chunked"):
        with pytest.raises(ValueError, match="^invalid chunked: "):
            client.serialize_request(method, url, HeaderMap(headers), http10=http10, **intent)
        return
    head = client.serialize_request(method, url, HeaderMap(headers), http10=http10, **intent)
    body = b""
    if not client.body_is_eof():
        body = client.serialize_data(b"payload") + client.serialize_end()
    srv = H1Codec()
    got = srv.receive_request_head(head + body)
    assert got.method == method and got.target == url and got.http10 == http10
    sent = [(n, v if isinstance(v, bytes) else v.encode()) for n, v in headers]
    for n, v in sent:
        if n not in ("connection", "transfer-encoding", "content-length"):
            assert v in got.headers.get_all(n)
    close = any(n == "connection" and v == "close" for n, v in headers)
    assert got.keep_alive == (not close)
    rest = srv.take_body()
    if got.body_kind == "length":
        assert rest == b"payload"[:got.content_length]
    elif got.body_kind == "chunked":
        assert rest == b"7\r\npayload\r\n0\r\n\r\n"
    else:
        assert rest == b""


@pytest.mark.parametrize("headers, intent, http10, method, status", list(itertools.product(
    HEADER_SETS, INTENTS, [False, True], ["GET", "HEAD", "CONNECT"], [200, 204, 304, 404, 101])))
def test_response_round_trip(headers, intent, http10, method, status):
    srv = H1Codec()
    target = b"h:1" if method == "CONNECT" else b"/"
    srv.receive_request_head(method.encode() + b" " + target + b" HTTP/1.1\r\n\r\n")
    try:
        head = srv.serialize_response(status, HeaderMap(headers), http10=http10, **intent)
    except w.H1UserError:
        pytest.fail("unexpected refusal")
    body = b""
    if not srv.body_is_eof():
        body = srv.serialize_data(b"payload")
        if not srv.response_close_delimited:
            body += srv.serialize_end()
    client = H1Codec()
    client.serialize_request(method, target.decode())
    got = client.receive_head(head + body)
    assert got.status == status and got.http10 == http10
    if method == "CONNECT" and 200 <= status < 300:
        # Any 2xx answer to CONNECT ends HTTP on the connection (a 204 is
        # read by the client as an empty body, not a tunnel).
        assert srv.response_is_last
    elif got.body_kind == "close":
        # The body ends with the connection, whatever the head says.
        assert srv.response_close_delimited
    else:
        assert got.keep_alive == (not srv.response_is_last)
    rest = client.take_body()
    kinds = {"length": b"payload"[:got.content_length or 0], "chunked": b"7\r\npayload\r\n0\r\n\r\n",
             "close": b"payload", "empty": b""}
    assert rest == kinds[got.body_kind]
    if status in (204, 304, 101) or method == "HEAD" or (method == "CONNECT" and status == 200):
        assert got.body_kind == "empty"


# ---------------------------------------------------------------- hand-over and resources


def test_take_body_into_decoder():
    c = H1Codec()
    h = c.receive_request_head(b"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel")
    d = w.H1BodyDecoder(h.body_kind, h.content_length)
    assert c.take_body_into(d) is None
    assert c.buffered() == 0 and d.buffered == 3
    d.feed(b"lo")
    assert d.decode() == b"hello" and d.is_complete
    with pytest.raises(TypeError, match="decoder"):
        c.take_body_into(b"x")
    c.feed(b"abc")
    with pytest.raises(TypeError, match="decoder"):
        c.take_body_into(None)
    assert c.buffered() == 3  # nothing moved on a refused call


def test_serializing_keeps_memory_flat():
    import gc
    import sys

    c = H1Codec()
    hm = HeaderMap([("x-a", "1"), ("trailer", "x-t"), ("set-cookie", "a"), ("set-cookie", "b")])
    t = HeaderMap({"x-t": "v"})

    def once():
        c.serialize_response(200, hm, content_length=3)
        c.serialize_data(b"abcd")
        c.serialize_end()
        head = c.serialize_response(200, hm, chunked=True)
        c.serialize_head_and_body(head, b"xyz", t)
        c.serialize_request("POST", "http://h/p", hm, chunked=True)
        c.serialize_data(b"q")
        c.serialize_trailers(t)
        try:
            c.serialize_response(200, HeaderMap([("content-length", "1"), ("transfer-encoding", "x")]),
                                 content_length=1)
        except w.H1UserError:
            pass
        try:
            c.serialize_request("GET", "")
        except ValueError:
            pass
        c.reset()

    for _ in range(1000):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(10000):
        once()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def test_concurrent_calls_are_atomic():
    import threading

    c = H1Codec()
    errors = []
    request = b"GET /x HTTP/1.1\r\nHost: a\r\n\r\n"

    def worker():
        try:
            for _ in range(2000):
                c.feed(request)
                c.serialize_response(200, content_length=1)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert c.buffered() == 4 * 2000 * len(request)
    count = 0
    while c.receive_request_head(b"") is not None:
        count += 1
    assert count == 8000


def test_heads_of_any_size_from_several_codecs_in_turn():
    # Written heads leave the codecs through one reused buffer: a short head
    # after a long one, on another codec, carries nothing of the long one.
    def response(c, n):
        return c.serialize_response(200, HeaderMap([("x-v", "v" * n)]), content_length=0)

    def request(c, n):
        return c.serialize_request("GET", "http://a.example/" + "p" * n, HeaderMap([("x-v", "v" * n)]))

    fresh = {(f, n): f(H1Codec(date_header=False) if f is request else server(date_header=False), n)
             for f in (response, request) for n in (0, 5, 300, 5000)}
    for f, n in [(response, 5000), (request, 0), (response, 5), (request, 5000), (response, 0), (request, 300)]:
        c = H1Codec(date_header=False) if f is request else server(date_header=False)
        assert f(c, n) == fresh[f, n]


@skip_if_sanitized
def test_a_huge_head_is_not_kept_once_its_codec_is_gone():
    # Written heads leave through a reused buffer: one far larger than a
    # usual head must go with its codec, not stay with the process.
    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    big = HeaderMap([("x-big", b"v" * (40 << 20))])  # past malloc's largest heap chunk: mapped, unmapped when freed
    before = resident()
    for write in ("request", "response") * 2:
        if write == "request":
            c = H1Codec()
            head = c.serialize_request("GET", "http://a.example/", big)
        else:
            c = server()
            head = c.serialize_response(200, big, content_length=0)
        assert len(head) > 40 << 20
        del c, head
    assert resident() - before < 8 << 20
