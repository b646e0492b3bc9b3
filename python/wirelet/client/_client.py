"""The public client and its connection pool.

The pool keeps, per origin, a stack of idle HTTP/1.1 connections (each watched
while idle) and at most one multiplexed HTTP/2 connection. One counter bounds
the live connections of the whole client; requests that find it full wait
for a connection to be released or closed, within the pool time limit.
"""

import asyncio
import collections
import json as _json

from wirelet import _wirelet as w
from wirelet.http import HeaderMap

from ._config import _UNSET, DEFAULT_TIMEOUT, Limits, PoolTimeout, ProxyError, RetryRequest, Timeout
from ._connect import dial, tls_context
from ._h1 import H1Connection
from ._models import Response

_IDEMPOTENT = frozenset(("GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"))
_VERSION_HEADERS = [("user-agent", f"wirelet/{w.__version__}"), ("accept", "*/*")]


class _Proxy:
    __slots__ = ("scheme", "host", "port", "auth", "uri")

    def __init__(self, intercept):
        self.uri = intercept.uri
        self.scheme, self.host, self.port, _ = w.uri_parts(self.uri)
        if self.scheme not in ("http", "https"):
            raise ProxyError(f"proxy scheme {self.scheme!r} is not supported")
        self.auth = intercept.basic_auth()


class Origin:
    """Where requests for one scheme://host:port go, and its connections."""

    __slots__ = ("scheme", "host", "port", "authority", "host_header", "proxy", "forward",
                 "idle", "h2", "pending", "prefix")

    def __init__(self, scheme, host, port, authority, proxy):
        self.scheme, self.host, self.port, self.authority = scheme, host, port, authority
        written = authority[: -len(f":{port}")]
        self.host_header = written if port == (443 if scheme == "https" else 80) else authority
        self.proxy = proxy
        # Plain http through a proxy: absolute-form requests to the proxy itself.
        self.forward = proxy is not None and scheme == "http"
        self.prefix = f"http://{self.host_header}" if self.forward else None
        self.idle = []  # H1Connection stack, most recently used last
        self.h2 = None  # the HTTP/2 connection, once there is one
        self.pending = None  # future: a dial whose protocol others wait to learn


def _split_target(url):
    rest = url.split("://", 1)[1] if "://" in url else url
    for i, ch in enumerate(rest):
        if ch in "/?#":
            rest = rest[i:]
            break
    else:
        return "/"
    rest = rest.split("#", 1)[0]
    if not rest or rest[0] == "?":
        rest = "/" + rest
    return rest


async def _aiter(iterable):
    for chunk in iterable:
        yield chunk


class Client:
    """An asynchronous HTTP/1.1 and HTTP/2 client with a connection pool.

        async with wirelet.Client() as client:
            r = await client.get("https://example.test/")
            print(r.status, r.headers, r.content)

    http2: False (HTTP/1.1 only), True (HTTP/2 when TLS ALPN picks it) or
    "prior-knowledge" (HTTP/2 without negotiation, for cleartext origins).
    proxy: a proxy URL used for every origin (NO_PROXY syntax in no_proxy);
    without it, trust_env reads the proxy environment variables.
    verify: True, False, a CA bundle path or an ssl.SSLContext.
    """

    def __init__(self, *, timeout=DEFAULT_TIMEOUT, limits=None, http2=False, verify=True, cert=None,
                 proxy=None, no_proxy=None, trust_env=True, headers=None):
        if http2 not in (False, True, "prior-knowledge"):
            raise ValueError("http2 must be False, True or 'prior-knowledge'")
        self.timeout = timeout if isinstance(timeout, Timeout) else Timeout(timeout)
        self.limits = limits or Limits()
        self.http2 = http2
        self._verify, self._cert = verify, cert
        self._ssl = None
        if isinstance(proxy, w.ProxyMatcher):
            self._proxies = proxy
        elif proxy is not None:
            self._proxies = w.ProxyMatcher.from_parts(all=proxy, no=no_proxy)
        elif trust_env:
            self._proxies = w.ProxyMatcher.from_env()
        else:
            self._proxies = None
        self.headers = HeaderMap(_VERSION_HEADERS)
        if headers:
            _merge(self.headers, headers)
        self._origins = {}
        self._live = 0  # connections open or being opened
        self._idle_count = 0
        self._waiters = collections.deque()
        self._closed = False
        self._loop = None

    # -- public API
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.aclose()

    async def request(self, method, url, *, headers=None, content=None, json=None, timeout=_UNSET):
        """Sends a request and reads the whole response body."""
        response = await self._send(method, url, headers, content, json, timeout)
        await response.read()
        return response

    def stream(self, method, url, *, headers=None, content=None, json=None, timeout=_UNSET):
        """`async with client.stream(...) as response:` with the body unread."""
        return _StreamContext(self._send(method, url, headers, content, json, timeout))

    async def get(self, url, **kw):
        return await self.request("GET", url, **kw)

    async def head(self, url, **kw):
        return await self.request("HEAD", url, **kw)

    async def options(self, url, **kw):
        return await self.request("OPTIONS", url, **kw)

    async def delete(self, url, **kw):
        return await self.request("DELETE", url, **kw)

    async def post(self, url, **kw):
        return await self.request("POST", url, **kw)

    async def put(self, url, **kw):
        return await self.request("PUT", url, **kw)

    async def patch(self, url, **kw):
        return await self.request("PATCH", url, **kw)

    async def aclose(self):
        """Closes every idle connection; busy ones close when released."""
        self._closed = True
        conns = []
        for origin in self._origins.values():
            conns.extend(origin.idle)
            origin.idle.clear()
            if origin.h2 is not None:
                conns.append(origin.h2)
                origin.h2 = None
        self._idle_count = 0
        for conn in conns:
            await conn.aclose()
        self._wake()

    # -- requests
    def _origin(self, url):
        scheme, host, port, authority = w.uri_parts(url)
        key = (scheme, authority)
        origin = self._origins.get(key)
        if origin is None:
            if scheme not in ("http", "https") or host is None:
                raise ValueError(f"not an absolute http or https URL: {url!r}")
            intercept = self._proxies.intercept(url) if self._proxies is not None else None
            proxy = _Proxy(intercept) if intercept is not None else None
            origin = self._origins[key] = Origin(scheme, host, port, authority, proxy)
        return origin

    async def _send(self, method, url, headers, content, json, timeout):
        if self._closed:
            raise RuntimeError("the client has been closed")
        origin = self._origin(url)
        timeout = self.timeout if timeout is _UNSET else (timeout if isinstance(timeout, Timeout) else Timeout(timeout))
        target = _split_target(url)
        hm = HeaderMap(self.headers)
        if headers:
            _merge(hm, headers)
        if json is not None:
            content = _json.dumps(json).encode()
            hm.setdefault("content-type", "application/json")
        known_length = None
        if isinstance(content, str):
            content = content.encode()
        elif content is not None and not isinstance(content, (bytes, bytearray, memoryview)):
            if not hasattr(content, "__aiter__"):
                content = _aiter(content)
            cl = hm.get("content-length")
            known_length = int(cl) if cl is not None and cl.isdigit() else None
        replayable = known_length is None and not hasattr(content, "__aiter__") and method in _IDEMPOTENT
        h1_ready = False
        retries = 3
        while True:
            conn = await self._acquire(origin, timeout)
            if conn.http2:
                try:
                    return await conn.request(method, target, HeaderMap(hm),
                                              content, timeout, url, origin)
                except RetryRequest:
                    # The server never saw the request (GOAWAY, connection
                    # gone before the stream opened): another connection.
                    if not retries:
                        raise w.ConnectionClosedError("the server went away before processing the request") from None
                    retries -= 1
                    continue
            if not h1_ready:
                h1_ready = True
                if "host" not in hm:
                    hm["host"] = origin.host_header
                if origin.forward:
                    target = origin.prefix + target
                    if origin.proxy.auth and "proxy-authorization" not in hm:
                        hm["proxy-authorization"] = origin.proxy.auth
            try:
                head, body = await conn.request(method, target, hm, content, timeout, url, known_length)
            except (w.H1IncompleteMessageError, w.ConnectionClosedError):
                # A kept-alive connection that the server closed just as we
                # reused it: nothing was processed, so a replayable request
                # goes again on a fresh connection.
                if conn.reused and replayable:
                    replayable = False
                    continue
                raise
            return Response(head.status, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1", url, body)

    # -- the pool
    def _ssl_context(self):
        if self._ssl is None:
            self._ssl = tls_context(self._verify, self._cert, self.http2 is True)
        return self._ssl

    async def _acquire(self, origin, timeout):
        loop = self._loop
        if loop is None:
            loop = self._loop = asyncio.get_running_loop()
        deadline = None
        expiry = self.limits.keepalive_expiry
        while True:
            h2 = origin.h2
            if h2 is not None:
                if h2.usable():
                    return h2
                origin.h2 = None
            idle = origin.idle
            while idle:
                conn = idle.pop()
                self._idle_count -= 1
                if conn.is_dead():
                    self.closed(conn)
                elif expiry is not None and loop.time() - conn.idle_since > expiry:
                    await conn.aclose()
                elif conn.try_begin_exchange():
                    conn.unpark()
                    conn.reused = True
                    return conn
            if origin.pending is not None:
                await asyncio.shield(origin.pending)
                continue
            if self._live < self.limits.max_connections:
                return await self._open(loop, origin, timeout)
            if not self._evict_idle():
                if deadline is None and timeout.pool is not None:
                    deadline = loop.time() + timeout.pool
                await self._wait(loop, deadline)

    async def _open(self, loop, origin, timeout):
        # Prior knowledge never applies through a forwarding proxy: that hop is HTTP/1.1.
        h2c = self.http2 == "prior-knowledge" and origin.scheme == "http" and not origin.forward
        h2_possible = h2c or (self.http2 is True and origin.scheme == "https")
        pending = None
        if h2_possible:
            pending = origin.pending = loop.create_future()
        self._live += 1
        try:
            wire = await dial(loop, origin, self._ssl_context() if origin.scheme == "https" else None,
                              timeout.connect)
            if h2c or wire.alpn() == "h2":
                from ._h2 import H2Connection  # the engine is imported on first use
                conn = H2Connection.open(wire, self, origin)
                origin.h2 = conn
                return conn
            conn = H1Connection(wire, self, origin)
            conn.try_begin_exchange()
            return conn
        except BaseException:
            self._live -= 1
            self._wake()
            raise
        finally:
            if pending is not None:
                origin.pending = None
                pending.set_result(None)

    def _evict_idle(self):
        """Closes the longest-idle connection of any origin to make room."""
        oldest = None
        for origin in self._origins.values():
            if origin.idle and (oldest is None or origin.idle[0].idle_since < oldest.idle_since):
                oldest = origin.idle[0]
        if oldest is None:
            return False
        oldest.origin.idle.remove(oldest)
        self._idle_count -= 1
        oldest.close_idle()
        return True

    async def _wait(self, loop, deadline):
        fut = loop.create_future()
        self._waiters.append(fut)
        timer = None
        if deadline is not None:
            timer = loop.call_at(deadline, _pool_expired, fut)
        try:
            await fut
        finally:
            if timer is not None:
                timer.cancel()
            try:
                self._waiters.remove(fut)
            except ValueError:
                pass

    def _wake(self):
        waiters = self._waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():
                fut.set_result(None)

    # -- called by connections
    def release(self, conn):
        """An HTTP/1.1 exchange ended with the connection reusable."""
        if self._closed or self._idle_count >= self.limits.max_keepalive_connections or not conn.park():
            conn.close_idle()
            return
        conn.idle_since = self._loop.time()
        conn.origin.idle.append(conn)
        self._idle_count += 1
        self._wake()

    def went_away(self, conn):
        """The server's GOAWAY: no new streams on conn; it closes once drained."""
        if conn.origin.h2 is conn:
            conn.origin.h2 = None

    def idle_closed(self, conn):
        """The idle watcher saw the server close (or break) an idle connection."""
        try:
            conn.origin.idle.remove(conn)
            self._idle_count -= 1
        except ValueError:
            pass
        self.closed(conn)

    def closed(self, conn):
        """The connection is gone: its slot frees up (once)."""
        if conn.counted:
            conn.counted = False
            self._live -= 1
            origin = conn.origin
            if origin.h2 is conn:
                origin.h2 = None
            self._wake()


def _pool_expired(fut):
    if not fut.done():
        fut.set_exception(PoolTimeout("timed out waiting for a connection from the pool"))


def _merge(target, headers):
    """Sets each name of headers on target, replacing target's values."""
    if not isinstance(headers, HeaderMap):
        headers = HeaderMap(headers)
    for name in headers:
        values = headers.get_all(name)
        target[name] = values[0]
        for v in values[1:]:
            target.add(name, v)


class _StreamContext:
    __slots__ = ("_coro", "_response")

    def __init__(self, coro):
        self._coro = coro
        self._response = None

    async def __aenter__(self):
        self._response = await self._coro
        return self._response

    async def __aexit__(self, *exc):
        await self._response.aclose()

    def __del__(self):
        if self._response is None and self._coro is not None:
            self._coro.close()
