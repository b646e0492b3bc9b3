"""A small ASGI application shipped with the package, for demos and load tests.

    GET  /hello     "hello from wirelet"
    POST /echo      the request body, streamed back as it arrives
    GET  /stream    five lines, each sent as its own body piece
    GET  /bytes/N   N bytes
"""

import asyncio

_TEXT = [(b"content-type", b"text/plain; charset=utf-8")]
_OCTETS = [(b"content-type", b"application/octet-stream")]
_BLOCK = b"wirelet " * 8192  # 64 KiB pattern that /bytes/N repeats
MAX_BYTES = 1 << 30


async def _answer(send, status, headers, body):
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    kind = scope["type"]
    if kind == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if kind != "http":
        raise RuntimeError(f"unsupported scope type {kind!r}")
    method, path = scope["method"], scope["path"]
    if path == "/hello" and method in ("GET", "HEAD"):
        await _answer(send, 200, _TEXT, b"hello from wirelet\n")
    elif path == "/echo" and method == "POST":
        await send({"type": "http.response.start", "status": 200, "headers": _OCTETS})
        more = True
        while more:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            more = message.get("more_body", False)
            await send({"type": "http.response.body", "body": message.get("body", b""), "more_body": more})
    elif path == "/stream" and method == "GET":
        await send({"type": "http.response.start", "status": 200, "headers": _TEXT})
        for i in range(5):
            await send({"type": "http.response.body", "body": b"line %d\n" % i, "more_body": True})
            await asyncio.sleep(0)
        await send({"type": "http.response.body", "body": b""})
    elif path.startswith("/bytes/") and method in ("GET", "HEAD"):
        try:
            n = int(path[7:])
        except ValueError:
            n = -1
        if not 0 <= n <= MAX_BYTES:
            await _answer(send, 400, _TEXT, b"N must be a whole number up to 2**30\n")
            return
        headers = _OCTETS + [(b"content-length", b"%d" % n)]
        await send({"type": "http.response.start", "status": 200, "headers": headers})
        block = len(_BLOCK)
        while n > block:
            await send({"type": "http.response.body", "body": _BLOCK, "more_body": True})
            n -= block
        await send({"type": "http.response.body", "body": _BLOCK[:n]})
    else:
        await _answer(send, 404, _TEXT, b"not found\n")
