"""Streaming anomaly detectors implemented as a native CPython extension."""

from morvik3.morvik3 import Forest, InternalError, __version__

__all__ = ["Forest", "InternalError", "__version__"]
