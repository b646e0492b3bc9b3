"""The HTTP/1.1 connection: an asyncio protocol around H1ServerState.

Bytes arrive through data_received and go to exactly one consumer, chosen by
the connection's mode: the head parser between requests, the request's body
decoder while a body arrives, the decoder's spill-over buffer while the
response is produced (pipelined requests wait there, in order), or the drain
of a body the application left unread. The state object takes every decision
that matters for reuse; this class only moves bytes and wakes the request's
task.
"""

from __future__ import annotations

import asyncio
import logging

from wirelet import _wirelet as w
from wirelet.http import HeaderMap

from .host import Host
from .asgi import ASGI_INFO, EXTENSIONS, ClientDisconnected, error_page, trailer_list

log = logging.getLogger("wirelet.server")
access_log = logging.getLogger("wirelet.access")

H2_PREFACE = w.H2_PREFACE

# What the connection does with received bytes.
HEAD, BODY, BUSY, DRAIN, CLOSED = range(5)

_DISCONNECT = {"type": "http.disconnect"}
_EMPTY_BODY = {"type": "http.request", "body": b"", "more_body": False}

READ_PARSE = w.H1_READ_PARSE
READ_TRANSPORT = w.H1_READ_TRANSPORT
READ_WATCHER = w.H1_READ_WATCHER
NEXT_DRAIN = w.H1_NEXT_DRAIN
NEXT_CLOSE = w.H1_NEXT_CLOSE
REQ_OK = w.H1_REQ_OK
REQ_CONTINUE = w.H1_REQ_CONTINUE


def bare_response(status: int) -> bytes:
    """A body-less closing answer (the codec's automatic statuses, 408)."""
    codec = w.H1Codec()
    return codec.serialize_response(status, HeaderMap([("connection", "close")]), keep_alive=False)


class TransportRef:
    """What the connection state holds as its transport.

    The state is built before asyncio hands the protocol its transport, so it
    holds this small forwarder; closing it closes the real transport once.
    """

    __slots__ = ("transport",)

    def __init__(self):
        self.transport = None

    def close(self):
        t = self.transport
        if t is not None:
            t.close()


class H1Cycle:
    """One request and its response: the ASGI receive and send pair."""

    __slots__ = ("conn", "seq", "head", "chunks", "buffered", "body_done", "delivered", "trailers",
                 "disconnected", "finished", "status", "headers", "trailers_expected", "head_sent",
                 "waiter", "expect_continue")

    def __init__(self, conn, seq, head):
        self.conn = conn
        self.seq = seq
        self.head = head
        self.chunks = ()
        self.buffered = 0
        self.body_done = False
        self.delivered = False
        self.trailers = None
        self.disconnected = False
        self.finished = False
        self.status = None
        self.headers = None
        self.trailers_expected = False
        self.head_sent = False
        self.waiter = None
        self.expect_continue = False

    def wake(self):
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)

    def disconnect(self):
        if not self.disconnected:
            self.disconnected = True
            self.wake()

    async def receive(self):
        while True:
            if self.chunks or (self.body_done and not self.delivered):
                chunks = self.chunks
                body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
                self.chunks = ()
                self.buffered = 0
                conn = self.conn
                if conn.read_paused and conn.mode == BODY:
                    conn.resume_reading()
                    conn.deadline = conn.server.now + conn.body_timeout
                if not self.body_done:
                    return {"type": "http.request", "body": body, "more_body": True}
                self.delivered = True
                message = {"type": "http.request", "body": body, "more_body": False}
                if self.trailers is not None:
                    message["trailers"] = trailer_list(self.trailers)
                return message
            if self.disconnected or self.finished:
                return _DISCONNECT
            if self.expect_continue:
                # The client waits for a go-ahead before sending the body.
                self.expect_continue = False
                conn = self.conn
                if conn.try_send_continue(self.seq):
                    conn.transport.write(w.H1Codec.continue_response())
            waiter = self.waiter = self.conn.loop.create_future()
            await waiter

    async def send(self, message):
        kind = message["type"]
        if kind == "http.response.body":
            if self.finished or self.disconnected:
                if self.disconnected:
                    raise ClientDisconnected("the client has gone away")
                raise RuntimeError("response already completed")
            if self.status is None:
                raise RuntimeError("http.response.start must be sent first")
            conn = self.conn
            body = message.get("body", b"")
            more = message.get("more_body", False)
            if not self.head_sent:
                conn.write_head(self, body, not more and not self.trailers_expected)
            else:
                codec = conn.codec
                if body:
                    conn.transport.write(codec.serialize_data(body))
                if not more and not self.trailers_expected:
                    conn.end_body(self, codec.serialize_end())
            if conn.write_paused and not self.finished:
                await conn.drain()
        elif kind == "http.response.start":
            if self.status is not None:
                raise RuntimeError("http.response.start sent twice")
            self.headers = message.get("headers") or ()
            self.trailers_expected = message.get("trailers", False)
            self.status = message["status"]
        elif kind == "http.response.trailers":
            if not self.trailers_expected or not self.head_sent or self.finished:
                if self.disconnected:
                    raise ClientDisconnected("the client has gone away")
                raise RuntimeError("unexpected http.response.trailers")
            if message.get("more_trailers", False):
                raise RuntimeError("more_trailers is not supported")
            conn = self.conn
            conn.end_body(self, conn.codec.serialize_trailers(HeaderMap(message.get("headers") or ())))
        else:
            raise RuntimeError(f"unexpected ASGI message type {kind!r}")


class H1Connection(w.H1ServerState, asyncio.Protocol):
    """One HTTP/1.1 connection; hands itself over to HTTP/2 on the preface."""

    def __new__(cls, server):
        config = server.config
        codec = w.H1Codec(max_headers=config.max_headers, max_buf_size=config.max_head_size)
        ref = TransportRef()
        self = super().__new__(cls, codec, ref, keep_alive=config.keep_alive)
        self.ref = ref
        return self

    def __init__(self, server):
        self.server = server
        self.app = server.app
        self.config = server.config
        self.loop = server.loop
        self.transport = None
        self.mode = HEAD
        self.cycle = None
        self.decoder = None
        self.parked = False
        # Bytes read while telling HTTP/1 from the HTTP/2 preface; None once told.
        self.sniff = b""
        self.head_started = False
        self.deadline = 0.0
        self.eof = False
        self.read_paused = False
        self.write_paused = False
        self.drain_waiters = []
        self.spill = 0
        self.drained = 0
        self.client = None
        self.keep_alive_timeout = self.config.keep_alive_timeout
        self.body_timeout = self.config.body_timeout
        self.access_log = self.config.access_log
        self.host = None
        self.state = server.state
        self.targets = server.targets
        self.scope_base = None

    # -- asyncio protocol ------------------------------------------------

    def connection_made(self, transport):
        self.transport = transport
        server = self.server
        transport.set_write_buffer_limits(high=self.config.write_buffer_size)
        peer = transport.get_extra_info("peername")
        self.client = (peer[0], peer[1]) if isinstance(peer, tuple) else None
        sock = transport.get_extra_info("sockname")
        sockname = (sock[0], sock[1]) if isinstance(sock, tuple) else None
        scheme = "http"
        ssl_object = transport.get_extra_info("ssl_object")
        if ssl_object is not None:
            scheme = "https"
            self.sniff = None
            if ssl_object.selected_alpn_protocol() == "h2" and server.http2_available():
                self.mode = CLOSED
                server.switch_to_h2(self, transport, b"")
                return
        # What every request's scope on this connection shares. The request's
        # own keys are there too, in their place, so that filling them in
        # replaces values instead of growing (and resizing) each copy.
        self.scope_base = {"type": "http", "asgi": ASGI_INFO, "http_version": "1.1", "server": sockname,
                           "client": self.client, "scheme": scheme, "root_path": self.config.root_path,
                           "extensions": EXTENSIONS, "method": None, "path": None, "raw_path": None,
                           "query_string": None, "headers": None}
        self.ref.transport = transport
        server.connections.add(self)
        self.begin_read()  # a fresh connection parks its idle read on the transport
        self.parked = True
        self.deadline = self.server.now + self.config.head_timeout

    def data_received(self, data):
        mode = self.mode
        if mode == HEAD:
            if self.sniff is not None:
                data = self.sniff_preface(data)
                if data is None:
                    return
            # The head is read here rather than in a method of its own: a
            # call more on every request's path costs more than it reads.
            if self.parked:
                self.parked = False
                if self.unpark_idle_read():
                    return  # a shutdown closed the idle connection meanwhile
            try:
                parsed = self.accept_head(data)
            except w.H1ParseError:
                self.fail_head(self.codec.parse_error_status)
                return
            if parsed is None:
                if not self.head_started:
                    self.head_started = True
                    self.deadline = self.server.now + self.config.head_timeout
                return
            self.head_started = False
            self.deadline = 0.0
            head, seq, decoder = parsed  # a call with *parsed would cost a nested interpreter
            self.start_request(head, seq, decoder)
        elif mode == BODY:
            self.deadline = self.server.now + self.body_timeout
            self.decoder.feed(data)
            self.pump_body(self.cycle)
        elif mode == BUSY:
            # Pipelined bytes wait behind the current body in its decoder, so
            # the state moves them to the codec in order.
            self.decoder.feed(data)
            self.spill += len(data)
            if self.spill > self.config.max_head_size and not self.read_paused:
                self.pause_reading()
        elif mode == DRAIN:
            self.deadline = self.server.now + self.body_timeout
            self.decoder.feed(data)
            self.drain_body()

    def eof_received(self):
        self.eof = True
        mode = self.mode
        if mode == BUSY:
            cycle = self.cycle
            # The client closed its side while the response is produced. With
            # pipelined requests already buffered it merely half-closed: they
            # are answered, then the connection closes.
            if self.arm_watcher(cycle.seq, None, want=True) and self.watcher_completed(b""):
                cycle.disconnect()
                return False
            return True
        if mode == BODY:
            self.decoder.mark_eof()
            self.pump_body(self.cycle)
        elif mode == DRAIN:
            self.drain_body()
        return False

    def connection_lost(self, exc):
        self.mode = CLOSED
        self.server.connections.discard(self)
        self.ref.transport = None
        cycle = self.cycle
        if cycle is not None and not cycle.finished:
            cycle.disconnect()
        self.mark_closed()
        if self.host is not None:
            self.host.close()
        self.take_watcher_handle()
        self.take_watcher_result()
        self.write_paused = False
        self.release_drain_waiters()

    def pause_writing(self):
        self.write_paused = True

    def resume_writing(self):
        self.write_paused = False
        self.release_drain_waiters()

    def release_drain_waiters(self):
        waiters, self.drain_waiters = self.drain_waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)

    async def drain(self):
        if self.mode == CLOSED:
            return
        fut = self.loop.create_future()
        self.drain_waiters.append(fut)
        timer = self.loop.call_later(self.config.send_timeout, self.drain_expired, fut)
        try:
            await fut
        finally:
            timer.cancel()

    def drain_expired(self, fut):
        """A client that stops reading loses the connection after send_timeout."""
        if not fut.done() and self.transport is not None:
            log.info("client %s stopped reading; connection dropped", self.client)
            self.transport.abort()

    def pause_reading(self):
        if not self.read_paused and self.mode != CLOSED:
            self.read_paused = True
            self.transport.pause_reading()

    def resume_reading(self):
        if self.read_paused and self.mode != CLOSED:
            self.read_paused = False
            self.transport.resume_reading()

    # -- heads ---------------------------------------------------------------

    def sniff_preface(self, data):
        """Bytes to parse as HTTP/1, or None once the connection is HTTP/2 or
        more bytes are needed to tell."""
        if self.sniff:
            data = self.sniff + data
            self.sniff = b""
        if data[:1] != b"P" or not self.server.http2_available():
            self.sniff = None
            return data
        if len(data) < 24 and H2_PREFACE.startswith(data):
            self.sniff = data
            return None
        self.sniff = None
        if data.startswith(H2_PREFACE):
            self.mode = CLOSED
            self.server.connections.discard(self)
            self.ref.transport = None
            self.server.switch_to_h2(self, self.transport, data)
            return None
        return data

    def parse_buffered(self):
        if self.mode == HEAD and self.cycle is None:
            self.data_received(b"")  # the head path, with no new bytes

    def fail_head(self, status):
        self.mode = CLOSED
        ref = self.fail_read()
        if ref is not None:
            if status is not None:
                self.transport.write(bare_response(status))
            ref.close()

    def start_request(self, head, seq, decoder):
        cycle = H1Cycle(self, seq, head)
        self.cycle = cycle
        self.decoder = decoder
        self.spill = 0
        if head.body_kind == "empty":
            cycle.body_done = True
            self.mode = BUSY
        else:
            cycle.expect_continue = head.expect_continue
            self.mode = BODY
            self.deadline = self.server.now + self.body_timeout
            self.pump_body(cycle)
        headers = head.headers
        hosts = headers.get_all("host")
        http10 = head.http10
        if len(hosts) != 1 and (hosts or not http10):
            # HTTP/1.1 needs exactly one Host; HTTP/1.0 at most one.
            self.respond_plain(cycle, 400, b"missing or repeated Host header\n")
            return
        target = head.target
        parts = self.targets.get(target)
        if parts is None:
            parts = self.server.target_parts(target)
        # Copying the connection's template and setting the request's keys
        # is cheaper than merging keyword arguments into a new dict.
        scope = self.scope_base.copy()
        scope["method"] = head.method
        scope["path"], scope["raw_path"], scope["query_string"] = parts
        scope["headers"] = headers.raw_items()
        if http10:
            scope["http_version"] = "1.0"
        state = self.state
        if state:
            scope["state"] = state.copy()
        coro = self.run_app(cycle, scope)
        host = self.host
        if host is None or host.closed or (task := host.task).done() or task.cancelling():
            if not Host.supported:
                self.server.start_task(coro)
                return
            host = self.host = Host(self.loop)
        host.run(coro)

    def respond_plain(self, cycle, status, body):
        """A small closing answer written by the server itself."""
        cycle.status = status
        cycle.headers = [(b"content-type", b"text/plain; charset=utf-8"), (b"connection", b"close")]
        self.write_head(cycle, body, True)

    # -- bodies --------------------------------------------------------------

    def pump_body(self, cycle):
        decoder = self.decoder
        got = False
        try:
            while True:
                piece = decoder.decode()
                if piece is None:
                    break
                if piece:
                    if cycle.chunks:
                        cycle.chunks.append(piece)
                    else:
                        cycle.chunks = [piece]
                    cycle.buffered += len(piece)
                    got = True
        except w.H1BodyError as exc:
            log.debug("request body failed: %s", exc)
            self.end_body_read(cycle.seq, False)
            self.mark_unusable()
            cycle.disconnect()
            self.mode = CLOSED
            ref = self.fail_response(cycle.seq)
            if ref is not None:
                ref.close()
            return
        if decoder.is_complete:
            self.deadline = 0.0
            self.end_body_read(cycle.seq, True)
            cycle.body_done = True
            cycle.trailers = decoder.take_trailers()
            self.mode = BUSY
            cycle.wake()
        elif got:
            if cycle.buffered > self.config.body_buffer_size:
                # The application reads slower than the client sends; while
                # it catches up the client is not the one keeping us waiting.
                self.pause_reading()
                self.deadline = 0.0
            cycle.wake()

    def drain_body(self):
        """Discards a body the application did not read, so that the
        connection can serve the next request."""
        decoder = self.decoder
        try:
            while True:
                piece = decoder.decode()
                if piece is None:
                    break
                self.drained += len(piece)
            complete = decoder.is_complete
        except w.H1BodyError:
            complete = False
        if complete:
            self.next_request(*self.drain_done(True))
        elif self.drained > self.config.max_drain_size or self.eof:
            self.next_request(*self.drain_done(False))

    # -- responses -----------------------------------------------------------

    def write_head(self, cycle, body, final):
        headers = HeaderMap(cycle.headers)
        cycle.head_sent = True
        seq = cycle.seq
        # A final body of known size gets its length; anything else (a
        # streamed body, or one the application framed with its own
        # content-length, so that a short body is caught) is of unknown length.
        length = len(body) if final and "content-length" not in headers else None
        try:
            code, head, _ = self.respond_head(seq, cycle.status, headers, None, content_length=length,
                                              chunked=length is None)
            if code == REQ_CONTINUE:  # the continue went out synchronously
                code, head, _ = self.respond_head(seq, cycle.status, headers, None, content_length=length,
                                                  chunked=length is None)
        except (w.H1UserError, ValueError):
            self.abort(cycle)
            raise
        if code != REQ_OK:
            self.abort(cycle)
            cycle.disconnect()
            raise ClientDisconnected("the client has gone away")
        codec = self.codec
        if final:
            try:
                data = codec.serialize_head_and_body(head, body)
            except w.H1UserError:
                self.abort(cycle)
                raise
            self.transport.write(data)
            self.finish(cycle)
        elif body:
            self.transport.write(head + codec.serialize_data(body))
        else:
            self.transport.write(head)

    def end_body(self, cycle, tail):
        if tail:
            self.transport.write(tail)
        self.finish(cycle)

    def abort(self, cycle):
        """The response cannot be completed: the connection closes."""
        cycle.finished = True
        cycle.wake()
        self.mode = CLOSED
        ref = self.fail_response(cycle.seq)
        if ref is not None:
            ref.close()

    def finish(self, cycle):
        cycle.finished = True
        if cycle.waiter is not None:
            cycle.wake()
        if self.access_log:
            head = cycle.head
            access_log.info('%s - "%s %s HTTP/%s" %d', self.client and self.client[0], head.method,
                            head.target, "1.0" if head.http10 else "1.1", cycle.status)
        switch, close, ref, _ = self.finish_response(cycle.seq)
        if close or switch:
            self.mode = CLOSED
            if ref is not None:
                ref.close()
            return
        verdict, obj = self.begin_read()
        if verdict == READ_TRANSPORT and not self.eof:
            # The common keep-alive case, inlined: wait for the next head.
            self.cycle = None
            self.mode = HEAD
            self.parked = True
            self.deadline = self.server.now + self.keep_alive_timeout
            if self.read_paused:
                self.resume_reading()
            return
        self.next_request(verdict, obj)

    def next_request(self, verdict, obj):
        """Acts on the state's verdict about where the next head comes from."""
        if verdict == READ_TRANSPORT:
            self.cycle = None
            if self.eof:
                self.stop_serving()
                self.close_transport()
                return
            self.mode = HEAD
            self.parked = True
            self.deadline = self.server.now + self.keep_alive_timeout
            if self.read_paused:
                self.resume_reading()
        elif verdict == READ_PARSE:
            # A pipelined head is already buffered. It is parsed from the loop,
            # not from here: an application that answers without suspending
            # would otherwise nest one request inside the previous one.
            self.cycle = None
            self.mode = HEAD
            if self.read_paused:
                self.resume_reading()
            self.loop.call_soon(self.parse_buffered)
        elif verdict == NEXT_DRAIN:
            self.mode = DRAIN
            self.drained = 0
            cycle = self.cycle
            if cycle is not None and cycle.head.expect_continue and cycle.expect_continue:
                # The client still waits for a go-ahead that will not come.
                self.next_request(*self.drain_done(False))
                return
            if self.read_paused:
                self.resume_reading()
            self.deadline = self.server.now + self.body_timeout
            self.drain_body()
        elif verdict == NEXT_CLOSE:
            self.mode = CLOSED
            if obj is not None:
                obj.close()
        elif verdict == READ_WATCHER:
            # Only an end of stream completes a watcher here, and that makes
            # the connection unusable; release the slot and read again.
            self.take_watcher_handle()
            self.take_watcher_result()
            self.unpark_idle_read()
            self.next_request(*self.begin_read())
        else:  # no more requests: shutdown, or nothing to read from
            self.mode = CLOSED
            self.stop_serving()
            self.close_transport()

    def close_transport(self):
        self.mode = CLOSED
        ref, _, _ = self.mark_closed()
        if ref is not None:
            ref.close()
        elif self.transport is not None:
            self.transport.close()

    # -- the application -------------------------------------------------------

    async def run_app(self, cycle, scope):
        try:
            app = self.app  # read as an attribute, which is quicker than a method lookup
            await app(scope, cycle.receive, cycle.send)
        except BaseException as exc:  # noqa: BLE001 - the application's failure, reported
            if isinstance(exc, ClientDisconnected) or cycle.disconnected:
                return
            if not isinstance(exc, Exception):
                if not cycle.finished:
                    self.abort(cycle)
                if isinstance(exc, asyncio.CancelledError):
                    return  # the request's task was cancelled: it ends here
                raise
            log.exception("exception in ASGI application")
            if cycle.head_sent:
                if not cycle.finished:
                    self.abort(cycle)
            elif self.mode != CLOSED:
                headers, body = error_page(500)
                cycle.status, cycle.headers = 500, headers
                self.write_head(cycle, body, True)
            return
        if not cycle.finished and not cycle.disconnected:
            if cycle.head_sent:
                log.error("ASGI application returned without completing its response")
                self.abort(cycle)
            elif self.mode != CLOSED:
                log.error("ASGI application returned without sending a response")
                headers, body = error_page(500)
                cycle.status, cycle.headers = 500, headers
                self.write_head(cycle, body, True)

    # -- server side -------------------------------------------------------------

    def check_timeout(self, now):
        """Called by the server's sweep; closes a connection whose wait expired."""
        if not self.deadline or now < self.deadline:
            return
        self.deadline = 0.0
        mode = self.mode
        if mode == HEAD:
            if self.head_started:
                # A head that trickles in for too long gets a 408 and the door.
                self.fail_head(408)
            else:
                self.close_transport()
        elif mode == BODY:
            # The body stopped arriving: the application sees a disconnect and
            # the client, unless an answer already started, a 408.
            cycle = self.cycle
            self.end_body_read(cycle.seq, False)
            self.mark_unusable()
            cycle.disconnect()
            if cycle.status is None and not cycle.head_sent:
                self.respond_plain(cycle, 408, b"request body timed out\n")
            else:
                self.abort(cycle)
        elif mode == DRAIN:
            self.next_request(*self.drain_done(False))

    def shutdown(self):
        """Graceful shutdown: an idle connection closes now, a busy one after
        its exchange (its response says connection: close)."""
        ref = self.request_shutdown()
        if ref is not None:
            self.mode = CLOSED
            ref.close()
        elif self.mode == HEAD and not self.head_started and self.parked:
            self.close_transport()

    def abort_now(self):
        if self.transport is not None:
            self.transport.abort()
