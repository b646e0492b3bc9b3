"""Contracts that cut across classes: invalid text, signatures, and the
connection-state corner cases (positioning after a drain, pipelined bytes,
no transport, parked watchers)."""

import inspect

import pytest

from wirelet import _wirelet as w

GET = b"GET / HTTP/1.1\r\nhost: x\r\n\r\n"
POST1 = b"POST / HTTP/1.1\r\nhost: x\r\ncontent-length: 1\r\n\r\n"

BAD_URL = ValueError, "invalid url: invalid uri character"

# A lone surrogate is not text: every encoded str argument treats it as an
# invalid value, with the error that value documents.
SURROGATE_CASES = [
    (lambda: w.uri_parts("/\udcff"), (ValueError, "invalid url /\udcff: invalid uri character")),
    (lambda: w.uri_parts(url="http://a\udcff/"), (ValueError, "invalid url http://a\udcff/: invalid uri character")),
    (lambda: w.H1Codec().serialize_request("GET", "/\udcff"), BAD_URL),
    (lambda: w.H1Codec().serialize_request("G\udcffT", "/"), (ValueError, "invalid method: invalid HTTP method")),
    (lambda: w.H2Codec().serialize_request_headers(1, "GET", "https://a\udcff/"), BAD_URL),
    (lambda: w.H2Codec().serialize_request_headers(1, "GET", "/", scheme="h\udcff", authority="a"), BAD_URL),
    (lambda: w.H2Codec().serialize_request_headers(1, "G\udcffT", "/", authority="a"),
     (ValueError, "invalid method: invalid HTTP method")),
    (lambda: w.H2Codec(role="cl\udcff"), (ValueError, "role must be 'client' or 'server', got \"cl\udcff\"")),
    (lambda: w.H2Codec.method_is_head("HEAD\udcff"), False),
    (lambda: w.H1BodyDecoder("chunked\udcff").is_complete, True),  # an unknown kind: empty body
    (lambda: w.ProxyMatcher.from_parts(all="http://p\udcff:1").intercept("http://a/"), None),
    (lambda: w.ProxyMatcher.from_parts(all="http://p:1").intercept("http://a\udcff/"), None),
]


@pytest.mark.parametrize("call, expected", SURROGATE_CASES)
def test_a_lone_surrogate_is_an_invalid_value(call, expected):
    if isinstance(expected, tuple):
        with pytest.raises(expected[0]) as e:
            call()
        assert str(e.value) == expected[1]
    else:
        assert call() == expected


def test_methods_without_arguments_have_exactly_self_as_signature():
    checked = 0
    for cls in vars(w).values():
        if not isinstance(cls, type) or issubclass(cls, BaseException):
            continue
        for name, m in vars(cls).items():
            sig = getattr(m, "__text_signature__", None)
            if name.startswith("__") or isinstance(m, (staticmethod, classmethod)) or not sig \
                    or not sig.startswith("($self"):
                continue
            if list(inspect.signature(m).parameters) == ["self"]:
                assert sig == "($self)", f"{cls.__name__}.{name}: {sig}"
                checked += 1
    assert checked > 50
    assert w.uri_parts(url="http://a/") == ("http", "a", 80, "a:80")


def server(transport="t"):
    return w.H1ServerState(w.H1Codec(), transport)


def test_drain_done_does_not_position_a_closed_or_shutting_down_connection():
    for stop in ("request_shutdown", "mark_unusable", "stop_serving"):
        s = server()
        assert s.begin_read() == (w.H1_READ_TRANSPORT, "t")
        s.unpark_idle_read()
        _, seq, dec = s.accept_head(POST1 + GET)  # a pipelined request follows the body
        s.respond_head(seq, 200, None, None, content_length=0)
        s.finish_response(seq)
        assert s.begin_read() == (w.H1_NEXT_DRAIN, None)
        getattr(s, stop)()
        assert s.drain_done(True) == (w.H1_NEXT_NONE, None)


def test_pipelined_bytes_go_back_in_front_of_later_bytes():
    s = server()
    _, seq, dec = s.accept_head(GET + b"GET /second")
    s.codec.feed(b" HTTP/1.1\r\n\r\n")  # arrived later, straight into the codec
    s.respond_head(seq, 200, None, None, content_length=0)
    s.finish_response(seq)
    assert s.begin_read() == (w.H1_READ_PARSE, None)
    head, _, _ = s.accept_head(b"")
    assert head.target == "/second"


def test_none_transport_means_no_transport():
    s = server(None)
    assert s.transport_ref() is None
    assert s.begin_read() == (w.H1_READ_EOF, None)
    c = w.H1ClientState(None)
    assert c.transport_ref() is None
    assert c.arm_watcher("done") is False and not c.has_watcher


def test_taking_the_result_of_a_parked_watcher_keeps_its_slot():
    c = w.H1ClientState("t")
    assert c.arm_watcher("done")
    assert c.take_watcher_result() == (None, None)
    assert c.has_watcher  # the read is still parked: it will report here
    assert c.watcher_completed(b"") == (w.H1_WATCH_IDLE_EOF, "t")
    assert c.take_watcher_result() == (None, None)
    assert not c.has_watcher  # completed, no handle ever stored: the slot goes
