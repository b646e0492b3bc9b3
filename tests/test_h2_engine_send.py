"""H2Streams sending: slots, opening streams, DATA under both windows, trailers
and response heads; whole exchanges engine to engine and against the h2
package in both roles."""
import re

import h2.config
import h2.connection
import h2.events as ev
import h2.settings
import pytest

from h2_pump import Handle, engine, feed, take
from wirelet import _wirelet as w

AUTH = dict(scheme="https", authority="example.com")


class Msg:
    def __init__(self):
        self.head = self.trailers = self.reset = self.raw = None
        self.interim, self.body, self.ended = [], bytearray(), False


class Side:
    """One endpoint. Jobs are the driver's sending tasks: one frame per turn.
    Subclasses give the primitives: open, head, chunk and trailers."""

    def __init__(self):
        self.msgs, self.jobs, self.opened, self.seen, self.peak, self.verdicts = {}, [], [], [], 0, []

    def msg(self, sid):
        return self.msgs.setdefault(sid, Msg())

    def run_jobs(self):
        self.jobs = [j for j in self.jobs if next(j, StopIteration) is not StopIteration]

    def request(self, method, headers, body=b"", trailers=None):
        self.jobs.append(self._send(None, method, headers, body, trailers, ()))

    def respond(self, sid, status, headers, body=b"", trailers=None, interim=()):
        self.jobs.append(self._send(sid, status, headers, body, trailers, interim))
        return True

    def _send(self, sid, head, headers, body, trailers, interim):
        end = not body and not trailers
        while sid is None and (sid := self.open(head, headers, end)) is None:
            yield  # no free slot
        for s in interim:
            self.head(sid, s, [], False)
        if isinstance(head, int):
            self.head(sid, head, headers, end)
        off = 0
        while not end and off < len(body) and self.msg(sid).reset is None:
            off += self.chunk(sid, body, off, not trailers)
            yield
        if trailers and self.msg(sid).reset is None:
            self.trailers(sid, trailers)


class Ours(Side):
    def __init__(self, role, mcs=None, **kw):
        super().__init__()
        self.e = engine(role, **kw, **({"max_concurrent_streams": mcs} if mcs and role == "server" else {}))
        self.e.begin()

    def out(self):
        return take(self.e)

    def inp(self, data):
        for f, r in feed(self.e, data, spare=Handle)[0]:
            m = self.msg(getattr(f, "stream_id", 0))
            self.seen.append((type(f).__name__[7], getattr(f, "stream_id", 0)))  # H(eaders), D(ata)...
            if type(f) is w.H2FrameHeaders:
                if r.kind == w.H2_HEADERS_IGNORED:
                    m.interim.append(f.status)
                elif r.kind == w.H2_HEADERS_TRAILERS:
                    m.trailers = list(f.headers.raw_items())
                else:
                    m.head = (f.status or f.method, [x for x in f.headers.raw_items() if x[0] != b"date"])
                m.ended |= r.eof
            elif type(f) is w.H2FrameData:
                m.body += r.payload or b""
                self.e.release_capacity(f.stream_id, len(r.payload or b""))
                r.budgeted and self.e.release_data_frame(f.stream_id, len(r.payload))
                m.ended |= r.eof
            elif type(f) is w.H2FrameRstStream:
                m.reset = f.error_code
        self.peak = max(self.peak, self.e.num_streams, self.e.num_open_streams)

    def open(self, method, headers, end):
        if self.e.try_claim_slot():
            sid = self.e.open_stream(method, "/p", w.HeaderMap(headers), end, method == "HEAD", Handle(), **AUTH)
            return self.opened.append(sid) or sid

    def head(self, sid, status, headers, end):
        self.verdicts.append(v := self.e.send_response_head(sid, status, w.HeaderMap(headers), end))
        assert v.flags & w.H2_FLAG_WAKE and v.done

    def chunk(self, sid, body, off, end):
        self.verdicts.append(v := self.e.send_data(sid, body, off, end))
        assert v.flags & w.H2_FLAG_WAKE == (v.sent > 0) and not v.stopped
        return v.sent

    def trailers(self, sid, trailers):
        self.verdicts.append(self.e.send_trailers(sid, w.HeaderMap(trailers)))


class Theirs(Side):
    def __init__(self, role, mcs=None):
        super().__init__()
        config = h2.config.H2Configuration(client_side=role == "client", header_encoding=None)
        self.c = h2.connection.H2Connection(config)
        self.c.local_settings = h2.settings.Settings(
            client=role == "client", initial_values={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: mcs} if mcs else {})
        self.c.initiate_connection()

    def out(self):
        return self.c.data_to_send()

    def inp(self, data):
        for e in self.c.receive_data(data):
            m = self.msg(getattr(e, "stream_id", 0))
            if isinstance(e, (ev.RequestReceived, ev.ResponseReceived)):
                m.raw, h = e.headers, dict(e.headers)
                m.head = (int(h[b":status"]) if b":status" in h else h[b":method"].decode(),
                          [x for x in e.headers if x[0][:1] != b":" and x[0] != b"date"])
            elif isinstance(e, ev.InformationalResponseReceived):
                m.interim.append(int(dict(e.headers)[b":status"]))
            elif isinstance(e, ev.TrailersReceived):
                m.trailers = list(e.headers)
            elif isinstance(e, ev.DataReceived):
                m.body += e.data
                self.c.acknowledge_received_data(e.flow_controlled_length, e.stream_id)
            m.ended |= isinstance(e, ev.StreamEnded)
            if isinstance(e, ev.StreamReset):
                m.reset = e.error_code
            if isinstance(e, (ev.RequestReceived, ev.DataReceived)):
                self.seen.append(("D" if isinstance(e, ev.DataReceived) else "H", e.stream_id))
        self.peak = max(self.peak, self.c.open_outbound_streams, self.c.open_inbound_streams)

    def open(self, method, headers, end):
        if self.c.open_outbound_streams < self.c.remote_settings.max_concurrent_streams:
            self.opened.append(sid := self.c.get_next_available_stream_id())
            pseudo = [(":method", method), (":scheme", "https"), (":authority", "example.com"), (":path", "/p")]
            self.c.send_headers(sid, pseudo + headers, end_stream=end)
            return sid

    def head(self, sid, status, headers, end):
        self.c.send_headers(sid, [(":status", str(status))] + headers, end_stream=end)

    def chunk(self, sid, body, off, end):
        n = min(self.c.local_flow_control_window(sid), self.c.max_outbound_frame_size, len(body) - off)
        n and self.c.send_data(sid, body[off:off + n], end_stream=end and off + n == len(body))
        return n

    def trailers(self, sid, trailers):
        self.c.send_headers(sid, trailers, end_stream=True)


def converse(client, server, answer=lambda s, sid, m: False):
    """Moves bytes both ways and runs both sides' tasks until all is quiet."""
    answered = set()
    for _ in range(3000):
        client.run_jobs(), server.run_jobs()
        moved = False
        for a, b in ((client, server), (server, client)):
            if data := a.out():
                b.inp(data)
                moved = True
        for sid, m in list(server.msgs.items()):
            if sid and sid not in answered and m.head and answer(server, sid, m):
                moved = answered.add(sid) or True
        if not moved and not client.jobs and not server.jobs:
            return
    raise AssertionError("the exchange did not finish")


BIG = bytes(range(256)) * 800  # 204800 bytes: more than both default windows
H = [(b"x-a", b"1"), (b"x-b", b"2")]
# request (method, headers, body, trailers), response (status, headers, body, trailers, interim)
SCENARIOS = {
    "get": (("GET", H, b"", None), (200, [(b"content-type", b"text/plain")], b"hello", None, ())),
    "post-big": (("POST", H, BIG, None), (200, H, BIG[::-1], None, ())),
    "trailers": (("POST", H, b"abc", [(b"x-sum", b"3")]), (200, [], b"def", [(b"x-t", b"4")], ())),
    "trailers-only": (("POST", [], b"", [(b"x-sum", b"0")]), (200, [], b"", [(b"x-t", b"4")], ())),
    "head": (("HEAD", [], b"", None), (200, [(b"content-length", b"1234")], b"", None, ())),
    "204": (("DELETE", [], b"", None), (204, [], b"", None, ())),
    "304": (("GET", [], b"", None), (304, [(b"etag", b'"x"')], b"", None, ())),
    "interim": (("POST", [(b"expect", b"100-continue")], b"xyz", None), (200, [], b"ok", None, (100, 103))),
    "early": (("POST", [], BIG, None), (413, [], b"too big", None, ())),
}
PAIRS = [(Ours, Theirs), (Theirs, Ours), (Ours, Ours)]
PAIR_IDS = ["ours-h2", "h2-ours", "ours-ours"]


@pytest.mark.parametrize("pair", PAIRS, ids=PAIR_IDS)
@pytest.mark.parametrize("name", SCENARIOS)
def test_exchange(pair, name):
    (method, rh, rbody, rtr), response = SCENARIOS[name]
    client, server = pair[0]("client"), pair[1]("server")
    early = name == "early"
    converse(client, server)  # the handshake
    client.request(method, rh, rbody, rtr)
    converse(client, server, lambda s, sid, m: (m.ended or early) and s.respond(sid, *response))
    (sid,) = client.opened
    req, resp = server.msgs[sid], client.msgs[sid]
    assert req.head == (method, rh) and (early or (bytes(req.body), req.trailers, req.ended) == (rbody, rtr, True))
    status, sh, sbody, strailers, interim = response
    assert (resp.head, resp.interim, bytes(resp.body), resp.trailers, resp.ended) == (
        (status, sh), list(interim), sbody, strailers, True)
    if early and pair[1] is Ours:
        # Our server ended its side first: the rest of the request body is
        # refused with RST_STREAM(NO_ERROR), and its reader is told.
        last = server.verdicts[-1]
        assert (resp.reset, last.done, last.reader_stop.reason, last.reader_stop.conn) == (0, True, 0, False)
        assert type(last.handle) is Handle and server.e.num_streams == 0
    for side in (client, server):
        if isinstance(side, Ours):
            assert (side.e.num_streams, side.e.num_open_streams, side.e.has_stream(sid)) == (0, 0, False)


@pytest.mark.parametrize("pair", PAIRS, ids=PAIR_IDS)
def test_many_concurrent_streams_within_both_limits(pair):
    client, server = pair[0]("client", mcs=4), pair[1]("server", mcs=4)
    converse(client, server)
    bodies = [bytes([i]) * (30000 + 997 * i) for i in range(12)]
    for b in bodies:
        client.request("POST", [], b)
    converse(client, server, lambda s, sid, m: m.ended and s.respond(sid, 200, [], bytes(m.body[::-1])))
    assert client.opened == list(range(1, 24, 2)) and client.peak == server.peak == 4
    assert [bytes(client.msgs[s].body) for s in client.opened] == [b[::-1] for b in bodies]
    # ids reach the peer in increasing order; DATA of concurrent streams interleaves
    assert [sid for k, sid in server.seen if k == "H"] == client.opened
    data = [sid for k, sid in server.seen if k == "D"]
    assert any(data[i] != data[i + 1] and data[i] in data[i + 2:] for i in range(len(data) - 2))


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


def goaway(e):
    peer = Theirs("server")
    peer.inp(take(e))
    peer.c.close_connection()
    feed(e, peer.out())


def last_id(e):
    e.set_next_stream_id(2**31 - 1)
    assert e.open_stream("GET", "/", None, True, False, Handle(), **AUTH) == 2**31 - 1


P = [(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"example.com"), (b":path", b"/a?b=1")]


@pytest.mark.parametrize("setup,method,target,kw,expect", [
    (None, "GET", "/a?b=1", AUTH, P),
    (None, "CONNECT", "https://h.test:443", {}, [(b":method", b"CONNECT"), (b":authority", b"h.test:443")]),
    (None, "GET", "/x", {"authority": "example.com"}, (ValueError, "request target is a bare path")),
    (None, "G T", "/x", AUTH, (ValueError, "invalid method: invalid HTTP method")),
    (goaway, "GET", "/x", AUTH, None),
    (last_id, "GET", "/x", AUTH, (w.H2ProtocolError, r"stream ID space exhausted \(OverflowedStreamId\)")),
])
def test_open_stream(setup, method, target, kw, expect):
    e = engine()
    e.begin()
    setup and setup(e)
    if not isinstance(expect, list):
        take(e)
    before = (e.num_open_streams, e.num_streams)
    assert e.try_claim_slot()
    if isinstance(expect, tuple):
        with pytest.raises(expect[0], match=expect[1]) as info:
            e.open_stream(method, target, w.HeaderMap({"x-y": "z"}), True, False, Handle(), **kw)
        assert info.type is ValueError or info.value.args[0] == 7  # REFUSED_STREAM
    elif expect:
        sid = e.open_stream(method, target, w.HeaderMap({"x-y": "z"}), True, False, Handle(), **kw)
        peer = Theirs("server")
        peer.inp(take(e))
        assert (sid, peer.msg(sid).raw) == (1, expect + [(b"x-y", b"z")])
        assert e.stream_state(sid) == "HalfClosedLocal(AwaitingHeaders)"
        return
    else:
        assert e.open_stream(method, target, None, True, False, Handle(), **kw) is None
    # refused: the claimed slot went back and nothing was queued
    assert (e.num_open_streams, e.num_streams, e.has_pending()) == before + (False,)


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
    e, peer = Ours("client", **kw), Theirs("server")
    converse(e, peer)
    sid = e.e.open_stream("POST", "/", None, False, False, Handle(), **AUTH)
    got, off = [], 0
    for c in calls:
        if c == "w":  # the batch is written
            peer.inp(e.out())
            continue
        try:
            v = e.e.send_data(sid, data, off if c[0] is None else c[0], c[1])
        except ValueError as exc:
            got.append(exc.args == ("send_data: offset is beyond the end of data",) and ValueError)
            continue
        off += v.sent
        assert v.flags == int(bool(v.sent) or v.done and c[1])  # WAKE exactly when bytes were queued
        got.append("stop" if v.stopped else (v.sent, v.done))
    peer.inp(e.out())
    assert got == expect and e.e.stream_state(sid).startswith(state)
    assert (len(peer.msg(sid).body), peer.msg(sid).ended) == (off, state != "Open")


@pytest.mark.parametrize("steps,expect", [
    ([(99, {}, False)], (ValueError, "invalid status: invalid status code")),
    ([(1000, {}, False)], (ValueError, "invalid status: invalid status code")),
    ([(200, {"te": "gzip"}, False)], (w.H2UserError, "malformed headers")),
    ([(200, {"connection": "close"}, False)], (w.H2UserError, "malformed headers")),
    ([(200, {"te": "trailers"}, False)], "HalfClosedRemote(Streaming)"),
    ([(200, {}, False), (200, {}, False)], (w.H2UserError, "unexpected frame type")),
    # interim heads leave the stream waiting for the final head, never end
    # it and never follow it; 101 is no interim head
    ([(103, {}, False), (100, {}, False)], "HalfClosedRemote(AwaitingHeaders)"),
    ([(100, {}, True)], (w.H2UserError, "malformed headers")),
    ([(200, {}, False), (103, {}, False)], (w.H2UserError, "unexpected frame type")),
    ([(101, {}, False)], "HalfClosedRemote(Streaming)"),
    ([(204, {}, True)], None),  # both sides ended: counted out, the record is gone
])
def test_send_response_head_rules(steps, expect):
    e, peer = Ours("server"), Theirs("client")
    converse(peer, e)
    peer.c.send_headers(1, P, end_stream=True)
    e.inp(peer.out())
    for status, headers, end in steps[:-1]:
        e.e.send_response_head(1, status, w.HeaderMap(headers), end)
    e.out()
    status, headers, end = steps[-1]
    if isinstance(expect, tuple):
        state = e.e.stream_state(1)
        with pytest.raises(expect[0]) as info:
            e.e.send_response_head(1, status, w.HeaderMap(headers), end)
        assert info.value.args[-1] == expect[1] and (e.e.stream_state(1), e.out()) == (state, b"")
        return
    v = e.e.send_response_head(1, status, w.HeaderMap({"x-a": "1", **headers}), end)
    assert (v.sent, v.done, v.stopped, v.handle, v.flags) == (0, True, None, None, 1)
    assert e.e.stream_state(1) == expect and e.e.num_streams == (expect is not None)
    if status == 204:  # the automatic date header goes last
        peer.inp(e.out())
        assert peer.msg(1).raw[-1][0] == b"date"
        assert re.fullmatch(rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT", peer.msg(1).raw[-1][1])
