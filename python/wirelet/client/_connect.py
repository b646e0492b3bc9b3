"""Dialling: TCP, TLS with ALPN, and CONNECT tunnels through HTTP proxies."""

import asyncio
import socket
import ssl

from wirelet import _wirelet as w
from wirelet.http import HeaderMap

from ._config import ConnectError, ConnectTimeout, ProxyError
from ._wire import Wire


def tls_context(verify=True, cert=None, http2=False):
    """An SSLContext for the client; ALPN offers h2 only when HTTP/2 is on."""
    if isinstance(verify, ssl.SSLContext):
        ctx = verify
    else:
        ctx = ssl.create_default_context()
        if verify is False:
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
        elif isinstance(verify, str):
            ctx.load_verify_locations(verify)
        if cert is not None:
            if isinstance(cert, tuple):
                ctx.load_cert_chain(*cert)
            else:
                ctx.load_cert_chain(cert)
    ctx.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
    return ctx


def _nodelay(wire):
    sock = wire.transport.get_extra_info("socket")
    if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass


async def _tcp(loop, host, port, ssl_ctx, server_hostname):
    try:
        _, wire = await loop.create_connection(lambda: Wire(loop), host, port, ssl=ssl_ctx,
                                               server_hostname=server_hostname if ssl_ctx else None)
    except (OSError, ssl.SSLError) as exc:
        raise ConnectError(f"cannot connect to {host}:{port}: {exc}") from exc
    return wire


async def _tunnel(loop, wire, authority, proxy_auth):
    """CONNECT authority through the proxy on wire; the wire then carries the tunnel."""
    codec = w.H1Codec()
    headers = HeaderMap([("host", authority)])
    if proxy_auth:
        headers["proxy-authorization"] = proxy_auth
    wire.write(codec.serialize_request("CONNECT", authority, headers))
    data = b""
    while (head := codec.receive_head(data)) is None:
        data = await wire.read()
        if not data:
            raise ProxyError("the proxy closed the connection before answering CONNECT")
    if not (200 <= head.status < 300):
        raise ProxyError(f"the proxy refused the tunnel to {authority}: status {head.status}")
    if codec.buffered() or wire.has_buffered:
        raise ProxyError("the proxy sent bytes into the tunnel before it was used")


async def dial(loop, origin, ssl_ctx, timeout):
    """A connected Wire for origin (TLS done, tunnel set up), within the connect limit."""
    try:
        async with asyncio.timeout(timeout):
            return await _dial(loop, origin, ssl_ctx)
    except TimeoutError as exc:
        if isinstance(exc, w.WireletError):
            raise
        raise ConnectTimeout(f"timed out connecting to {origin.host}:{origin.port}") from None


async def _dial(loop, origin, ssl_ctx):
    tls = origin.scheme == "https"
    proxy = origin.proxy
    if proxy is None or origin.forward:
        host, port = (origin.host, origin.port) if proxy is None else (proxy.host, proxy.port)
        use_tls = tls if proxy is None else proxy.scheme == "https"
        wire = await _tcp(loop, host, port, ssl_ctx if use_tls else None, host)
        _nodelay(wire)
        return wire
    # A tunnel: plain TCP to the proxy, CONNECT, then TLS to the origin inside.
    if proxy.scheme == "https":
        raise ProxyError("tunnels through a TLS proxy are not supported")
    wire = await _tcp(loop, proxy.host, proxy.port, None, None)
    _nodelay(wire)
    try:
        await _tunnel(loop, wire, origin.authority, proxy.auth)
        if tls:
            try:
                wire.transport = await loop.start_tls(wire.transport, wire, ssl_ctx,
                                                      server_hostname=origin.host)
            except (OSError, ssl.SSLError) as exc:
                raise ConnectError(f"TLS through the tunnel to {origin.authority} failed: {exc}") from exc
    except BaseException:
        wire.abort()
        raise
    return wire
