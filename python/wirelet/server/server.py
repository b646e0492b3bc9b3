"""The server: listening sockets, TLS, timeouts, lifespan and graceful shutdown."""

from __future__ import annotations

import asyncio
import logging
import signal
import socket
import sys
import threading
from typing import Any, Optional

from wirelet import _wirelet as w

from .asgi import Lifespan, split_target
from .config import Config
from .h1 import H1Connection

log = logging.getLogger("wirelet.server")


def bind_socket(config: Config) -> socket.socket:
    """The listening socket for config.host and config.port."""
    infos = socket.getaddrinfo(config.host, config.port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, kind, proto, _, addr = infos[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    sock.bind(addr)
    sock.listen(config.backlog)
    sock.set_inheritable(True)
    return sock


class Server:
    """Serves one ASGI application over HTTP/1.1 and HTTP/2 on one event loop."""

    def __init__(self, config: Config):
        self.config = config
        self.app = config.app
        self.connections: set = set()
        self.state: dict = {}
        # Set by startup(), on the loop that serves.
        self.loop: asyncio.AbstractEventLoop = None  # type: ignore[assignment]
        self.listeners: list = []
        self.lifespan: Optional[Lifespan] = None
        self.sweeper: Optional[asyncio.Task] = None
        self.should_exit: asyncio.Event = None  # type: ignore[assignment]
        self.started = threading.Event()
        self.force_exit = False
        self._h2: Any = None
        self._eager = sys.version_info >= (3, 12)
        # A coarse clock for deadlines, advanced by the sweep.
        self.now = 0.0
        # Request targets seen lately, split into the scope's path parts.
        self.targets: dict = {}

    # -- protocol selection ------------------------------------------------------

    def http2_available(self) -> bool:
        if self._h2 is None:
            self._h2 = False
            if self.config.http2 and hasattr(w, "H2Streams"):
                from .h2 import H2Connection, engine_ready

                if engine_ready():
                    self._h2 = H2Connection
        return self._h2 is not False

    def switch_to_h2(self, old, transport, data: bytes) -> None:
        """Hands a transport whose peer speaks HTTP/2 to an HTTP/2 connection."""
        conn = self._h2(self)
        transport.set_protocol(conn)
        conn.connection_made(transport)
        if data:
            conn.primed(data)

    def target_parts(self, target: str) -> tuple:
        """(path, raw_path, query_string) of a request target, remembered
        when short: most requests repeat a target seen before."""
        parts = split_target(target)
        if len(target) <= 256:
            targets = self.targets
            if len(targets) >= 1024:
                targets.clear()
            targets[target] = parts
        return parts

    def start_task(self, coro):
        """Starts a request's task. Where the interpreter allows it the task
        starts eagerly: a response that never waits is written without a
        trip through the event loop."""
        loop = self.loop
        if loop.get_task_factory() is not None:
            return loop.create_task(coro)
        if self._eager:
            return asyncio.Task(coro, loop=loop, eager_start=True)
        return asyncio.Task(coro, loop=loop)

    def make_protocol(self):
        return H1Connection(self)

    # -- life cycle ------------------------------------------------------------------

    @property
    def port(self) -> int:
        return self.listeners[0].sockets[0].getsockname()[1]

    async def startup(self, sockets=None) -> None:
        config = self.config
        self.loop = asyncio.get_running_loop()
        self.now = self.loop.time()
        self.should_exit = asyncio.Event()
        self.lifespan = Lifespan(self.app, config.lifespan, config.lifespan_timeout)
        await self.lifespan.startup()
        self.state = self.lifespan.state
        ssl = config.ssl_context()
        if sockets is None and config.sock is not None:
            sockets = [config.sock]
        if sockets:
            for sock in sockets:
                self.listeners.append(await self.loop.create_server(
                    self.make_protocol, sock=sock, ssl=ssl, backlog=config.backlog))
        else:
            self.listeners.append(await self.loop.create_server(
                self.make_protocol, config.host, config.port, ssl=ssl, backlog=config.backlog,
                reuse_address=True))
        self.sweeper = self.loop.create_task(self.sweep())
        self.started.set()

    async def sweep(self) -> None:
        """One timer for every connection's head, idle and settings timeouts."""
        interval = self.config.timer_interval()
        loop = self.loop
        while True:
            await asyncio.sleep(interval)
            now = self.now = loop.time()
            for conn in list(self.connections):
                conn.check_timeout(now)

    async def serve(self, sockets=None, install_signals: bool = True,
                    signals: tuple = (signal.SIGINT, signal.SIGTERM)) -> None:
        await self.startup(sockets)
        if install_signals and threading.current_thread() is threading.main_thread():
            for sig in signals:
                self.loop.add_signal_handler(sig, self.handle_signal)
        scheme = "https" if self.config.tls else "http"
        for listener in self.listeners:
            for sock in listener.sockets:
                host, port = sock.getsockname()[:2]
                log.info("serving on %s://%s:%d", scheme, host if ":" not in host else f"[{host}]", port)
        try:
            await self.should_exit.wait()
        finally:
            await self.shutdown()

    def handle_signal(self) -> None:
        if self.should_exit.is_set():
            self.force_exit = True  # a second signal: stop waiting for exchanges
            for conn in list(self.connections):
                conn.abort_now()
        self.should_exit.set()

    def request_stop(self) -> None:
        """Asks a running server to shut down gracefully; callable from any thread."""
        if self.loop is not None and self.should_exit is not None:
            self.loop.call_soon_threadsafe(self.should_exit.set)

    async def shutdown(self) -> None:
        for listener in self.listeners:
            listener.close()
        for conn in list(self.connections):
            conn.shutdown()
        deadline = self.loop.time() + self.config.shutdown_timeout
        while self.connections and not self.force_exit and self.loop.time() < deadline:
            await asyncio.sleep(0.01)
        for conn in list(self.connections):
            conn.abort_now()
        for listener in self.listeners:
            try:
                await asyncio.wait_for(listener.wait_closed(), 1.0)
            except asyncio.TimeoutError:
                pass
        if self.sweeper is not None:
            self.sweeper.cancel()
        if self.lifespan is not None:
            await self.lifespan.shutdown()
        log.info("shut down")
