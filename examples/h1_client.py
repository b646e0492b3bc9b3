"""A small HTTP/1.1 client on asyncio streams, driving H1ClientState + H1Codec.

Connections are reused while the server keeps them alive; between exchanges
an idle watcher (a parked read) notices a server that closes the connection
or talks out of turn, so a dead connection is never picked for a request.

Run: python examples/h1_client.py URL...
"""

import asyncio
import sys

from wirelet import _wirelet as w
from wirelet.http import HeaderMap


class Transport:
    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    async def read(self):
        try:
            return await self.reader.read(65536)
        except (ConnectionError, OSError):
            return b""

    def write(self, data):
        self.writer.write(data)

    def close(self):
        self.writer.close()


class ClientConnection(w.H1ClientState):
    """The driver subclass adds the codec and a name for the demo's log."""

    def __new__(cls, transport, name):
        self = super().__new__(cls, transport)
        self.codec = w.H1Codec()
        self.name = name
        return self


class Response:
    def __init__(self, head, body, conn_name):
        self.status, self.headers, self.body, self.connection = head.status, head.headers, body, conn_name


class Client:
    def __init__(self, host, port, log=print):
        self.host, self.port, self.log = host, port, log
        self.idle = []  # connections that may serve another exchange
        self.opened = 0

    async def acquire(self):
        while self.idle:
            conn = self.idle.pop()
            if not conn.is_dead() and conn.try_begin_exchange():
                return conn
            await self.dispose(conn)
        reader, writer = await asyncio.open_connection(self.host, self.port)
        self.opened += 1
        conn = ClientConnection(Transport(reader, writer), f"conn-{self.opened}")
        conn.try_begin_exchange()
        return conn

    async def dispose(self, conn):
        t, done, writer, idle = conn.mark_closed()
        if t is not None:
            t.close()
        handle = conn.take_watcher_handle()
        if handle is not None:
            await handle

    async def first_bytes(self, conn):
        """The first read of an exchange: the idle watcher's, if one is parked."""
        done = conn.watcher_done()
        if done is None:
            t = conn.transport_ref()
            return await t.read() if t is not None else b""
        await done.wait()
        handle = conn.take_watcher_handle()
        if handle is not None:
            await handle
        data, error = conn.take_watcher_result()
        return data or b""

    async def request(self, method, target, headers=None, body=None):
        conn = await self.acquire()
        codec = conn.codec
        try:
            codec.reset()
            h = HeaderMap(headers or [])
            h.setdefault("host", f"{self.host}:{self.port}")
            head = codec.serialize_request(method, target, h,
                                           content_length=None if body is None else len(body))
            conn.exchange_started()
            t = conn.transport_ref()
            if t is None:
                raise w.ConnectionClosedError("connection closed")
            t.write(codec.serialize_head_and_body(head, body))
            data = await self.first_bytes(conn)
            while (resp := codec.receive_head(data)) is None:
                if not data:
                    raise w.H1IncompleteMessageError("connection closed before message completed")
                data = await t.read()
            decoder = w.H1BodyDecoder(resp.body_kind, resp.content_length or 0)
            codec.take_body_into(decoder)
            payload = bytearray()
            while True:
                piece = decoder.decode()
                if piece:
                    payload += piece
                elif decoder.is_complete:
                    break
                else:
                    more = await t.read()
                    decoder.feed(more) if more else decoder.mark_eof()
        except Exception as exc:
            t = conn.fail(exc.with_traceback(None))
            conn.end_exchange()
            if t is not None:
                t.close()
            raise
        conn.end_exchange()
        if not resp.keep_alive or codec.request_connection_close:
            t = conn.close_now()
            if t is not None:
                t.close()
        else:
            self.park(conn)
        return Response(resp, bytes(payload), conn.name)

    def park(self, conn):
        """Arms the idle watcher and puts the connection back in the pool."""
        done = asyncio.Event()
        if not conn.arm_watcher(done):
            return
        task = asyncio.ensure_future(self.watch(conn, done))
        if conn.store_watcher_handle(task) is not None:
            pass  # the watcher already finished; its task ends by itself
        self.idle.append(conn)

    async def watch(self, conn, done):
        t = conn.transport_ref()
        data = await t.read() if t is not None else None
        verdict, transport = conn.watcher_completed(data)
        done.set()
        if verdict == w.H1_WATCH_IDLE_EOF:
            self.log(f"  [watcher] {conn.name}: server closed the idle connection")
            if transport is not None:
                transport.close()
        elif verdict == w.H1_WATCH_IDLE_BYTES:
            t = conn.fail(w.H1UnexpectedMessageError("unexpected bytes from an idle server"))
            if t is not None:
                t.close()

    async def close(self):
        for conn in self.idle:
            await self.dispose(conn)
        self.idle.clear()


async def main(urls):
    for url in urls:
        scheme, host, port, authority = w.uri_parts(url)
        path = "/" + url.split("/", 3)[3] if url.count("/") >= 3 else "/"
        client = Client(host, port)
        resp = await client.request("GET", path)
        print(resp.status, resp.headers.items())
        print(resp.body.decode(errors="replace"))
        await client.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:]))
