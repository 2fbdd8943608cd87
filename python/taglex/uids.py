"""The UIDs of the DICOM standard: transfer syntaxes, SOP classes, context groups...

``taglex.uids.get(text)`` answers a UID or a UID keyword::

    >>> from taglex import uids
    >>> uids.get("1.2.840.10008.1.2.1").name
    'Explicit VR Little Endian'
    >>> uids.get("CTImageStorage").uid
    '1.2.840.10008.5.1.4.1.1.2'

and ``taglex.uids.entries(type=None)`` iterates over them, of one type if
given ("Transfer Syntax", "SOP Class", "Context Group Name", ...; the types
are those of :func:`types`). The table holds every row of Tables A-1 and
A-2 of PS3.6 2026c, the context groups of Table A-3 (their CID as
``info``, "CID 2") and the templates of Table A-4; it lies beside the
bundled dictionary (``data/uids.tsv``) and is read on the first question,
not by ``import taglex``.
"""

from __future__ import annotations

import os

# Not typing.TYPE_CHECKING: importing typing would cost more than the answer.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

__all__ = ["UID", "entries", "get", "suggest", "types"]

_PATH = os.path.join(os.path.dirname(__file__), "data", "uids.tsv")
_FIELDS = ("uid", "keyword", "name", "type", "retired", "part", "info")


class UID:
    """One UID of the standard; read-only.

    ``uid`` the dotted number; ``name`` as PS3.6 gives it; ``keyword`` (""
    where no source has one); ``type`` in PS3.6's words ("Transfer Syntax");
    ``retired``; ``part`` the part of the standard that defines it ("PS3.5";
    "" where not known); ``info`` the note PS3.6 prints with the name, a
    context group's CID ("CID 2"), or a frame of reference's normative
    reference; "" where none.
    """

    __slots__ = _FIELDS
    uid: str
    keyword: str
    name: str
    type: str
    retired: bool
    part: str
    info: str

    def __init__(
        self, uid: str, keyword: str, name: str, type: str, retired: bool, part: str, info: str
    ) -> None:
        for field, value in zip(_FIELDS, (uid, keyword, name, type, retired, part, info)):
            object.__setattr__(self, field, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"UID is read-only: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"UID is read-only: cannot delete {name!r}")

    def _key(self) -> tuple[object, ...]:
        return tuple(getattr(self, f) for f in _FIELDS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, UID):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self.uid)

    def __repr__(self) -> str:
        retired = ", retired" if self.retired else ""
        return f"<UID {self.uid} {self.keyword or self.name!r} ({self.type}{retired})>"

    def as_dict(self) -> dict[str, str | bool]:
        """The seven fields, by name (for JSON)."""
        return {f: getattr(self, f) for f in _FIELDS}


_ALL: tuple[UID, ...] = ()
# Every UID and keyword, to its UID, or to its line of the table until first asked.
_BY_TEXT: dict[str, UID | str] = {}


def _lines() -> list[str]:
    """The table's lines of UIDs (the header and the column names skipped)."""
    try:
        with open(_PATH, "rb") as f:
            data = f.read()
    except OSError as e:
        raise OSError(e.errno, f"the UID table of taglex cannot be read: {e.strerror}", _PATH) from None
    try:
        text = data.decode("ascii")  # what the table holds; much faster to decode
    except UnicodeDecodeError:
        text = data.decode("utf-8")
    lines = text.split("\n")
    first = 0
    while first < len(lines) and (lines[first][:1] == "#" or lines[first].startswith("uid\t")):
        first += 1
    return [line for line in lines[first:] if line]


def _load() -> dict[str, UID | str]:
    global _BY_TEXT
    by_text: dict[str, UID | str] = {}
    for line in _lines():
        uid, keyword, _rest = line.split("\t", 2)
        by_text[uid] = line
        if keyword:
            by_text[keyword] = line
    _BY_TEXT = by_text
    return by_text


def _made(line: str) -> UID:
    """The UID of a line, made once and kept for its number and keyword."""
    fields = line.split("\t")
    if len(fields) != 7:
        raise ValueError(f"{_PATH}: expected 7 fields, got {len(fields)}: {line!r}")
    uid, keyword, name, kind, retired, part, info = fields
    made = UID(uid, keyword, name, kind, retired == "1", part, info)
    _BY_TEXT[uid] = made
    if keyword:
        _BY_TEXT[keyword] = made
    return made


def _all() -> tuple[UID, ...]:
    global _ALL
    if not _ALL:
        table = _BY_TEXT or _load()
        every = []
        for line in _lines():
            found = table[line.split("\t", 1)[0]]
            every.append(found if isinstance(found, UID) else _made(found))
        _ALL = tuple(every)
    return _ALL


def get(text: str) -> UID | None:
    """The UID whose number or keyword is ``text``, or None.

    Padding a value may carry in a file (trailing NUL or spaces, leading
    spaces) is ignored. Raises TypeError when ``text`` is not a str.
    """
    table = _BY_TEXT or _load()
    try:
        found = table[text]
    except KeyError:
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}") from None
        stripped = text.strip(" \x00")
        if stripped == text or stripped not in table:
            return None
        found = table[stripped]
    except TypeError:
        raise TypeError(f"text must be a str, not {type(text).__name__}") from None
    if type(found) is UID:
        return found
    return _made(found)  # type: ignore[arg-type]  # a line until first asked


def types() -> list[str]:
    """Every UID type, in the order of the table."""
    return list(dict.fromkeys(u.type for u in _all()))


def entries(type: str | None = None) -> Iterator[UID]:
    """Every UID, in the order of PS3.6 (Tables A-1 and A-2, then A-3 and A-4);
    only those of ``type`` if given, which must be one of :func:`types`."""
    every = _all()
    if type is None:
        return iter(every)
    if not isinstance(type, str):
        raise TypeError(f"type must be a str or None, not {type.__class__.__name__}")
    chosen = [u for u in every if u.type == type]
    if not chosen:
        raise ValueError(f"no UID type {type!r}; the types are: {', '.join(types())}")
    return iter(chosen)


def suggest(text: str, limit: int = 3) -> list[str]:
    """UIDs or keywords close to ``text``, best first ("did you mean")."""
    import difflib

    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    table = _BY_TEXT or _load()
    word = text.strip(" \x00")
    if word[:1].isdigit():
        numbers = [u for u in table if u[:1].isdigit()]
        return difflib.get_close_matches(word, numbers, n=limit, cutoff=0.8)
    keywords = [k for k in table if not k[:1].isdigit()]
    lower = {k.lower(): k for k in keywords}
    close = difflib.get_close_matches(word.lower(), list(lower), n=limit, cutoff=0.6)
    return [lower[k] for k in close]
