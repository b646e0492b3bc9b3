"""One HTTP/1.1 connection: the state object decides, this class moves bytes.

An exchange owns the connection from try_begin_exchange to end_exchange.
Between exchanges the idle watcher is armed: the wire's sink reports
whatever the server does on the idle connection (closes it, or talks out of
turn) to the state at once, so a dead connection is never handed out.
"""

import asyncio

from wirelet import _wirelet as w

# The watcher runs inside the wire's callbacks, not as a task: it has no
# done event of its own to set, so every slot carries this marker.
_INLINE_WATCHER = object()


class H1Connection(w.H1ClientState):
    """A pooled HTTP/1.1 connection over a Wire."""

    http2 = False

    def __new__(cls, wire, pool, origin):
        self = super().__new__(cls, wire)
        self.wire = wire
        self.codec = w.H1Codec()
        self.pool = pool
        self.origin = origin
        self.counted = True  # holds one of the pool's connection slots
        self.idle_since = 0.0
        self.reused = False  # taken from the idle stack for the current exchange
        return self

    # -- idle watching
    def park(self):
        """Arms the idle watcher; False when the connection serves no more."""
        if not self.arm_watcher(_INLINE_WATCHER):
            return False
        self.wire.sink = self._idle_read
        return True

    def _idle_read(self, data, error):
        self.wire.sink = None
        verdict, transport = self.watcher_completed(data, error)
        if verdict == w.H1_WATCH_IDLE_BYTES:
            transport = self.fail(w.H1UnexpectedMessageError("unexpected bytes from an idle server"))
        elif verdict == w.H1_WATCH_IDLE_ERROR:
            transport = self.fail(w.ConnectionClosedError(f"connection lost while idle: {error}"))
        self.take_watcher_result()
        if transport is not None:
            transport.close()
        if self.is_dead():
            self.pool.idle_closed(self)

    def unpark(self):
        """The exchange that claimed the connection takes the watcher down."""
        self.wire.sink = None
        if self.has_watcher:
            self.watcher_aborted()
            self.take_watcher_result()

    def close_idle(self):
        """Closes a connection that no exchange holds."""
        self.wire.sink = None
        transport, _, _, _ = self.mark_closed()
        self.take_watcher_result()
        if transport is not None:
            transport.close()
        self.pool.closed(self)

    async def aclose(self):
        self.close_idle()

    # -- one exchange
    def _abandon(self, exc):
        transport = self.fail(exc) if exc is not None else self.close_now()
        self.end_exchange()
        if transport is not None:
            transport.abort()
        self.pool.closed(self)

    async def request(self, method, target, headers, content, timeout, url, known_length):
        """Sends the request and reads the head; returns (head, body reader).
        The connection is already claimed (try_begin_exchange)."""
        codec = self.codec
        wire = self.wire
        try:
            if isinstance(content, (bytes, bytearray, memoryview)) or content is None:
                body = bytes(content) if content else None
                head = codec.serialize_request(method, target, headers, http10=self.peer_http10,
                                               content_length=len(body) if body is not None else None)
                self.exchange_started()
                wire.write(codec.serialize_head_and_body(head, body))
            else:
                head = codec.serialize_request(method, target, headers, http10=self.peer_http10,
                                               content_length=known_length, chunked=known_length is None)
                self.exchange_started()
                wire.write(head)
                if not codec.body_is_eof():
                    async for chunk in content:
                        if chunk:
                            wire.write(codec.serialize_data(bytes(chunk)))
                            if wire.write_paused:
                                await wire.drain(timeout.write)
                wire.write(codec.serialize_end())
            data = b""
            while (resp := codec.receive_head(data)) is None:
                data = await wire.read(timeout.read)
                if not data:
                    raise w.H1IncompleteMessageError("connection closed before message completed")
            if resp.http10:
                self.set_peer_http10(True)
            if resp.is_upgrade:
                # We never ask for a protocol switch; a peer that does
                # leaves the connection unusable for HTTP.
                transport = self.upgrade()
                self.end_exchange()
                if transport is not None:
                    transport.close()
                self.pool.closed(self)
                return resp, None
            decoder = w.H1BodyDecoder(resp.body_kind, resp.content_length or 0)
            codec.take_body_into(decoder)
            return resp, H1Body(self, decoder, resp, timeout.read)
        except BaseException as exc:
            self._abandon(exc.with_traceback(None) if isinstance(exc, w.WireletError) else None)
            raise

    def finish(self, body):
        """The body was read to its end: reuse the connection or close it."""
        self.codec.reset()
        reusable = (body.keep_alive and not self.codec.request_connection_close
                    and not body.decoder.buffered and not self.wire.has_buffered and not self.wire.at_eof)
        self.end_exchange()
        if reusable:
            self.pool.release(self)
        else:
            transport = self.close_now()
            if transport is not None:
                transport.close()
            self.pool.closed(self)


class H1Body:
    """Reads one response body through the connection's decoder."""

    __slots__ = ("conn", "decoder", "keep_alive", "timeout", "trailers", "done")

    def __init__(self, conn, decoder, head, timeout):
        self.conn = conn
        self.decoder = decoder
        self.keep_alive = head.keep_alive and head.body_kind != "close"
        self.timeout = timeout
        self.trailers = None
        self.done = False

    async def next(self):
        if self.done:
            return None
        decoder = self.decoder
        try:
            while True:
                piece = decoder.decode()
                if piece:
                    return piece
                if decoder.is_complete:
                    break
                more = await self.conn.wire.read(self.timeout)
                if more:
                    decoder.feed(more)
                else:
                    decoder.mark_eof()
        except BaseException as exc:
            self.done = True
            self.conn._abandon(exc.with_traceback(None) if isinstance(exc, w.WireletError) else None)
            raise
        self.done = True
        self.trailers = decoder.take_trailers()
        self.conn.finish(self)
        return None

    async def aclose(self):
        if self.done:
            return
        # What already arrived may complete the body: then the connection
        # stays reusable; otherwise the unread rest costs the connection.
        decoder = self.decoder
        try:
            while decoder.decode():
                pass
            while not decoder.is_complete and self.conn.wire.has_buffered:
                decoder.feed(self.conn.wire.pop())
                while decoder.decode():
                    pass
        except w.WireletError:
            pass
        self.done = True
        if decoder.is_complete:
            self.trailers = decoder.take_trailers()
            self.conn.finish(self)
        else:
            self.conn._abandon(None)
