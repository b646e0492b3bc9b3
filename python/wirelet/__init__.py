"""wirelet: the protocol core of an HTTP package (HTTP/1.1 and HTTP/2, sans-I/O)."""

from wirelet._wirelet import __version__
from wirelet.client import Client, Limits, Timeout

__all__ = ["__version__", "Client", "Limits", "Timeout"]
