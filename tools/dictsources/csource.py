"""Reading the C++ tables of GDCM and vtk-dicom: comments, string literals, line numbers.

The tables are read as text, never compiled: comments are blanked out first
(a commented-out entry is no entry), keeping every newline so that offsets
still give line numbers, and string literals are kept whole (a creator such
as "http://www.gemedicalsystems.com/it_solutions/rad_pacs/" holds "//").
"""

from __future__ import annotations

import re

_TOKEN = re.compile(r'"(?:[^"\\\n]|\\.)*"|//[^\n]*|/\*.*?\*/|/\*', re.S)


def strip_comments(text: str) -> str:
    """``text`` with every ``//`` and ``/* */`` comment replaced by blanks.

    Newlines inside a comment are kept. An unterminated ``/*`` raises
    ValueError naming its line.
    """

    def blank(m: re.Match[str]) -> str:
        token = m.group(0)
        if token.startswith('"'):
            return token
        if token == "/*":
            raise ValueError(f"line {line_of(text, m.start())}: comment not closed")
        return re.sub(r"[^\n]", " ", token)

    return _TOKEN.sub(blank, text)


def line_of(text: str, offset: int) -> int:
    """The 1-based line number of ``offset`` in ``text``."""
    return text.count("\n", 0, offset) + 1


_ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def c_string(literal: str) -> str:
    """The text of a C string literal (with its quotes); simple escapes only."""
    body = literal[1:-1]

    def unescape(m: re.Match[str]) -> str:
        ch = m.group(1)
        if ch not in _ESCAPES:
            raise ValueError(f"unsupported escape \\{ch} in {literal}")
        return _ESCAPES[ch]

    return re.sub(r"\\(.)", unescape, body)


def array_body(text: str, start: re.Pattern[str], what: str) -> tuple[int, int]:
    """The offsets of the body of the array whose opening ``start`` matches.

    The body runs from just after the match (which ends with its "{") to
    the "};" that closes it. A missing opening or closing raises ValueError.
    """
    m = start.search(text)
    if m is None:
        raise ValueError(f"line {line_of(text, len(text))}: no {what} (empty or cut short?)")
    end = text.find("};", m.end())
    if end < 0:
        raise ValueError(f"line {line_of(text, len(text))}: {what} not closed (cut short?)")
    return m.end(), end


def check_gaps(text: str, start: int, spans: list[tuple[int, int]], end: int, what: str) -> None:
    """Raise ValueError at the first text between ``spans`` (and the ends) that
    is not white space and commas: an entry the entry pattern did not read."""
    pos = start
    for a, b in [*spans, (end, end)]:
        gap = text[pos:a]
        if gap.strip(" \t\r\n,"):
            offset = pos + len(gap) - len(gap.lstrip(" \t\r\n,"))
            snippet = text[offset : offset + 60].split("\n")[0]
            raise ValueError(f"line {line_of(text, offset)}: not a {what}: {snippet!r}")
        pos = b
