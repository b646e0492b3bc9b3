"""ASGI pieces shared by both wire protocols: scope building, the lifespan cycle."""

from __future__ import annotations

import asyncio
import logging
from typing import Any, Optional
from urllib.parse import unquote, urlsplit

log = logging.getLogger("wirelet.server")

ASGI_INFO = {"version": "3.0", "spec_version": "2.4"}
EXTENSIONS: dict[str, dict] = {"http.response.trailers": {}}


class ClientDisconnected(OSError):
    """send() on an exchange whose client has gone away."""


def split_target(target: str) -> tuple[str, bytes, bytes]:
    """(path, raw_path, query_string) of a request target."""
    if target[:1] != "/":
        if target == "*":
            return "*", b"*", b""
        # Absolute form (a request meant for a proxy) or authority form.
        parts = urlsplit(target)
        raw_text = parts.path or "/"
        return unquote(raw_text), raw_text.encode("ascii", "replace"), parts.query.encode("ascii", "replace")
    path, _, query = target.partition("?")
    raw = path.encode("ascii", "replace")
    if "%" in path:
        path = unquote(path)
    return path, raw, query.encode("ascii", "replace")


def http_scope(server_state: dict, method: str, target: str, headers: list, http_version: str,
               scheme: str, server: Optional[tuple], client: Optional[tuple], root_path: str) -> dict:
    path, raw_path, query = split_target(target)
    scope = {
        "type": "http",
        "asgi": ASGI_INFO,
        "http_version": http_version,
        "server": server,
        "client": client,
        "scheme": scheme,
        "method": method,
        "root_path": root_path,
        "path": path,
        "raw_path": raw_path,
        "query_string": query,
        "headers": headers,
        "extensions": EXTENSIONS,
    }
    if server_state:
        scope["state"] = server_state.copy()
    return scope


def trailer_list(trailers) -> list:
    return trailers.raw_items() if trailers is not None else []


def error_page(status: int) -> tuple[list, bytes]:
    body = {500: b"Internal Server Error", 400: b"Bad Request"}.get(status, b"Error")
    return [(b"content-type", b"text/plain; charset=utf-8"), (b"connection", b"close")], body


class Lifespan:
    """Runs the application's lifespan cycle: startup before serving, shutdown after."""

    def __init__(self, app, mode: str, timeout: float):
        self.app = app
        self.mode = mode
        self.timeout = timeout
        self.state: dict[str, Any] = {}
        self.queue: asyncio.Queue = asyncio.Queue()
        self.task: Optional[asyncio.Task] = None
        self.startup_done = asyncio.Event()
        self.shutdown_done = asyncio.Event()
        self.failed: Optional[str] = None
        self.unsupported = False

    async def startup(self) -> None:
        if self.mode == "off":
            return
        scope = {"type": "lifespan", "asgi": ASGI_INFO, "state": self.state}
        self.task = asyncio.ensure_future(self._run(scope))
        await self.queue.put({"type": "lifespan.startup"})
        waiter = asyncio.ensure_future(self.startup_done.wait())
        await asyncio.wait([waiter, self.task], timeout=self.timeout, return_when=asyncio.FIRST_COMPLETED)
        waiter.cancel()
        if self.failed is not None:
            raise RuntimeError(f"application startup failed: {self.failed}")
        if not self.startup_done.is_set() and not self.unsupported:
            raise RuntimeError("application startup did not complete")

    async def shutdown(self) -> None:
        if self.task is None or self.unsupported or self.task.done():
            return
        await self.queue.put({"type": "lifespan.shutdown"})
        try:
            await asyncio.wait_for(self.shutdown_done.wait(), self.timeout)
        except asyncio.TimeoutError:
            log.error("application shutdown did not complete in %.1fs", self.timeout)
            self.task.cancel()
        if self.failed is not None:
            log.error("application shutdown failed: %s", self.failed)

    async def _run(self, scope) -> None:
        started = False

        async def receive():
            nonlocal started
            started = True
            return await self.queue.get()

        async def send(message):
            kind = message["type"]
            if kind == "lifespan.startup.complete":
                self.startup_done.set()
            elif kind == "lifespan.startup.failed":
                self.failed = message.get("message", "")
                self.startup_done.set()
            elif kind == "lifespan.shutdown.complete":
                self.shutdown_done.set()
            elif kind == "lifespan.shutdown.failed":
                self.failed = message.get("message", "")
                self.shutdown_done.set()

        try:
            await self.app(scope, receive, send)
        except BaseException as exc:  # noqa: BLE001 - the application's failure is reported, not ours
            if isinstance(exc, asyncio.CancelledError):
                raise
            if self.mode == "auto" and not self.startup_done.is_set():
                # An application without lifespan support refuses the scope.
                self.unsupported = True
                log.info("lifespan not supported by the application (%s)", exc.__class__.__name__)
            else:
                self.failed = self.failed or repr(exc)
                log.exception("lifespan failed")
        finally:
            self.startup_done.set()
            self.shutdown_done.set()
