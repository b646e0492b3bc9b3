"""wirelet.Client over HTTP/2: nghttpd (cleartext prior knowledge and TLS),
hypercorn by ALPN, and an h2-scripted server for GOAWAY and resets."""

import asyncio
import os
import shutil
import subprocess

import pytest

import wirelet
from wirelet import _wirelet as w
from wirelet.client import Limits, Timeout

from client_peers import ScriptedServer, client_tls, free_port, hypercorn_server, tls_files  # noqa: F401
from test_client_h1 import run

NGHTTPD = shutil.which("nghttpd") or ("/usr/sbin/nghttpd" if os.path.exists("/usr/sbin/nghttpd") else None)
needs_nghttpd = pytest.mark.skipif(NGHTTPD is None, reason="nghttpd (nghttp2-server) not installed")


@pytest.fixture(scope="module")
def nghttpd(tmp_path_factory, tls_files):
    """Two nghttpd servers (cleartext and TLS) echoing uploads, 64 KiB windows, 50 streams at once."""
    if NGHTTPD is None:
        pytest.skip("nghttpd (nghttp2-server) not installed")
    root = tmp_path_factory.mktemp("docroot")
    (root / "small").write_bytes(b"s" * 1024)
    (root / "big").write_bytes(bytes(range(256)) * 4096)  # 1 MiB, larger than every window
    certfile, keyfile, cafile = tls_files
    procs, ports = [], []
    for tls in (False, True):
        port = free_port()
        args = [NGHTTPD, "--echo-upload", "-m", "50", "-d", str(root), str(port)]
        args = args[:1] + ["--no-tls"] + args[1:] if not tls else args + [keyfile, certfile]
        procs.append(subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        ports.append(port)
    try:
        import socket
        import time
        for port in ports:
            for _ in range(200):
                try:
                    socket.create_connection(("127.0.0.1", port), 0.2).close()
                    break
                except OSError:
                    time.sleep(0.02)
        yield {"h2c": f"http://127.0.0.1:{ports[0]}", "h2": f"https://localhost:{ports[1]}", "ca": cafile}
    finally:
        for p in procs:
            p.terminate()
            p.wait(5)


@needs_nghttpd
@pytest.mark.parametrize("mode", ["h2c", "h2"])
def test_nghttpd_get_big_post_and_many_streams_on_one_connection(nghttpd, mode):
    base = nghttpd[mode]
    kw = {"http2": "prior-knowledge"} if mode == "h2c" else {"http2": True, "verify": client_tls(nghttpd["ca"])}
    upload = os.urandom(300_000)

    async def gen():
        for i in range(0, len(upload), 50_000):
            yield upload[i:i + 50_000]

    async def scenario():
        async with wirelet.Client(**kw) as client:
            small = await client.get(base + "/small")
            big = await client.get(base + "/big")
            posted = await client.post(base + "/small", content=upload)
            streamed = await client.put(base + "/small", content=gen())
            many = await asyncio.gather(*[client.get(base + "/small") for _ in range(120)])
            async with client.stream("GET", base + "/big") as r:
                first = await r.aiter_bytes().__anext__()
            after = await client.get(base + "/small")  # the cancelled stream left the connection usable
            return small, big, posted, streamed, many, len(first), after, client._live

    small, big, posted, streamed, many, first, after, live = run(scenario())
    assert (small.status, small.http_version, small.content) == (200, "HTTP/2", b"s" * 1024)
    assert big.content == bytes(range(256)) * 4096
    assert posted.content == upload and streamed.content == upload
    assert all(r.content == b"s" * 1024 for r in many)
    assert first > 0 and after.status == 200 and live == 1


def test_hypercorn_over_alpn(tls_files):
    certfile, keyfile, cafile = tls_files
    ctx = client_tls(cafile)

    async def scenario(port):
        async with wirelet.Client(http2=True, verify=ctx) as client:
            rs = await asyncio.gather(*[client.post(f"https://127.0.0.1:{port}/p{i}", content=b"x" * i)
                                        for i in range(0, 30000, 3000)])
            big = await client.get(f"https://127.0.0.1:{port}/bytes/3000000")  # over both receive windows
            return rs, big, client._live
        
    with hypercorn_server(certfile=certfile, keyfile=keyfile) as port:
        rs, big, live = run(scenario(port))
    assert [r.content.split(b"\n")[0] for r in rs] == [f"POST /p{i} 2 {i}".encode() for i in range(0, 30000, 3000)]
    assert big.http_version == "HTTP/2" and len(big.content) == 3000000 and live == 1


class H2Script:
    """An h2-library server whose per-request behaviour a test scripts:
    on_request(conn, stream_id, path, connection_number, writer) -> None."""

    def __init__(self, on_request, window=None):
        self.on_request = on_request
        self.window = window  # our INITIAL_WINDOW_SIZE, when not the default

    async def handler(self, reader, writer, n):
        import h2.config
        import h2.connection
        import h2.events
        import h2.settings

        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        if self.window is not None:
            conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: self.window})
        writer.write(conn.data_to_send())
        while data := await reader.read(65536):
            for ev in conn.receive_data(data):
                if isinstance(ev, h2.events.RequestReceived):
                    path = dict(ev.headers)[b":path"].decode()
                    self.on_request(conn, ev.stream_id, path, n, writer)
            writer.write(conn.data_to_send())
            await writer.drain()


def _answer(conn, sid, body):
    conn.send_headers(sid, [(":status", "200"), ("content-length", str(len(body)))])
    conn.send_data(sid, body, end_stream=True)


def test_goaway_retries_unprocessed_streams_and_reset_fails_one():
    import h2.errors

    def on_request(conn, sid, path, n, writer):
        if path == "/reset":
            conn.reset_stream(sid, h2.errors.ErrorCodes.REFUSED_STREAM)
        elif n == 1 and sid == 5:
            # Streams 1 and 3 were processed; 5 was not and must go again.
            # The GOAWAY goes out raw, between the heads and the bodies of 1 and 3.
            from hyperframe.frame import GoAwayFrame
            conn.send_headers(1, [(":status", "200"), ("content-length", "2")])
            conn.send_headers(3, [(":status", "200"), ("content-length", "2")])
            writer.write(conn.data_to_send() + GoAwayFrame(0, last_stream_id=3).serialize())
            conn.send_data(1, b"c1", end_stream=True)
            conn.send_data(3, b"c1", end_stream=True)
        elif n > 1:
            _answer(conn, sid, f"c{n}".encode())

    async def scenario():
        async with ScriptedServer(H2Script(on_request).handler) as srv, \
                wirelet.Client(http2="prior-knowledge") as client:
            rs = await asyncio.gather(*[client.get(f"{srv.url}/r{i}") for i in range(3)])
            with pytest.raises(w.H2StreamError) as exc:
                await client.get(srv.url + "/reset")
            return [r.content for r in rs], exc.value.args, srv.connections, client._live
    contents, reset_args, conns, live = run(scenario())
    assert contents == [b"c1", b"c1", b"c2"] and conns == 2 and live == 1
    assert reset_args == (3, 7, "remote")


def test_goaway_fails_a_streamed_body_clearly_and_stalls_time_out():
    def on_request(conn, sid, path, n, writer):
        if path in ("/stall", "/upload"):
            return
        conn.close_connection(last_stream_id=0)

    async def body():
        yield b"part"
        await asyncio.sleep(0.05)
        yield b"more"

    async def scenario():
        # The server grants no stream window: a request body can never go out.
        async with ScriptedServer(H2Script(on_request, window=0).handler) as srv, \
                wirelet.Client(http2="prior-knowledge", timeout=Timeout(5.0, read=0.2, write=0.2)) as client:
            with pytest.raises(wirelet.client.ReadTimeout):
                await client.get(srv.url + "/stall")
            with pytest.raises(wirelet.client.WriteTimeout):
                await client.post(srv.url + "/upload", content=b"x" * 100)
            with pytest.raises(w.ConnectionClosedError, match="cannot be sent again"):
                await client.post(srv.url + "/x", content=body())
            return client._live
    assert run(scenario()) <= 1
