"""Client settings and the client's own error classes.

Production defaults are written down once, here.
"""

from wirelet._wirelet import WireletError

DEFAULT_TIMEOUT = 5.0
DEFAULT_MAX_CONNECTIONS = 100
DEFAULT_MAX_KEEPALIVE = 20
DEFAULT_KEEPALIVE_EXPIRY = 5.0

# HTTP/2 settings we announce: a 1 MiB stream window and a 2 MiB connection
# window keep a fast local peer streaming without round trips for credit.
H2_INITIAL_WINDOW = 1 << 20
H2_CONNECTION_WINDOW = 2 << 20
H2_MAX_FRAME_SIZE = 1 << 14
H2_MAX_HEADER_LIST_SIZE = 64 << 10
H2_MAX_SEND_BUF = 256 << 10

# The socket reader pauses above HIGH buffered bytes and resumes below LOW.
READ_HIGH_WATER = 256 << 10
READ_LOW_WATER = 64 << 10

_UNSET = object()


class TimeoutException(WireletError, TimeoutError):
    """A time limit of the client passed."""


class ConnectTimeout(TimeoutException):
    """No connection (TCP, TLS, proxy tunnel) within the connect limit."""


class ReadTimeout(TimeoutException):
    """The peer sent nothing within the read limit."""


class WriteTimeout(TimeoutException):
    """The peer did not take our bytes within the write limit."""


class PoolTimeout(TimeoutException):
    """No connection of the pool became free within the pool limit."""


class ConnectError(WireletError, ConnectionError):
    """The connection could not be established."""


class ProxyError(WireletError):
    """The proxy refused or broke the tunnel."""


class RetryRequest(Exception):
    """Internal: the request never reached the server (GOAWAY, a connection
    that went before the stream opened); the pool sends it on another
    connection."""


class Timeout:
    """Time limits in seconds (None: no limit).

    Timeout(5.0) sets all four; keywords override one each:
    Timeout(10.0, connect=2.0).
    """

    __slots__ = ("connect", "read", "write", "pool")

    def __init__(self, timeout=DEFAULT_TIMEOUT, *, connect=_UNSET, read=_UNSET, write=_UNSET, pool=_UNSET):
        if isinstance(timeout, Timeout):
            connect = timeout.connect if connect is _UNSET else connect
            read = timeout.read if read is _UNSET else read
            write = timeout.write if write is _UNSET else write
            pool = timeout.pool if pool is _UNSET else pool
            timeout = None
        self.connect = timeout if connect is _UNSET else connect
        self.read = timeout if read is _UNSET else read
        self.write = timeout if write is _UNSET else write
        self.pool = timeout if pool is _UNSET else pool

    def __eq__(self, other):
        return isinstance(other, Timeout) and all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __repr__(self):
        return (f"Timeout(connect={self.connect!r}, read={self.read!r}, "
                f"write={self.write!r}, pool={self.pool!r})")


class Limits:
    """Pool limits: live connections, idle connections kept, idle lifetime."""

    __slots__ = ("max_connections", "max_keepalive_connections", "keepalive_expiry")

    def __init__(self, *, max_connections=DEFAULT_MAX_CONNECTIONS,
                 max_keepalive_connections=DEFAULT_MAX_KEEPALIVE, keepalive_expiry=DEFAULT_KEEPALIVE_EXPIRY):
        self.max_connections = max_connections
        self.max_keepalive_connections = max_keepalive_connections
        self.keepalive_expiry = keepalive_expiry

    def __repr__(self):
        return (f"Limits(max_connections={self.max_connections!r}, "
                f"max_keepalive_connections={self.max_keepalive_connections!r}, "
                f"keepalive_expiry={self.keepalive_expiry!r})")
