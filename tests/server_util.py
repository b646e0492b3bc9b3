"""Shared pieces of the server tests: a test application, an in-process server
on a background loop, raw sockets and client commands with timeouts."""

import asyncio
import contextlib
import contextvars
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

from wirelet.demo import app as demo_app
from wirelet.server import Config, Server

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Client programs must not inherit a sanitizer runtime preloaded into this interpreter.
CLIENT_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def have(program):
    return shutil.which(program) is not None


class Events:
    """What the test application observed, for assertions from the test thread."""

    def __init__(self):
        self.items = []
        self.cond = threading.Condition()

    def add(self, item):
        with self.cond:
            self.items.append(item)
            self.cond.notify_all()

    def wait_for(self, pred, timeout=5.0):
        with self.cond:
            return self.cond.wait_for(lambda: any(pred(i) for i in self.items), timeout)


REQUEST_VAR = contextvars.ContextVar("request_var")


def make_app(events):
    """The demo application plus routes that exercise the server's edges."""

    async def answer(send, body):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": body})

    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            while True:
                message = await receive()
                if message["type"] == "lifespan.startup":
                    scope["state"]["started"] = "yes"
                    await send({"type": "lifespan.startup.complete"})
                else:
                    events.add("lifespan.shutdown")
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        path = scope["path"]
        if path == "/info":
            body = repr({k: scope[k] for k in ("http_version", "method", "path", "raw_path", "query_string",
                                                "scheme", "root_path")}
                        | {"state": scope.get("state"), "pid": os.getpid()}).encode()
            await send({"type": "http.response.start", "status": 200, "headers": [(b"x-pid", b"%d" % os.getpid())]})
            await send({"type": "http.response.body", "body": body})
        elif path == "/slow":
            await asyncio.sleep(float(scope["query_string"] or b"0.3"))
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"slow done"})
        elif path == "/forever":
            # Streams until the client goes away; send must then fail.
            await send({"type": "http.response.start", "status": 200, "headers": []})
            try:
                while True:
                    await send({"type": "http.response.body", "body": b"x" * 1024, "more_body": True})
                    await asyncio.sleep(0.01)
            except OSError:
                events.add("forever.disconnected")
        elif path == "/wait-disconnect":
            message = await receive()
            while message["type"] == "http.request" and message.get("more_body"):
                message = await receive()
            message = await receive()
            events.add(("wait-disconnect", message["type"]))
        elif path == "/trailers":
            body = b""
            while True:
                message = await receive()
                body += message.get("body", b"")
                if not message.get("more_body"):
                    break
            got = dict(message.get("trailers", []))
            await send({"type": "http.response.start", "status": 200, "trailers": True,
                        "headers": [(b"trailer", b"x-sum, x-got")]})
            await send({"type": "http.response.body", "body": body, "more_body": True})
            await send({"type": "http.response.body", "body": b"", "more_body": False})
            await send({"type": "http.response.trailers",
                        "headers": [(b"x-sum", b"%d" % len(body)), (b"x-got", got.get(b"x-req", b"none"))]})
        elif path == "/task":
            # The task stays the same across a wait; nothing set by an earlier
            # request's context is seen by a later one.
            before = asyncio.current_task()
            leaked = REQUEST_VAR.get(None)
            REQUEST_VAR.set(scope["query_string"])
            if scope["query_string"] == b"wait":
                await asyncio.sleep(0.01)
            same = before is not None and asyncio.current_task() is before
            await answer(send, b"%r %r" % (same, leaked))
        elif path == "/timeout":
            try:
                async with asyncio.timeout(0.05):
                    await asyncio.sleep(5)
            except TimeoutError:
                await answer(send, b"timed out")
        elif path == "/cancel-self":
            # Cancels its own task, then finishes without waiting; with
            # ?wait it waits afterwards and sees the cancellation.
            asyncio.current_task().cancel()
            if scope["query_string"] == b"wait":
                try:
                    await asyncio.sleep(5)
                except asyncio.CancelledError:
                    asyncio.current_task().uncancel()
                    await answer(send, b"cancelled")
                    return
            await answer(send, b"done")
        elif path == "/raise":
            raise RuntimeError("application failure")
        elif path == "/raise-late":
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"partial", "more_body": True})
            raise RuntimeError("application failure after the head")
        elif path == "/nothing":
            return
        elif path == "/short":
            await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"10")]})
            await send({"type": "http.response.body", "body": b"abc"})
        else:
            await demo_app(scope, receive, send)

    return app


class ServerThread:
    """A Server on its own event loop in a daemon thread."""

    def __init__(self, **options):
        self.events = Events()
        options.setdefault("app", make_app(self.events))
        options.setdefault("port", 0)
        self.config = Config(**options)
        self.server = Server(self.config)
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.error = None

    def _run(self):
        asyncio.set_event_loop(self.loop)
        try:
            self.loop.run_until_complete(self.server.serve(install_signals=False))
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            self.error = exc
            self.server.started.set()
        finally:
            tasks = asyncio.all_tasks(self.loop)
            for t in tasks:
                t.cancel()
            self.loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
            self.loop.close()

    def __enter__(self):
        self.thread.start()
        assert self.server.started.wait(60), "server did not start"
        if self.error:
            raise self.error
        self.port = self.server.port
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.thread.is_alive():
            self.server.request_stop()
            self.thread.join(10)
            assert not self.thread.is_alive(), "server did not stop"

    def call(self, fn, *args):
        """Runs fn on the server's loop and returns its result."""
        async def run():
            return fn(*args)
        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(5)

    def connection_count(self):
        return self.call(lambda: len(self.server.connections))

    def wait_connections(self, n, timeout=5.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.connection_count() == n:
                return True
            time.sleep(0.02)
        return False


def raw(port, data, timeout=3.0, until=None, tls=None):
    """Sends data, reads until the peer closes (or `until` holds, or timeout)."""
    with contextlib.closing(socket.create_connection(("127.0.0.1", port), timeout)) as s:
        s.sendall(data)
        return read_all(s, timeout, until)


def read_all(s, timeout=3.0, until=None):
    out = b""
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            s.settimeout(max(0.01, deadline - time.time()))
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
            if until and until(out):
                break
    except (socket.timeout, ConnectionResetError):
        pass
    return out


def run(cmd, timeout=20, **kw):
    return subprocess.run(cmd, capture_output=True, timeout=timeout, env=CLIENT_ENV, **kw)


def wait_listening(proc, port, timeout=60.0, output=None):
    """Waits until the child server accepts connections on port. A child that
    exits, or is not ready within the (generous: the machine may be loaded)
    bound, fails the test with what it wrote (`output`: a file, or its pipe)."""
    deadline = time.time() + timeout
    while proc.poll() is None and time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    stream = output if output is not None else proc.stdout
    text = b""
    if stream is not None:
        if stream.seekable():
            stream.seek(0)
        text = stream.read()
    raise RuntimeError(f"server on port {port} not ready (exit status {proc.returncode}):\n"
                       + text.decode(errors="replace"))


def spawn_server(args, env=None, **kw):
    """`python -m wirelet serve ...` as a child process; returns (proc, port)."""
    port_sock = socket.socket()
    port_sock.bind(("127.0.0.1", 0))
    port = port_sock.getsockname()[1]
    port_sock.close()
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, "tests")] + sys.path)
    if env:
        e.update(env)
    proc = subprocess.Popen([sys.executable, "-m", "wirelet", "serve", *args, "--port", str(port)],
                            env=e, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
    wait_listening(proc, port)
    return proc, port


events_for_cli = Events()
# `python -m wirelet serve server_util:cli_app` in the subprocess tests.
cli_app = make_app(events_for_cli)
