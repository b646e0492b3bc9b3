"""H2Streams: resets, body close, capacity release, the reset store and the
abuse limits, driven with raw frames from a scripted peer."""

import gc
import struct
import threading
import time
import weakref

import hpack
import hyperframe.frame as hf
import pytest

from h2_pump import Handle, engine, feed, take
from wirelet import _wirelet as w

MAXID = 2**31 - 1


class Peer:
    """A scripted client talking to a server engine with raw frames."""

    def __init__(self, **kw):
        self.e = engine("server", **kw)
        self.enc = hpack.Encoder()
        self.handles = {}
        self.e.begin()
        take(self.e)
        self.send(w.H2_PREFACE + hf.SettingsFrame(0).serialize() + hf.SettingsFrame(0, flags=["ACK"]).serialize())
        take(self.e)

    def spare(self):
        h = Handle()
        return h

    def send(self, data):
        return [r for _, r in feed(self.e, data, self.spare)[0]]

    def request(self, sid, end=False, extra=()):
        block = self.enc.encode([(":method", "POST"), (":scheme", "https"), (":authority", "a"),
                                 (":path", "/"), *extra])
        flags = ["END_HEADERS"] + (["END_STREAM"] if end else [])
        [v] = self.send(hf.HeadersFrame(sid, data=block, flags=flags).serialize())
        if v.kind == w.H2_HEADERS_OPENED:
            self.handles[sid] = v.handle
        return v

    def data(self, sid, n, end=False):
        sizes = [16384] * (n // 16384) + ([n % 16384] if n % 16384 or not n else [])
        frames = [hf.DataFrame(sid, b"x" * k, flags=["END_STREAM"] if end and i == len(sizes) - 1 else [])
                  for i, k in enumerate(sizes)]
        return self.send(b"".join(f.serialize() for f in frames))

    def rst(self, sid, code=8):
        return self.send(hf.RstStreamFrame(sid, error_code=code).serialize())

    def sent(self):
        data, out = take(self.e), []
        while data:
            n = int.from_bytes(data[:3], "big")
            f, _ = hf.Frame.parse_frame_header(memoryview(data[:9]))
            f.parse_body(memoryview(data[9:9 + n]))
            out.append(f)
            data = data[9 + n:]
        return out


def kinds(frames):
    return [(type(f).__name__, f.stream_id) for f in frames]


def test_reset_open_stream_then_late_frames():
    p = Peer()
    p.request(1)
    p.data(1, 40000)
    h = p.handles[1]
    r = p.e.reset_stream(1, w.H2Reason.CANCEL)
    assert (r.handle, r.stop.reason, r.stop.conn, r.flags) == (h, 8, False, w.H2_FLAG_WAKE)
    # The unread bytes go back to the connection before the reset goes out.
    sent = p.sent()
    assert kinds(sent) == [("WindowUpdateFrame", 0), ("RstStreamFrame", 1)]
    assert sent[0].window_increment == 40000 and sent[1].error_code == 8
    assert p.e.in_reset_store(1) and not p.e.has_stream(1) and p.e.num_streams == 0
    # A second reset finds nothing; late frames within the second are swallowed.
    r = p.e.reset_stream(1, 8)
    assert (r.handle, r.stop, r.flags) == (None, None, 0)
    [v] = p.data(1, 100)
    assert (v.handle, v.payload, v.eof) == (None, None, False)
    assert p.request(1).kind == w.H2_HEADERS_IGNORED
    assert p.send(hf.WindowUpdateFrame(1, window_increment=5).serialize()) == [[]]
    assert p.rst(1) == [None]
    assert p.e.conn_recv_available == 65535 and p.e.local_error_resets == 0


def test_late_frame_after_the_reset_store_second_is_answered_but_not_counted():
    p = Peer(max_local_error_reset_streams=0)
    p.request(1)
    p.e.reset_stream(1, 8)
    p.sent()
    time.sleep(1.05)
    with pytest.raises(w.H2StreamError) as ei:
        p.data(1, 10)
    assert ei.value.args == (1, 5, "library")
    r = p.e.reset_on_error(1, 5)
    assert (r.handle, r.stop, r.flags) == (None, None, w.H2_FLAG_WAKE)
    assert kinds(p.sent()) == [("RstStreamFrame", 1)]
    # Late frames never count toward the cap of resets for peer errors.
    assert p.e.local_error_resets == 0 and p.e.in_reset_store(1)
    assert p.e.conn_recv_available == 65535  # the swallowed bytes were given back


def test_reset_on_error_cap_and_arguments():
    p = Peer(max_local_error_reset_streams=2)
    for sid in (1, 3, 5):
        p.request(sid)
    for sid in (1, 3):
        assert p.e.reset_on_error(sid, 1).stop.reason == 1
    with pytest.raises(w.H2ProtocolError) as ei:
        p.e.reset_on_error(5, 1)
    assert ei.value.args == (11, "too many stream resets")
    assert p.e.local_error_resets == 3 and p.e.has_stream(5)
    with pytest.raises(ValueError):
        p.e.reset_on_error(0, 1)
    with pytest.raises(ValueError) as ei:
        p.e.reset_stream(5, 8, "User")
    assert str(ei.value) == "initiator must be 'user' | 'library' | 'remote', got \"User\""
    assert p.e.reset_stream(5, 2, initiator="remote").stop.reason == 2
    unlimited = Peer(max_local_error_reset_streams=None)
    for sid in range(1, 60, 2):
        unlimited.request(sid)
        unlimited.e.reset_on_error(sid, 1)
    assert unlimited.e.local_error_resets == 30


def test_aclose_body_before_and_after_end_stream():
    p = Peer()
    p.request(1)
    p.data(1, 40000, end=True)
    # The whole body is in: no reset, the unread bytes' window goes back, and
    # the stream stays active because its response is still due.
    r = p.e.aclose_body(1)
    assert (r.handle, r.stop, r.flags) == (None, None, w.H2_FLAG_WAKE)
    assert kinds(p.sent()) == [("WindowUpdateFrame", 0)]
    assert p.e.has_stream(1) and p.e.num_streams == 1 and p.e.stream_recv_reclaimed(1)
    assert p.e.release_capacity(1, 1000) == 0
    # Before END_STREAM: RST_STREAM(CANCEL).
    p.request(3)
    r = p.e.aclose_body(3)
    assert r.handle is p.handles[3] and r.stop.reason == 8
    assert kinds(p.sent()) == [("RstStreamFrame", 3)]
    assert p.e.aclose_body(99).flags == 0


def test_release_capacity_aggregates_updates():
    p = Peer()
    p.request(1)
    p.data(1, 40000)  # both windows now 25535
    assert p.e.stream_recv_unreleased(1) == 40000
    assert p.e.release_capacity(1, 12766) == 0 and not p.e.has_pending()
    assert p.e.release_capacity(1, 1) == w.H2_FLAG_WAKE
    sent = p.sent()
    assert [(type(f).__name__, f.stream_id, f.window_increment) for f in sent] == [
        ("WindowUpdateFrame", 1, 12767), ("WindowUpdateFrame", 0, 12767)]
    # Releasing more than was received grants only what was received.
    p.e.release_capacity(1, 10**6)
    assert sum(f.window_increment for f in p.sent() if f.stream_id == 0) == 40000 - 12767
    assert p.e.stream_recv_unreleased(1) == 0 and p.e.conn_recv_available == 65535


def test_peer_resets_of_unaccepted_streams_are_capped():
    p = Peer(max_pending_accept_reset_streams=2)
    for sid in (1, 3, 5, 7):
        p.request(sid)
    p.e.accepted(1)
    assert p.rst(1)[0][0] is p.handles[1]  # accepted: does not count
    p.rst(3)
    p.rst(5)
    with pytest.raises(w.H2ProtocolError) as ei:
        p.rst(7)
    assert ei.value.args == (11, "too_many_resets")
    p.e.accepted(3)  # pulled by the application: no longer counts
    assert p.rst(7)[0][1].reason == 8


def test_rapid_reset_rate_limit():
    p = Peer(max_pending_accept_reset_streams=10**9, max_concurrent_streams=10**6)
    sid, t0 = 1, time.monotonic()
    for _ in range(1000):
        p.request(sid)
        p.rst(sid)
        p.e.accepted(sid)
        sid += 2
    # The burst is spent; only the refill of 33 a second remains.
    refill = int((time.monotonic() - t0) * 33) + 1
    with pytest.raises(w.H2ProtocolError) as ei:
        for _ in range(refill + 1):
            p.request(sid)
            p.rst(sid)
            sid += 2
    assert ei.value.args == (11, "too many stream resets received")


def test_reset_during_graceful_shutdown_stops_accepting():
    p = Peer()
    p.request(1)
    p.e.begin_graceful_shutdown()
    p.request(3)  # still accepted before the ping comes back
    p.sent()
    [flags] = p.send(hf.PingFrame(0, opaque_data=b"SHUTDOWN", flags=["ACK"]).serialize())
    assert flags == w.H2_FLAG_WAKE and p.e.max_stream_id == 3
    assert p.request(5).kind == w.H2_HEADERS_IGNORED
    assert p.e.reset_stream(1, 8).flags == w.H2_FLAG_WAKE
    assert p.e.reset_stream(3, 8).flags == w.H2_FLAG_WAKE | w.H2_FLAG_STOP_ACCEPTING
    # Frames for ids above the final GOAWAY are discarded, not idle-stream errors.
    assert p.send(hf.WindowUpdateFrame(7, window_increment=5).serialize()) == [[]]


def test_handles_released_with_their_records():
    p = Peer()
    p.request(1)
    p.data(1, 100, end=True)
    ref = weakref.ref(p.handles.pop(1))
    gc.collect()
    assert ref() is not None  # the record owes 100 bytes
    p.e.aclose_body(1)
    p.e.send_response_head(1, 200, None, True)
    gc.collect()
    assert ref() is None and not p.e.has_stream(1)


def test_rapid_open_reset_loop_keeps_memory_flat():
    from h2_memory_probe import malloc_in_use

    p = Peer(max_pending_accept_reset_streams=10**9)
    sid = 1

    def rounds(n):
        nonlocal sid
        for _ in range(n):
            p.request(sid)
            p.e.accepted(sid)
            p.e.reset_stream(sid, 8)
            take(p.e)
            p.handles.clear()
            sid += 2

    rounds(2000)
    gc.collect()
    before = malloc_in_use()
    rounds(50000)
    gc.collect()
    assert malloc_in_use() - before < 64 * 1024


def test_threads_send_release_and_reset_while_receiving():
    """Several threads reset, release, close and drain while one feeds frames."""
    p = Peer(max_pending_accept_reset_streams=10**9, max_local_error_reset_streams=None,
             max_concurrent_streams=10**6)
    enc = hpack.Encoder()
    block = enc.encode([(":method", "POST"), (":scheme", "https"), (":authority", "a"), (":path", "/")])
    script = []
    for sid in range(1, 4001, 2):
        script.append(hf.HeadersFrame(sid, data=block, flags=["END_HEADERS"]).serialize()
                      + hf.DataFrame(sid, b"y" * 300).serialize()
                      + hf.DataFrame(sid, b"y" * 10, flags=["END_STREAM"]).serialize())
    stop = threading.Event()
    errors = []

    def feeder():
        try:
            for chunk in script:
                for f in p.e.receive(chunk):
                    try:
                        v = p.e.recv_headers(f, Handle()) if type(f) is w.H2FrameHeaders else p.e.recv_data(f)
                    except w.H2StreamError as err:
                        p.e.reset_on_error(err.args[0], err.args[1])
                        continue
                    if type(f) is w.H2FrameData and v.payload is not None:
                        p.e.release_capacity(f.stream_id, f.flow_controlled_len)
        except Exception as err:  # noqa: BLE001
            errors.append(err)
        finally:
            stop.set()

    def worker(k):
        try:
            i = 0
            while not stop.is_set():
                sid = 1 + 2 * (i % 2000)
                op = (i + k) % 5
                if op == 0:
                    p.e.reset_stream(sid, 8)
                elif op == 1:
                    p.e.release_capacity(sid, 100)
                elif op == 2:
                    p.e.aclose_body(sid)
                elif op == 3:
                    take(p.e)
                else:
                    p.e.send_data(sid, b"z" * 50, 0, False)
                i += 7
        except Exception as err:  # noqa: BLE001
            errors.append(err)

    threads = [threading.Thread(target=feeder)] + [threading.Thread(target=worker, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "deadlock"
    assert errors == []
    # Whatever the interleaving: every stream still listed is known, counts agree.
    live = [sid for sid in range(1, 4001, 2) if p.e.has_stream(sid)]
    assert p.e.num_streams <= len(live)
    for sid in live:
        p.e.reset_stream(sid, 8)
    assert p.e.num_streams == 0 and repr(p.e).startswith("H2Streams(role=server, streams=0, active=0")


def _empty_data(p, n):
    for _ in range(n):
        p.send(hf.DataFrame(1, b"").serialize())


def _small_data(p, n):
    for _ in range(n):
        p.send(hf.DataFrame(1, b"a").serialize())


def _continuations(p, n):
    block = p.enc.encode([(":method", "GET"), (":scheme", "https"), (":authority", "a"), (":path", "/")])
    data = hf.HeadersFrame(3, data=block[:1]).serialize()
    data += b"".join(hf.ContinuationFrame(3, data=b"").serialize() for _ in range(n - 1))
    p.send(data + hf.ContinuationFrame(3, data=block[1:], flags=["END_HEADERS"]).serialize())


def _hpack_bomb(p, n):
    # One 900-byte entry in the dynamic table, referenced n times for a byte each.
    block = p.enc.encode([(":method", "GET"), (":scheme", "https"), (":authority", "a"), (":path", "/")]
                         + [("x", "y" * 900)] * n)
    p.send(hf.HeadersFrame(3, data=block, flags=["END_HEADERS"]).serialize())


# (attack, limit that still passes, constructor arguments, error args)
ATTACKS = [
    (_empty_data, 100, {}, (11, "too_many_data_frames")),
    # 1-byte frames cost 255 of the 32767-byte budget each.
    (_small_data, 128, {}, (11, "too_many_data_frames")),
    (_continuations, 6, {}, (11, "too_many_continuations")),
    (_hpack_bomb, 4, {"max_header_list_size": 1000}, (11, "decoded header list size over abuse limit")),
]


@pytest.mark.parametrize("attack,limit,kw,err", ATTACKS, ids=[a[0].__name__ for a in ATTACKS])
def test_attack_at_its_limit_and_one_past(attack, limit, kw, err):
    p = Peer(**kw)
    p.request(1)
    attack(p, limit)
    q = Peer(**kw)
    q.request(1)
    with pytest.raises(w.H2ProtocolError) as ei:
        attack(q, limit + 1)
    assert ei.value.args == err


def test_small_data_budget_comes_back_with_release():
    p = Peer()
    p.request(1)
    for _ in range(1000):
        [v] = p.send(hf.DataFrame(1, b"a").serialize())
        assert v.budgeted
        p.e.release_data_frame(1, 1)
        p.e.release_capacity(1, 1)
    assert p.e.data_frame_budget_available == 32767 and p.e.stream_data_budget_charged(1) == 0


def test_client_reset_and_body_close_paths():
    from h2_pump import deliver, handshake

    c, s = engine(), engine("server")
    handshake(c, s)

    def open_stream(end):
        assert c.try_claim_slot()
        h = Handle()
        return c.open_stream("POST", "/", None, end, False, h, scheme="https", authority="a"), h

    # The client cancels its own request mid-body: the slot comes back at once.
    sid, h = open_stream(False)
    c.send_data(sid, b"abc", 0, False)
    r = c.reset_stream(sid, w.H2Reason.CANCEL)
    assert (r.handle, r.stop.reason, r.stop.conn) == (h, 8, False)
    assert r.flags == w.H2_FLAG_WAKE | w.H2_FLAG_SLOT_FREED
    assert (c.num_open_streams, c.num_streams, c.in_reset_store(sid)) == (0, 0, True)
    res, _ = deliver(c, s, Handle)
    handle, stop, notify_body, _flags = res[-1][1]
    assert handle is res[0][1].handle and (stop.reason, notify_body) == (8, True)
    # The peer's reset released the record: its 3 unread bytes went back.
    assert not s.has_stream(sid) and s.conn_recv_available == 65535
    assert s.aclose_body(sid).flags == 0

    # The server's late frames for it are swallowed by the client.
    s.set_last_processed_id(sid)
    [(_, v)] = feed_data(c, sid, 500)
    assert (v.handle, v.payload) == (None, None) and c.conn_recv_available == 65535

    # Closing a response body before its end resets with CANCEL ...
    sid, h = open_stream(True)
    deliver(c, s, Handle)
    s.send_response_head(sid, 200, None, False)
    s.send_data(sid, b"x" * 1000, 0, False)
    deliver(s, c)
    assert c.stream_recv_unreleased(sid) == 1000
    r = c.aclose_body(sid)
    assert r.handle is h and r.stop.reason == 8 and r.flags & w.H2_FLAG_SLOT_FREED
    assert c.conn_recv_available == 65535
    res, _ = deliver(c, s)
    assert res[-1][1][1].reason == 8
    # ... and after it only returns the unread bytes' window.
    sid, h = open_stream(True)
    deliver(c, s, Handle)
    s.send_response_head(sid, 200, None, False)
    body, off = b"x" * 40000, 0
    while off < len(body):
        off += s.send_data(sid, body, off, True).sent
    deliver(s, c)
    assert c.num_streams == 0 and c.stream_recv_unreleased(sid) == 40000  # closed, still owing
    r = c.aclose_body(sid)
    assert (r.handle, r.stop) == (None, None) and not c.has_stream(sid)
    assert c.conn_recv_available == 65535 and c.num_open_streams == 0
    assert [type(f).__name__ for f, _ in deliver(c, s)[0]] == ["H2FrameWindowUpdate"]


def feed_data(e, sid, n):
    from h2_pump import feed

    return feed(e, hf.DataFrame(sid, b"d" * n).serialize())[0]


# ---------------------------------------------------------------------------
# random scripts: two engines, every operation of both sides, invariants after each step

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

OPS = ["open", "send", "respond", "sdata", "creset", "sreset", "cclose", "sclose", "crelease",
       "srelease", "c2s", "c2s", "s2c", "s2c", "shutdown"]


def _pump(frm, to, spare):
    """The read pump with the driver's error handling: a stream error resets that stream."""
    data = take(frm)
    for f in to.receive(data):
        try:
            t = type(f)
            if t is w.H2FrameHeaders:
                to.recv_headers(f, spare() if to.is_server else None)
            elif t is w.H2FrameData:
                v = to.recv_data(f)
                if v.budgeted:
                    to.release_data_frame(f.stream_id, len(v.payload))
            elif t is w.H2FrameRstStream:
                to.recv_reset(f)
            elif t is w.H2FrameWindowUpdate:
                to.recv_window_update(f)
            elif t is w.H2FrameSettings:
                to.recv_settings(f)
            elif t is w.H2FramePing:
                to.recv_ping(f)
            elif t is w.H2FrameGoAway:
                to.recv_go_away(f)
        except w.H2StreamError as err:
            to.reset_on_error(err.args[0], err.args[1])
    to.maybe_goaway_reply()


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(OPS), st.integers(0, 15), st.integers(0, 70000)), max_size=50))
def test_random_scripts_keep_invariants(script):
    from h2_pump import handshake

    c, s = engine(), engine("server", max_concurrent_streams=3)
    handshake(c, s)
    refs, sids = [], []

    def handle():
        h = Handle()
        refs.append(weakref.ref(h))
        return h

    for op, k, n in script:
        sid = sids[k % len(sids)] if sids else 1
        try:
            if op == "open" and c.try_claim_slot():
                new = c.open_stream("POST", "/", None, k % 4 == 0, False, handle(), scheme="https",
                                    authority="a")
                if new is not None:
                    sids.append(new)
            elif op == "send":
                c.send_data(sid, b"x" * n, 0, k % 3 == 0)
            elif op == "respond":
                s.send_response_head(sid, 200, None, k % 2 == 0)
            elif op == "sdata":
                s.send_data(sid, b"y" * n, 0, k % 3 == 0)
            elif op in ("creset", "sreset"):
                (c if op == "creset" else s).reset_stream(sid, k % 14)
            elif op in ("cclose", "sclose"):
                (c if op == "cclose" else s).aclose_body(sid)
            elif op in ("crelease", "srelease"):
                e = c if op == "crelease" else s
                e.release_capacity(sid, min(n, e.stream_recv_unreleased(sid)))
            elif op == "c2s":
                _pump(c, s, handle)
            elif op == "s2c":
                _pump(s, c, None)
            elif op == "shutdown":
                s.begin_graceful_shutdown()
        except w.H2UserError:
            pass  # a second response head: misuse, refused without a change
        for e in (c, s):
            live = [i for i in sids if e.has_stream(i)]
            assert 0 <= e.num_streams <= len(live)
            assert 0 <= e.conn_send_window <= MAXID and 0 <= e.conn_recv_available <= MAXID
            for i in live:
                assert e.stream_recv_unreleased(i) >= 0 and e.stream_send_buffered(i) >= 0
        assert c.num_open_streams <= max(len(sids), 0) and s.num_streams <= 3
    for e in (c, s):
        e.fail()
        assert e.num_streams == 0
    del c, s, e
    gc.collect()
    assert [r for r in refs if r() is not None] == []


H2_OPS = ["open", "send", "end", "h2reset", "respond", "sdata", "sreset", "sclose", "srelease",
          "c2s", "c2s", "s2c", "s2c"]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(H2_OPS), st.integers(0, 15), st.integers(0, 40000)), max_size=40))
def test_random_scripts_against_h2_client(script):
    """Our server against an h2 client: h2 never sees a frame it refuses."""
    import h2.config
    import h2.connection
    import h2.exceptions

    cli = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
    cli.initiate_connection()
    srv = engine("server", max_concurrent_streams=4)
    srv.begin()
    refs, sids = [], []
    # Streams the client has ended: h2 closes a stream outright when its own
    # user sends on it after the end, and would then refuse our valid reply.
    ended = set()

    def spare():
        h = Handle()
        refs.append(weakref.ref(h))
        return h

    def c2s():
        for f in srv.receive(cli.data_to_send()):
            try:
                t = type(f)
                if t is w.H2FrameHeaders:
                    v = srv.recv_headers(f, spare())
                    if v.kind == w.H2_HEADERS_OPENED:
                        srv.accepted(f.stream_id)
                elif t is w.H2FrameData:
                    v = srv.recv_data(f)
                    if v.budgeted:
                        srv.release_data_frame(f.stream_id, len(v.payload))
                else:
                    dispatch_control(srv, f)
            except w.H2StreamError as err:
                srv.reset_on_error(err.args[0], err.args[1])
        srv.maybe_goaway_reply()

    def s2c():
        for ev in cli.receive_data(take(srv)):  # raises if we sent anything h2 refuses
            if isinstance(ev, h2.events.DataReceived) and ev.stream_id in cli.streams:
                cli.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)

    c2s()
    s2c()
    for op, k, n in script:
        sid = sids[k % len(sids)] if sids else 1
        try:
            if op == "open" and cli.open_outbound_streams < 4:
                new = cli.get_next_available_stream_id()
                cli.send_headers(new, [(":method", "POST"), (":scheme", "https"), (":authority", "a"),
                                       (":path", "/")], end_stream=k % 4 == 0)
                sids.append(new)
                if k % 4 == 0:
                    ended.add(new)
            elif op in ("send", "end") and sid not in ended:
                room = min(n, cli.local_flow_control_window(sid), cli.max_outbound_frame_size)
                cli.send_data(sid, b"x" * room, end_stream=op == "end")
                if op == "end":
                    ended.add(sid)
            elif op == "h2reset":
                cli.reset_stream(sid, k % 14)
            elif op == "respond":
                srv.send_response_head(sid, 200, None, k % 2 == 0)
            elif op == "sdata":
                srv.send_data(sid, b"y" * n, 0, k % 3 == 0)
            elif op == "sreset":
                srv.reset_stream(sid, k % 14)
            elif op == "sclose":
                srv.aclose_body(sid)
            elif op == "srelease":
                srv.release_capacity(sid, min(n, srv.stream_recv_unreleased(sid)))
            elif op == "c2s":
                c2s()
            elif op == "s2c":
                s2c()
        except (h2.exceptions.StreamClosedError, h2.exceptions.NoSuchStreamError,
                h2.exceptions.ProtocolError, w.H2UserError):
            if op in ("c2s", "s2c"):
                raise
        assert 0 <= srv.num_streams <= 4 and srv.conn_recv_available <= MAXID
    srv.fail()
    del srv
    gc.collect()
    assert [r for r in refs if r() is not None] == []


def dispatch_control(e, f):
    t = type(f)
    if t is w.H2FrameRstStream:
        e.recv_reset(f)
    elif t is w.H2FrameWindowUpdate:
        e.recv_window_update(f)
    elif t is w.H2FrameSettings:
        e.recv_settings(f)
    elif t is w.H2FramePing:
        e.recv_ping(f)
    elif t is w.H2FrameGoAway:
        e.recv_go_away(f)
