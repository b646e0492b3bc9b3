"""HTTP/2 request/response pairs in memory, and the engine's memory per open stream.

- Exchange: a client engine and a server engine in one process; each pair is
  a POST with 10 headers and a 1 KiB body answered by a 200 with 10 headers
  and a 1 KiB body. Each side does what a driver does: the client claims a
  slot, opens the stream and sends the body; the server decodes the frames,
  applies them, reads the head and the body, answers and returns the
  received capacity; the client decodes and reads the answer. The peer is
  the same exchange between two h2 connections (events read, received data
  acknowledged). Thread CPU time, interleaved rounds, min and median of the
  per-round ratios.
- Reset-heavy: each stream is opened with a 10-header POST, sends 1 KiB of
  its body and is cancelled by the client (RST_STREAM CANCEL); the server
  decodes and applies all three frames and returns the capacity, the client
  applies the server's window updates. A new connection pair every 500
  streams on both sides, so the receiver's rapid-reset limits (a burst of
  1,000 resets) are never the point. The peer does the same with two h2
  connections.
- Memory: bytes the engine holds per open stream besides its buffers (the
  record, its table slot and its flow, state and content-length values),
  averaged over 20,000 open streams of each role, from glibc's allocator
  statistics.

    python bench/h2_exchange.py
"""
import gc

import _timing
from h2_memory import _malloc_in_use

_timing.use_dev_build()

import h2.config  # noqa: E402
import h2.connection  # noqa: E402
import h2.events  # noqa: E402
import h2.settings  # noqa: E402

from wirelet import _wirelet as w  # noqa: E402

BASE = dict(initial_window_size=65535, connection_window=1 << 20, max_frame_size=16384,
            max_header_list_size=65536, max_send_buf_size=1 << 20)
BODY = bytes(range(256)) * 4  # 1 KiB
REQ = [("user-agent", "bench/1.0"), ("accept", "*/*"), ("accept-encoding", "gzip, br"),
       ("accept-language", "en"), ("content-type", "application/octet-stream"),
       ("content-length", str(len(BODY))), ("x-request-id", "3f2a9c"), ("cookie", "session=abc123"),
       ("cache-control", "no-cache"), ("x-trace", "on")]
RESP = [("content-type", "application/octet-stream"), ("content-length", str(len(BODY))),
        ("cache-control", "private"), ("server", "bench"), ("x-request-id", "3f2a9c"),
        ("etag", '"abc"'), ("vary", "accept-encoding"), ("x-frame-options", "DENY"),
        ("x-content-type-options", "nosniff"), ("date", "Sun, 06 Nov 1994 08:49:37 GMT")]

HEADERS, DATA, WINDOW, SETTINGS, PING = (w.H2FrameHeaders, w.H2FrameData, w.H2FrameWindowUpdate,
                                         w.H2FrameSettings, w.H2FramePing)


class Stream:
    """The driver's per-stream object."""
    __slots__ = ("head", "body")

    def __init__(self):
        self.head, self.body = None, []


def _take(e):
    view, _ = e.take_pending()
    data = bytes(view)
    view.release()
    e.credit_written()
    return data


def _apply(e, data, spare):
    """The read pump: decode, apply each frame, read what the application reads."""
    got = []
    for f in e.receive(data):
        t = type(f)
        if t is DATA:
            v = e.recv_data(f)
            if v.payload is not None:
                v.handle.body.append(v.payload)
                e.release_capacity(f.stream_id, f.flow_controlled_len)  # the application read it
                if v.budgeted:
                    e.release_data_frame(f.stream_id, len(v.payload))
            if v.eof:
                got.append(v.handle)
        elif t is HEADERS:
            v = e.recv_headers(f, spare() if spare else None)
            v.handle.head = (f.method or f.status, f.headers)
            if v.eof:
                got.append(v.handle)
        elif t is WINDOW:
            e.recv_window_update(f)
        elif t is SETTINGS:
            e.recv_settings(f)
        elif t is PING:
            e.recv_ping(f)
    e.maybe_goaway_reply()
    return got


class Ours:
    def __init__(self):
        self.cli, self.srv = w.H2Streams("client", **BASE), w.H2Streams("server", **BASE)
        self.req, self.resp = w.HeaderMap(REQ), w.HeaderMap(RESP)
        self.cli.begin()
        self.srv.begin()
        for _ in range(2):
            _apply(self.srv, _take(self.cli), Stream)
            _apply(self.cli, _take(self.srv), None)

    def run(self, n):
        cli, srv = self.cli, self.srv
        for _ in range(n):
            cli.try_claim_slot()
            sid = cli.open_stream("POST", "/upload", self.req, False, False, Stream(),
                                  scheme="https", authority="example.com")
            cli.send_data(sid, BODY, 0, True)
            for req in _apply(srv, _take(cli), Stream):
                assert req.head[0] == "POST" and len(req.body[0]) == 1024
                srv.accepted(sid)
                srv.send_response_head(sid, 200, self.resp, False)
                srv.send_data(sid, BODY, 0, True)
            for resp in _apply(cli, _take(srv), None):
                assert resp.head[0] == 200 and len(resp.body[0]) == 1024


class Theirs:
    def __init__(self):
        cfg = dict(header_encoding=None, validate_inbound_headers=True, validate_outbound_headers=True)
        self.cli = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, **cfg))
        self.srv = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, **cfg))
        self.req = [(":method", "POST"), (":scheme", "https"), (":authority", "example.com"),
                    (":path", "/upload")] + REQ
        self.resp = [(":status", "200")] + RESP
        self.cli.initiate_connection()
        self.srv.initiate_connection()
        self.cli.increment_flow_control_window((1 << 20) - 65535)
        self.srv.increment_flow_control_window((1 << 20) - 65535)
        for _ in range(2):
            self._apply(self.srv, self.cli.data_to_send())
            self._apply(self.cli, self.srv.data_to_send())

    @staticmethod
    def _apply(c, data):
        got, streams = [], {}
        for ev in c.receive_data(data):
            t = type(ev)
            if t is h2.events.DataReceived:
                streams.setdefault(ev.stream_id, Stream()).body.append(ev.data)
                c.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            elif t is h2.events.RequestReceived or t is h2.events.ResponseReceived:
                h = dict(ev.headers)
                streams.setdefault(ev.stream_id, Stream()).head = (
                    h.get(b":method", b"").decode() or int(h[b":status"]), ev.headers)
            elif t is h2.events.StreamEnded:
                got.append((ev.stream_id, streams[ev.stream_id]))
        return got

    def run(self, n):
        cli, srv = self.cli, self.srv
        for _ in range(n):
            sid = cli.get_next_available_stream_id()
            cli.send_headers(sid, self.req)
            cli.send_data(sid, BODY, end_stream=True)
            for rsid, req in self._apply(srv, cli.data_to_send()):
                assert req.head[0] == "POST" and len(req.body[0]) == 1024
                srv.send_headers(rsid, self.resp)
                srv.send_data(rsid, BODY, end_stream=True)
            for _sid, resp in self._apply(cli, srv.data_to_send()):
                assert resp.head[0] == 200 and len(resp.body[0]) == 1024


RST = w.H2FrameRstStream
RESETS_PER_CONNECTION = 500


def _apply_reset(e, data, spare):
    """The read pump of the reset workload; returns the handles that saw a reset."""
    reset = []
    for f in e.receive(data):
        t = type(f)
        if t is HEADERS:
            v = e.recv_headers(f, spare() if spare else None)
            if v.kind == w.H2_HEADERS_OPENED:
                e.accepted(f.stream_id)
        elif t is DATA:
            v = e.recv_data(f)
            if v.payload is not None:
                v.handle.body.append(v.payload)
                e.release_capacity(f.stream_id, f.flow_controlled_len)
        elif t is RST:
            r = e.recv_reset(f)
            if r is not None:
                reset.append(r[0])
        elif t is WINDOW:
            e.recv_window_update(f)
        elif t is SETTINGS:
            e.recv_settings(f)
    e.maybe_goaway_reply()
    return reset


class OursReset(Ours):
    def __init__(self):
        self.count = 0

    def run(self, n):
        for _ in range(n):
            if self.count % RESETS_PER_CONNECTION == 0:
                Ours.__init__(self)
            self.count += 1
            cli, srv = self.cli, self.srv
            cli.try_claim_slot()
            sid = cli.open_stream("POST", "/upload", self.req, False, False, Stream(),
                                  scheme="https", authority="example.com")
            cli.send_data(sid, BODY, 0, False)
            v = cli.reset_stream(sid, 8)
            assert v.stop.reason == 8
            [h] = _apply_reset(srv, _take(cli), Stream)
            assert len(h.body[0]) == 1024
            _apply_reset(cli, _take(srv), None)


class TheirsReset(Theirs):
    def __init__(self):
        self.count = 0

    @staticmethod
    def _apply_reset(c, data):
        reset = []
        for ev in c.receive_data(data):
            t = type(ev)
            if t is h2.events.DataReceived:
                c.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
                reset.append(ev.data)
            elif t is h2.events.StreamReset:
                reset.append(ev.error_code)
        return reset

    def run(self, n):
        for _ in range(n):
            if self.count % RESETS_PER_CONNECTION == 0:
                Theirs.__init__(self)
            self.count += 1
            cli, srv = self.cli, self.srv
            sid = cli.get_next_available_stream_id()
            cli.send_headers(sid, self.req)
            cli.send_data(sid, BODY)
            cli.reset_stream(sid, 8)
            got = self._apply_reset(srv, cli.data_to_send())
            assert len(got[0]) == 1024 and got[1] == 8
            self._apply_reset(cli, srv.data_to_send())


def per_stream_bytes(role, count=20000):
    """Native bytes one open stream costs the engine, buffers aside."""
    e = w.H2Streams(role, **BASE)
    e.begin()
    handle = Stream()  # one shared handle: the driver's objects are not the engine's memory
    if role == "client":
        def open_all():
            for _ in range(count):
                e.open_stream("GET", "/", None, False, False, handle, scheme="https", authority="a")
    else:
        peer = w.H2Streams("client", **BASE)
        peer.begin()
        e.receive(_take(peer))
        blocks = []
        for _ in range(count):
            peer.open_stream("GET", "/", None, False, False, handle, scheme="https", authority="a")
            blocks.append(_take(peer))
        frames = [f for b in blocks for f in e.receive(b)]

        def open_all():
            for f in frames:
                e.recv_headers(f, handle)
    gc.collect()
    _take(e)
    before = _malloc_in_use()
    open_all()
    _take(e)  # the pending buffer goes back as the spare: buffers are not counted
    after = _malloc_in_use()
    assert e.num_streams == count
    return (after - before) / count


def bench(quick=False):
    result = _timing.compare(Ours().run, Theirs().run, rounds=5 if quick else 9)
    rows = [_timing.row("HTTP/2 exchange in memory, client engine to server engine", "POST, 10 headers, 1 KiB each way",
                        result, 20.0, "h2 to h2")]
    result = _timing.compare(OursReset().run, TheirsReset().run, rounds=5 if quick else 9)
    rows.append(_timing.row("HTTP/2 reset-heavy workload in memory (open, send, cancel)",
                            "POST, 10 headers, 1 KiB, RST_STREAM(CANCEL)", result, None, "h2 to h2"))
    for role in ("client", "server"):
        size = per_stream_bytes(role, 5000 if quick else 20000)
        rows.append({"work": f"H2Streams memory per open stream, {role} (budget / bytes used)",
                     "case": f"{size:,.0f} bytes per stream", "min": 1024 / size, "median": 1024 / size,
                     "aim": 1.0, "peer": "1 KiB budget", "ours": size, "theirs": 1024.0, "bytes": size,
                     "budget": 1024})
    return rows


if __name__ == "__main__":
    _timing.main_of(bench)
