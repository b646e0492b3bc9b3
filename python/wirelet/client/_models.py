"""What a request gives back."""

import json as _json

from wirelet._wirelet import WireletError


class Response:
    """A response: status and headers at once, the body read on demand.

    `headers` and `trailers` are HeaderMap objects (values are bytes);
    `trailers` is None until the body has been read to its end, and stays
    None when the peer sent none.
    """

    __slots__ = ("status", "headers", "http_version", "url", "trailers", "_body", "_content", "_stream_used")

    def __init__(self, status, headers, http_version, url, body):
        self.status = status
        self.headers = headers
        self.http_version = http_version
        self.url = url
        self.trailers = None
        self._body = body  # object with async next() -> bytes | None, and aclose()
        self._content = None
        self._stream_used = False

    def __repr__(self):
        return f"<Response [{self.status} {self.http_version}]>"

    @property
    def content(self):
        if self._content is None:
            raise RuntimeError("the body has not been read: await response.read() first")
        return self._content

    @property
    def text(self):
        ctype = self.headers.get("content-type", b"").decode("latin-1")
        charset = "utf-8"
        for param in ctype.split(";")[1:]:
            k, _, v = param.strip().partition("=")
            if k.lower() == "charset" and v:
                charset = v.strip('"')
        return self.content.decode(charset, errors="replace")

    def json(self):
        return _json.loads(self.content)

    @property
    def is_closed(self):
        return self._body is None

    @property
    def is_success(self):
        return 200 <= self.status < 300

    def raise_for_status(self):
        if self.status >= 400:
            raise HTTPStatusError(f"{self.status} for {self.url}", self)
        return self

    async def read(self):
        """The whole body (cached; a second call returns the same bytes)."""
        if self._content is None:
            if self._stream_used:
                raise RuntimeError("the body was already consumed through aiter_bytes()")
            body = self._body
            if body is None:
                self._content = b""
                return self._content
            parts = []
            try:
                while (chunk := await body.next()) is not None:
                    parts.append(chunk)
            except BaseException:
                await self.aclose()
                raise
            self._finish(body)
            self._content = parts[0] if len(parts) == 1 else b"".join(parts)
        return self._content

    async def aiter_bytes(self):
        """The body chunk by chunk, as it arrives."""
        if self._content is not None:
            if self._content:
                yield self._content
            return
        if self._stream_used:
            raise RuntimeError("the body was already consumed")
        self._stream_used = True
        body = self._body
        if body is None:
            return
        try:
            while (chunk := await body.next()) is not None:
                yield chunk
        except BaseException:
            await self.aclose()
            raise
        self._finish(body)

    def _finish(self, body):
        self.trailers = body.trailers
        self._body = None

    async def aclose(self):
        """Stops reading: an unread rest of the body is discarded (the
        HTTP/1.1 connection closes, the HTTP/2 stream is reset)."""
        body, self._body = self._body, None
        if body is not None:
            await body.aclose()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.aclose()


class HTTPStatusError(WireletError):
    """raise_for_status() on a 4xx or 5xx response."""

    def __init__(self, message, response):
        super().__init__(message)
        self.response = response
