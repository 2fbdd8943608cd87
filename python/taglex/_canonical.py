"""Canonical private-creator texts and their hashes, in pure Python.

This gives the same results as the extension's lookups, for tools that build
or check dictionaries without it. A creator is split at every Unicode
White_Space character, the non-empty pieces are joined with one space, and
the result is upper-cased with the full Unicode 17.0 mapping from the
generated tables in ``_ucd``. ``str.upper()`` is not used: it follows the
interpreter's own Unicode version (15.1 on CPython 3.13).
"""

from __future__ import annotations

from . import _ucd

__all__ = ["canonicalize_creator", "creator_hash"]

FNV_OFFSET_BASIS = 0x811C9DC5
FNV_PRIME = 16777619


def _translation() -> dict[int, str]:
    table: dict[int, str] = {}
    for first, count, stride, delta in _ucd.UPPER_RUNS:
        if stride == 0:
            for k in range(count):
                table[first + k] = _ucd.UPPER_EXPANSIONS[delta + k]
        else:
            for cp in range(first, first + count * stride, stride):
                table[cp] = chr(cp + delta)
    # No upper-case mapping starts or ends in White_Space (the generator
    # refuses such data), so one translation can do both steps: upper-case
    # every character and turn every separator into a plain space.
    for cp in _ucd.WHITE_SPACE:
        table[cp] = " "
    return table


_TRANSLATION = _translation()


def canonicalize_creator(text: str) -> str:
    """Whitespace-collapsed, upper-cased creator text.

    Raises UnicodeEncodeError for a text with lone surrogates, which has no
    UTF-8 form (the extension refuses such creators as well).
    """
    if not text.isascii():
        text.encode("utf-8")
    return " ".join(piece for piece in text.translate(_TRANSLATION).split(" ") if piece)


def creator_hash(creator: str | None) -> int:
    """The index hash of a creator: 0 without one, otherwise FNV-1a 32 over
    the UTF-8 of its canonical text."""
    if creator is None:
        return 0
    h = FNV_OFFSET_BASIS
    for byte in canonicalize_creator(creator).encode("utf-8"):
        h = ((h ^ byte) * FNV_PRIME) & 0xFFFFFFFF
    return h
