"""H2Streams sending: slots, opening streams, the DATA sizing rule, empty
frames, response heads, and the exchanges the common ones leave out (a body
of trailers only, a server that answers before the request body is in)."""
import re

import h2.config
import h2.connection
import h2.events as ev
import h2.exceptions
import pytest
import test_h2_engine_exchange as ex
from h2_pump import Handle, engine, feed, take

from wirelet import _wirelet as w

AUTH = dict(scheme="https", authority="example.com")
P = [(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"example.com"), (b":path", b"/a?b=1")]


def h2_peer(client):
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client, header_encoding=None))
    c.initiate_connection()
    return c


def connected(role, **kw):
    """Our engine after the handshake with an h2 peer of the other role."""
    e, c = engine(role, **kw), h2_peer(role == "server")
    e.begin()
    if role == "server":
        feed(e, c.data_to_send())
    c.receive_data(take(e))
    feed(e, c.data_to_send())
    c.receive_data(take(e))
    return e, c


def test_slot_accounting_never_wraps():
    e = engine()
    steps = [  # (operation, argument, result, num_open_streams after)
        ("apply_stream_limit", 1, None, 0), ("try_claim_slot", None, True, 1), ("can_open", None, False, 1),
        ("try_claim_slot", None, False, 1), ("release_slot_count", None, None, 0),
        ("release_slot_count", None, None, 0), ("can_open", None, True, 0), ("try_claim_slot", None, True, 1),
        ("apply_stream_limit", 0, None, 1), ("try_claim_slot", None, False, 1),
        ("apply_stream_limit", None, None, 1), ("try_claim_slot", None, True, 2)]
    for op, arg, result, count in steps:
        args = [arg] if op == "apply_stream_limit" else []
        assert (getattr(e, op)(*args), e.num_open_streams) == (result, count), op


def goaway(e, c):
    c.close_connection()
    feed(e, c.data_to_send())
    take(e)  # our answering GOAWAY


def last_id(e, c):
    e.set_next_stream_id(2**31 - 1)
    assert e.open_stream("GET", "/", None, True, False, Handle(), **AUTH) == 2**31 - 1
    take(e)


def reuse(e, c):
    assert e.open_stream("GET", "/", None, False, False, Handle(), **AUTH) == 1
    e.set_next_stream_id(1)
    take(e)


@pytest.mark.parametrize("setup,method,target,kw,expect", [
    (None, "GET", "/a?b=1", AUTH, P),
    (None, "CONNECT", "https://h.test:443", {}, [(b":method", b"CONNECT"), (b":authority", b"h.test:443")]),
    (None, "GET", "/x", {"authority": "example.com"}, (ValueError, "request target is a bare path")),
    (None, "G T", "/x", AUTH, (ValueError, "invalid method: invalid HTTP method")),
    (goaway, "GET", "/x", AUTH, None),
    (last_id, "GET", "/x", AUTH, (w.H2ProtocolError, r"stream ID space exhausted \(OverflowedStreamId\)")),
    (reuse, "GET", "/x", AUTH, (ValueError, "open_stream: stream id 1 is in use")),
])
def test_open_stream(setup, method, target, kw, expect):
    e, c = connected("client")
    setup and setup(e, c)
    before = (e.num_open_streams, e.num_streams, e.stream_state(1))
    assert e.try_claim_slot()
    if isinstance(expect, tuple):
        with pytest.raises(expect[0], match=expect[1]) as info:
            e.open_stream(method, target, w.HeaderMap({"x-y": "z"}), True, False, Handle(), **kw)
        assert info.type is ValueError or info.value.args[0] == 7  # REFUSED_STREAM
    elif expect:
        sid = e.open_stream(method, target, w.HeaderMap({"x-y": "z"}), True, False, Handle(), **kw)
        (got,) = [x for x in c.receive_data(take(e)) if isinstance(x, ev.RequestReceived)]
        assert (sid, got.headers, e.stream_state(sid)) == (1, expect + [(b"x-y", b"z")],
                                                          "HalfClosedLocal(AwaitingHeaders)")
        return
    else:
        assert e.open_stream(method, target, None, True, False, Handle(), **kw) is None
    # refused: the claimed slot went back and nothing was queued
    assert (e.num_open_streams, e.num_streams, e.stream_state(1), e.has_pending()) == before + (False,)


F, T, N = False, True, None


@pytest.mark.parametrize("kw,data,calls,expect,state", [
    # both windows 65535, frames of 16384: the fourth gets what is left
    ({}, bytes(100000), [(N, T)] * 5, [(16384, F)] * 3 + [(16383, F), (0, F)], "Open"),
    # the buffer cap holds until the batch is written and credited
    ({"max_send_buf_size": 10000}, bytes(100000), [(N, T), (N, T), "w", (N, T)], [(10000, F), (0, F), (10000, F)],
     "Open"),
    ({"max_send_buf_size": 40000}, bytes(100000), [(N, T)] * 3, [(16384, F), (16384, F), (7232, F)], "Open"),
    # END_STREAM rides on the frame that carries the last byte
    ({}, bytes(20000), [(N, T), (N, T)], [(16384, F), (3616, T)], "HalfClosedLocal"),
    # an offset past the data is refused; nothing left and not final queues nothing
    ({}, b"abc", [(4, T)], [ValueError], "Open"),
    ({}, b"abc", [(3, F), (0, F)], [(0, T), (3, T)], "Open"),
    ({}, b"", [(0, F)], [(0, T)], "Open"),
    # nothing left and final: an empty END_STREAM frame, which needs no window
    ({}, bytes(65535), [(N, F)] * 4 + [(65535, T), "w", (65535, T)], [(16384, F)] * 3 + [(16383, T), (0, T), "stop"],
     "HalfClosedLocal"),
])
def test_send_data_sizing_and_empty_frames(kw, data, calls, expect, state):
    e, c = connected("client", **kw)
    sid = e.open_stream("POST", "/", None, False, False, Handle(), **AUTH)
    events, got, off = [], [], 0
    for call in calls + ["w"]:
        if call == "w":  # the batch is written
            events += c.receive_data(take(e))
            continue
        try:
            v = e.send_data(sid, data, off if call[0] is None else call[0], call[1])
        except ValueError as exc:
            got.append(exc.args == ("send_data: offset is beyond the end of data",) and ValueError)
            continue
        off += v.sent
        assert v.flags == int(bool(v.sent) or v.done and call[1])  # WAKE exactly when bytes were queued
        got.append("stop" if v.stopped else (v.sent, v.done))
    assert got == expect and e.stream_state(sid).startswith(state)
    received = sum(len(x.data) for x in events if isinstance(x, ev.DataReceived))
    assert (received, any(isinstance(x, ev.StreamEnded) for x in events)) == (off, state != "Open")


@pytest.mark.parametrize("steps,expect", [
    ([(99, {}, F)], (ValueError, "invalid status: invalid status code")),
    ([(1000, {}, F)], (ValueError, "invalid status: invalid status code")),
    ([(200, {"te": "gzip"}, F)], (w.H2UserError, "malformed headers")),
    ([(200, {"connection": "close"}, F)], (w.H2UserError, "malformed headers")),
    ([(200, {"te": "trailers"}, F)], "HalfClosedRemote(Streaming)"),
    ([(200, {}, F), (200, {}, F)], (w.H2UserError, "unexpected frame type")),
    # interim heads leave the stream waiting for the final head, never end
    # it and never follow it; 101 is no interim head
    ([(103, {}, F), (100, {}, F)], "HalfClosedRemote(AwaitingHeaders)"),
    ([(100, {}, T)], (w.H2UserError, "malformed headers")),
    ([(200, {}, F), (103, {}, F)], (w.H2UserError, "unexpected frame type")),
    ([(101, {}, F)], "HalfClosedRemote(Streaming)"),
    ([(204, {}, T)], None),  # both sides ended: counted out, the record is gone
])
def test_send_response_head_rules(steps, expect):
    e, c = connected("server")
    dels = []

    class Reentrant(Handle):
        def __del__(self):  # takes the state lock: would hang if released under it
            dels.append(e.num_streams)

    c.send_headers(1, P, end_stream=True)
    feed(e, c.data_to_send(), spare=Reentrant)
    for status, headers, end in steps[:-1]:
        e.send_response_head(1, status, w.HeaderMap(headers), end)
    take(e)
    status, headers, end = steps[-1]
    if isinstance(expect, tuple):
        state = e.stream_state(1)
        with pytest.raises(expect[0]) as info:
            e.send_response_head(1, status, w.HeaderMap(headers), end)
        assert info.value.args[-1] == expect[1] and (e.stream_state(1), take(e)) == (state, b"")
        return
    v = e.send_response_head(1, status, w.HeaderMap({"x-a": "1", **headers}), end)
    assert (v.sent, v.done, v.stopped, v.handle, v.flags) == (0, True, None, None, 1)
    assert e.stream_state(1) == expect and e.num_streams == (expect is not None)
    assert dels == ([] if expect else [0])  # the handle went with its record, after unlocking
    if status == 204:  # the automatic date header goes last
        (got,) = [x for x in c.receive_data(take(e)) if isinstance(x, ev.ResponseReceived)]
        assert got.headers[-1][0] == b"date"
        assert re.fullmatch(rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT", got.headers[-1][1])


class Early:
    """A server that answers as soon as the request head is in."""

    def on_head(self, sid, head, end):
        super().on_head(sid, head, end)
        self.on_end(sid)

    def on_end(self, sid, trailers=None):
        if sid not in self.done:
            super().on_end(sid, trailers)

    def send_head(self, sid, status, headers, end):
        self.verdicts = getattr(self, "verdicts", []) + [self.e.send_response_head(sid, status, w.HeaderMap(headers), end)]


class Giving:
    """A client whose body sender gives up once its stream is stopped."""

    def send_chunk(self, sid, body, off, end):
        if isinstance(self, ex.Ours):
            v = self.e.send_data(sid, body, off, end)
            return len(body) - off if v.stopped else v.sent
        try:
            return super().send_chunk(sid, body, off, end)
        except h2.exceptions.StreamClosedError:
            return len(body) - off


@pytest.mark.parametrize("pair", ["ours-ours", "h2-ours"])
@pytest.mark.parametrize("name", ["trailers-only", "early"])
def test_exchange(pair, name):
    early = name == "early"
    reqs = [("POST", ex.BIG if early else b"", None if early else [("x-t", "1")], [])]
    cli_cls = ex.Ours if pair == "ours-ours" else ex.Theirs
    cli = type("Client", (Giving, cli_cls), {})(*(("client",) if cli_cls is ex.Ours else (True,)), reqs)
    srv = type("Server", (Early, ex.Ours) if early else (ex.Ours,), {})("server", handler=ex.handler)
    ex.run(cli, srv)
    (sid,) = cli.streams
    s = cli.streams[sid]
    if early:
        # Our server ended its side first: the rest of the request body is
        # refused with RST_STREAM(NO_ERROR), and its reader is told.
        last = srv.verdicts[-1]
        assert (s["head"][0], bytes(s["body"]), last.done) == (200, b"", True)
        assert (type(last.handle), last.reader_stop.reason, last.reader_stop.conn) == (Handle, 0, False)
        assert 0 < len(srv.streams[sid]["body"]) < len(ex.BIG) and srv.e.in_reset_store(sid)
    else:  # an empty body with trailers queues no empty DATA frame on either side
        assert (bytes(s["body"]), s["trailers"], bytes(srv.streams[sid]["body"])) == (b"", [("x-e", b"1")], b"")
        assert srv.e.data_frame_budget_empty_frames == 0 and srv.data_ids == [] and cli.data_ids == []
    assert (srv.e.num_streams, srv.e.has_stream(sid)) == (0, False)
