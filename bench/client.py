"""wirelet.Client against httpx: 100 sequential and 100 concurrent GETs of a
1 KiB body from a local server, over HTTP/1.1 and HTTP/2 (cleartext, prior
knowledge), on one warm client per side. The servers run in other
processes, so the thread CPU time measured here is the client's alone.

HTTP/1.1 is served by a small asyncio server of this file; HTTP/2 by nghttpd
when it is installed (Debian nghttp2-server), else the HTTP/2 rows are
skipped.

Run: python bench/client.py [--quick]
"""
import asyncio
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import _timing

_timing.use_dev_build()

import wirelet  # noqa: E402
import wirelet._wirelet  # noqa: E402

BODY = b"x" * 1024
N = 100

H1_SERVER = r'''
import asyncio, sys
BODY = b"x" * 1024
RESP = b"HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\ncontent-length: 1024\r\n\r\n" + BODY

class P(asyncio.Protocol):
    def connection_made(self, t):
        self.t, self.buf = t, b""
    def data_received(self, data):
        self.buf += data
        n = self.buf.count(b"\r\n\r\n")
        if n:
            self.buf = self.buf[self.buf.rindex(b"\r\n\r\n") + 4:]
            self.t.write(RESP * n)

async def main(port):
    srv = await asyncio.get_running_loop().create_server(P, "127.0.0.1", port, backlog=1024)
    async with srv:
        await srv.serve_forever()

asyncio.run(main(int(sys.argv[1])))
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


def start_h1():
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-c", H1_SERVER, str(port)])
    wait_listening(port)
    return proc, f"http://127.0.0.1:{port}/"


def start_h2(docroot):
    exe = shutil.which("nghttpd") or ("/usr/sbin/nghttpd" if os.path.exists("/usr/sbin/nghttpd") else None)
    if exe is None:
        return None, None
    with open(os.path.join(docroot, "index.html"), "wb") as f:
        f.write(BODY)
    port = free_port()
    proc = subprocess.Popen([exe, "--no-tls", "-d", docroot, "-n", "1", str(port)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port)
    return proc, f"http://127.0.0.1:{port}/index.html"


def h2_engine_ready():
    try:
        wirelet._wirelet.H2Streams("client", initial_window_size=65535, connection_window=65535,
                                   max_frame_size=16384, max_header_list_size=65536,
                                   max_send_buf_size=65536).try_claim_slot()
        return True
    except (AttributeError, NotImplementedError):
        return False


def runner(make_client, get, url, concurrent):
    """fn(n): n rounds of 100 GETs on one warm client, on this side's own loop."""
    loop = asyncio.new_event_loop()
    client = loop.run_until_complete(_enter(make_client))

    async def one():
        content = await get(client, url)
        assert len(content) == 1024

    async def rounds(n):
        for _ in range(n):
            if concurrent:
                await asyncio.gather(*[one() for _ in range(N)])
            else:
                for _ in range(N):
                    await one()

    loop.run_until_complete(rounds(1))  # connect and warm up outside the timing

    def fn(n):
        loop.run_until_complete(rounds(n))

    def close():
        loop.run_until_complete(client.__aexit__(None, None, None))
        loop.close()

    return fn, close


async def _enter(make_client):
    c = make_client()
    await c.__aenter__()
    return c


async def get_ours(client, url):
    return (await client.get(url)).content


async def get_httpx(client, url):
    return (await client.get(url)).content


def bench(quick):
    import httpx

    limits = wirelet.Limits(max_connections=N, max_keepalive_connections=N)
    hlimits = httpx.Limits(max_connections=N, max_keepalive_connections=N)
    rounds = 3 if quick else 7
    rows = []
    procs = []
    with tempfile.TemporaryDirectory() as docroot:
        try:
            p1, url1 = start_h1()
            procs.append(p1)
            p2, url2 = start_h2(docroot) if h2_engine_ready() else (None, None)
            if p2 is not None:
                procs.append(p2)
            cases = [("HTTP/1.1", url1, lambda: wirelet.Client(limits=limits, trust_env=False),
                      lambda: httpx.AsyncClient(limits=hlimits, trust_env=False), "httpx (h11)")]
            if p2 is not None:
                cases.append(("HTTP/2", url2,
                              lambda: wirelet.Client(limits=limits, http2="prior-knowledge", trust_env=False),
                              lambda: httpx.AsyncClient(limits=hlimits, http1=False, http2=True, trust_env=False),
                              "httpx (h2)"))
            else:
                print("HTTP/2 rows skipped: no nghttpd or no HTTP/2 engine", file=sys.stderr)
            for proto, url, ours_client, theirs_client, peer in cases:
                for concurrent in (False, True):
                    ours, close_ours = runner(ours_client, get_ours, url, concurrent)
                    theirs, close_theirs = runner(theirs_client, get_httpx, url, concurrent)
                    try:
                        result = _timing.compare(ours, theirs, rounds=rounds, min_time=0.2)
                    finally:
                        close_ours()
                        close_theirs()
                    case = f"{proto}, {N} {'concurrent' if concurrent else 'sequential'} GETs of 1 KiB"
                    rows.append(_timing.row("client requests", case, result, 3.0, peer))
        finally:
            for p in procs:
                p.terminate()
                p.wait()
    return rows


if __name__ == "__main__":
    _timing.main_of(bench)
