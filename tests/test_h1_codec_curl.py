"""A real peer: curl against a tiny blocking server built on H1Codec and
H1BodyDecoder, on 127.0.0.1 only."""
import os
import shutil
import socket
import subprocess
import threading

import pytest

from wirelet import _wirelet as w

CURL = shutil.which("curl")
# curl must not inherit a sanitizer runtime preloaded into this interpreter.
CURL_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
pytestmark = pytest.mark.skipif(CURL is None, reason="curl is not installed")


class Server:
    """Serves connections one after the other; echoes each request."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.requests = []
        self.errors = []
        self.stopping = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.stopping = True
        self.thread.join(10)
        self.sock.close()

    def run(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            self.connections += 1
            conn.settimeout(10)
            try:
                self.serve(conn)
            except Exception as e:  # reported by the test
                self.errors.append(repr(e))
            finally:
                conn.close()

    def serve(self, conn):
        codec = w.H1Codec()
        while True:
            head = codec.receive_request_head(b"")
            while head is None:
                data = conn.recv(65536)
                if not data:
                    return
                head = codec.receive_request_head(data)
            if head.expect_continue:
                conn.sendall(w.H1Codec.continue_response())
            body = self.read_body(conn, codec, head)
            self.requests.append((head.method, head.target, body))
            payload = f"{head.method} {head.target} {len(body)} {body[:40]!r}\n".encode()
            headers = w.HeaderMap({"content-type": "text/plain", "x-served-by": "wirelet-test"})
            if head.target == "/chunked":
                out = codec.serialize_response(200, headers, keep_alive=head.keep_alive, http10=head.http10,
                                               chunked=True)
                if not codec.body_is_eof():
                    for i in range(0, len(payload), 7):
                        out += codec.serialize_data(payload[i:i + 7])
                    out += codec.serialize_end()
            else:
                out = codec.serialize_response(200, headers, keep_alive=head.keep_alive, http10=head.http10,
                                               content_length=len(payload))
                out = codec.serialize_head_and_body(out, payload)
            conn.sendall(out)
            last = codec.response_is_last or codec.response_close_delimited
            codec.reset()
            if last:
                return

    @staticmethod
    def read_body(conn, codec, head):
        if head.body_kind == "empty":
            return b""
        dec = w.H1BodyDecoder(head.body_kind, head.content_length or 0)
        codec.take_body_into(dec)
        parts = []
        while True:
            chunk = dec.decode()
            if chunk is not None:
                parts.append(chunk)
                continue
            if dec.is_complete:
                break
            data = conn.recv(65536)
            if not data:
                dec.mark_eof()
            else:
                dec.feed(data)
        assert dec.buffered == 0, "curl does not pipeline"
        return b"".join(parts)


@pytest.fixture
def server():
    s = Server()
    yield s
    s.stop()
    assert not s.errors


def curl(*args):
    r = subprocess.run([CURL, "-s", "-S", "--max-time", "20", *args], capture_output=True, timeout=30, env=CURL_ENV)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_get(server):
    assert curl(server.url("/hello?x=1")) == b"GET /hello?x=1 0 b''\n"
    assert server.requests == [("GET", "/hello?x=1", b"")]


def test_get_chunked_response(server):
    assert curl(server.url("/chunked")) == b"GET /chunked 0 b''\n"


def test_post_with_chunked_body(server):
    body = b"a" * 3000 + b"end"
    r = subprocess.run([CURL, "-s", "-S", "--max-time", "20", "-H", "Transfer-Encoding: chunked",
                        "--data-binary", "@-", server.url("/upload")],
                       input=body, capture_output=True, timeout=30, env=CURL_ENV)
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert out == f"POST /upload {len(body)} {body[:40]!r}\n".encode()
    assert server.requests[-1] == ("POST", "/upload", body)


def test_post_with_length_and_expect_continue(server):
    body = b"x" * 2000
    r = subprocess.run([CURL, "-s", "-S", "--max-time", "20", "-H", "Expect: 100-continue",
                        "--data-binary", "@-", server.url("/len")], input=body, capture_output=True, timeout=30, env=CURL_ENV)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"POST /len 2000 {body[:40]!r}\n".encode()


def test_head(server):
    out = curl("-I", server.url("/h"))
    lines = out.split(b"\r\n")
    assert lines[0] == b"HTTP/1.1 200 OK"
    assert b"content-length: " + str(len(b"HEAD /h 0 b''\n")).encode() in lines
    assert b"x-served-by: wirelet-test" in lines
    assert any(l.startswith(b"date: ") for l in lines)
    assert out.endswith(b"\r\n\r\n")


def test_keep_alive_sequence(server):
    out = curl(server.url("/1"), server.url("/chunked"), server.url("/3"),
               "-X", "GET", "-H", "X-Seq: yes")
    assert out == b"GET /1 0 b''\nGET /chunked 0 b''\nGET /3 0 b''\n"
    assert server.connections == 1
    assert [r[1] for r in server.requests] == ["/1", "/chunked", "/3"]


def test_http10_closes(server):
    assert curl("--http1.0", server.url("/old")) == b"GET /old 0 b''\n"
    assert curl("--http1.0", server.url("/chunked")) == b"GET /chunked 0 b''\n"
    assert server.connections == 2
