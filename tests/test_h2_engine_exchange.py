"""Complete HTTP/2 exchanges: our client and server engines against each other and
against the h2 package in both roles, with the same applications on top."""
import weakref

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest
from h2_pump import Handle, engine, feed, take

from wirelet import _wirelet as w

HM = w.HeaderMap


class Endpoint:
    """The application: a client sends `requests`, a server answers each complete
    request with `handler(request)`. Subclasses supply the wire primitives."""

    def __init__(self, requests=(), handler=None):
        self.todo = list(requests)
        self.handler = handler
        self.streams = {}  # sid -> dict
        self.done = []     # completed exchanges, in completion order
        self.new_ids = []  # ids of streams the peer opened, in arrival order
        self.data_ids = []
        self.waits = 0  # times a stream could not open, or a body found no window

    def st(self, sid):
        return self.streams.setdefault(sid, dict(body=bytearray(), interim=[], trailers=None, out=None))

    def step(self):
        while self.todo:
            method, body, trailers, extra = self.todo[0]
            sid = self.open(method, extra, not body and not trailers)
            if sid is None:
                self.waits += 1
                break
            self.todo.pop(0)
            self.st(sid).update(method=method, out=[body, 0, trailers])
        # One frame per stream per pass, so the bodies interleave.
        while any([self.pump_body(sid, s) for sid, s in list(self.streams.items()) if s["out"]]):
            pass

    def pump_body(self, sid, s):
        body, off, trailers = s["out"]
        n = self.send_chunk(sid, body, off, trailers is None) if off < len(body) else 0
        s["out"][1] = off = off + n
        self.waits += off < len(body) and n == 0
        if off == len(body):
            if trailers is not None:
                self.send_trailers(sid, trailers)
            s["out"] = None
        return n

    # inbound, called by the subclasses
    def on_head(self, sid, head, end):
        s = self.st(sid)
        if self.handler and "head" not in s:
            self.new_ids.append(sid)
        s["head"] = head
        if end:
            self.on_end(sid)

    def on_data(self, sid, data, end):
        self.st(sid)["body"] += data
        self.data_ids.append(sid)
        if end:
            self.on_end(sid)

    def on_end(self, sid, trailers=None):
        s = self.st(sid)
        s["trailers"] = trailers
        self.done.append(sid)
        if not self.handler:
            return
        interim, status, headers, body, trailers = self.handler(s)
        for code in interim:
            self.send_head(sid, code, [], False)
        self.send_head(sid, status, headers, not body and trailers is None)
        s["out"] = [body, 0, trailers] if body or trailers is not None else None


class Ours(Endpoint):
    def __init__(self, role, requests=(), handler=None, **kw):
        super().__init__(requests, handler)
        self.e = engine(role, **kw)
        self.e.begin()
        self.refs = []

    def spare(self):
        h = Handle()
        self.refs.append(weakref.ref(h))
        return h

    def open(self, method, extra, end):
        if not self.e.try_claim_slot():
            return None
        h = self.spare()
        return self.e.open_stream(method, "/p", HM(extra), end, method == "HEAD", h,
                                  scheme="https", authority="a")

    def send_chunk(self, sid, body, off, end):
        return self.e.send_data(sid, body, off, end).sent

    def send_trailers(self, sid, trailers):
        assert self.e.send_trailers(sid, HM(trailers)).done

    def send_head(self, sid, status, headers, end):
        assert self.e.send_response_head(sid, status, HM(headers), end).done

    def out(self):
        return take(self.e)

    def inp(self, data):
        for f, r in feed(self.e, data, self.spare)[0]:
            if isinstance(r, w.H2RecvHeadersVerdict):
                if r.kind == w.H2_HEADERS_IGNORED and f.status:
                    self.st(f.stream_id)["interim"].append(f.status)
                elif r.kind in (w.H2_HEADERS_OPENED, w.H2_HEADERS_HEAD):
                    assert r.handle is not None and r.eof == f.end_stream
                    self.on_head(f.stream_id, (f.method or f.status, list(f.headers.items())), r.eof)
                elif r.kind == w.H2_HEADERS_TRAILERS:
                    self.on_end(f.stream_id, list(f.headers.items()))
            elif isinstance(r, w.H2RecvDataVerdict) and r.payload is not None:
                assert r.payload is f.data
                self.e.release_capacity(f.stream_id, f.flow_controlled_len)
                if r.budgeted:
                    self.e.release_data_frame(f.stream_id, len(r.payload))
                self.on_data(f.stream_id, r.payload, r.eof)


class Theirs(Endpoint):
    def __init__(self, client, requests=(), handler=None, max_concurrent_streams=None):
        super().__init__(requests, handler)
        self.c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client,
                                                                       header_encoding=None))
        if max_concurrent_streams:
            self.c.local_settings = h2.settings.Settings(
                client=client, initial_values={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS:
                                               max_concurrent_streams})
        self.c.initiate_connection()

    def open(self, method, extra, end):
        if self.c.open_outbound_streams >= self.c.remote_settings.max_concurrent_streams:
            return None
        sid = self.c.get_next_available_stream_id()
        self.c.send_headers(sid, [(":method", method), (":scheme", "https"), (":path", "/p"),
                                  (":authority", "a")] + list(extra), end_stream=end)
        return sid

    def send_chunk(self, sid, body, off, end):
        n = min(self.c.local_flow_control_window(sid), self.c.max_outbound_frame_size, len(body) - off)
        if n > 0:
            self.c.send_data(sid, body[off:off + n], end_stream=end and off + n == len(body))
        return max(n, 0)

    def send_trailers(self, sid, trailers):
        self.c.send_headers(sid, trailers, end_stream=True)

    def send_head(self, sid, status, headers, end):
        self.c.send_headers(sid, [(":status", str(status))] + list(headers), end_stream=end)

    def out(self):
        return self.c.data_to_send()

    def inp(self, data):
        for ev in self.c.receive_data(data):
            sid = getattr(ev, "stream_id", None)
            if isinstance(ev, h2.events.InformationalResponseReceived):
                self.st(sid)["interim"].append(int(dict(ev.headers)[b":status"]))
            elif isinstance(ev, (h2.events.RequestReceived, h2.events.ResponseReceived)):
                hs = [(k.decode(), v) for k, v in ev.headers]
                key = ":method" if self.handler else ":status"
                head = (dict(hs)[key] if self.handler else int(dict(hs)[key]),
                        [(k, v) for k, v in hs if not k.startswith(":")])
                self.on_head(sid, head, False)
            elif isinstance(ev, h2.events.DataReceived):
                self.c.acknowledge_received_data(ev.flow_controlled_length, sid)
                self.on_data(sid, ev.data, False)
            elif isinstance(ev, h2.events.TrailersReceived):
                self.st(sid)["trailers"] = [(k.decode(), v) for k, v in ev.headers]
            elif isinstance(ev, h2.events.StreamEnded):
                self.on_end(sid, self.st(sid)["trailers"])


def run(cli, srv, rounds=2000):
    for i in range(rounds):
        if i > 1:  # the first rounds exchange the settings: the stream limit is known
            cli.step()
        srv.inp(cli.out())
        srv.step()
        cli.inp(srv.out())
        if not cli.todo and len(cli.done) == len(cli.streams) and all(
                s["out"] is None for s in srv.streams.values()):
            return
    raise AssertionError("the exchange did not finish")


def handler(req):
    """Echoes the request: status from the path-less method, body and trailers back."""
    method, body = req["head"][0], bytes(req["body"])
    if isinstance(method, bytes):
        method = method.decode()
    if method == "HEAD":
        return [], 200, [("content-length", "1234")], b"", None
    if method == "GET":
        return [103], 200, [("x-m", "get")], b"hello", None
    if method == "DELETE":
        return [], 204, [], b"", None
    if method == "OPTIONS":
        return [], 304, [("content-length", "10")], b"", None
    return [100], 200, [("content-length", str(len(body)))], body[::-1], req["trailers"] and [("x-e", "1")]


BIG = bytes(range(256)) * 800  # 204800 bytes: more than both default windows
EXCHANGES = {
    "get": [("GET", b"", None, [])],
    "post_big": [("POST", BIG, None, [("content-length", str(len(BIG)))])],
    "trailers": [("POST", b"abc" * 10, [("x-t", "1")], [])],
    "head_204_304": [("HEAD", b"", None, []), ("DELETE", b"", None, []), ("OPTIONS", b"", None, [])],
    "concurrent": [("POST", bytes([i]) * 40000, None, []) for i in range(12)],
}


def expected(method, body, trailers):
    interim, status, headers, rbody, rtrailers = handler(dict(head=(method,), body=body, trailers=trailers))
    return interim, status, rbody, rtrailers


@pytest.mark.parametrize("name", EXCHANGES)
@pytest.mark.parametrize("pair", ["ours-ours", "ours-h2", "h2-ours"])
def test_exchange(name, pair):
    reqs = EXCHANGES[name]
    limit = 4 if name == "concurrent" else None
    # Our windows differ from the defaults for the big body: the connection
    # window grows at once, the stream windows shrink when our settings are acked.
    kw = dict(initial_window_size=16384, connection_window=1 << 20) if name == "post_big" else {}
    cli = Theirs(True, reqs) if pair == "h2-ours" else Ours("client", reqs, **kw)
    srv = Theirs(False, handler=handler, max_concurrent_streams=limit) if pair == "ours-h2" else \
        Ours("server", handler=handler, max_concurrent_streams=limit, **kw)
    run(cli, srv)
    assert len(cli.done) == len(reqs)
    for (method, body, trailers, _), sid in zip(reqs, sorted(cli.streams)):
        s = cli.streams[sid]
        interim, status, rbody, rtrailers = expected(method, body, trailers)
        assert (s["interim"], s["head"][0], bytes(s["body"])) == (interim, status, rbody)
        assert s["trailers"] == (rtrailers and [(k, v.encode()) for k, v in rtrailers])
        assert bytes(srv.streams[sid]["body"]) == body
        if method == "HEAD":
            assert ("content-length", b"1234") in s["head"][1]
    # New stream ids reached the server in increasing order; bodies interleaved.
    assert srv.new_ids == sorted(srv.new_ids) == sorted(cli.streams)
    if name in ("post_big", "concurrent"):
        assert cli.waits > 0  # windows (and slots) ran out and came back
    if name == "concurrent":
        switches = sum(a != b for a, b in zip(srv.data_ids, srv.data_ids[1:]))
        assert switches > len(reqs)
    for side in (cli, srv):
        if isinstance(side, Ours):
            e = side.e
            assert (e.num_streams, e.num_open_streams, repr(e).split(", ")[1]) == (0, 0, "streams=0")
            cw = kw.get("connection_window", 65535)
            assert (e.conn_recv_available, e.data_frame_budget_available) == (cw, cw // 2)
            assert all(r() is None for r in side.refs)  # every handle went with its record
