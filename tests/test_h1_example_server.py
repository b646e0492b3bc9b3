"""The example server under real clients: curl and raw sockets on loopback."""

import asyncio
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

import wirelet
from wirelet import _wirelet as w

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import h1_server  # noqa: E402

needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")
# curl must not inherit a sanitizer runtime preloaded into this interpreter.
CURL_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def server():
    loop = asyncio.new_event_loop()
    srv_obj = h1_server.Server(idle_timeout=2.0)
    started = threading.Event()
    holder = {}

    async def run():
        srv = await asyncio.start_server(srv_obj.handle, "127.0.0.1", 0)
        holder["port"] = srv.sockets[0].getsockname()[1]
        holder["srv"] = srv
        started.set()
        await srv.serve_forever()

    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    asyncio.run_coroutine_threadsafe(run(), loop)
    assert started.wait(5)
    yield holder["port"], srv_obj, loop

    async def shutdown():
        holder["srv"].close()
        srv_obj.shutdown()
        tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    asyncio.run_coroutine_threadsafe(shutdown(), loop).result(5)
    loop.call_soon_threadsafe(loop.stop)
    thread.join(5)
    loop.close()


def raw(port, data, timeout=3.0, until=None):
    s = socket.create_connection(("127.0.0.1", port), timeout)
    s.sendall(data)
    out = b""
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
            if until and until(out):
                break
    except socket.timeout:
        pass
    finally:
        s.close()
    return out


@needs_curl
def test_curl_keep_alive_sequence(server):
    port, _, _ = server
    urls = [f"http://127.0.0.1:{port}/r{i}" for i in range(4)]
    out = subprocess.run(["curl", "-sS", "-v", *urls], capture_output=True, text=True, timeout=20, env=CURL_ENV)
    assert out.returncode == 0
    assert [f"hello from wirelet: GET /r{i}" for i in range(4)] == out.stdout.splitlines()
    assert out.stderr.count("Re-using existing connection") == 3


@needs_curl
def test_curl_expect_continue_and_chunked_post(server):
    port, _, _ = server
    body = "z" * 5000
    out = subprocess.run(["curl", "-sS", "-i", "-H", "Expect: 100-continue", "--data-binary", body,
                          f"http://127.0.0.1:{port}/up"], capture_output=True, text=True, timeout=20, env=CURL_ENV)
    assert out.stdout.startswith("HTTP/1.1 100 Continue")
    assert out.stdout.endswith("echo: " + body)
    out = subprocess.run(["curl", "-sS", "-H", "Transfer-Encoding: chunked", "--data-binary", "abc",
                          f"http://127.0.0.1:{port}/c"], capture_output=True, text=True, timeout=20, env=CURL_ENV)
    assert out.stdout == "echo: abc"


def test_pipelined_requests_on_one_socket(server):
    port, _, _ = server
    reqs = (b"GET /one HTTP/1.1\r\nhost: x\r\n\r\n"
            b"POST /two HTTP/1.1\r\nhost: x\r\ncontent-length: 3\r\n\r\nabc"
            b"GET /three HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    out = raw(port, reqs)
    assert out.count(b"HTTP/1.1 200 OK") == 3
    assert b"GET /one" in out and b"echo: abc" in out and b"GET /three" in out
    assert out.index(b"GET /one") < out.index(b"echo: abc") < out.index(b"GET /three")


def test_client_closing_mid_response_does_not_hang_the_server(server):
    port, srv_obj, _ = server
    s = socket.create_connection(("127.0.0.1", port), 3)
    s.sendall(b"GET /stream HTTP/1.1\r\nhost: x\r\n\r\n")
    first = s.recv(65536)
    assert first.startswith(b"HTTP/1.1 200 OK")
    s.close()  # gone mid-response
    # The server keeps serving new connections and requests.
    out = raw(port, b"GET /next HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    assert b"hello from wirelet: GET /next" in out
    deadline = time.time() + 3
    while srv_obj.connections and time.time() < deadline:
        time.sleep(0.02)
    assert not srv_obj.connections  # nothing left hanging


@pytest.mark.parametrize(
    "request_bytes, expected",
    [
        (b"GET / HTTP/1.1\r\nbad header\r\n\r\n", b"HTTP/1.1 400 Bad Request"),
        (b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", b"HTTP/1.1 414 URI Too Long"),
        (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", b""),
    ],
)
def test_malformed_requests_get_automatic_answer_and_close(server, request_bytes, expected):
    port, _, _ = server
    out = raw(port, request_bytes)
    assert out.startswith(expected) if expected else out == b""


def test_client_reuses_and_notices_idle_close(server):
    port, _, loop = server
    url = f"http://127.0.0.1:{port}"

    async def scenario():
        async with wirelet.Client() as client:
            a = await client.get(url + "/a")
            b = await client.get(url + "/b")
            reused = client._live
            # Let the connection go idle past the server's timeout: the idle
            # watcher sees the close and the pool forgets the connection.
            await asyncio.sleep(2.4)
            after_idle = client._live
            c = await client.get(url + "/c")
            return a, b, c, reused, after_idle

    a, b, c, reused, after_idle = asyncio.run(scenario())
    assert (a.status, b.status, reused, after_idle) == (200, 200, 1, 0)
    assert c.content == b"hello from wirelet: GET /c\n"
