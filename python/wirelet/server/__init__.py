"""An asyncio ASGI server over HTTP/1.1 and HTTP/2, driving the wirelet protocol core."""

from .cli import serve
from .config import Config
from .server import Server

__all__ = ["Config", "Server", "serve"]
