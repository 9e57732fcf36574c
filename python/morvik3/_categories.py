"""Categorical values as the integers `MStream` counts, the same in every
process: shared by the River adapter and the command line."""

from __future__ import annotations

import hashlib
import numbers


def category_code(value: object) -> int:
    """Integers as they are, text (str or bytes) through an unkeyed 64-bit
    hash; TypeError for anything else."""
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, bytes):
        return int.from_bytes(hashlib.blake2b(value, digest_size=8).digest(), "little", signed=True)
    raise TypeError(f"must be an int or a str, not {type(value).__name__}")
