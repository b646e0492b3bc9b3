"""H2Streams: received HEADERS, DATA, WINDOW_UPDATE and RST_STREAM on a server engine."""
import struct
import weakref

import hpack
import pytest
from h2_pump import Handle as PlainHandle

from wirelet import _wirelet as w

BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)
WAKE, SLOT, DONE, STOP = w.H2_FLAG_WAKE, w.H2_FLAG_SLOT_FREED, w.H2_FLAG_CONN_DONE, w.H2_FLAG_STOP_ACCEPTING
OPENED, HEAD, TRAILERS, IGNORED = w.H2_HEADERS_OPENED, w.H2_HEADERS_HEAD, w.H2_HEADERS_TRAILERS, w.H2_HEADERS_IGNORED
REQ = [(":method", "POST"), (":scheme", "https"), (":path", "/"), (":authority", "a")]


def frame(ftype, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


class Handle:
    """A stream handle stand-in. Its finalizer asks the engine about its stream: were it
    released under the engine's lock, that call would deadlock."""

    def __init__(self, srv, sid):
        self.srv, self.sid = weakref.ref(srv), sid

    def __del__(self):
        srv = self.srv()
        if srv is not None:
            srv.released.append((self.sid, srv.e.has_stream(self.sid)))


class Server:
    """A server engine fed raw frames, one call per frame."""

    def __init__(self, handshake=True, **kw):
        self.e = w.H2Streams("server", **{**BASE, **kw})
        self.e.begin()
        self.enc = hpack.Encoder()
        self.released = []
        if handshake:
            assert self.feed(w.H2_PREFACE + frame(4, 0, 0))[0][2] == WAKE

    def feed(self, data, spare=True):
        return [self.apply(f, spare) for f in self.e.receive(data)]

    def apply(self, f, spare=True):
        name = type(f).__name__[7:]
        if name == "Headers":
            return self.e.recv_headers(f, Handle(self, f.stream_id) if spare else None)
        return getattr(self.e, {"Data": "recv_data", "Settings": "recv_settings", "Ping": "recv_ping",
                                "RstStream": "recv_reset", "WindowUpdate": "recv_window_update",
                                "GoAway": "recv_go_away"}[name])(f)

    def head(self, sid, end=False, extra=(), spare=True, fields=REQ):
        block = self.enc.encode(list(fields) + list(extra))
        return self.feed(frame(1, 4 | end, sid, block), spare)[0]

    def data(self, sid, payload, end=False, pad=None):
        if pad is None:
            return self.feed(frame(0, end, sid, payload))[0]
        return self.feed(frame(0, end | 8, sid, bytes([pad]) + payload + bytes(pad)))[0]

    def trailers(self, sid):
        return self.head(sid, True, fields=[("x-t", "1")])

    def one(self, ftype, sid, payload, flags=0):
        return self.feed(frame(ftype, flags, sid, payload))[0]


def raises(fn, exc, args):
    with pytest.raises(exc) as ei:
        fn()
    assert ei.value.args == args


# ---------------------------------------------------------------- HEADERS


def test_new_streams_and_their_refusals():
    s = Server(max_concurrent_streams=2)
    v = s.head(1, end=True)
    assert (v.kind, v.stream_id, v.eof, v.flags, type(v.handle)) == (OPENED, 1, True, 0, Handle)
    assert s.e.stream_state(1) == "HalfClosedRemote(AwaitingHeaders)"
    # A missing spare changes nothing: the same id is still new on the retry.
    raises(lambda: s.head(3, spare=False), ValueError,
           ("recv_headers: the server role needs a spare stream handle",))
    v = s.head(3)
    assert (v.kind, v.eof, s.e.stream_state(3)) == (OPENED, False, "Open { local: AwaitingHeaders, remote: Streaming }")
    assert (s.e.num_streams, s.e.last_processed_id) == (2, 3)
    # Over the limit: refused, and the id is spent.
    raises(lambda: s.head(5), w.H2StreamError, (5, 7, "library"))
    for sid in (5, 2):
        raises(lambda: s.head(sid), w.H2ProtocolError, (1, f"invalid new stream id {sid}"))
    # Locally reset ids and ids above the final GOAWAY's are ignored.
    s.e.reset_on_error(5, 7)
    s.e.set_max_stream_id(7)
    for sid in (5, 9):
        v = s.head(sid)
        assert (v.kind, v.handle, v.flags) == (IGNORED, None, 0)
    # The stream opened above the final GOAWAY was ignored, not idle: its later
    # frames are no connection error.
    assert s.one(8, 9, struct.pack(">I", 1)) == [] and s.one(3, 9, struct.pack(">I", 8)) is None
    assert s.data(9, b"x").handle is None
    assert s.e.num_streams == 2 and s.e.last_processed_id == 3


@pytest.mark.parametrize("cl,steps,fails_at", [
    ("10", ["d5", "d5e"], None),
    ("0", ["head_end"], None),
    ("10", ["d11"], 0),
    ("10", ["d5e"], 0),
    ("10", ["d5", "trailers"], 1),
    ("10", ["d5", "d4e"], 1),
    ("10", ["head_end"], 0),
    ("x1", [], "head"),
    (None, ["d7", "trailers"], None),
])
def test_content_length(cl, steps, fails_at):
    s = Server()
    extra = [("content-length", cl)] if cl is not None else []
    end = steps[:1] == ["head_end"]
    if fails_at == "head" or (end and fails_at == 0):
        raises(lambda: s.head(1, end=end, extra=extra), w.H2StreamError, (1, 1, "library"))
        assert s.e.has_stream(1)  # in the table, for the reset that follows
        assert s.e.reset_on_error(1, 1).flags & WAKE and not s.e.has_stream(1)
        return
    s.head(1, end=end, extra=extra)
    avail = s.e.conn_recv_available
    for i, step in enumerate(steps[end:]):
        call = (lambda: s.trailers(1)) if step == "trailers" else \
            (lambda: s.data(1, b"x" * int(step[1:].rstrip("e")), end=step.endswith("e")))
        if i == fails_at:
            raises(call, w.H2StreamError, (1, 1, "library"))
            # The refused frame's bytes went back to the connection.
            assert s.e.conn_recv_available == avail
            return
        call()
        avail = s.e.conn_recv_available
    assert fails_at is None and s.e.is_recv_end_stream(1)


@pytest.mark.parametrize("answered", [False, True])
@pytest.mark.parametrize("late", ["data", "trailers", "headers", "empty_data"])
def test_frames_after_end_stream_are_a_stream_error(late, answered):
    s = Server()
    s.head(1)
    s.data(1, b"abc", end=True)
    s.head(3)
    if answered:  # closed on both sides, the record kept for its unread bytes
        s.e.send_response_head(1, 200, w.HeaderMap(), True)
        assert s.e.stream_state(1) == "Closed(EndStream)"
    avail = s.e.conn_recv_available
    call = {"data": lambda: s.data(1, b"zz"), "empty_data": lambda: s.data(1, b""),
            "trailers": lambda: s.trailers(1), "headers": lambda: s.head(1)}[late]
    raises(call, w.H2StreamError, (1, 5, "library"))
    # A closed record went, giving its unread bytes back to the connection.
    assert s.e.conn_recv_available == avail + 3 * answered and s.e.has_stream(1) != answered
    s.e.reset_on_error(1, 5)
    # Every other stream carries on.
    assert s.data(3, b"ok", end=True).payload == b"ok"


# ---------------------------------------------------------------- DATA


def test_data_verdicts_windows_and_budget():
    s = Server(initial_window_size=20000)
    s.one(4, 0, b"", flags=1)  # the peer acknowledges our settings: stream window 20000
    s.head(1)
    v = s.data(1, b"a" * 10)
    assert (v.payload, v.budgeted, v.eof, v.flags) == (b"a" * 10, True, False, 0)
    assert s.e.stream_data_budget_charged(1) == 246
    v = s.data(1, b"")
    assert (v.payload, v.budgeted, s.e.data_frame_budget_empty_frames) == (None, False, 1)
    # Padding never reaches the application: its window goes back at once.
    v = s.data(1, b"b" * 100, pad=50)
    assert v.payload == b"b" * 100 and s.e.stream_recv_unreleased(1) == 110
    assert s.e.conn_recv_available == 65535 - 110
    s.data(1, b"c" * 16384)
    avail = s.e.conn_recv_available
    raises(lambda: s.data(1, b"c" * 16384), w.H2StreamError, (1, 3, "library"))
    assert s.e.conn_recv_available == avail
    s.head(3)
    s.data(3, b"d" * 16384)
    s.head(5)
    s.data(5, b"d" * 16384)
    # Past the connection window: a connection error, nothing changes.
    raises(lambda: s.data(5, b"d" * 16384), w.H2FlowControlError, (3,))
    assert s.e.stream_recv_unreleased(5) == 16384
    v = s.data(3, b"", end=True)
    assert (v.payload, v.eof, v.budgeted, type(v.handle)) == (b"", True, False, Handle)
    raises(lambda: s.data(7, b"x"), w.H2ProtocolError, (1, "frame on idle stream 7"))
    # The DATA budget: empty non-final frames have a lifetime cap.
    for _ in range(99):
        s.data(5, b"")
    raises(lambda: s.data(5, b""), w.H2ProtocolError, (11, "too_many_data_frames"))


def test_late_data_for_a_locally_reset_stream_is_swallowed():
    s = Server()
    s.head(1)
    for _ in range(3):
        s.data(1, b"x" * 16000)
    s.e.reset_stream(1, 8)
    assert s.e.conn_recv_available == 65535 and not s.e.has_stream(1)
    v = s.data(1, b"y" * 16000)
    assert (v.handle, v.payload, v.eof) == (None, None, False)
    # The bytes were counted and given back: a WINDOW_UPDATE once half is due.
    assert s.e.conn_recv_available == 65535
    s.e.take_pending()
    assert s.data(1, b"y" * 16000).flags == WAKE and s.e.has_pending()


# ---------------------------------------------------------------- WINDOW_UPDATE and RST_STREAM


def test_window_updates_wake_handles():
    s = Server()
    hs = [s.head(sid).handle for sid in (1, 3)]
    wu = lambda sid, n: s.one(8, sid, struct.pack(">I", n))
    assert wu(0, 1000) == hs or wu(0, 1000) == hs[::-1]
    assert wu(3, 5) == [hs[1]] and s.e.stream_send_window(3) == 65540
    raises(lambda: wu(3, 2**31 - 1), w.H2StreamError, (3, 3, "library"))
    raises(lambda: wu(0, 2**31 - 1), w.H2FlowControlError, (3,))
    raises(lambda: wu(9, 1), w.H2ProtocolError, (1, "frame on idle stream 9"))
    s.e.reset_stream(1, 8)
    assert wu(1, 1) == [] and wu(0, 1) == [hs[1]]


def test_peer_resets():
    s = Server(max_pending_accept_reset_streams=2)
    rst = lambda sid, code=8: s.one(3, sid, struct.pack(">I", code))
    h = s.head(1).handle
    s.data(1, b"x" * 100)
    handle, stop, notify, flags = rst(1)
    assert (handle, stop.reason, stop.conn, notify, flags) == (h, 8, False, True, 0)
    assert not s.e.has_stream(1) and s.e.conn_recv_available == 65535
    s.head(3, end=True)
    s.e.accepted(3)
    _, stop, notify, _ = rst(3, 2)  # the peer had ended its side: the body is complete
    assert (stop.reason, stop.conn, notify) == (2, False, False)
    assert rst(1) is None
    raises(lambda: rst(0), w.H2ProtocolError, (1, "RST_STREAM on stream 0"))
    raises(lambda: rst(11), w.H2ProtocolError, (1, "frame on idle stream 11"))
    # Resets of streams the application has not accepted yet are capped (stream 1
    # counts; stream 3 was accepted).
    s.head(5)
    rst(5)
    s.head(7)
    raises(lambda: rst(7), w.H2ProtocolError, (11, "too_many_resets"))
    s.e.accepted(1)
    assert rst(7)[2] is True


@pytest.mark.parametrize("how", ["peer_reset", "local_reset", "fail", "ignored_spare", "refused_spare",
                                 "library_reset", "answered_then_released"])
def test_handles_go_with_their_records_never_under_the_lock(how):
    s = Server(max_concurrent_streams=1)
    ref = weakref.ref(s.head(1).handle)
    s.data(1, b"x" * 10, end=True)
    assert ref() is not None and s.released == []
    if how == "peer_reset":
        s.one(3, 1, struct.pack(">I", 8))
    elif how == "local_reset":
        s.e.reset_stream(1, 8)
    elif how == "fail":
        s.e.fail()
    elif how == "ignored_spare":
        s.e.set_max_stream_id(1)
        assert s.head(3).kind == IGNORED
    elif how == "refused_spare":
        with pytest.raises(w.H2StreamError):
            s.head(3)
    elif how == "library_reset":
        s.e.reset_on_error(1, 1)
    else:
        # Both sides ended: the stream is counted out, but its record (and
        # handle) stay until the application releases what it received.
        assert s.e.send_response_head(1, 200, w.HeaderMap(), True).flags & WAKE
        assert s.e.num_streams == 0 and s.e.has_stream(1) and ref() is not None
        s.e.release_capacity(1, 4)
        assert ref() is not None
        s.e.release_capacity(1, 6)
    # Released once the record went, after the engine's lock was dropped (the
    # finalizer's has_stream call would otherwise deadlock).
    gone = 3 if how.endswith("spare") else 1
    assert s.released == [(gone, False)]
    assert (ref() is None) == (gone == 1) and s.e.has_stream(1) == (gone == 3)


@pytest.mark.parametrize("setup,flags", [
    (lambda s: None, 0),
    (lambda s: s.one(7, 0, struct.pack(">II", 0, 0)), WAKE | DONE),
    (lambda s: (s.e.begin_graceful_shutdown(), s.one(6, 0, b"SHUTDOWN", flags=1)), STOP),
])
def test_close_bookkeeping_flags(setup, flags):
    s = Server()
    s.head(1, end=True)
    setup(s)
    assert s.e.maybe_goaway_reply() == 0  # a stream is still active
    assert s.one(3, 1, struct.pack(">I", 8))[3] == flags
    assert s.e.num_streams == 0 and s.e.stream_limit is None


def client_stream(is_head=False):
    """A client engine with stream 1 open (request sent whole) and a raw server encoder."""
    c = w.H2Streams("client", **BASE)
    c.begin()
    assert c.try_claim_slot()
    h = PlainHandle()
    sid = c.open_stream("HEAD" if is_head else "GET", "/", w.HeaderMap(), True, is_head, h,
                        scheme="https", authority="a")
    return c, sid, weakref.ref(h), hpack.Encoder()


@pytest.mark.parametrize("is_head,frames,expect", [
    (False, ["h100", "h200", "d2e"], [(IGNORED, False, False, 0), (HEAD, True, False, 0), ("ab", True, SLOT)]),
    (False, ["h200 cl2", "d2", "t"], [(HEAD, True, False, 0), ("ab", False, 0), (TRAILERS, True, True, SLOT)]),
    (True, ["h200 cl10 e"], [(HEAD, True, True, SLOT)]),
    (True, ["h200 cl10", "d0e"], [(HEAD, True, False, 0), ("", True, SLOT)]),
    (False, ["h304 cl10 e"], [(HEAD, True, True, SLOT)]),
    (False, ["goaway", "h200", "d2e"], [None, (HEAD, True, False, 0), ("ab", True, SLOT | WAKE | DONE)]),
    (False, ["h200 cl10 e"], [("err", 1)]),
    (False, ["h204 cl10 e"], [(HEAD, True, True, SLOT)]),
    (False, ["h100 e"], [("err", 1)]),
    (False, ["h200 cl2", "d2", "d2"], [(HEAD, True, False, 0), ("ab", False, 0), ("err", 1)]),
    (True, ["h200 cl10", "d2"], [(HEAD, True, False, 0), ("err", 1)]),
    (False, ["h200", "h200"], [(HEAD, True, False, 0), ("err", 1)]),
    (False, ["h200", "d2e", "d2"], [(HEAD, True, False, 0), ("ab", True, SLOT), ("err", 5)]),
])
def test_client_verdicts(is_head, frames, expect):
    c, sid, ref, enc = client_stream(is_head)
    for spec, want in zip(frames, expect):
        words = spec.split()
        if spec == "goaway":
            raw = frame(7, 0, 0, struct.pack(">II", 1, 0))
        elif spec == "t":
            raw = frame(1, 5, sid, enc.encode([("x-t", "1")]))
        elif spec[0] == "h":
            fields = [(":status", words[0][1:])] + [("content-length", x[2:]) for x in words[1:] if x[:2] == "cl"]
            raw = frame(1, 4 | ("e" in words), sid, enc.encode(fields))
        else:
            raw = frame(0, spec.endswith("e"), sid, b"ab"[:int(spec[1])])
        [f] = c.receive(raw)
        call = {w.H2FrameHeaders: c.recv_headers, w.H2FrameData: c.recv_data,
                w.H2FrameGoAway: c.recv_go_away}[type(f)]
        if want and want[0] == "err":
            raises(lambda: call(f), w.H2StreamError, (sid, want[1], "library"))
            c.reset_on_error(sid, want[1])
            break
        v = call(f)
        if want is None:
            continue
        if isinstance(want[0], str):
            assert (v.payload, v.eof, v.flags, v.handle is ref()) == (want[0].encode(), want[1], want[2], True)
        else:
            assert (v.kind, v.handle is not None, v.eof, v.flags) == want
            assert v.handle is None or v.handle is ref()
    # The slot went back exactly once, and the handle with the last byte released.
    v = None
    assert c.num_open_streams == 0 and c.num_streams == 0
    c.release_capacity(sid, 2)
    c.release_data_frame(sid, 2)
    c.release_slot_count()
    assert c.num_open_streams == 0 and not c.has_stream(sid) and ref() is None


@pytest.mark.parametrize("name", ["recv_headers", "recv_data", "recv_window_update", "recv_reset"])
def test_frame_argument_type(name):
    ping = Server().e.receive(frame(6, 0, 0, b"12345678"))[0]
    with pytest.raises(TypeError, match=f"{name}\\(\\) argument 'frame' must be H2Frame"):
        getattr(Server().e, name)(ping)
