"""An asynchronous HTTP/1.1 and HTTP/2 client on asyncio."""

from ._client import Client
from ._config import (
    ConnectError,
    ConnectTimeout,
    Limits,
    PoolTimeout,
    ProxyError,
    ReadTimeout,
    Timeout,
    TimeoutException,
    WriteTimeout,
)
from ._models import HTTPStatusError, Response

__all__ = [
    "Client", "Response", "Timeout", "Limits", "TimeoutException", "ConnectTimeout", "ReadTimeout",
    "WriteTimeout", "PoolTimeout", "ConnectError", "ProxyError", "HTTPStatusError",
]
