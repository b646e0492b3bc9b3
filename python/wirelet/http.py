"""Header and URL helpers."""

from wirelet._wirelet import HeaderMap

__all__ = ["HeaderMap"]
