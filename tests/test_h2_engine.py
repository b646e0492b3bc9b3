"""H2Streams: construction, attributes, the handshake and write batches."""

import inspect

import pytest

from wirelet import _wirelet as w

BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)


def engine(role="client", **kw):
    return w.H2Streams(role, **{**BASE, **kw})


ATTRS = {
    "is_server": False, "graceful": False, "shutdown_final": False, "num_streams": 0,
    "num_open_streams": 0, "stream_limit": None, "last_processed_id": 0,
    "max_stream_id": 2**31 - 1, "conn_send_window": 65535, "conn_recv_available": 65535,
    "data_frame_budget_available": 32767, "data_frame_budget_empty_frames": 0,
    "peer_initial_window_size": 65535, "peer_max_frame_size": 16384,
    "peer_max_concurrent_streams": None, "max_pending_accept_reset_streams": 20,
    "max_local_error_reset_streams": 1024, "local_error_resets": 0, "goaway_replied": False,
}


def test_fresh_engine_attributes_repr_and_frozen():
    e = engine()
    assert {k: getattr(e, k) for k in ATTRS} == ATTRS
    assert repr(e) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"
    assert repr(engine("server")).startswith("H2Streams(role=server,")
    with pytest.raises(AttributeError):
        e.num_streams = 3
    with pytest.raises(AttributeError):
        e.anything = 1

    class Driver(w.H2Streams):
        pass

    d = Driver("server", **BASE)
    d.extra = 1  # subclasses add their own machinery
    assert d.is_server and d.extra == 1


SIGNATURES = {
    "begin": "()", "store_task_handles": "(read, pump)", "take_pending": "()",
    "receive": "(data)", "recv_headers": "(frame, spare=None)",
    "fail": "(exc=None, message='connection closed')",
    "open_stream": "(method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None)",
    "send_data": "(sid, data, offset, end_stream)",
    "reset_stream": "(sid, reason, initiator='user')",
    "release_data_frame": "(sid, payload_len)",
}


@pytest.mark.parametrize("name,sig", SIGNATURES.items())
def test_text_signatures(name, sig):
    s = str(inspect.signature(getattr(w.H2Streams, name)))
    assert s.replace("self, /, ", "").replace("(self, /)", "()") == sig


@pytest.mark.parametrize("kw,exc,msg", [
    (dict(role="Client"), ValueError, "role must be 'client' or 'server', got \"Client\""),
    (dict(role='a"b'), ValueError, "role must be 'client' or 'server', got \"a\\\"b\""),
    (dict(max_frame_size=16383), ValueError, "max_frame_size must be in [16384, 16777215], got 16383"),
    (dict(max_frame_size=16777216), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16777216"),
    (dict(initial_window_size=2**31), ValueError,
     "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    (dict(connection_window=2**31), ValueError, "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    # The role is checked first.
    (dict(role="x", max_frame_size=1), ValueError, "role must be 'client' or 'server', got \"x\""),
    (dict(max_frame_size="big"), TypeError, "argument 'max_frame_size' must be int"),
    (dict(initial_window_size=2**32), OverflowError, "initial_window_size"),
    (dict(enable_push=1), TypeError, "enable_push"),
])
def test_constructor_validation(kw, exc, msg):
    args = {**BASE, "role": "client", **kw}
    role = args.pop("role")
    with pytest.raises(exc) as ei:
        w.H2Streams(role, **args)
    assert msg in str(ei.value)


@pytest.mark.parametrize("kw,budget", [
    (dict(), 32767), (dict(connection_window=100000), 50000), (dict(connection_window=51201), 25600),
    (dict(connection_window=51202), 25601), (dict(data_frame_budget=7), 7),
])
def test_data_budget_size(kw, budget):
    assert engine(**kw).data_frame_budget_available == budget


def test_limits_accepted_at_their_bounds():
    for kw in (dict(max_frame_size=16384), dict(max_frame_size=16777215),
               dict(initial_window_size=2**31 - 1), dict(max_local_error_reset_streams=None)):
        engine(**kw)
    assert engine(max_local_error_reset_streams=None).max_local_error_reset_streams is None


# ---------------------------------------------------------------------------
# handshake, write batches, connection control

import ctypes
import gc
import struct

import h2.config
import h2.connection
import h2.events
import hpack
import hyperframe.frame as hf

from h2_pump import deliver, engine as mk, feed, handshake, take

PREFACE = w.H2_PREFACE


def frame(ftype, flags, sid, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid) + payload


def settings(*pairs, ack=False):
    return frame(4, 1 if ack else 0, 0, b"".join(struct.pack(">HI", k, v) for k, v in pairs))


def ping(payload=b"12345678", ack=False):
    return frame(6, 1 if ack else 0, 0, payload)


def goaway(last, code, debug=b""):
    return frame(7, 0, 0, struct.pack(">II", last, code) + debug)


def window_update(sid, inc):
    return frame(8, 0, sid, struct.pack(">I", inc))


@pytest.mark.parametrize("role,kw,expected", [
    ("client", dict(), PREFACE + settings((4, 65535), (5, 16384), (6, 16384))),
    ("client", dict(connection_window=1048576),
     PREFACE + settings((4, 65535), (5, 16384), (6, 16384)) + window_update(0, 983041)),
    # Half the advertised window is the threshold: 98302 announces 32767 at once, 98301 nothing.
    ("client", dict(connection_window=98302),
     PREFACE + settings((4, 65535), (5, 16384), (6, 16384)) + window_update(0, 32767)),
    ("client", dict(connection_window=98301), PREFACE + settings((4, 65535), (5, 16384), (6, 16384))),
    ("server", dict(max_concurrent_streams=7, enable_push=False, initial_window_size=1000),
     settings((2, 0), (3, 7), (4, 1000), (5, 16384), (6, 16384))),
    # Only a server announces its stream limit.
    ("client", dict(max_concurrent_streams=7, enable_push=True),
     PREFACE + settings((2, 1), (4, 65535), (5, 16384), (6, 16384))),
])
def test_handshake_bytes(role, kw, expected):
    e = mk(role, **kw)
    assert not e.has_pending()
    e.begin()
    assert e.has_pending()
    assert take(e) == expected and not e.has_pending()


def test_settings_exchange_and_ack_rules():
    c, s = mk(), mk("server")
    c.begin()
    s.begin()
    [(f, r)], _ = deliver(c, s)
    assert type(f) is w.H2FrameSettings and r == (True, [], w.H2_FLAG_WAKE)
    res, _ = deliver(s, c)
    assert [r for _, r in res] == [(True, [], 1), (False, [], 0)]
    assert [r for _, r in deliver(c, s)[0]] == [(False, [], 0)]
    # A second peer SETTINGS is not the initial one; it is acknowledged again.
    assert feed(s, settings((3, 5), (1, 8192)))[0][0][1] == (False, [], 1)
    assert s.peer_max_concurrent_streams == 5 and s.stream_limit is None  # the server only records
    assert take(s) == settings(ack=True)
    # The client takes the peer's stream limit as its own and wakes slot waiters.
    assert feed(c, settings((3, 0), (5, 32768)))[0][0][1] == (False, [], 1 | 2)
    assert (c.stream_limit, c.peer_max_concurrent_streams, c.peer_max_frame_size) == (0, 0, 32768)
    # ACK with nothing outstanding, and ACK before begin.
    for e in (c, mk("server")):
        with pytest.raises(w.H2ProtocolError) as ei:
            e.recv_settings(w.H2Codec("client").receive(settings(ack=True))[0])
        assert ei.value.args == (1, "received unexpected settings ack")


def test_ping_answered_and_graceful_shutdown_both_phases():
    c, s = mk(), mk("server")
    handshake(c, s)
    assert feed(c, ping(b"abcdefgh"))[0][0][1] == w.H2_FLAG_WAKE
    assert take(c) == ping(b"abcdefgh", ack=True)
    # A SHUTDOWN ack means nothing to a client, or to a server not shutting down.
    assert feed(c, ping(b"SHUTDOWN", ack=True))[0][0][1] == 0
    assert feed(s, ping(b"SHUTDOWN", ack=True))[0][0][1] == 0
    assert not c.has_pending() and not s.has_pending()

    s.set_last_processed_id(7)
    assert s.begin_graceful_shutdown() == w.H2_FLAG_WAKE
    assert s.begin_graceful_shutdown() == 0  # once only
    assert (s.graceful, s.shutdown_final, s.max_stream_id) == (True, False, 2**31 - 1)
    res, reply = deliver(s, c)
    assert [r for _, r in res] == [([], w.H2_FLAG_SLOT_FREED), w.H2_FLAG_WAKE]
    assert reply == 0  # the peer's graceful first GOAWAY does not call for a reply
    assert c.goaway_info() == (2**31 - 1, 0, b"") and c.is_closed() and not c.is_failed()
    # Phase 2: the ping comes back; the final GOAWAY carries the last processed id.
    [(_, flags)], _ = deliver(c, s)
    assert flags == w.H2_FLAG_WAKE | w.H2_FLAG_STOP_ACCEPTING  # already drained
    assert (s.shutdown_final, s.max_stream_id) == (True, 7)
    assert take(s) == goaway(7, 0)


def test_goaway_both_ways_and_failure():
    c, s = mk(), mk("server")
    handshake(c, s)
    s.set_last_processed_id(3)
    assert c.send_goaway(w.H2Reason.PROTOCOL_ERROR) == 1 and s.send_goaway(11) == 1
    assert take(c) == goaway(0, 1) and take(s) == goaway(3, 11)
    res, reply = feed(s, goaway(0, 1, b"dbg"))
    assert res[0][1] == ([], 0) and reply == 5 and s.goaway_replied
    assert take(s) == goaway(3, 0)
    assert s.goaway_info() == (0, 1, b"dbg") and s.is_failed()
    err = s.conn_error()
    assert type(err) is w.ConnectionClosedError and err.args == ("connection closed: GOAWAY exchanged",)
    assert s.conn_error() is not err
    assert repr(s) == "H2Streams(role=server, streams=0, active=0, failed=true, goaway=true)"
    # A later GOAWAY may lower the last stream id but never raise it.
    feed(c, goaway(5, 0))
    with pytest.raises(w.H2ProtocolError) as ei:
        feed(c, goaway(6, 0))
    assert ei.value.args == (1, "GOAWAY may not raise last_stream_id")
    feed(c, goaway(1, 2, b"x"))
    assert c.goaway_info() == (1, 2, b"x")
    # The first failure is kept (here the reply the client sent once idle).
    exc = ValueError("boom")
    assert c.fail(exc) == [] and c.conn_error().args == ("connection closed: GOAWAY exchanged",)
    d = mk()
    assert d.fail(exc) == [] and d.conn_error() is exc
    assert d.fail(None, "later") == [] and d.conn_error() is exc
    d = mk()
    assert d.conn_error() is None and d.goaway_info() is None and not d.is_closed()
    d.fail()
    assert d.conn_error().args == ("connection closed",) and d.is_closed()


def test_task_handles_and_stop_pump():
    e = mk()
    r, p = object(), object()
    e.store_task_handles(r, p)
    e.store_task_handles(p, r)
    assert e.take_read_handle() is p and e.take_read_handle() is None
    assert e.take_pump_handle() is r and e.take_pump_handle() is None
    view, stopping = e.take_pending()
    assert (len(view), stopping) == (0, False)
    e.stop_pump()
    assert e.take_pending()[1] is True


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


def address(view):
    b = PyBuffer()
    ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(view), ctypes.byref(b), 0)
    try:
        return b.buf
    finally:
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(b))


def test_write_batches_export_and_reuse():
    e = mk()
    e.begin()
    view, _ = e.take_pending()
    assert (view.readonly, view.ndim, view.format, view.itemsize) == (True, 1, "B", 1)
    assert type(view.obj).__name__ == "H2WriteBatch" and bytes(view[:24]) == PREFACE
    with pytest.raises(TypeError):
        view[0] = 0
    with pytest.raises(TypeError):
        type(view.obj)()
    first = address(view)
    # The released buffer comes back as the spare: with one batch in flight at a
    # time the engine alternates between two buffers and allocates nothing new.
    del view
    seen = set()
    for i in range(20):
        e.send_goaway(i)
        view, _ = e.take_pending()
        assert bytes(view) == goaway(0, i)
        seen.add(address(view))
        del view
    assert first in seen and len(seen) == 2
    # Views outlive the engine, and batches outlive each other in any order.
    e.send_goaway(1)
    v1, _ = e.take_pending()
    e.send_goaway(2)
    v2, _ = e.take_pending()
    del e
    gc.collect()
    assert bytes(v1) == goaway(0, 1) and bytes(v2) == goaway(0, 2)
    del v1, v2
    gc.collect()


@pytest.mark.parametrize("flood", [ping(), settings()])
def test_ack_flood_cap(flood):
    e = mk("server")
    e.begin()
    take(e)
    feed(e, PREFACE + flood * 1000)
    with pytest.raises(w.H2ProtocolError) as ei:
        feed(e, flood)
    assert ei.value.args[0] == 11
    assert take(e).count(flood[:3] + flood[3:4]) == 1000  # exactly 1000 ACKs queued
    feed(e, flood)  # a writer that drains resets the count
    assert e.has_pending()


def test_our_limits_hold_before_the_ack():
    big = hpack.Encoder().encode([(":method", "GET"), (":scheme", "https"), (":authority", "a"),
                                  (":path", "/"), ("x", "y" * 5000)])
    headers = hf.HeadersFrame(1, data=big, flags=["END_HEADERS"]).serialize()
    e = mk("server", max_header_list_size=1000)
    e.begin()
    with pytest.raises(w.H2ProtocolError) as ei:
        e.receive(PREFACE + headers)
    assert ei.value.args == (11, "decoded header list size over abuse limit")
    # Frames up to the size we announce are legal before the peer's ACK.
    data = frame(0, 0, 1, b"z" * 20000)
    e = mk("server", max_frame_size=32768)
    e.begin()
    [f] = e.receive(PREFACE + data)
    assert len(f.data) == 20000
    e = mk("server")
    e.begin()
    with pytest.raises(w.H2ProtocolError):
        e.receive(PREFACE + data)


def test_prime_matches_the_preface():
    e = mk("server")
    assert e.prime(PREFACE[:10]) is None and e.prime(PREFACE[10:]) is True
    assert e.receive(ping())[0].data == b"12345678"
    assert mk("server").prime(b"GET / HTTP/1.1\r\n") is False
    c = mk()
    assert c.prime(ping()[:5]) is True and len(c.receive(ping()[5:])) == 1


# ---------------------------------------------------------------------------
# interop with the h2 package


def h2conn(client):
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client, header_encoding=None))
    conn.initiate_connection()
    return conn


def test_h2_client_against_our_server():
    peer, s = h2conn(True), mk("server")
    s.begin()
    res, _ = feed(s, peer.data_to_send())
    assert [r for _, r in res] == [(True, [], 1)]
    events = peer.receive_data(take(s))
    assert {type(ev) for ev in events} == {h2.events.RemoteSettingsChanged, h2.events.SettingsAcknowledged}
    peer.ping(b"pingpong")
    feed(s, peer.data_to_send())
    [ev] = [ev for ev in peer.receive_data(take(s)) if isinstance(ev, h2.events.PingAckReceived)]
    assert ev.ping_data == b"pingpong"
    s.send_goaway(0)
    [ev] = peer.receive_data(take(s))
    assert isinstance(ev, h2.events.ConnectionTerminated) and ev.error_code == 0


def test_our_client_against_h2_server():
    peer, c = h2conn(False), mk(connection_window=1 << 20)
    c.begin()
    events = peer.receive_data(take(c))
    assert any(isinstance(ev, h2.events.RemoteSettingsChanged) for ev in events)
    assert peer.outbound_flow_control_window == 1 << 20
    res, _ = feed(c, peer.data_to_send())
    # The server's stream limit wakes slot waiters.
    assert [r for _, r in res] == [(True, [], 3), (False, [], 0)]
    assert c.stream_limit == peer.local_settings.max_concurrent_streams
    peer.receive_data(take(c))
    peer.ping(b"12345678")
    feed(c, peer.data_to_send())
    [ev] = peer.receive_data(take(c))
    assert isinstance(ev, h2.events.PingAckReceived)
    peer.close_connection(error_code=0, last_stream_id=0)
    res, reply = feed(c, peer.data_to_send())
    assert reply == 5 and c.goaway_info() == (0, 0, b"")


def test_credit_written_one_handle_per_stream():
    from h2_pump import Handle, deliver

    c, s = mk(), mk("server")
    handshake(c, s)
    hs = [Handle(str(i)) for i in range(2)]
    sids = []
    for h in hs:
        c.try_claim_slot()
        sids.append(c.open_stream("POST", "/", None, False, False, h, scheme="https", authority="a"))
    for sid in (sids[0], sids[1], sids[0], sids[0]):
        assert c.send_data(sid, b"x" * 100, 0, False).sent == 100
    assert c.stream_send_buffered(sids[0]) == 300
    view, _ = c.take_pending()
    c.send_data(sids[0], b"x" * 5, 0, False)  # belongs to the next batch
    del view
    assert c.credit_written() == hs  # one per stream, in first-seen order
    assert (c.stream_send_buffered(sids[0]), c.stream_send_buffered(sids[1])) == (5, 0)
    c.take_pending()
    c.reset_stream(sids[0], 8)
    assert c.credit_written() == []  # the stream went in between


@pytest.mark.parametrize("data,err", [
    (settings((5, 16383)), (1, "failed to load frame: InvalidSettingValue")),
    (settings((5, 16777216)), (1, "failed to load frame: InvalidSettingValue")),
    (settings((4, 2**31)), (1, "failed to load frame: InvalidSettingValue")),
    (settings((2, 2)), (1, "failed to load frame: InvalidSettingValue")),
    (window_update(5, 1), (1, "frame on idle stream 5")),
    (frame(3, 0, 7, struct.pack(">I", 8)), (1, "frame on idle stream 7")),
    (frame(3, 0, 0, struct.pack(">I", 8)), (1, "RST_STREAM on stream 0")),
])
def test_hostile_settings_and_idle_stream_frames(data, err):
    e = mk("server")
    e.begin()
    feed(e, PREFACE)
    with pytest.raises(w.H2ProtocolError) as ei:
        feed(e, data)
    assert ei.value.args == err


def test_initial_window_overflow_refused_before_anything_applies():
    c = mk()
    c.begin()
    c.try_claim_slot()
    sid = c.open_stream("GET", "/", None, True, False, object(), scheme="https", authority="a")
    feed(c, settings((4, 65535)) + window_update(sid, 2**31 - 1 - 65535))
    take(c)
    assert c.stream_send_window(sid) == 2**31 - 1 and c.stream_state(sid).startswith("HalfClosedLocal")
    c2 = mk()
    c2.begin()
    c2.try_claim_slot()
    sid2 = c2.open_stream("POST", "/", None, False, False, object(), scheme="https", authority="a")
    feed(c2, window_update(sid2, 2**31 - 1 - 65535))
    take(c2)
    with pytest.raises(w.H2FlowControlError) as ei:
        feed(c2, settings((5, 32768), (3, 9), (4, 65536)))
    assert ei.value.args == (3,)
    # Nothing was applied or acknowledged.
    assert (c2.peer_max_frame_size, c2.peer_max_concurrent_streams, c2.peer_initial_window_size) == (16384, None, 65535)
    assert not c2.has_pending() and c2.stream_send_window(sid2) == 2**31 - 1
    # A stream whose sending side is closed is not shifted, so the same SETTINGS applies there.
    feed(c, settings((5, 32768), (4, 65536)))
    assert c.peer_initial_window_size == 65536 and c.stream_send_window(sid) == 2**31 - 1
