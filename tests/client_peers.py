"""Real peers for the client tests: hypercorn in a thread, small asyncio
servers for faults, and a CONNECT proxy. Loopback only; every server is
bounded by its test's lifetime."""

import asyncio
import base64
import contextlib
import socket
import ssl
import threading

import pytest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def echo_app(scope, receive, send):
    """GET /bytes/N answers N bytes; anything else echoes method, path and body."""
    if scope["type"] != "http":
        return
    body = bytearray()
    while True:
        m = await receive()
        body += m.get("body", b"")
        if not m.get("more_body"):
            break
    path = scope["path"]
    if path.startswith("/bytes/"):
        n = int(path.rsplit("/", 1)[1])
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", str(n).encode())]})
        step = 16384
        for i in range(0, n, step):
            await send({"type": "http.response.body", "body": b"x" * min(step, n - i), "more_body": True})
        await send({"type": "http.response.body", "body": b""})
        return
    out = f"{scope['method']} {path} {scope['http_version']} {len(body)}\n".encode() + bytes(body)
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": out})


class ThreadLoop:
    """An event loop in a daemon thread for servers that must not share the test's loop."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro, timeout=10):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def stop(self):
        async def cancel_all():
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        self.run(cancel_all())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()


@contextlib.contextmanager
def hypercorn_server(app=echo_app, certfile=None, keyfile=None):
    """Yields the port of hypercorn serving app (TLS when a certificate is given)."""
    from hypercorn.asyncio import serve
    from hypercorn.config import Config

    cfg = Config()
    port = free_port()
    cfg.bind = [f"127.0.0.1:{port}"]
    cfg.loglevel = "ERROR"
    cfg.accesslog = None
    if certfile:
        cfg.certfile, cfg.keyfile = certfile, keyfile
    tl = ThreadLoop()
    stop = asyncio.Event()

    async def start():
        stop_ev = asyncio.Event()
        task = asyncio.ensure_future(serve(app, cfg, shutdown_trigger=stop_ev.wait))
        for _ in range(200):
            try:
                _, wr = await asyncio.open_connection("127.0.0.1", port)
                wr.close()
                return stop_ev, task
            except OSError:
                await asyncio.sleep(0.02)
        raise RuntimeError("hypercorn did not start")

    stop, task = tl.run(start())
    try:
        yield port
    finally:
        tl.loop.call_soon_threadsafe(stop.set)
        tl.stop()


@pytest.fixture(scope="session")
def tls_files(tmp_path_factory):
    """A trustme CA and a certificate for 127.0.0.1 / localhost."""
    trustme = pytest.importorskip("trustme")
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    d = tmp_path_factory.mktemp("tls")
    certfile, keyfile, cafile = d / "cert.pem", d / "key.pem", d / "ca.pem"
    cert.cert_chain_pems[0].write_to_path(certfile)
    cert.private_key_pem.write_to_path(keyfile)
    ca.cert_pem.write_to_path(cafile)
    return str(certfile), str(keyfile), str(cafile)


def client_tls(cafile):
    return ssl.create_default_context(cafile=cafile)


class ScriptedServer:
    """A raw asyncio server on the test's own loop: handler(reader, writer, n)
    runs per connection (n counts connections)."""

    def __init__(self, handler):
        self.handler = handler
        self.connections = 0
        self.server = None
        self.tasks = set()

    async def __aenter__(self):
        async def on_conn(reader, writer):
            self.connections += 1
            task = asyncio.current_task()
            self.tasks.add(task)
            try:
                await self.handler(reader, writer, self.connections)
            except (ConnectionError, asyncio.IncompleteReadError):
                pass
            finally:
                self.tasks.discard(task)
                writer.close()

        self.server = await asyncio.start_server(on_conn, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        return self

    async def __aexit__(self, *exc):
        self.server.close()
        for t in list(self.tasks):
            t.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)


async def read_head(reader):
    """Reads one request head; returns (request line, headers dict lower-cased)."""
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    return lines[0], headers


class ConnectProxy(ScriptedServer):
    """A CONNECT proxy that checks Proxy-Authorization; absolute-form
    requests are answered by the proxy itself (it records them)."""

    def __init__(self, user=None, password=None):
        super().__init__(self._serve)
        self.expected = None
        if user is not None:
            token = base64.b64encode(f"{user}:{password}".encode()).decode()
            self.expected = f"Basic {token}"
        self.seen = []  # (request line, proxy-authorization) per request

    async def _serve(self, reader, writer, n):
        line, headers = await read_head(reader)
        auth = headers.get("proxy-authorization")
        self.seen.append((line, auth))
        if self.expected is not None and auth != self.expected:
            writer.write(b"HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 0\r\n\r\n")
            await writer.drain()
            return
        method, target, _ = line.split(" ")
        if method != "CONNECT":
            body = f"proxied {target}".encode()
            writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\n\r\n%s" % (len(body), body))
            await writer.drain()
            return
        host, port = target.rsplit(":", 1)
        assert host in ("127.0.0.1", "localhost")
        up_r, up_w = await asyncio.open_connection("127.0.0.1", int(port))
        writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")

        async def pipe(r, wr):
            try:
                while data := await r.read(65536):
                    wr.write(data)
                    await wr.drain()
            except ConnectionError:
                pass
            finally:
                wr.close()

        await asyncio.gather(pipe(reader, up_w), pipe(up_r, writer))
