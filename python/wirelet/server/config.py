"""Server settings: every limit and timeout, with its production default, in one place."""

from __future__ import annotations

import dataclasses
import ssl
from typing import Any, Optional


@dataclasses.dataclass
class Config:
    """What a server listens on and how it treats its peers.

    The defaults are meant for production: bounded heads, bounded streams,
    every wait on a peer bounded by a timeout.
    """

    app: Any = None
    host: str = "127.0.0.1"
    port: int = 8000
    # Serve on this already-listening socket instead of binding host:port.
    sock: Any = None
    certfile: Optional[str] = None
    keyfile: Optional[str] = None
    # Processes sharing one listening socket (the command line's --workers).
    workers: int = 1
    # "auto" runs the lifespan protocol when the application speaks it.
    lifespan: str = "auto"
    root_path: str = ""
    access_log: bool = False
    backlog: int = 2048

    # HTTP/1.1
    max_head_size: int = 65536          # bytes of an incomplete request head
    max_headers: int = 100              # header lines per request head
    head_timeout: float = 10.0          # from a head's first byte to its end
    keep_alive_timeout: float = 5.0     # an idle connection between requests
    # A request body that stops arriving: HTTP/1.1 answers 408 and closes,
    # HTTP/2 resets the stream with CANCEL; the application sees a disconnect.
    body_timeout: float = 30.0
    keep_alive: bool = True
    # Request-body bytes buffered ahead of the application before reading pauses.
    body_buffer_size: int = 65536
    # An unread request body is discarded up to this many bytes to keep the connection.
    max_drain_size: int = 262144

    # HTTP/2
    http2: bool = True
    max_concurrent_streams: int = 100
    max_header_list_size: int = 65536
    initial_window_size: int = 65535    # per stream, announced in SETTINGS
    connection_window: int = 1048576
    max_frame_size: int = 16384
    max_send_buf_size: int = 65536      # one stream's bytes queued ahead of the socket
    settings_timeout: float = 10.0      # the peer's acknowledgement of our SETTINGS
    # PING and SETTINGS frames a peer may send per timer tick (at most one second).
    max_control_frames: int = 1000
    # A response that cannot move (no window, or a peer that does not read) for this long is dropped.
    send_timeout: float = 30.0

    # Shutdown: how long in-flight exchanges may take to finish.
    shutdown_timeout: float = 30.0
    lifespan_timeout: float = 30.0

    # Bytes queued on a transport before senders wait.
    write_buffer_size: int = 65536

    def __post_init__(self) -> None:
        if self.workers < 1:
            raise ValueError("workers must be at least 1")
        if self.lifespan not in ("auto", "on", "off"):
            raise ValueError("lifespan must be 'auto', 'on' or 'off'")
        if (self.certfile is None) != (self.keyfile is None):
            raise ValueError("certfile and keyfile go together")
        if self.max_head_size < 8192:
            raise ValueError("max_head_size cannot be smaller than 8192")

    @property
    def tls(self) -> bool:
        return self.certfile is not None

    def ssl_context(self) -> Optional[ssl.SSLContext]:
        if self.certfile is None:
            return None
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(self.certfile, self.keyfile)
        ctx.set_alpn_protocols(["h2", "http/1.1"] if self.http2 else ["http/1.1"])
        return ctx

    def timer_interval(self) -> float:
        """How often the timeout sweep runs: fine enough for the shortest timeout."""
        shortest = min(self.head_timeout, self.keep_alive_timeout, self.body_timeout, self.settings_timeout)
        return max(0.02, min(1.0, shortest / 5))
