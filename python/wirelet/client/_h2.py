"""One multiplexed HTTP/2 connection: H2Streams decides, this class moves bytes.

The read pump is the wire's sink: every received chunk is decoded and each
frame applied to the engine, whose verdicts name the streams to wake. The
write pump is a callback scheduled once per loop turn while the engine has
bytes pending, so frames of many streams leave in one write. Credits for
written DATA come back when the transport has taken the batch (at once, or
when it resumes writing).
"""

import collections

from wirelet import _wirelet as w

from ._config import (
    H2_CONNECTION_WINDOW,
    H2_INITIAL_WINDOW,
    H2_MAX_FRAME_SIZE,
    H2_MAX_HEADER_LIST_SIZE,
    H2_MAX_SEND_BUF,
    PoolTimeout,
    ReadTimeout,
    RetryRequest,
    WriteTimeout,
)
from ._models import Response

_WAKE = w.H2_FLAG_WAKE
_SLOT_FREED = w.H2_FLAG_SLOT_FREED
_CONN_DONE = w.H2_FLAG_CONN_DONE
_HEAD = w.H2_HEADERS_HEAD
_TRAILERS = w.H2_HEADERS_TRAILERS
_CANCEL = 8
_NO_ERROR = 0
_INTERNAL_ERROR = 2

# Header fields that only mean something on an HTTP/1.1 connection.
_HOP_BY_HOP = ("connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade")


def _expire(fut, exc_type, what):
    if not fut.done():
        fut.set_exception(exc_type(f"timed out {what}"))


class H2Stream:
    """The driver's handle of one stream: its head, body queue and wake-ups."""

    __slots__ = ("conn", "sid", "frame", "head_fut", "chunks", "eof", "stop", "trailers", "waiter", "window",
                 "sent_all")

    def __init__(self, conn):
        self.conn = conn
        self.sid = 0
        self.frame = None
        self.head_fut = conn.loop.create_future()
        self.chunks = collections.deque()
        self.eof = False
        self.stop = None
        self.trailers = None
        self.waiter = None
        self.window = None
        self.sent_all = False

    # -- called by the read pump
    def on_head(self, frame, eof):
        self.frame = frame
        if eof:
            self.eof = True
        if not self.head_fut.done():
            self.head_fut.set_result(None)

    def on_data(self, payload, budgeted, eof):
        if payload:
            self.chunks.append((payload, budgeted))
        if eof:
            self.eof = True
        self._wake_reader()

    def on_trailers(self, frame):
        self.trailers = frame.headers
        self.eof = True
        self._wake_reader()

    def on_stop(self, stop):
        if self.stop is None:
            self.stop = stop
        if not self.head_fut.done():
            self.head_fut.set_result(None)
        self._wake_reader()
        self.wake_window()

    def wake_window(self):
        f = self.window
        if f is not None and not f.done():
            f.set_result(None)

    def _wake_reader(self):
        f = self.waiter
        if f is not None and not f.done():
            f.set_result(None)

    # -- called by the request task
    async def wait_on(self, fut, timeout, exc_type, what):
        timer = None if timeout is None else self.conn.loop.call_later(timeout, _expire, fut, exc_type, what)
        try:
            await fut
        finally:
            if timer is not None:
                timer.cancel()

    def error(self):
        """The exception a reader or sender of a stopped stream raises."""
        stop = self.stop
        conn = self.conn
        if stop is None or (stop.reason is None and not stop.conn):
            err = conn.conn_error()
            if err is not None:
                return type(err)(*err.args)
            return w.H2StreamError(self.sid, _CANCEL, "user")
        if not stop.conn:
            return w.H2StreamError(self.sid, stop.reason, "remote")
        if stop.reason is not None:
            return w.ConnectionClosedError(
                f"the server went away (GOAWAY, error code {stop.reason}) before processing stream {self.sid}")
        err = conn.conn_error()
        if err is None:
            return w.ConnectionClosedError("connection closed")
        exc = type(err)(*err.args)
        exc.__cause__ = err
        return exc

    def unprocessed(self):
        """The peer's GOAWAY says it never processed this stream."""
        stop = self.stop
        return stop is not None and stop.conn and stop.reason is not None and self.frame is None


class H2Connection(w.H2Streams):
    http2 = True
    counted = True

    @classmethod
    def open(cls, wire, pool, origin):
        self = cls.__new__(cls, "client", initial_window_size=H2_INITIAL_WINDOW,
                           connection_window=H2_CONNECTION_WINDOW, max_frame_size=H2_MAX_FRAME_SIZE,
                           max_header_list_size=H2_MAX_HEADER_LIST_SIZE, max_send_buf_size=H2_MAX_SEND_BUF)
        self.wire = wire
        self.loop = wire.loop
        self.pool = pool
        self.origin = origin
        self.counted = True
        self.idle_since = 0.0
        self._flush_scheduled = False
        self._credit_due = False
        self._slot_waiters = collections.deque()
        self._gone = False
        self.begin()
        self._flush()
        wire.on_resume = self._resumed
        wire.sink = self._received
        while wire.has_buffered:
            self._received(wire.pop(), None)
        if wire.at_eof and not self._gone:
            self._lost(None)
        return self

    def usable(self):
        return not self._gone and not self.is_closed()

    # -- write pump
    def _kick(self):
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self.loop.call_soon(self._flush)

    def _flush(self):
        self._flush_scheduled = False
        view, _ = self.take_pending()
        if len(view):
            t = self.wire.transport
            if t is None or t.is_closing():
                return
            t.write(view)
        if self.wire.write_paused:
            self._credit_due = True
        else:
            for h in self.credit_written():
                h.wake_window()

    def _resumed(self):
        if self._credit_due:
            self._credit_due = False
            for h in self.credit_written():
                h.wake_window()

    def _flags(self, flags):
        if flags & _WAKE:
            self._kick()
        if flags & _SLOT_FREED:
            self._wake_slots()
        if flags & _CONN_DONE:
            self._finished()

    def _wake_slots(self):
        waiters = self._slot_waiters
        while waiters:
            f = waiters.popleft()
            if not f.done():
                f.set_result(None)

    # -- read pump
    def _received(self, data, error):
        if not data:
            self._lost(error)
            return
        try:
            frames = self.receive(data)
            flags = 0
            for f in frames:
                flags |= self._apply(f)
            flags |= self.maybe_goaway_reply()
        except (w.H2ProtocolError, w.H2FlowControlError) as exc:
            reason = exc.args[0] if isinstance(exc, w.H2ProtocolError) else 3
            self._violation(exc, reason if reason is not None else 1)
            return
        except Exception as exc:  # a fault of ours: fail loudly, not silently
            self._violation(exc, _INTERNAL_ERROR)
            raise
        if flags:
            self._flags(flags)

    def _apply(self, f):
        try:
            if type(f) is w.H2FrameData:
                v = self.recv_data(f)
                if v.handle is not None:
                    v.handle.on_data(v.payload, v.budgeted, v.eof)
                return v.flags
            if type(f) is w.H2FrameHeaders:
                v = self.recv_headers(f)
                kind = v.kind
                if kind == _HEAD:
                    v.handle.on_head(f, v.eof)
                elif kind == _TRAILERS:
                    v.handle.on_trailers(f)
                return v.flags
            if type(f) is w.H2FrameWindowUpdate:
                for h in self.recv_window_update(f):
                    h.wake_window()
                return 0
            if type(f) is w.H2FrameSettings:
                _, wake, flags = self.recv_settings(f)
                for h in wake:
                    h.wake_window()
                return flags
            if type(f) is w.H2FrameRstStream:
                r = self.recv_reset(f)
                if r is None:
                    return 0
                handle, stop, _, flags = r
                handle.on_stop(stop)
                return flags
            if type(f) is w.H2FramePing:
                return self.recv_ping(f)
            if type(f) is w.H2FrameGoAway:
                pairs, flags = self.recv_go_away(f)
                for handle, stop in pairs:
                    handle.on_stop(stop)
                self.pool.went_away(self)
                return flags
            if type(f) is w.H2FrameStreamError:
                return self._stream_error(f.stream_id, f.error_code)
            return 0
        except w.H2StreamError as exc:
            return self._stream_error(exc.args[0], exc.args[1])

    def _stream_error(self, sid, reason):
        v = self.reset_on_error(sid, reason)
        if v.handle is not None:
            v.handle.on_stop(v.stop)
        return v.flags

    def _violation(self, exc, reason):
        self._flags(self.send_goaway(reason))
        self._fail(exc.with_traceback(None))
        self._flush()
        self.wire.close()

    def _fail(self, exc=None, message="connection closed"):
        pairs = self.fail(exc, message)
        for handle, stop in pairs:
            handle.on_stop(stop)
        self._gone = True
        self._wake_slots()
        self.pool.closed(self)

    def _lost(self, error):
        if self._gone:
            return
        exc = w.ConnectionClosedError(f"connection lost: {error}" if error else "the server closed the connection")
        self._fail(exc)
        self.wire.close()

    def _finished(self):
        # GOAWAY exchanged and no stream left: the reply goes out, then we close.
        if self._gone:
            return
        self._gone = True
        self._flush()
        self.wire.close()
        self._wake_slots()
        self.pool.closed(self)

    async def aclose(self):
        if self._gone:
            return
        self._flags(self.send_goaway(_NO_ERROR))
        self._fail(None, "connection closed by the client")
        self._flush()
        self.wire.close()

    # -- one request
    async def _claim(self, timeout):
        while not self.try_claim_slot():
            if self._gone or self.is_closed():
                raise RetryRequest()
            fut = self.loop.create_future()
            self._slot_waiters.append(fut)
            timer = None
            if timeout is not None:
                timer = self.loop.call_later(timeout, _expire, fut, PoolTimeout, "waiting for a stream slot")
            try:
                await fut
            finally:
                if timer is not None:
                    timer.cancel()

    async def request(self, method, target, hm, content, timeout, url, origin):
        authority = hm.get("host")
        if authority is not None:
            del hm["host"]
            authority = authority.decode("latin-1")
        else:
            authority = origin.host_header
        for name in _HOP_BY_HOP:
            if name in hm:
                del hm[name]
        te = hm.get("te")
        if te is not None and te.lower() != b"trailers":
            del hm["te"]
        streamed = content is not None and not isinstance(content, (bytes, bytearray, memoryview))
        body = None if streamed or not content else bytes(content)
        if body is not None and "content-length" not in hm:
            hm["content-length"] = str(len(body))
        await self._claim(timeout.pool)
        stream = H2Stream(self)
        try:
            sid = self.open_stream(method, target, hm, body is None and not streamed, method == "HEAD", stream,
                                   scheme=origin.scheme, authority=authority)
        except BaseException:
            self.release_slot_count()
            raise
        if sid is None:
            raise RetryRequest()  # nothing went out: another connection takes it
        stream.sid = sid
        self._kick()
        try:
            if body is not None:
                await self._send(stream, body, True, timeout.write)
            elif streamed:
                async for chunk in content:
                    if chunk:
                        await self._send(stream, bytes(chunk), False, timeout.write)
                await self._send(stream, b"", True, timeout.write)
            stream.sent_all = True
            if stream.frame is None and stream.stop is None:
                await stream.wait_on(stream.head_fut, timeout.read, ReadTimeout, "waiting for the response")
            if stream.frame is None:
                if stream.unprocessed():
                    raise RetryRequest()
                raise stream.error()
        except RetryRequest:
            self._cancel(stream)
            if streamed:
                raise w.ConnectionClosedError(
                    "the server went away (GOAWAY) before processing the request, "
                    "and its streamed body cannot be sent again") from None
            raise
        except BaseException:
            self._cancel(stream)
            raise
        f = stream.frame
        return Response(f.status, f.headers, "HTTP/2", url, H2Body(stream, timeout.read))

    async def _send(self, stream, data, end, write_timeout):
        off = 0
        while True:
            v = self.send_data(stream.sid, data, off, end)
            if v.flags:
                self._flags(v.flags)
            if v.stopped is not None:
                stream.stop = stream.stop or v.stopped
                if stream.unprocessed():
                    raise RetryRequest()
                if stream.frame is not None:
                    return  # the server answered early; the rest of the body is moot
                raise stream.error()
            off += v.sent
            if v.done:
                return
            if v.sent == 0:
                if stream.stop is not None:
                    continue
                fut = stream.window = self.loop.create_future()
                try:
                    await stream.wait_on(fut, write_timeout, WriteTimeout, "waiting for flow-control window")
                finally:
                    stream.window = None

    def _cancel(self, stream):
        """The request is abandoned: reset the stream (nothing if it is gone)."""
        if self._gone:
            return
        v = self.reset_stream(stream.sid, _CANCEL)
        if v.flags:
            self._flags(v.flags)


class H2Body:
    """Reads one response body, returning receive capacity as it is consumed."""

    __slots__ = ("stream", "timeout", "trailers", "done")

    def __init__(self, stream, timeout):
        self.stream = stream
        self.timeout = timeout
        self.trailers = None
        self.done = False

    async def next(self):
        s = self.stream
        conn = s.conn
        while not s.chunks:
            if s.eof:
                self.done = True
                self.trailers = s.trailers
                return None
            if s.stop is not None:
                self.done = True
                raise s.error()
            fut = s.waiter = conn.loop.create_future()
            try:
                await s.wait_on(fut, self.timeout, ReadTimeout, "reading")
            except BaseException:
                self.done = True
                conn._cancel(s)
                raise
            finally:
                s.waiter = None
        payload, budgeted = s.chunks.popleft()
        n = len(payload)
        flags = conn.release_capacity(s.sid, n)
        if budgeted:
            conn.release_data_frame(s.sid, n)
        if flags:
            conn._flags(flags)
        return payload

    async def aclose(self):
        if self.done:
            return
        self.done = True
        s = self.stream
        conn = s.conn
        s.chunks.clear()
        if not conn._gone:
            v = conn.aclose_body(s.sid)
            if v.flags:
                conn._flags(v.flags)
