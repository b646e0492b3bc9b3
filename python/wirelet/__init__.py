"""wirelet: an HTTP package around a native protocol core (HTTP/1.1 and HTTP/2, sans-I/O),
with an asyncio client and an asyncio ASGI server (`wirelet.serve`, `python -m wirelet serve MODULE:APP`)."""

from wirelet._wirelet import __version__
from wirelet.client import Client, Limits, Timeout

__all__ = ["__version__", "Client", "Limits", "Timeout", "serve"]


def __getattr__(name):
    # The server is loaded only when asked for.
    if name == "serve":
        from wirelet.server import serve

        return serve
    raise AttributeError(f"module 'wirelet' has no attribute {name!r}")
