"""End-to-end demo on loopback: the wirelet ASGI server under real clients.

Starts `python -m wirelet serve wirelet.demo:app` twice (cleartext, and TLS
with a throw-away certificate authority), then shows a short transcript:
curl over HTTP/1.1 (keep-alive, a streamed response, an upload with
100-continue), HTTP/2 with prior knowledge and over TLS (ALPN h2) with curl
and nghttp, and a short h2load run. Then it stops both servers with SIGTERM
(graceful shutdown) and exits.
"""

import asyncio
import contextlib
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import wirelet
from wirelet.server.h2 import engine_ready

# Client programs must not inherit a sanitizer runtime preloaded into this interpreter.
CLIENT_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
HTTP2 = engine_ready()


def free_port():
    with contextlib.closing(socket.socket()) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(*extra):
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "wirelet", "serve", "wirelet.demo:app", "--port", str(port),
                             *extra], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.time() + 60  # generous: the machine may be busy
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return proc, port
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.05)
    proc.kill()
    raise SystemExit("the server did not start:\n" + proc.stdout.read())


def client(title, cmd, keep=None, limit=12):
    """Runs one client command and prints the interesting lines of its output."""
    shown = [a if len(a) < 60 else a[:20] + "..." for a in cmd]
    print(f"\n$ {shlex.join(shown)}")
    if shutil.which(cmd[0]) is None:
        print(f"  ({cmd[0]} is not installed: skipped)")
        return
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60,
                         env=CLIENT_ENV)
    lines = out.stdout.splitlines()
    if keep is not None:
        lines = [line for line in lines if re.search(keep, line)]
    for line in lines[:limit]:
        print("  " + line[:110])
    if len(lines) > limit:
        print(f"  ... ({len(lines) - limit} more lines)")
    if out.returncode != 0:
        print(f"  (exit status {out.returncode})")


async def package_client(base):
    async with wirelet.Client() as c:
        a = await c.get(base + "/hello")
        b = await c.post(base + "/echo", content=b"ping")
        n = await c.get(base + "/bytes/100000")
        return (f"{a.status} {a.content!r}, {b.status} {b.content!r}, {n.status} {len(n.content)} bytes;"
                f" {c._live} connection open")


def main():
    print(f"wirelet {wirelet.__version__}: the ASGI server under real clients, on loopback")
    with tempfile.TemporaryDirectory() as tmp:
        ca_file = os.path.join(tmp, "ca.pem")
        pem = os.path.join(tmp, "server.pem")
        try:
            import trustme
        except ImportError:
            trustme = None
        if trustme is not None:
            ca = trustme.CA()
            ca.cert_pem.write_to_path(ca_file)
            ca.issue_cert("127.0.0.1", "localhost").private_key_and_cert_chain_pem.write_to_path(pem)
        plain, port = start_server()
        servers = [plain]
        if trustme is not None:
            tls, tls_port = start_server("--certfile", pem, "--keyfile", pem)
            servers.append(tls)
        base = f"http://127.0.0.1:{port}"
        print(f"servers: {base} and https://127.0.0.1:{tls_port if trustme else '-'} (wirelet.demo:app)")
        try:
            print("\n== HTTP/1.1")
            client("keep-alive", ["curl", "-sS", "-v", "--http1.1", f"{base}/hello", f"{base}/stream"],
                   keep=r"^(< HTTP|< transfer-encoding|\* Re-using|hello|line)")
            client("100-continue", ["curl", "-sS", "-i", "--http1.1", "-H", "Expect: 100-continue",
                                    "--data-binary", "ping " * 600, f"{base}/echo"],
                   keep=r"^(HTTP/|ping)", limit=3)
            print("\n$ wirelet.Client: GET /hello, POST /echo, GET /bytes/100000 on one connection")
            print("  " + asyncio.run(package_client(base)))
            if trustme is not None:
                client("tls", ["curl", "-sS", "-v", "--http1.1", "--cacert", ca_file,
                               f"https://127.0.0.1:{tls_port}/hello"], keep=r"(ALPN|^< HTTP|^hello)")
            if HTTP2:
                print("\n== HTTP/2")
                client("prior knowledge", ["curl", "-sS", "-v", "--http2-prior-knowledge", f"{base}/stream"],
                       keep=r"^(< HTTP|line)")
                if trustme is not None:
                    client("tls + alpn", ["curl", "-sS", "-v", "--cacert", ca_file,
                                          f"https://127.0.0.1:{tls_port}/hello", f"https://127.0.0.1:{tls_port}/stream"],
                           keep=r"(ALPN|^< HTTP|\* Re-using|^hello|^line)")
                client("nghttp", ["nghttp", "-nv", f"{base}/stream"],
                       keep=r"(recv (SETTINGS|HEADERS|DATA|GOAWAY)|send (SETTINGS|HEADERS|GOAWAY)|:status)",
                       limit=14)
                if trustme is not None:
                    client("nghttp tls", ["nghttp", "-nvs", f"https://127.0.0.1:{tls_port}/bytes/100000"],
                           keep=r"(negotiated protocol|:status|^\s*id\s|^\s*\d+\s+\+)", limit=4)
                client("h2load", ["h2load", "-n", "20000", "-c", "10", "-m", "10", f"{base}/hello"],
                       keep=r"^(finished in|requests:|status codes:)")
            else:
                print("\n(HTTP/2 is not in this build yet: skipped)")
        finally:
            print("\n== graceful shutdown (SIGTERM)")
            for proc in servers:
                proc.send_signal(signal.SIGTERM)
            for proc in servers:
                try:
                    proc.wait(15)
                except subprocess.TimeoutExpired:
                    proc.kill()
                log = proc.stdout.read().strip().splitlines()
                print(f"  server {proc.pid}: exit status {proc.returncode}; last log line: {log[-1] if log else ''}")


if __name__ == "__main__":
    main()
