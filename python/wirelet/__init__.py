"""wirelet: the protocol core of an HTTP package (HTTP/1.1 and HTTP/2, sans-I/O)."""

from wirelet._wirelet import __version__

__all__ = ["__version__"]
