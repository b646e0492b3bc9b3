import gc
import itertools
import threading
import weakref

import pytest

from wirelet import _wirelet as w

H1ServerState = w.H1ServerState
pytestmark = pytest.mark.skipif(not hasattr(w, "H1Codec"), reason="needs the HTTP/1 codec")

GET = b"GET / HTTP/1.1\r\nhost: x\r\n\r\n"
POST5 = b"POST /p HTTP/1.1\r\nhost: x\r\ncontent-length: 5\r\n\r\n"


class Token:
    def __init__(self, name="t"):
        self.name = name

    def __repr__(self):
        return f"Token({self.name})"


def fresh(**kw):
    t = Token("transport")
    return H1ServerState(w.H1Codec(), t, **kw), t


def accept(s, data=GET):
    verdict, _ = s.begin_read()
    assert verdict in (w.H1_READ_TRANSPORT, w.H1_READ_PARSE, w.H1_READ_WATCHER)
    s.unpark_idle_read()
    res = s.accept_head(data)
    assert res is not None
    return res


def respond(s, seq, done=None, **kw):
    return s.respond_head(seq, 200, None, done or Token("done"), content_length=kw.pop("content_length", 0), **kw)


def test_initial_state():
    codec = w.H1Codec()
    s = H1ServerState(codec, Token())
    assert s.codec is codec
    assert (s.closed, s.reusable, s.upgraded, s.half_close, s.keep_alive_enabled, s.shutdown_requested,
            s.has_watcher, s.watcher_parked, s.current_seq) == (False, True, False, False, True, False,
                                                                False, False, 0)
    assert repr(s) == ("H1ServerState(seq=0, closed=false, reusable=true, responded=false, "
                       "response_done=false, watcher=false)")


@pytest.mark.parametrize("kwargs, arg", [({"keep_alive": 1}, "keep_alive"), ({"half_close": None}, "half_close")])
def test_constructor_types(kwargs, arg):
    with pytest.raises(TypeError, match=arg):
        H1ServerState(w.H1Codec(), Token(), **kwargs)
    with pytest.raises(TypeError, match="codec"):
        H1ServerState(object(), Token())


def test_begin_read_first_and_after_stop():
    s, t = fresh()
    assert s.begin_read() == (w.H1_READ_TRANSPORT, t)
    s.stop_serving()
    assert s.begin_read() == (w.H1_NEXT_NONE, None)
    assert s.closed and not s.reusable


def test_keep_alive_sequence_and_pipelining():
    s, t = fresh()
    head, seq, dec = accept(s, GET + GET[:6])
    assert seq == 1 and head.method == "GET" and dec.is_complete
    assert s.begin_read() == (w.H1_NEXT_RAISE, None)
    code, head_bytes, armed = respond(s, seq)
    assert code == w.H1_REQ_OK and head_bytes.startswith(b"HTTP/1.1 200 OK\r\n") and armed is False
    assert s.finish_response(seq) == (False, False, None, None)
    # 6 bytes of the next request were already buffered
    assert s.begin_read() == (w.H1_READ_PARSE, None)
    assert s.accept_head(b"") is None
    head2, seq2, _ = s.accept_head(GET[6:])
    assert seq2 == 2 and s.current_seq == 2


def test_pipelined_request_behind_a_body_moves_back_to_the_codec():
    s, t = fresh()
    head, seq, dec = accept(s, POST5 + b"hello" + GET)
    assert s.begin_body_read(seq) is True
    assert dec.decode() == b"hello" and dec.is_complete
    s.end_body_read(seq, True)
    assert s.begin_body_read(seq) is False  # body done
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (w.H1_READ_PARSE, None)
    head2, seq2, _ = s.accept_head(b"")
    assert head2.target == "/" and seq2 == 2


def test_stale_and_already():
    s, _ = fresh()
    _, seq, _ = accept(s)
    respond(s, seq)
    s.finish_response(seq)
    s.begin_read()
    _, seq2, _ = s.accept_head(GET)
    assert respond(s, seq) == (w.H1_REQ_STALE, None, False)
    assert respond(s, seq2)[0] == w.H1_REQ_OK
    assert respond(s, seq2) == (w.H1_REQ_ALREADY, None, False)
    assert s.finish_response(seq) == (False, False, None, None)
    assert s.detach(seq) == (w.H1_REQ_STALE, None, None)
    assert s.try_send_continue(seq) is False and s.begin_body_read(seq) is False
    assert s.peer_closed_now(seq) is False and s.close_window(seq) is False


def test_continue_handoff():
    s, _ = fresh()
    _, seq, dec = accept(s, b"POST / HTTP/1.1\r\nexpect: 100-continue\r\ncontent-length: 3\r\n\r\n")
    assert s.try_send_continue(seq) is True
    assert s.try_send_continue(seq) is False
    assert respond(s, seq) == (w.H1_REQ_CONTINUE, None, False)
    code, head, _ = respond(s, seq)
    assert code == w.H1_REQ_OK and head.startswith(b"HTTP/1.1 200")
    assert respond(s, seq)[0] == w.H1_REQ_ALREADY


def test_continue_refused_for_http10_and_after_response():
    s, _ = fresh()
    _, seq, _ = accept(s, b"POST / HTTP/1.0\r\nexpect: 100-continue\r\ncontent-length: 3\r\n\r\n")
    assert s.try_send_continue(seq) is False
    s2, _ = fresh()
    _, seq, _ = accept(s2, b"POST / HTTP/1.1\r\nexpect: 100-continue\r\ncontent-length: 3\r\n\r\n")
    respond(s2, seq)
    assert s2.try_send_continue(seq) is False


def test_drain_then_next_head():
    s, t = fresh()
    _, seq, dec = accept(s, POST5)
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (w.H1_NEXT_DRAIN, None)
    dec.feed(b"hello" + GET)
    assert dec.decode() == b"hello"
    assert s.drain_done(True) == (w.H1_READ_PARSE, None)
    assert s.accept_head(b"")[1] == 2


def test_drain_incomplete_closes():
    s, t = fresh()
    _, seq, _ = accept(s, POST5)
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read()[0] == w.H1_NEXT_DRAIN
    assert s.drain_done(False) == (w.H1_NEXT_CLOSE, t)
    assert s.closed and s.begin_read() == (w.H1_NEXT_NONE, None)


def test_unread_body_with_reader_parked_closes():
    s, t = fresh()
    _, seq, _ = accept(s, POST5)
    assert s.begin_body_read(seq) is True
    assert s.begin_body_read(seq) is False
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (w.H1_NEXT_CLOSE, t)


def test_end_body_read_completes_body():
    s, t = fresh()
    _, seq, _ = accept(s, POST5)
    assert s.begin_body_read(seq)
    s.end_body_read(seq, True)
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (w.H1_READ_TRANSPORT, t)


def test_response_connection_close_and_keep_alive_disabled():
    s, t = fresh(keep_alive=False)
    _, seq, _ = accept(s)
    code, head, _ = respond(s, seq)
    assert b"connection: close" in head.lower()
    assert s.finish_response(seq) == (False, True, t, None)
    assert s.closed and not s.reusable


def test_http10_request_closes_after_response():
    s, t = fresh()
    _, seq, _ = accept(s, b"GET / HTTP/1.0\r\n\r\n")
    respond(s, seq)
    assert s.finish_response(seq) == (False, True, t, None)


def test_upgrade_switch_hands_off_with_leftover():
    s, t = fresh()
    req = b"GET /ws HTTP/1.1\r\nhost: x\r\nconnection: upgrade\r\nupgrade: websocket\r\n\r\n"
    _, seq, _ = accept(s, req + b"early")
    code, head, armed = s.respond_head(seq, 101, w.HeaderMap([("upgrade", "websocket")]), Token())
    assert code == w.H1_REQ_OK and head.startswith(b"HTTP/1.1 101")
    assert s.finish_response(seq) == (True, False, t, b"early")
    assert s.upgraded and s.closed and s.transport_ref() is None
    assert s.fail_response(seq) is None and s.mark_closed()[0] is None


def test_connect_2xx_switches():
    s, t = fresh()
    _, seq, _ = accept(s, b"CONNECT example.com:443 HTTP/1.1\r\nhost: example.com:443\r\n\r\nTLS")
    code, _, _ = s.respond_head(seq, 200, None, Token())
    assert code == w.H1_REQ_OK
    assert s.finish_response(seq) == (True, False, t, b"TLS")


def test_detach():
    s, t = fresh()
    _, seq, _ = accept(s, GET + b"raw")
    assert s.detach(seq) == (w.H1_REQ_OK, t, b"raw")
    assert s.upgraded and s.detach(seq)[0] == w.H1_REQ_ALREADY


def test_detach_refused_while_watcher_parked():
    s, t = fresh()
    _, seq, _ = accept(s)
    assert s.arm_watcher(seq, Token("done")) is True
    assert s.watcher_parked
    assert s.detach(seq) == (w.H1_REQ_PARKED, None, None)
    s.watcher_completed(b"more")
    code, transport, leftover = s.detach(seq)
    assert code == w.H1_REQ_OK and transport is t and leftover == b"more"


def test_peer_closed_mid_response():
    s, t = fresh()
    _, seq, _ = accept(s)
    assert s.peer_closed_now(seq) is None
    assert s.arm_watcher(seq, Token("done")) is True
    assert s.watcher_completed(b"") is True
    assert not s.reusable and s.peer_closed_flag(seq) is True
    assert respond(s, seq) == (w.H1_REQ_PEER_CLOSED, None, False)
    assert s.close_window(seq) is True
    assert s.peer_closed_now(seq) is True
    assert s.fail_response(seq) is t


def test_watcher_without_slot_changes_nothing():
    s, _ = fresh()
    _, seq, _ = accept(s)
    assert s.watcher_completed(b"") is False
    assert s.reusable and s.peer_closed_flag(seq) is False


def test_watcher_rules_half_close_and_body_pending():
    s, _ = fresh(half_close=True)
    _, seq, _ = accept(s)
    assert s.arm_watcher(seq, Token()) is False
    s2, _ = fresh()
    _, seq2, _ = accept(s2, POST5)
    assert s2.arm_watcher(seq2, Token()) is False  # body not read yet
    s3, _ = fresh()
    _, seq3, _ = accept(s3, GET + b"GET")
    assert s3.arm_watcher(seq3, Token()) is False  # next request already buffered


def test_watcher_serves_as_idle_read():
    s, t = fresh()
    _, seq, _ = accept(s)
    done = Token("done")
    code, _, armed = respond(s, seq, done=done, want=True)
    assert armed is True
    handle = Token("handle")
    assert s.store_watcher_handle(handle) is None
    assert s.finish_response(seq) == (False, False, None, None)
    assert s.begin_read() == (w.H1_READ_WATCHER, done)
    assert s.watcher_completed(GET) is False  # bytes: not an end of stream
    assert s.unpark_idle_read() is False
    assert s.take_watcher_handle() is handle
    assert s.take_watcher_result() == (GET, None)
    assert not s.has_watcher
    assert s.accept_head(GET)[1] == 2


def test_request_shutdown():
    s, t = fresh()
    assert s.request_shutdown() is None
    assert not s.closed and s.shutdown_requested
    assert s.begin_read() == (w.H1_NEXT_NONE, None)
    s2, t2 = fresh()
    assert s2.begin_read() == (w.H1_READ_TRANSPORT, t2)
    assert s2.request_shutdown() is t2
    assert s2.closed and s2.unpark_idle_read() is True


def test_shutdown_turns_off_keep_alive_of_next_response():
    s, t = fresh()
    _, seq, _ = accept(s)
    s.request_shutdown()
    _, head, _ = respond(s, seq)
    assert b"connection: close" in head
    assert s.finish_response(seq)[1] is True


def test_parse_failure_and_fail_read():
    s, t = fresh()
    s.begin_read()
    with pytest.raises(w.H1ParseError):
        s.accept_head(b"BAD\x00 / HTTP/1.1\r\n\r\n")
    assert s.codec.parse_error_status == 400
    assert s.fail_read() is t and s.fail_read() is None


def test_respond_head_argument_errors_change_nothing():
    s, _ = fresh()
    _, seq, _ = accept(s)
    with pytest.raises(TypeError, match="headers"):
        s.respond_head(seq, 200, {"a": "b"}, Token())
    with pytest.raises(OverflowError):
        s.respond_head(seq, 70000, None, Token())
    with pytest.raises(TypeError, match="chunked"):
        s.respond_head(seq, 200, None, Token(), chunked=1)
    assert respond(s, seq)[0] == w.H1_REQ_OK


def test_encoder_error_keeps_the_claim():
    s, _ = fresh()
    _, seq, _ = accept(s)
    with pytest.raises(w.H1UserError):
        s.respond_head(seq, 103, None, Token())
    assert respond(s, seq)[0] == w.H1_REQ_ALREADY


def test_other_argument_types():
    s, _ = fresh()
    with pytest.raises(TypeError, match="data"):
        s.accept_head("GET / HTTP/1.1\r\n\r\n")
    with pytest.raises(TypeError, match="complete"):
        s.end_body_read(1, 1)
    with pytest.raises(OverflowError):
        s.begin_body_read(-1)
    with pytest.raises(TypeError, match="data"):
        s.watcher_completed("x")


CLOSERS = {
    "fail_read": lambda s, seq: s.fail_read(),
    "mark_closed": lambda s, seq: s.mark_closed()[0],
    "fail_response": lambda s, seq: s.fail_response(seq),
    "detach": lambda s, seq: s.detach(seq)[1],
    "finish_close": lambda s, seq: (s.mark_unusable(), s.finish_response(seq))[1][2],
    "request_shutdown_idle": lambda s, seq: s.request_shutdown(),
}


@pytest.mark.parametrize("first, second", list(itertools.product(CLOSERS, repeat=2)))
def test_transport_handed_back_at_most_once(first, second):
    s, t = fresh()
    _, seq, _ = accept(s)
    respond(s, seq)
    got = [CLOSERS[first](s, seq), CLOSERS[second](s, seq)]
    returned = [x for x in got if x is not None]
    assert len(returned) <= 1 and all(x is t for x in returned)
    # Whatever happened, a final mark_closed never hands it back a second time.
    if returned:
        assert s.mark_closed()[0] is None


def test_references_released_and_cycles_collected():
    class Conn(H1ServerState):
        pass

    t, done, handle = Token(), Token(), Token()
    refs = [weakref.ref(x) for x in (t, done, handle)]
    s = Conn(w.H1Codec(), t)
    _, seq, _ = accept(s)
    s.arm_watcher(seq, done)
    s.store_watcher_handle(handle)
    t.conn = s  # cycle through the transport
    s.me = s
    sref = weakref.ref(s)
    del s, t, done, handle
    gc.collect()
    assert sref() is None and all(r() is None for r in refs)


def test_threads_never_hand_back_twice():
    for _ in range(10):
        s, t = fresh()
        _, seq, _ = accept(s)
        got, lock = [], threading.Lock()
        ops = [lambda: s.fail_response(seq), lambda: s.detach(seq)[1], lambda: s.mark_closed()[0],
               lambda: s.fail_read()]
        barrier = threading.Barrier(len(ops))

        def run(op):
            barrier.wait()
            for _ in range(30):
                r = op()
                if r is not None:
                    with lock:
                        got.append(r)

        threads = [threading.Thread(target=run, args=(op,)) for op in ops]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert got == [t]
