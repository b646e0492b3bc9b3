"""A small HTTP/1.1 server on asyncio streams, driving H1ServerState + H1Codec.

It shows what a driver does around the state object: where the next head
comes from (begin_read), parsing (accept_head), 100-continue, reading the
body, claiming and writing the response (respond_head, body framing,
finish_response), keep-alive, the peer-closed watcher for streamed responses
and graceful shutdown.

Run: python examples/h1_server.py [port]      (Ctrl-C shuts down gracefully)
"""

import asyncio
import signal
import sys

from wirelet import _wirelet as w
from wirelet.http import HeaderMap

REASONS = {400: b"Bad Request", 414: b"URI Too Long", 431: b"Request Header Fields Too Large"}


class Transport:
    """The driver's view of one socket."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    async def read(self):
        try:
            return await self.reader.read(65536)
        except (ConnectionError, OSError):
            return b""

    def write(self, data):
        if data:
            self.writer.write(data)

    async def drain(self):
        await self.writer.drain()

    def close(self):
        self.writer.close()


class ServerConnection(w.H1ServerState):
    """The driver subclass: only asynchronous machinery is added."""


async def app(method, target, headers, body):
    """The application: returns (status, headers, body bytes or async chunk iterator)."""
    if target == "/stream":
        async def chunks():
            for i in range(5):
                yield f"tick {i}\n".encode()
                await asyncio.sleep(0.01)
        return 200, HeaderMap([("content-type", "text/plain")]), chunks()
    if method == "POST":
        return 200, HeaderMap([("content-type", "application/octet-stream")]), b"echo: " + body
    text = f"hello from wirelet: {method} {target}\n".encode()
    return 200, HeaderMap([("content-type", "text/plain"), ("server", "wirelet-demo")]), text


class Server:
    def __init__(self, idle_timeout=5.0):
        self.connections = set()
        self.idle_timeout = idle_timeout

    async def handle(self, reader, writer):
        transport = Transport(reader, writer)
        conn = ServerConnection(w.H1Codec(), transport)
        self.connections.add(conn)
        try:
            await self.serve(conn, transport)
        finally:
            self.connections.discard(conn)
            t, done, _ = conn.mark_closed()
            if t is not None:
                t.close()
            handle = conn.take_watcher_handle()
            if handle is not None:
                handle.cancel()

    async def next_head_bytes(self, conn, verdict, obj, transport):
        """Returns the first bytes of the next head, or None to stop."""
        if verdict == w.H1_READ_PARSE:
            return b""
        if verdict not in (w.H1_READ_TRANSPORT, w.H1_READ_WATCHER):
            return None  # H1_NEXT_NONE, H1_READ_SHUTDOWN, H1_READ_EOF
        # An idle connection is closed after idle_timeout: closing the
        # transport ends the parked read with an EOF.
        timer = asyncio.get_running_loop().call_later(self.idle_timeout, transport.close)
        try:
            if verdict == w.H1_READ_TRANSPORT:
                data = await obj.read()
                return None if conn.unpark_idle_read() or not data else data
            await obj.wait()  # the watcher's read is the idle read
            handle = conn.take_watcher_handle()
            if handle is not None:
                await handle
            if conn.unpark_idle_read():
                return None
            data, error = conn.take_watcher_result()
            return data if data and error is None else None
        finally:
            timer.cancel()

    async def serve(self, conn, transport):
        while True:
            verdict, obj = conn.begin_read()
            while verdict == w.H1_NEXT_DRAIN:  # unread body of the last request: one poll
                decoder = conn.current_decoder()
                try:
                    while decoder.decode():
                        pass
                    complete = decoder.is_complete
                except w.H1BodyError:
                    complete = False
                verdict, obj = conn.drain_done(complete)
            if verdict == w.H1_NEXT_CLOSE:
                if obj is not None:
                    obj.close()
                return
            data = await self.next_head_bytes(conn, verdict, obj, transport)
            if data is None:
                conn.stop_serving()
                return
            parsed = await self.read_head(conn, transport, data)
            if parsed is None:
                return
            if not await self.exchange(conn, transport, *parsed):
                return

    async def read_head(self, conn, transport, data):
        while True:
            try:
                parsed = conn.accept_head(data)
            except w.H1ParseError:
                status = conn.codec.parse_error_status
                t = conn.fail_read()
                if t is not None:
                    if status is not None:
                        t.write(b"HTTP/1.1 %d %s\r\ncontent-length: 0\r\nconnection: close\r\n\r\n"
                                % (status, REASONS[status]))
                    t.close()
                return None
            if parsed is not None:
                return parsed
            data = await transport.read()
            if not data:
                conn.stop_serving()
                return None

    async def read_body(self, conn, transport, seq, decoder):
        body = bytearray()
        if not conn.begin_body_read(seq):
            return bytes(body)
        try:
            while True:
                piece = decoder.decode()
                if piece:
                    body += piece
                    continue
                if decoder.is_complete:
                    break
                data = await transport.read()
                if data:
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
        except w.H1BodyError:
            conn.end_body_read(seq, False)
            conn.mark_unusable()
            raise
        conn.end_body_read(seq, True)
        return bytes(body)

    async def exchange(self, conn, transport, head, seq, decoder):
        """Serves one request; False when the connection must not go on."""
        codec = conn.codec
        if head.expect_continue and conn.try_send_continue(seq):
            transport.write(w.H1Codec.continue_response())
        try:
            body = b"" if decoder.is_complete else await self.read_body(conn, transport, seq, decoder)
        except w.H1BodyError:
            t = conn.fail_response(seq)
            if t is not None:
                t.close()
            return False
        status, headers, payload = await app(head.method, head.target, head.headers, body)
        streamed = not isinstance(payload, bytes)
        # Only a streamed response asks for the watcher, so only it needs an event.
        done = asyncio.Event() if streamed else None
        kwargs = {"chunked": True, "want": True} if streamed else {"content_length": len(payload)}
        code, head_bytes, armed = conn.respond_head(seq, status, headers, done, **kwargs)
        if code == w.H1_REQ_CONTINUE:  # a continue was claimed and written above
            code, head_bytes, armed = conn.respond_head(seq, status, headers, done, **kwargs)
        if code != w.H1_REQ_OK:
            t = conn.fail_response(seq)
            if t is not None:
                t.close()
            return False
        if armed:
            self.spawn_watcher(conn, transport, done)
        if streamed:
            transport.write(head_bytes)
            async for chunk in payload:
                if conn.peer_closed_flag(seq):
                    break  # the client went away: stop producing
                transport.write(codec.serialize_data(chunk))
                await transport.drain()
            transport.write(codec.serialize_end())
        else:
            transport.write(codec.serialize_head_and_body(head_bytes, payload))
        await transport.drain()
        switch, close, t, leftover = conn.finish_response(seq)
        if close or switch:
            if t is not None:
                t.close()
            return False
        return True

    def spawn_watcher(self, conn, transport, done):
        async def watch():
            data = await transport.read()
            conn.watcher_completed(data)
            done.set()

        task = asyncio.ensure_future(watch())
        refused = conn.store_watcher_handle(task)
        if refused is not None:
            refused.cancel()

    def shutdown(self):
        for conn in list(self.connections):
            t = conn.request_shutdown()
            if t is not None:
                t.close()


async def main(port=8080):
    server = Server()
    srv = await asyncio.start_server(server.handle, "127.0.0.1", port)
    print(f"serving on http://127.0.0.1:{port}/ (Ctrl-C to stop)")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGINT, stop.set)
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    async with srv:
        await stop.wait()
        srv.close()
        server.shutdown()
    print("shut down")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 8080))
