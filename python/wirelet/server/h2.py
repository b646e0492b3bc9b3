"""The HTTP/2 connection: an asyncio protocol that subclasses H2Streams.

Read pump: data_received decodes the bytes into frames (receive) and applies
each to the engine (recv_*); the verdicts name the streams to wake and the
flag bits say what else to do. Streams opened by a batch are accepted at its
end, each starting its own task that runs the application.

Write pump: a callback scheduled once per loop turn while the engine has
bytes pending (H2_FLAG_WAKE); it writes the whole batch at once and, once the
transport has taken it, credits the written DATA back so that senders
blocked on their send buffer continue. While the transport's buffer is full
the credits wait and reading pauses, so a peer that does not read cannot make
the server queue without bound.

Stream tasks: the ASGI receive reads the body queue and returns receive
capacity as the application consumes it (release_capacity), so flow control
follows the application's pace; send frames the response through
send_response_head, send_data and send_trailers, waiting on the stream's
window event when the engine has no room.
"""

from __future__ import annotations

import asyncio
import collections
import logging
from wirelet import _wirelet as w
from wirelet.http import HeaderMap

from .asgi import ASGI_INFO, EXTENSIONS, ClientDisconnected, error_page, trailer_list

log = logging.getLogger("wirelet.server")

_WAKE = w.H2_FLAG_WAKE
_CONN_DONE = w.H2_FLAG_CONN_DONE
_STOP_ACCEPTING = w.H2_FLAG_STOP_ACCEPTING
_OPENED = w.H2_HEADERS_OPENED
_TRAILERS = w.H2_HEADERS_TRAILERS

NO_ERROR = 0
PROTOCOL_ERROR = 1
INTERNAL_ERROR = 2
FLOW_CONTROL_ERROR = 3
SETTINGS_TIMEOUT = 4
CANCEL = 8
ENHANCE_YOUR_CALM = 11

# Fields that only mean something on an HTTP/1.1 connection; an application
# written for HTTP/1.1 may still send them.
_HOP_BY_HOP = ("connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade")

_DISCONNECT = {"type": "http.disconnect"}

_Data = w.H2FrameData
_Headers = w.H2FrameHeaders
_WindowUpdate = w.H2FrameWindowUpdate
_Settings = w.H2FrameSettings
_Rst = w.H2FrameRstStream
_Ping = w.H2FramePing
_GoAway = w.H2FrameGoAway
_StreamError = w.H2FrameStreamError


def engine_ready() -> bool:
    """Whether this build's HTTP/2 engine can serve: every server-side
    operation is in place."""
    engine = w.H2Streams("server", initial_window_size=65535, connection_window=65535, max_frame_size=16384,
                         max_header_list_size=65536, max_send_buf_size=65536)
    # HEADERS for stream 1: GET http://x/ from the static table, END_STREAM | END_HEADERS.
    block = bytes([0x82, 0x86, 0x84, 0x41, 0x01]) + b"x"
    head = len(block).to_bytes(3, "big") + bytes([1, 5]) + (1).to_bytes(4, "big")
    try:
        engine.begin()
        frame = engine.receive(w.H2_PREFACE + head + block)[0]
        assert isinstance(frame, w.H2FrameHeaders)
        engine.recv_headers(frame, object())
        engine.send_response_head(1, 200, HeaderMap(), False)
        engine.send_data(1, b"", 0, True)
        engine.release_capacity(1, 0)
        engine.take_pending()
    except NotImplementedError:
        return False
    return True


class _Stop(collections.namedtuple("_Stop", "reason conn")):
    """A stop the driver decided itself (the engine's own are H2Stopped)."""


_TIMED_OUT = _Stop(CANCEL, False)


def _response_headers(headers) -> HeaderMap:
    hm = HeaderMap(headers)
    for name in _HOP_BY_HOP:
        if name in hm:
            del hm[name]
    te = hm.get("te")
    if te is not None and te.lower() != b"trailers":
        del hm["te"]
    return hm


class H2Stream:
    """One request on the connection: the engine's handle for the stream and
    the application's receive/send pair."""

    __slots__ = ("conn", "sid", "chunks", "eof", "delivered", "stop", "trailers", "waiter", "window", "status",
                 "headers", "trailers_expected", "head_sent", "finished", "frame", "timer", "is_head",
                 "body_deadline")

    def __init__(self, conn):
        self.conn = conn
        self.sid = 0
        self.chunks = collections.deque()
        self.eof = False
        self.delivered = False
        self.stop = None
        self.trailers = None
        self.waiter = None
        self.window = None
        self.status = None
        self.headers = None
        self.trailers_expected = False
        self.head_sent = False
        self.finished = False
        self.frame = None
        self.timer = None
        self.is_head = False
        # While the request body is awaited from the peer (nothing unread
        # is buffered): when the wait ends; 0.0 otherwise.
        self.body_deadline = 0.0

    # -- called by the read pump
    def on_data(self, payload, budgeted, eof):
        if payload:
            self.chunks.append((payload, budgeted))
            # The application is the one to catch up now.
            self.body_deadline = 0.0
        if eof:
            self.eof = True
            self.conn.body_ended(self)
        self.wake()

    def on_trailers(self, headers):
        self.trailers = headers
        self.eof = True
        self.conn.body_ended(self)
        self.wake()

    def on_stop(self, stop, notify_body=True):
        self.conn.body_ended(self)
        if self.stop is None:
            self.stop = stop
        if notify_body:
            self.chunks.clear()
        self.wake()
        self.wake_window()

    def wake(self):
        f = self.waiter
        if f is not None:
            self.waiter = None
            if not f.done():
                f.set_result(None)

    def wake_window(self):
        f = self.window
        if f is not None:
            self.window = None
            if not f.done():
                f.set_result(None)

    # -- ASGI
    async def receive(self):
        conn = self.conn
        while True:
            chunks = self.chunks
            if chunks:
                n = 0
                parts = []
                sid = self.sid
                while chunks:
                    payload, budgeted = chunks.popleft()
                    parts.append(payload)
                    n += len(payload)
                    if budgeted:
                        conn.release_data_frame(sid, len(payload))
                # The peer's window reopens only as the application reads.
                flags = conn.release_capacity(sid, n)
                if flags:
                    conn.on_flags(flags)
                body = parts[0] if len(parts) == 1 else b"".join(parts)
                if not self.eof:
                    if self.stop is None:
                        self.body_deadline = conn.server.now + conn.body_timeout
                    return {"type": "http.request", "body": body, "more_body": True}
                return self.last_message(body)
            if self.eof and not self.delivered:
                return self.last_message(b"")
            if self.stop is not None or self.finished or conn.gone:
                return _DISCONNECT
            self.waiter = conn.loop.create_future()
            await self.waiter

    def last_message(self, body):
        self.delivered = True
        message = {"type": "http.request", "body": body, "more_body": False}
        if self.trailers is not None:
            message["trailers"] = trailer_list(self.trailers)
        return message

    async def send(self, message):
        kind = message["type"]
        conn = self.conn
        if kind == "http.response.body":
            if self.is_head and self.head_sent and self.stop is None:
                return  # the rest of a body that a response to HEAD does not carry
            if self.finished or self.stop is not None:
                if self.finished and self.stop is None:
                    raise RuntimeError("response already completed")
                raise ClientDisconnected("the stream was reset or the connection is gone")
            if self.status is None:
                raise RuntimeError("http.response.start must be sent first")
            body = message.get("body", b"")
            end = not message.get("more_body", False) and not self.trailers_expected
            if self.is_head:
                # A response to HEAD has no content: the head ends the stream
                # and whatever body the application sends is dropped.
                if not self.head_sent:
                    self.send_head(True)
                return
            if not self.head_sent:
                self.send_head(not body and end)
                if not body and end:
                    return
            if body or end:
                await self.send_body(bytes(body) if not isinstance(body, bytes) else body, end)
        elif kind == "http.response.start":
            if self.status is not None:
                raise RuntimeError("http.response.start sent twice")
            self.headers = message.get("headers") or ()
            self.trailers_expected = message.get("trailers", False)
            self.status = message["status"]
        elif kind == "http.response.trailers":
            if self.is_head and self.head_sent:
                return
            if not self.trailers_expected or not self.head_sent or self.finished:
                raise RuntimeError("unexpected http.response.trailers")
            if message.get("more_trailers", False):
                raise RuntimeError("more_trailers is not supported")
            v = conn.send_trailers(self.sid, _response_headers(message.get("headers") or ()))
            self.after_send(v)
            if v.stopped is not None:
                raise ClientDisconnected("the stream was reset or the connection is gone")
            self.finished = True
        else:
            raise RuntimeError(f"unexpected ASGI message type {kind!r}")

    def send_head(self, end):
        conn = self.conn
        hm = _response_headers(self.headers)
        v = conn.send_response_head(self.sid, self.status, hm, end)
        self.head_sent = True
        self.after_send(v)
        if v.stopped is not None:
            self.stop = self.stop or v.stopped
            raise ClientDisconnected("the stream was reset or the connection is gone")
        if end:
            self.finished = True

    def after_send(self, v):
        if v.flags:
            self.conn.on_flags(v.flags)
        if v.handle is not None:
            # Our side ended before the request body: the engine reset the
            # rest of it; its readers learn why.
            v.handle.on_stop(v.reader_stop)

    async def send_body(self, data, end):
        conn = self.conn
        sid = self.sid
        off = 0
        while True:
            v = conn.send_data(sid, data, off, end)
            if v.flags or v.handle is not None:
                self.after_send(v)
            if v.stopped is not None:
                self.stop = self.stop or v.stopped
                raise ClientDisconnected("the stream was reset or the connection is gone")
            off += v.sent
            if v.done:
                if end:
                    self.finished = True
                return
            if v.sent == 0:
                await self.wait_window()

    async def wait_window(self):
        """Waits for window or send-buffer room; a peer that opens neither in
        time loses the stream."""
        conn = self.conn
        fut = self.window = conn.loop.create_future()
        timer = conn.loop.call_later(conn.send_timeout, self.window_expired, fut)
        try:
            await fut
        finally:
            timer.cancel()

    def window_expired(self, fut):
        if fut.done():
            return
        conn = self.conn
        log.info("stream %d: no flow-control window for %.1fs, reset", self.sid, conn.send_timeout)
        v = conn.reset_stream(self.sid, CANCEL)
        if v.flags:
            conn.on_flags(v.flags)
        self.on_stop(v.stop if v.stop is not None else _TIMED_OUT)
        fut.set_result(None)


class H2Connection(w.H2Streams, asyncio.Protocol):
    """One HTTP/2 connection on the server."""

    def __new__(cls, server):
        c = server.config
        return super().__new__(cls, "server", initial_window_size=c.initial_window_size,
                               connection_window=c.connection_window, max_frame_size=c.max_frame_size,
                               max_header_list_size=c.max_header_list_size, max_send_buf_size=c.max_send_buf_size,
                               max_concurrent_streams=c.max_concurrent_streams)

    def __init__(self, server):
        c = server.config
        self.server = server
        self.config = c
        self.app = server.app
        self.loop = server.loop
        self.transport = None
        self.gone = False
        self.flush_scheduled = False
        self.credit_due = False
        self.write_paused = False
        self.read_paused = False
        self.spare = None
        self.opened = []
        self.settings_deadline = 0.0
        self.idle_since = 0.0
        self.control_frames = 0
        self.send_timeout = c.send_timeout
        self.body_timeout = c.body_timeout
        # Streams whose request body is still to come.
        self.body_waits = set()
        self.scheme = "http"
        self.client = None
        self.sockname = None
        self.root_path = c.root_path
        self.closing = False
        self.targets = server.targets

    # -- asyncio protocol ------------------------------------------------------

    def connection_made(self, transport):
        self.transport = transport
        transport.set_write_buffer_limits(high=self.config.write_buffer_size)
        peer = transport.get_extra_info("peername")
        self.client = (peer[0], peer[1]) if isinstance(peer, tuple) else None
        sock = transport.get_extra_info("sockname")
        self.sockname = (sock[0], sock[1]) if isinstance(sock, tuple) else None
        if transport.get_extra_info("ssl_object") is not None:
            self.scheme = "https"
        server = self.server
        server.connections.add(self)
        self.settings_deadline = server.now + self.config.settings_timeout
        self.idle_since = server.now
        self.begin()
        self.flush()

    def data_received(self, data):
        if self.gone:
            return
        self.idle_since = self.server.now
        try:
            frames = self.receive(data)
            flags = 0
            for f in frames:
                flags |= self.apply(f)
            flags |= self.maybe_goaway_reply()
        except (w.H2ProtocolError, w.H2FlowControlError) as exc:
            reason = exc.args[0] if isinstance(exc, w.H2ProtocolError) else FLOW_CONTROL_ERROR
            self.violation(exc, PROTOCOL_ERROR if reason is None else reason)
            return
        except Exception as exc:  # a fault of ours: fail the connection loudly
            log.exception("HTTP/2 connection failed")
            self.violation(exc, INTERNAL_ERROR)
            return
        if self.opened:
            self.start_opened()
        if flags:
            self.on_flags(flags)

    def primed(self, data):
        """Takes the first bytes that the HTTP/1.1 side read: the preface it
        recognised, then whatever followed it."""
        preface = len(w.H2_PREFACE)
        if self.prime(data[:preface]) is not True:
            self.violation(w.H2ProtocolError(PROTOCOL_ERROR, "bad client connection preface"), PROTOCOL_ERROR)
            return
        if len(data) > preface:
            self.data_received(data[preface:])

    def connection_lost(self, exc):
        self.server.connections.discard(self)
        if not self.gone:
            self.gone = True
            err = w.ConnectionClosedError(f"connection lost: {exc}" if exc else "the client closed the connection")
            for handle, stop in self.fail(err):
                handle.on_stop(stop)
        self.transport = None

    def eof_received(self):
        return False

    def pause_writing(self):
        self.write_paused = True
        # A peer that does not read must not make us queue its answers without
        # bound: read nothing more until it catches up.
        if not self.read_paused and self.transport is not None:
            self.read_paused = True
            self.transport.pause_reading()

    def resume_writing(self):
        self.write_paused = False
        if self.read_paused and self.transport is not None:
            self.read_paused = False
            self.transport.resume_reading()
        if self.credit_due:
            self.credit_due = False
            for h in self.credit_written():
                h.wake_window()

    # -- write pump --------------------------------------------------------------

    def kick(self):
        if not self.flush_scheduled:
            self.flush_scheduled = True
            self.loop.call_soon(self.flush)

    def flush(self):
        self.flush_scheduled = False
        view, _ = self.take_pending()
        t = self.transport
        if len(view) and t is not None and not t.is_closing():
            t.write(view)
        if self.write_paused:
            self.credit_due = True
        else:
            for h in self.credit_written():
                h.wake_window()

    def on_flags(self, flags):
        if flags & _WAKE:
            self.kick()
        if flags & (_CONN_DONE | _STOP_ACCEPTING):
            self.finish_connection()

    # -- read pump -----------------------------------------------------------------

    def apply(self, f):
        try:
            t = type(f)
            if t is _Data:
                v = self.recv_data(f)
                if v.handle is not None:
                    v.handle.on_data(v.payload, v.budgeted, v.eof)
                return v.flags
            if t is _Headers:
                spare = self.spare
                if spare is None:
                    spare = self.spare = H2Stream(self)
                v = self.recv_headers(f, spare)
                kind = v.kind
                if kind == _OPENED:
                    self.spare = None
                    spare.sid = v.stream_id
                    spare.frame = f
                    spare.eof = v.eof
                    self.opened.append(spare)
                elif kind == _TRAILERS:
                    v.handle.on_trailers(f.headers)
                return v.flags
            if t is _WindowUpdate:
                for h in self.recv_window_update(f):
                    h.wake_window()
                return 0
            if t is _Settings:
                if f.ack:
                    self.settings_deadline = 0.0
                else:
                    self.count_control()
                _, wake, flags = self.recv_settings(f)
                for h in wake:
                    h.wake_window()
                return flags
            if t is _Rst:
                r = self.recv_reset(f)
                if r is None:
                    return 0
                handle, stop, notify_body, flags = r
                handle.on_stop(stop, notify_body)
                return flags
            if t is _Ping:
                if not f.ack:
                    self.count_control()
                return self.recv_ping(f)
            if t is _GoAway:
                pairs, flags = self.recv_go_away(f)
                for handle, stop in pairs:
                    handle.on_stop(stop)
                return flags
            if t is _StreamError:
                return self.stream_error(f.stream_id, f.error_code)
            return 0
        except w.H2StreamError as exc:
            return self.stream_error(exc.args[0], exc.args[1])

    def count_control(self):
        """PING and SETTINGS each demand an answer; a peer that sends them
        faster than any client needs is flooding."""
        self.control_frames += 1
        if self.control_frames > self.config.max_control_frames:
            raise w.H2ProtocolError(ENHANCE_YOUR_CALM, "too many PING or SETTINGS frames")

    def stream_error(self, sid, reason):
        v = self.reset_on_error(sid, reason)
        if v.handle is not None:
            v.handle.on_stop(v.stop)
        return v.flags

    def start_opened(self):
        """The accept step: streams opened in this batch start their tasks.
        A stream the peer reset within the same batch is not accepted; the
        engine counts those and stops a rapid-reset flood."""
        opened, self.opened = self.opened, []
        server = self.server
        for stream in opened:
            if stream.stop is not None:
                continue
            self.accepted(stream.sid)
            scope = self.scope_for(stream)
            if scope is None:
                continue
            if not stream.eof:
                if not stream.chunks:  # else the body's start waits on the application
                    stream.body_deadline = server.now + self.body_timeout
                self.body_waits.add(stream)
            server.start_task(self.run_app(stream, scope))

    def scope_for(self, stream):
        f = stream.frame
        stream.frame = None
        target = f.path
        method = f.method
        stream.is_head = method == "HEAD"
        if target is None or method is None:
            v = self.reset_stream(stream.sid, PROTOCOL_ERROR)
            if v.flags:
                self.on_flags(v.flags)
            return None
        parts = self.targets.get(target)
        if parts is None:
            parts = self.server.target_parts(target)
        headers = f.headers.raw_items()
        authority = f.authority
        if authority is not None and "host" not in f.headers:
            headers.insert(0, (b"host", authority.encode("latin-1")))
        scope = {
            "type": "http",
            "asgi": ASGI_INFO,
            "http_version": "2",
            "server": self.sockname,
            "client": self.client,
            "scheme": f.scheme or self.scheme,
            "method": method,
            "root_path": self.root_path,
            "path": parts[0],
            "raw_path": parts[1],
            "query_string": parts[2],
            "headers": headers,
            "extensions": EXTENSIONS,
        }
        state = self.server.state
        if state:
            scope["state"] = state.copy()
        return scope

    # -- failures and the end --------------------------------------------------------

    def violation(self, exc, reason):
        """The peer broke the protocol: GOAWAY with the reason, then close."""
        if self.gone:
            return
        log.info("HTTP/2 connection error from %s: %s", self.client, exc)
        self.on_flags(self.send_goaway(reason))
        self.gone = True
        for handle, stop in self.fail(w.H2ProtocolError(reason, str(exc))):
            handle.on_stop(stop)
        self.flush()
        self.close_transport()

    def finish_connection(self):
        """The GOAWAY exchange is complete, or a graceful shutdown drained."""
        if self.gone:
            return
        self.gone = True
        for handle, stop in self.fail(None, "connection closed"):
            handle.on_stop(stop)
        self.flush()
        self.close_transport()

    def close_transport(self):
        t = self.transport
        if t is not None:
            if self.write_paused:
                t.abort()  # the peer does not read: waiting to flush would wait forever
            else:
                t.close()

    def check_timeout(self, now):
        if self.gone:
            return
        self.control_frames = 0
        if self.settings_deadline and now >= self.settings_deadline:
            self.violation(w.H2ProtocolError(SETTINGS_TIMEOUT, "no SETTINGS acknowledgement"), SETTINGS_TIMEOUT)
            return
        if self.body_waits:
            for stream in [st for st in self.body_waits if st.body_deadline and now >= st.body_deadline]:
                self.body_expired(stream)
        if self.num_streams:
            self.idle_since = now
        elif now - self.idle_since >= self.config.keep_alive_timeout:
            self.on_flags(self.send_goaway(NO_ERROR))
            self.finish_connection()

    def body_ended(self, stream):
        self.body_waits.discard(stream)
        stream.body_deadline = 0.0

    def body_expired(self, stream):
        """A request body that stopped arriving: the stream is cancelled (the
        peer broke no rule, the server just stops waiting), which frees its
        slot, and the application's receive reports a disconnect."""
        log.info("stream %d: request body stalled for %.1fs, reset", stream.sid, self.body_timeout)
        v = self.reset_stream(stream.sid, CANCEL)
        if v.flags:
            self.on_flags(v.flags)
        stream.on_stop(v.stop if v.stop is not None else _TIMED_OUT)

    def shutdown(self):
        """Graceful shutdown: GOAWAY, a PING to learn the last stream the peer
        sent, then the final GOAWAY; open streams finish first."""
        if not self.gone:
            self.on_flags(self.begin_graceful_shutdown())

    def abort_now(self):
        if self.transport is not None:
            self.transport.abort()

    # -- the application ---------------------------------------------------------------

    async def run_app(self, stream, scope):
        try:
            await self.app(scope, stream.receive, stream.send)
        except BaseException as exc:  # noqa: BLE001 - the application's failure, reported
            if not isinstance(exc, Exception):
                self.end_stream(stream, INTERNAL_ERROR)
                raise
            if not isinstance(exc, ClientDisconnected) and stream.stop is None:
                log.exception("exception in ASGI application")
            if not stream.head_sent and stream.stop is None and not self.gone:
                try:
                    headers, body = error_page(500)
                    stream.status, stream.headers = 500, headers
                    stream.send_head(False)
                    await stream.send_body(body, True)
                except ClientDisconnected:
                    pass
            self.end_stream(stream, INTERNAL_ERROR)
            return
        if not stream.finished and stream.stop is None and not self.gone:
            if stream.head_sent:
                log.error("ASGI application returned without completing its response")
            else:
                log.error("ASGI application returned without sending a response")
                try:
                    headers, body = error_page(500)
                    stream.status, stream.headers = 500, headers
                    stream.send_head(False)
                    await stream.send_body(body, True)
                except ClientDisconnected:
                    pass
        self.end_stream(stream, INTERNAL_ERROR)

    def end_stream(self, stream, reason):
        """The application is done with the stream: an unfinished response is
        reset, an unread request body released."""
        self.body_ended(stream)
        if self.gone:
            return
        if not stream.finished and stream.stop is None:
            v = self.reset_stream(stream.sid, reason)
        else:
            stream.chunks.clear()
            v = self.aclose_body(stream.sid)
        if v.flags:
            self.on_flags(v.flags)
