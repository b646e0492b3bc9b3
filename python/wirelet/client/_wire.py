"""The byte pipe under one connection: an asyncio protocol, no stream objects.

Received bytes either go to a sink callback (the HTTP/1.1 idle watcher, the
HTTP/2 read pump) or are queued for one reader task; the reader pauses the
socket when too much piles up. Write pressure is mirrored into a drain wait.
"""

import asyncio
import collections

from wirelet._wirelet import ConnectionClosedError

from ._config import READ_HIGH_WATER, READ_LOW_WATER, ReadTimeout, WriteTimeout


def _expire(fut, exc_type, what):
    if not fut.done():
        fut.set_exception(exc_type(f"timed out {what}"))


class Wire(asyncio.Protocol):
    def __init__(self, loop):
        self.loop = loop
        self.transport = None
        self.sink = None  # callable(data, error): takes every byte instead of the queue
        self.on_lost = None  # callable(error) once the transport is gone
        self.on_resume = None  # callable() when the transport takes writes again
        self._chunks = collections.deque()
        self._buffered = 0
        self._eof = False
        self._error = None
        self._waiter = None
        self._reading_paused = False
        self._write_paused = False
        self._drain = None

    # -- asyncio.Protocol
    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        if self.sink is not None:
            self.sink(data, None)
            return
        self._chunks.append(data)
        self._buffered += len(data)
        w = self._waiter
        if w is not None and not w.done():
            w.set_result(None)
        if self._buffered > READ_HIGH_WATER and not self._reading_paused:
            self._reading_paused = True
            self.transport.pause_reading()

    def eof_received(self):
        self._ended(None)
        return False

    def connection_lost(self, exc):
        self._ended(exc)
        d = self._drain
        if d is not None and not d.done():
            d.set_result(None)
        cb, self.on_lost = self.on_lost, None
        if cb is not None:
            cb(exc)

    def pause_writing(self):
        self._write_paused = True

    def resume_writing(self):
        self._write_paused = False
        if self.on_resume is not None:
            self.on_resume()
        d = self._drain
        if d is not None and not d.done():
            d.set_result(None)

    def _ended(self, exc):
        if self._eof:
            return
        self._eof = True
        self._error = exc
        if self.sink is not None:
            self.sink(b"", exc)
        w = self._waiter
        if w is not None and not w.done():
            w.set_result(None)

    # -- driver side
    @property
    def at_eof(self):
        return self._eof

    @property
    def has_buffered(self):
        return self._buffered > 0

    def pop(self):
        """The next queued chunk, or b"" when nothing is queued."""
        if not self._chunks:
            return b""
        data = self._chunks.popleft()
        self._buffered -= len(data)
        if self._reading_paused and self._buffered < READ_LOW_WATER:
            self._reading_paused = False
            self.transport.resume_reading()
        return data

    async def read(self, timeout=None):
        """The next chunk; b"" at end of stream; raises on a transport error."""
        if not self._chunks and not self._eof:
            fut = self._waiter = self.loop.create_future()
            timer = None if timeout is None else self.loop.call_later(timeout, _expire, fut, ReadTimeout, "reading")
            try:
                await fut
            finally:
                self._waiter = None
                if timer is not None:
                    timer.cancel()
        if self._chunks:
            return self.pop()
        if self._error is not None:
            raise ConnectionClosedError(f"connection lost: {self._error}") from self._error
        return b""

    def write(self, data):
        t = self.transport
        if t is None or t.is_closing():
            raise ConnectionClosedError("connection closed")
        t.write(data)

    @property
    def write_paused(self):
        return self._write_paused

    async def drain(self, timeout=None):
        if not self._write_paused:
            return
        if self._eof and self._error is not None:
            raise ConnectionClosedError(f"connection lost: {self._error}")
        fut = self._drain = self.loop.create_future()
        timer = None if timeout is None else self.loop.call_later(timeout, _expire, fut, WriteTimeout, "writing")
        try:
            await fut
        finally:
            self._drain = None
            if timer is not None:
                timer.cancel()
        if self.transport is None or self.transport.is_closing():
            raise ConnectionClosedError("connection closed while writing")

    def close(self):
        t = self.transport
        if t is not None:
            t.close()

    def abort(self):
        t = self.transport
        if t is not None:
            t.abort()

    def alpn(self):
        t = self.transport
        sslobj = t.get_extra_info("ssl_object") if t is not None else None
        return sslobj.selected_alpn_protocol() if sslobj is not None else None
