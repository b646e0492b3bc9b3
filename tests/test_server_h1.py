"""The ASGI server over HTTP/1.1 with real clients: curl, httpx, raw sockets."""

import asyncio
import contextlib
import socket
import ssl
import threading
import time

import pytest

from server_util import ServerThread, have, raw, read_all, run

needs_curl = pytest.mark.skipif(not have("curl"), reason="curl not installed")


@pytest.fixture(scope="module")
def srv():
    with ServerThread(head_timeout=0.6, keep_alive_timeout=1.0, body_timeout=0.6) as s:
        yield s


@needs_curl
def test_curl_keep_alive_stream_echo_and_bytes(srv):
    base = f"http://127.0.0.1:{srv.port}"
    out = run(["curl", "--http1.1", "-sS", "-v", f"{base}/hello", f"{base}/stream", f"{base}/bytes/100000",
               f"{base}/hello"])
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert text.startswith(b"hello from wirelet\nline 0\nline 1\nline 2\nline 3\nline 4\n")
    assert len(text) == 19 + 35 + 100000 + 19
    assert out.stderr.count(b"Re-using existing connection") == 3
    assert b"transfer-encoding: chunked" in out.stderr  # /stream is streamed
    # 100-continue and a chunked upload, both echoed.
    body = b"z" * 50000
    out = run(["curl", "--http1.1", "-sS", "-i", "-H", "Expect: 100-continue", "--data-binary", "@-",
               f"{base}/echo"], input=body)
    assert out.stdout.startswith(b"HTTP/1.1 100 Continue") and out.stdout.endswith(body)
    out = run(["curl", "--http1.1", "-sS", "-H", "Transfer-Encoding: chunked", "--data-binary", "abc",
               f"{base}/echo"])
    assert out.stdout == b"abc"
    out = run(["curl", "--http1.1", "-sS", "-I", f"{base}/bytes/10"])
    assert b"content-length: 10" in out.stdout


def test_httpx_http11(srv):
    httpx = pytest.importorskip("httpx")
    with httpx.Client(base_url=f"http://127.0.0.1:{srv.port}", http2=False) as client:
        r = client.get("/info", params={"a": "b c"})
        assert r.http_version == "HTTP/1.1" and r.status_code == 200
        info = eval(r.text)  # noqa: S307 - our own repr
        assert info["path"] == "/info" and info["query_string"] == b"a=b+c" and info["scheme"] == "http"
        assert client.post("/echo", content=b"x" * 70000).content == b"x" * 70000
        assert client.get("/nope").status_code == 404
        with client.stream("POST", "/echo", content=iter([b"a", b"b", b"c"])) as resp:
            assert resp.read() == b"abc"


def test_pipelined_requests_answered_in_order(srv):
    reqs = (b"GET /hello HTTP/1.1\r\nhost: x\r\n\r\n"
            b"POST /echo HTTP/1.1\r\nhost: x\r\ncontent-length: 3\r\n\r\nabc"
            b"POST /echo HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\n2\r\nde\r\n0\r\n\r\n"
            b"GET /info?q HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    out = raw(srv.port, reqs)
    assert out.count(b"HTTP/1.1 200 OK") == 4
    marks = [out.index(m) for m in (b"hello from wirelet", b"\r\n\r\nabcHTTP", b"\r\n\r\ndeHTTP", b"'/info'")]
    assert marks == sorted(marks)
    assert out.rstrip().endswith(b"}")  # connection: close ended the exchange and the connection


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET / HTTP/1.1\r\nbad header\r\n\r\n", b"400"),
    (b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\nhost: x\r\n\r\n", b"414"),
    (b"GET / HTTP/1.1\r\n" + b"x-big: " + b"b" * 70000 + b"\r\n", b"431"),  # never completes
    (b"GET / HTTP/1.1\r\n" + b"".join(b"x-h%d: v\r\n" % i for i in range(101)) + b"\r\n", b"431"),
    (b"GET /hello HTTP/1.1\r\n\r\n", b"400"),                          # no Host
    (b"GET /hello HTTP/1.1\r\nhost: a\r\nhost: b\r\n\r\n", b"400"),     # two Hosts
    (b"POST /echo HTTP/1.1\r\nhost: a\r\ncontent-length: 1\r\ncontent-length: 2\r\n\r\nab", b"400"),
    (b"POST /echo HTTP/1.1\r\nhost: a\r\ntransfer-encoding: gzip\r\n\r\n", b"400"),
    (b"GET /hello HTTP/1.0\r\n\r\n", b"200"),                           # HTTP/1.0 needs no Host
])
def test_bad_heads_get_automatic_answers(srv, request_bytes, status):
    out = raw(srv.port, request_bytes)
    assert out[9:12] == status, out[:200]
    if status != b"200":
        assert b"connection: close" in out.lower()


def test_bad_chunked_body_closes_and_app_sees_disconnect(srv):
    out = raw(srv.port, b"POST /wait-disconnect HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\nZZ\r\n")
    assert out == b""
    assert srv.events.wait_for(lambda e: e == ("wait-disconnect", "http.disconnect"))


def test_trickled_head_is_cut_off_while_others_are_served(srv):
    """A client dribbling a head byte by byte gets a 408 after the head
    timeout; a well-behaved client is served all along."""
    slow = socket.create_connection(("127.0.0.1", srv.port), 5)
    head = b"GET /hello HTTP/1.1\r\nhost: x\r\nx-pad: " + b"p" * 200
    served = 0
    start = time.time()
    closed_at = None
    for b in head:
        try:
            slow.send(bytes([b]))
        except OSError:
            break
        out = raw(srv.port, b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
        served += out.endswith(b"hello from wirelet\n")
        if time.time() - start > 3:
            break
        slow.settimeout(0.005)
        try:
            data = slow.recv(4096)
        except socket.timeout:
            continue
        closed_at = time.time() - start
        assert data.startswith(b"HTTP/1.1 408")
        break
    slow.close()
    assert closed_at is not None and closed_at < 2.0
    assert served >= 3


def test_stalled_body_gets_408_and_the_application_a_disconnect(srv):
    start = time.time()
    out = raw(srv.port, b"POST /wait-disconnect HTTP/1.1\r\nhost: x\r\ncontent-length: 100\r\n\r\n0123456789",
              timeout=4)
    assert out.startswith(b"HTTP/1.1 408") and time.time() - start < 2.5
    assert srv.events.wait_for(lambda e: e == ("wait-disconnect", "http.disconnect"))


def test_oversized_heads_from_many_clients_do_not_starve_a_good_one(srv):
    blob = b"GET / HTTP/1.1\r\nx: " + b"y" * 80000
    results = []

    def attacker():
        results.append(raw(srv.port, blob, timeout=3)[:12])

    threads = [threading.Thread(target=attacker) for _ in range(8)]
    for t in threads:
        t.start()
    good = [raw(srv.port, b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n") for _ in range(5)]
    for t in threads:
        t.join(5)
    assert results == [b"HTTP/1.1 431"] * 8
    assert all(g.endswith(b"hello from wirelet\n") for g in good)


def test_idle_keep_alive_connection_is_closed(srv):
    with socket.create_connection(("127.0.0.1", srv.port), 5) as s:
        s.sendall(b"GET /hello HTTP/1.1\r\nhost: x\r\n\r\n")
        first = read_all(s, 1.0, until=lambda b: b.endswith(b"wirelet\n"))
        assert first.startswith(b"HTTP/1.1 200")
        start = time.time()
        assert read_all(s, 4.0) == b""  # the server closes the idle connection
        assert 0.5 < time.time() - start < 3.0


def test_package_client_reuses_and_notices_idle_close(srv):
    import asyncio

    import wirelet

    url = f"http://127.0.0.1:{srv.port}"

    async def scenario():
        async with wirelet.Client() as client:
            a = await client.get(url + "/hello")
            b = await client.post(url + "/echo", content=b"ping")
            reused = client._live
            await asyncio.sleep(1.6)  # past the idle timeout: the client's watcher sees the close
            after_idle = client._live
            c = await client.get(url + "/hello")
            return a, b, c, reused, after_idle

    a, b, c, reused, after_idle = asyncio.run(scenario())
    assert (a.status, b.content, reused, after_idle) == (200, b"ping", 1, 0)
    assert c.content == b"hello from wirelet\n"


def test_client_gone_mid_response_stops_the_stream(srv):
    s = socket.create_connection(("127.0.0.1", srv.port), 3)
    s.sendall(b"GET /forever HTTP/1.1\r\nhost: x\r\n\r\n")
    assert s.recv(65536).startswith(b"HTTP/1.1 200 OK")
    s.close()
    assert srv.events.wait_for(lambda e: e == "forever.disconnected")
    assert srv.wait_connections(0)


def test_receive_reports_disconnect_after_the_body(srv):
    s = socket.create_connection(("127.0.0.1", srv.port), 3)
    s.sendall(b"POST /wait-disconnect HTTP/1.1\r\nhost: x\r\ncontent-length: 2\r\n\r\nhi")
    time.sleep(0.1)
    s.close()
    assert srv.events.wait_for(lambda e: e == ("wait-disconnect", "http.disconnect"))


def test_trailers_both_ways(srv):
    req = (b"POST /trailers HTTP/1.1\r\nhost: x\r\nte: trailers\r\ntransfer-encoding: chunked\r\n"
           b"connection: close\r\n\r\n3\r\nabc\r\n0\r\nx-req: yes\r\n\r\n")
    out = raw(srv.port, req)
    assert out.startswith(b"HTTP/1.1 200 OK")
    assert out.endswith(b"3\r\nabc\r\n0\r\nx-sum: 3\r\nx-got: yes\r\n\r\n")
    # Without te: trailers the trailer section is left out.
    out = raw(srv.port, req.replace(b"te: trailers\r\n", b""))
    assert out.endswith(b"3\r\nabc\r\n0\r\n\r\n")


@pytest.mark.parametrize("path, expect", [
    ("/raise", b"HTTP/1.1 500"),
    ("/nothing", b"HTTP/1.1 500"),
    ("/raise-late", b"HTTP/1.1 200"),   # head already out: the connection is cut
    ("/short", b""),                    # body shorter than its content-length: nothing goes out
])
def test_application_failures(srv, path, expect):
    out = raw(srv.port, b"GET %s HTTP/1.1\r\nhost: x\r\n\r\n" % path.encode(), timeout=3)
    assert out.startswith(expect) and (expect or out == b"")
    if expect.endswith(b"200"):
        assert not out.endswith(b"0\r\n\r\n")  # never completed, connection closed


def test_unread_body_is_drained_and_the_connection_reused(srv):
    body = b"q" * 100000
    req = b"POST /hello HTTP/1.1\r\nhost: x\r\ncontent-length: %d\r\n\r\n" % len(body)
    # /hello is answered without reading the body; the next request follows it.
    out = raw(srv.port, req + body + b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    assert out.count(b"HTTP/1.1 404") + out.count(b"HTTP/1.1 200") == 2


def test_tls_with_alpn_http11(tmp_path):
    trustme = pytest.importorskip("trustme")
    httpx = pytest.importorskip("httpx")
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    cert.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "server.pem"))
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    with ServerThread(certfile=str(tmp_path / "server.pem"), keyfile=str(tmp_path / "server.pem"), http2=False) as s:
        with httpx.Client(verify=ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))) as client:
            r = client.get(f"https://127.0.0.1:{s.port}/info")
            assert r.http_version == "HTTP/1.1" and b"'scheme': 'https'" in r.content
        if have("curl"):
            out = run(["curl", "-sS", "--cacert", str(tmp_path / "ca.pem"), "--http1.1",
                       f"https://127.0.0.1:{s.port}/hello", f"https://127.0.0.1:{s.port}/stream"])
            assert out.stdout.startswith(b"hello from wirelet\nline 0\n"), out.stderr


def test_lifespan_state_reaches_requests_and_shutdown_runs():
    with ServerThread() as s:
        out = raw(s.port, b"GET /info HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
        assert b"'state': {'started': 'yes'}" in out
    assert "lifespan.shutdown" in s.events.items


def test_graceful_shutdown_finishes_the_exchange_in_flight():
    with ServerThread() as s:
        conn = socket.create_connection(("127.0.0.1", s.port), 5)
        conn.sendall(b"GET /slow?0.4 HTTP/1.1\r\nhost: x\r\n\r\n")
        idle = socket.create_connection(("127.0.0.1", s.port), 5)
        time.sleep(0.1)
        stopper = threading.Thread(target=s.stop)
        stopper.start()
        out = read_all(conn, 3)
        assert out.startswith(b"HTTP/1.1 200") and b"connection: close" in out and out.endswith(b"slow done")
        assert read_all(idle, 2) == b""  # the idle connection was closed at once
        stopper.join(5)
        conn.close()
        idle.close()


@pytest.mark.parametrize("eager", [False, True])
def test_requests_of_a_connection_run_on_a_task_with_their_own_context(srv, eager):
    """Keep-alive requests share a task but never a context; a wait keeps the
    task; cancellation, timeouts and a cancel left behind by a request that
    finished without waiting stay within their own request. The same holds
    under an eager task factory."""
    if eager and not hasattr(asyncio, "eager_task_factory"):
        pytest.skip("eager task factories arrived in Python 3.12")
    steps = [("/task?a", b"True None"), ("/task?wait", b"True None"), ("/cancel-self", b"done"),
             ("/task?b", b"True None"), ("/cancel-self?wait", b"cancelled"), ("/timeout", b"timed out"),
             ("/task?wait", b"True None"), ("/cancel-self", b"done"), ("/cancel-self?wait", b"cancelled")]
    with contextlib.ExitStack() as stack:
        if eager:
            server = ServerThread()
            server.loop.set_task_factory(asyncio.eager_task_factory)
            srv = stack.enter_context(server)
        s = stack.enter_context(socket.create_connection(("127.0.0.1", srv.port), 5))
        for path, expect in steps:
            s.sendall(b"GET %s HTTP/1.1\r\nhost: x\r\n\r\n" % path.encode())
            out = read_all(s, 5, until=lambda b: b"\r\n\r\n" in b and b.endswith(expect))
            assert out.startswith(b"HTTP/1.1 200") and out.endswith(expect), (path, out)


def test_target_parts_are_remembered_within_bounds():
    from wirelet.server import Config, Server

    server = Server(Config(app=None))
    cases = {"/a%20b?x=1": ("/a b", b"/a%20b", b"x=1"), "*": ("*", b"*", b""),
             "http://h/p%2F?q": ("/p/", b"/p%2F", b"q"), "/": ("/", b"/", b"")}
    for target, parts in cases.items():
        assert server.target_parts(target) == parts and server.targets[target] == parts
    for i in range(3000):
        server.target_parts(f"/{i}")
    long = "/" + "x" * 300
    assert server.target_parts(long) == (long, long.encode(), b"") and long not in server.targets
    assert len(server.targets) <= 1024
