"""The ASGI server over HTTP/2: curl, nghttp, h2load, httpx, and hostile clients
speaking raw frames over loopback (bounded in count and time)."""

import re
import socket
import ssl
import struct
import threading
import time

import pytest

from wirelet import _wirelet as w
from conftest import SANITIZED
from server_util import ServerThread, have, raw, run
from wirelet.server.h2 import engine_ready

pytestmark = pytest.mark.skipif(not engine_ready(), reason="the HTTP/2 engine of this build is not complete")

DATA, HEADERS, RST_STREAM, SETTINGS, PING, GOAWAY, WINDOW_UPDATE, CONTINUATION = 0, 1, 3, 4, 6, 7, 8, 9


def frame(kind, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", sid) + payload


def settings(**values):
    ids = {"initial_window_size": 4, "max_frame_size": 5, "max_concurrent_streams": 3}
    return frame(SETTINGS, 0, 0, b"".join(struct.pack(">HI", ids[k], v) for k, v in values.items()))


def request_block(path="/hello", method="GET", extra=()):
    import hpack

    return hpack.Encoder().encode([(":method", method), (":scheme", "http"), (":authority", "x"),
                                   (":path", path), *extra])


class RawH2:
    """A minimal client: sends frames, reads and splits the server's frames."""

    def __init__(self, port, ack_settings=True, window=None):
        self.sock = socket.create_connection(("127.0.0.1", port), 5)
        self.buf = b""
        self.ack_settings = ack_settings
        extra = {} if window is None else {"initial_window_size": window}
        self.sock.sendall(w.H2_PREFACE + settings(**extra))

    def send(self, data):
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            return False

    def frames(self, timeout=3.0, until=None):
        """Frames until `until(frame)` is true, the peer closes, or timeout."""
        got = []
        deadline = time.time() + timeout
        while time.time() < deadline:
            while len(self.buf) >= 9:
                length = int.from_bytes(self.buf[:3], "big")
                if len(self.buf) < 9 + length:
                    break
                f = (self.buf[3], self.buf[4], int.from_bytes(self.buf[5:9], "big") & 0x7FFFFFFF,
                     self.buf[9:9 + length])
                self.buf = self.buf[9 + length:]
                got.append(f)
                if f[0] == SETTINGS and not f[1] & 1 and self.ack_settings:
                    self.send(frame(SETTINGS, 1, 0))
                if f[0] == PING and not f[1] & 1:
                    self.send(frame(PING, 1, 0, f[3]))
                if until and until(f):
                    return got
            self.sock.settimeout(max(0.01, deadline - time.time()))
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ConnectionResetError):
                break
            if not chunk:
                got.append(None)
                break
            self.buf += chunk
        return got

    def close(self):
        self.sock.close()


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def goaway_code(frames):
    codes = [struct.unpack(">II", f[3][:8])[1] for f in frames if f and f[0] == GOAWAY]
    return codes[-1] if codes else None


@pytest.fixture(scope="module")
def srv():
    with ServerThread(head_timeout=1.0, keep_alive_timeout=1.5, settings_timeout=0.8, send_timeout=0.8,
                      max_control_frames=300) as s:
        yield s


@pytest.fixture(scope="module")
def calm_srv():
    """Default timeouts, so the control-frame budget renews only once a
    second: a flood sent in one write exceeds it however slowly it is read."""
    with ServerThread(max_control_frames=300) as s:
        assert s.config.timer_interval() == 1.0
        yield s


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    trustme = pytest.importorskip("trustme")
    d = tmp_path_factory.mktemp("tls")
    ca = trustme.CA()
    ca.issue_cert("127.0.0.1", "localhost").private_key_and_cert_chain_pem.write_to_path(str(d / "server.pem"))
    ca.cert_pem.write_to_path(str(d / "ca.pem"))
    with ServerThread(certfile=str(d / "server.pem"), keyfile=str(d / "server.pem")) as s:
        s.ca = str(d / "ca.pem")
        yield s


@pytest.mark.skipif(not have("curl"), reason="curl not installed")
def test_curl_prior_knowledge_and_tls_alpn(srv, tls):
    base = f"http://127.0.0.1:{srv.port}"
    # One URL per run: this curl cannot reuse a prior-knowledge connection.
    outs = [run(["curl", "-sS", "-v", "--http2-prior-knowledge", f"{base}/{p}"])
            for p in ("hello", "stream", "bytes/300000", "nope")]
    assert [o.returncode for o in outs] == [0] * 4, outs[0].stderr
    assert [o.stdout for o in outs[:2]] == [b"hello from wirelet\n", b"line 0\nline 1\nline 2\nline 3\nline 4\n"]
    assert len(outs[2].stdout) == 300000 and b"< HTTP/2 404" in outs[3].stderr
    out = run(["curl", "-sS", "-I", "--http2-prior-knowledge", f"{base}/bytes/100000"])  # HEAD: no content
    assert out.returncode == 0 and b"content-length: 100000" in out.stdout
    body = b"e" * 200000
    out = run(["curl", "-sS", "--http2-prior-knowledge", "--data-binary", "@-", f"{base}/echo"], input=body)
    assert out.stdout == body
    out = run(["curl", "-sS", "-v", "--cacert", tls.ca, f"https://127.0.0.1:{tls.port}/hello",
               f"https://127.0.0.1:{tls.port}/stream"])
    assert b"ALPN: server accepted h2" in out.stderr and out.stderr.count(b"< HTTP/2 200") == 2
    assert out.stdout == b"hello from wirelet\nline 0\nline 1\nline 2\nline 3\nline 4\n"


@pytest.mark.skipif(not have("nghttp"), reason="nghttp not installed")
def test_nghttp_cleartext_and_tls(srv, tls):
    out = run(["nghttp", "-nv", f"http://127.0.0.1:{srv.port}/stream"])
    text = out.stdout.decode()
    assert out.returncode == 0, text
    assert re.search(r"recv SETTINGS frame .*\n.*\(niv=\d\)", text)
    assert re.search(r"recv \(stream_id=\d+\) :status: 200", text)
    assert re.search(r"recv DATA frame <length=\d+, flags=0x01, stream_id=\d+>", text)  # END_STREAM
    out = run(["nghttp", "-nv", f"https://127.0.0.1:{tls.port}/bytes/70000"])
    assert out.returncode == 0 and re.search(rb"recv \(stream_id=\d+\) :status: 200", out.stdout)


@pytest.mark.skipif(not have("h2load"), reason="h2load not installed")
def test_h2load_has_no_failures(srv):
    out = run(["h2load", "-n", "20000", "-c", "10", "-m", "10", f"http://127.0.0.1:{srv.port}/hello"], timeout=60)
    text = out.stdout.decode()
    assert "requests: 20000 total, 20000 started, 20000 done, 20000 succeeded, 0 failed, 0 errored" in text, text


def test_httpx_http2_over_tls(tls):
    httpx = pytest.importorskip("httpx")
    pytest.importorskip("h2")
    ctx = ssl.create_default_context(cafile=tls.ca)
    with httpx.Client(http2=True, verify=ctx, base_url=f"https://127.0.0.1:{tls.port}") as client:
        r = client.get("/info", params={"q": "1"})
        assert r.http_version == "HTTP/2" and b"'http_version': '2'" in r.content
        assert b"'query_string': b'q=1'" in r.content and b"'scheme': 'https'" in r.content
        # More than both receive windows: the upload moves only as the application reads.
        body = bytes(range(256)) * 8000
        assert client.post("/echo", content=body).content == body
        assert client.get("/raise").status_code == 500


def test_trailers_both_ways_and_request_body(srv):
    h2 = pytest.importorskip("h2.connection")
    import h2.config
    import h2.events

    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    conn.initiate_connection()
    conn.send_headers(1, [(":method", "POST"), (":scheme", "http"), (":authority", "x"), (":path", "/trailers"),
                          ("te", "trailers")])
    conn.send_data(1, b"abcd")
    conn.send_headers(1, [("x-req", "yes")], end_stream=True)
    s = socket.create_connection(("127.0.0.1", srv.port), 5)
    s.sendall(conn.data_to_send())
    events = []
    deadline = time.time() + 5
    while time.time() < deadline and not any(isinstance(e, h2.events.StreamEnded) for e in events):
        data = s.recv(65536)
        if not data:
            break
        events += conn.receive_data(data)
        s.sendall(conn.data_to_send())
    s.close()
    body = b"".join(e.data for e in events if isinstance(e, h2.events.DataReceived))
    trailers = [e.headers for e in events if isinstance(e, h2.events.TrailersReceived)]
    assert body == b"abcd"
    assert trailers == [[(b"x-sum", b"4"), (b"x-got", b"yes")]]


def test_resets_both_ways(srv):
    c = RawH2(srv.port)
    c.send(frame(HEADERS, 4, 1, request_block("/forever")))
    got = c.frames(until=lambda f: f[0] == DATA)
    assert any(f[0] == HEADERS and f[2] == 1 for f in got)
    c.send(frame(RST_STREAM, 0, 1, struct.pack(">I", 8)))  # client cancels
    assert srv.events.wait_for(lambda e: e == "forever.disconnected")
    # The application fails after its head: the server resets with INTERNAL_ERROR.
    c.send(frame(HEADERS, 5, 3, request_block("/raise-late")))
    got = c.frames(until=lambda f: f[0] == RST_STREAM and f[2] == 3)
    assert got[-1][0] == RST_STREAM and struct.unpack(">I", got[-1][3])[0] == 2
    c.close()


def test_streams_beyond_the_concurrency_limit_are_refused(srv):
    c = RawH2(srv.port)
    c.send(b"".join(frame(HEADERS, 5, sid, request_block("/slow?0.5")) for sid in range(1, 204, 2)))
    got = c.frames(timeout=3, until=lambda f: f is not None and f[0] == RST_STREAM)
    refused = [f for f in got if f and f[0] == RST_STREAM]
    assert refused and refused[0][2] == 201 and struct.unpack(">I", refused[0][3])[0] == 7  # REFUSED_STREAM
    got = c.frames(timeout=3, until=lambda f: f is not None and f[0] == DATA and f[1] & 1 and f[2] == 199)
    c.close()
    assert sum(1 for f in got if f and f[0] == HEADERS) >= 1


def test_prior_knowledge_preface_split_over_reads(srv):
    s = socket.create_connection(("127.0.0.1", srv.port), 5)
    s.sendall(w.H2_PREFACE[:10])
    time.sleep(0.05)
    s.sendall(w.H2_PREFACE[10:] + settings() + frame(HEADERS, 5, 1, request_block()))
    out = b""
    deadline = time.time() + 3
    while b"hello from wirelet" not in out and time.time() < deadline:
        s.settimeout(1)
        out += s.recv(65536)
    s.close()
    assert b"hello from wirelet" in out


def test_graceful_shutdown_runs_both_goaway_phases():
    with ServerThread() as s:
        c = RawH2(s.port)
        c.frames(timeout=0.3)
        c.send(frame(HEADERS, 5, 1, request_block("/slow?0.4")))
        time.sleep(0.1)
        stopper = threading.Thread(target=s.stop)
        stopper.start()
        got = c.frames(timeout=5, until=lambda f: f is None)

        def goaways():
            return [struct.unpack(">II", f[3][:8]) for f in got if f and f[0] == GOAWAY]

        # Phase 1 announces the whole id space; the PING then comes back.
        ping = [f for f in got if f and f[0] == PING and not f[1] & 1]
        assert goaways()[0] == (0x7FFFFFFF, 0) and ping and ping[0][3] == b"SHUTDOWN"
        # Our reader acked the PING: phase 2 names stream 1, which finishes first.
        stopper.join(10)
        c.close()
    datas = b"".join(f[3] for f in got if f and f[0] == DATA)
    assert datas == b"slow done"
    assert goaways()[-1] == (1, 0)


@pytest.mark.parametrize("name", ["ping", "settings", "rapid_reset", "continuation", "hpack_bomb", "empty_data"])
def test_flooding_client_gets_enhance_your_calm(calm_srv, name):
    """Each flood ends with GOAWAY(ENHANCE_YOUR_CALM) while a good client is served."""
    c = RawH2(calm_srv.port)
    c.frames(timeout=0.2)
    if name == "ping":
        attack = frame(PING, 0, 0, b"12345678") * 2000
    elif name == "settings":
        attack = settings(max_frame_size=16384) * 2000
    elif name == "rapid_reset":
        attack = b"".join(frame(HEADERS, 5, sid, request_block()) + frame(RST_STREAM, 0, sid, struct.pack(">I", 8))
                          for sid in range(1, 600, 2))
    elif name == "continuation":
        attack = frame(HEADERS, 0, 1, request_block()[:3]) + frame(CONTINUATION, 0, 1, b"") * 3000
    elif name == "hpack_bomb":
        import hpack

        enc = hpack.Encoder()
        first = enc.encode([(":method", "GET"), (":scheme", "http"), (":authority", "x"), (":path", "/"),
                            ("x-bomb", "b" * 4000)])
        # Every further reference to the 4 KB entry costs one byte on the wire.
        attack = frame(HEADERS, 5, 1, first + bytes([0xBE]) * 5000)
    else:
        attack = frame(HEADERS, 4, 1, request_block("/echo", "POST")) + frame(DATA, 0, 1) * 500
    good = []

    def good_client():
        for _ in range(3):
            good.append(raw(calm_srv.port, b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")[-19:])

    t = threading.Thread(target=good_client)
    before = rss()
    t.start()
    c.send(attack)
    got = c.frames(timeout=5, until=lambda f: f is not None and f[0] == GOAWAY)
    c.close()
    t.join(10)
    assert goaway_code(got) == 11, got[-3:]
    assert good == [b"hello from wirelet\n"] * 3
    if not SANITIZED:
        assert rss() - before < 20 << 20  # the server (in this process) stayed bounded


def test_client_that_never_acks_settings_is_dropped(srv):
    c = RawH2(srv.port, ack_settings=False)
    got = c.frames(timeout=4, until=lambda f: f is not None and f[0] == GOAWAY)
    c.close()
    assert goaway_code(got) == 4  # SETTINGS_TIMEOUT


def test_client_that_never_reads_is_bounded_and_dropped(srv):
    """A zero window stalls the response: the stream is reset after the send
    timeout and the idle connection then closed; others are served meanwhile."""
    c = RawH2(srv.port, window=0)
    c.send(frame(HEADERS, 5, 1, request_block("/bytes/5000000")))
    out = raw(srv.port, b"GET /hello HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
    assert out.endswith(b"hello from wirelet\n")
    got = c.frames(timeout=6, until=lambda f: f is None)
    c.close()
    rst = [f for f in got if f and f[0] == RST_STREAM]
    assert rst and struct.unpack(">I", rst[0][3])[0] == 8  # CANCEL
    assert sum(len(f[3]) for f in got if f and f[0] == DATA) == 0
    assert got[-1] is None or got[-1][0] == GOAWAY


def test_preface_without_http2_is_closed_silently():
    with ServerThread(http2=False) as s:
        assert raw(s.port, w.H2_PREFACE + settings()) == b""


def test_stalled_request_body_is_cancelled_and_the_application_sees_a_disconnect():
    """A body that stops arriving is reset with CANCEL after body_timeout; one
    that waits on the application (unread data buffered) is not."""
    h2 = pytest.importorskip("h2.connection")
    import h2.config
    import h2.events

    with ServerThread(body_timeout=0.5) as srv:
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
        conn.initiate_connection()
        post = [(":method", "POST"), (":scheme", "http"), (":authority", "x")]
        conn.send_headers(1, post + [(":path", "/wait-disconnect")])
        conn.send_data(1, b"ab")
        conn.send_headers(3, post + [(":path", "/slow?1.0")])
        conn.send_data(3, b"xy")
        s = socket.create_connection(("127.0.0.1", srv.port), 5)
        s.sendall(conn.data_to_send())
        events = []
        started = time.time()
        while time.time() < started + 5 and not any(isinstance(e, h2.events.StreamReset) for e in events):
            events += conn.receive_data(s.recv(65536))
            s.sendall(conn.data_to_send())
        elapsed = time.time() - started
        resets = [(e.stream_id, e.error_code) for e in events if isinstance(e, h2.events.StreamReset)]
        assert resets == [(1, 8)] and 0.3 < elapsed < 3  # CANCEL, after about body_timeout
        assert srv.events.wait_for(lambda e: e == ("wait-disconnect", "http.disconnect"))
        while time.time() < started + 5 and not any(isinstance(e, h2.events.StreamEnded) for e in events):
            events += conn.receive_data(s.recv(65536))
            s.sendall(conn.data_to_send())
        s.close()
        assert b"".join(e.data for e in events if isinstance(e, h2.events.DataReceived)) == b"slow done"
        assert all(e.stream_id == 1 for e in events if isinstance(e, h2.events.StreamReset) and e.error_code == 8)
        assert srv.wait_connections(0)
