"""``taglex.Dictionary``: the questions people ask of a DICOM dictionary.

A :class:`Dictionary` is one or more ``.tlex`` files, its *layers*, searched
in order: the first that answers wins. Every answer comes from the one
mapping of each layer that the native core (``taglex._core``) holds for the
layer's life; the keyword and creator indexes are built from it when first
needed. The lookups by tag and keyword are the core's own methods; this
module adds what reads best in Python: the ranking of :meth:`find`,
suggestions, sorted creators and the messages of a miss.

Entries are :class:`taglex.Entry` objects, immutable, made by the core.
"""

from __future__ import annotations

import os

from taglex import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import ClassVar, NoReturn, TypeAlias

    TagLike: TypeAlias = int | tuple[int, int] | str
    PathLike: TypeAlias = str | os.PathLike[str]

__all__ = ["Dictionary", "Entry"]

Entry = _core.Entry

# Hints name at most this many creators.
_HINT_CREATORS = 3


def _checked_text(value: object, method: str, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{method}() {name} must be a str, not {type(value).__name__}")
    return value


class Dictionary(_core.Dictionary):
    """One or more ``.tlex`` files, searched in order: the first hit wins.

    ``Dictionary.default()`` is the dictionary bundled with the package;
    ``Dictionary(paths)`` opens the given file or files (a site or vendor file
    first, then e.g. ``taglex.default_path()``).

    ``d.get(tag, creator=None)`` and ``d[tag]`` / ``d[tag, creator]`` answer
    a tag in any of the forms people write it (see :meth:`get`); a keyword
    is answered by the first layer whose own records have it, so the entry
    returned always has the keyword asked. A creator given with a standard
    (even-group) tag finds that creator's entry where a private dictionary
    has one, else the standard element.
    """

    _default: ClassVar[Dictionary | None] = None

    @classmethod
    def default(cls) -> Dictionary:
        """The bundled dictionary (opened once, then shared)."""
        d = cls._default
        if d is None:
            from taglex._default import default_path

            d = cls._default = cls(default_path())
        return d

    def __repr__(self) -> str:
        return f"<taglex.Dictionary {list(self.paths)!r}>"

    # --- a miss -------------------------------------------------------------

    def __missing__(self, tag: object, creator: str | None) -> NoReturn:
        """Raises the KeyError of ``d[tag]`` (or ``d[tag, creator]``) that
        found nothing, saying which creators define a private tag or keyword
        given without one."""
        raise KeyError(self.miss_message(tag, creator))

    def miss_message(self, tag: object, creator: str | None = None, *, give: str = "its creator") -> str:
        """What to tell someone whose question found nothing: "no entry for
        (0010,0003)"; for a private tag or keyword asked without a creator,
        which creators define it ("(0029,xx10) CSAImageHeaderInfo is private:
        give its creator, e.g. 'SIEMENS CSA HEADER'"; ``give`` names how to
        give one)."""
        from taglex import _tags

        if isinstance(tag, str) and _tags.is_keyword(tag):
            shown = repr(tag.strip())
            what = "keyword"
        else:
            shown = _tags.shown(tag)
            what = "entry for"
        with_creator = "" if creator is None else f" with creator {creator!r}"
        message = f"no {what} {shown}{with_creator}"
        if creator is not None:
            return message
        try:
            defined = self.private_entries(tag)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return message
        if not defined:
            return message
        creators: list[str] = []
        for entry in defined:
            if entry.creator not in creators:
                creators.append(entry.creator)
        first = defined[0]
        element = first.element if first.block_offset else first.tag & 0xFFFF
        label = _tags.format_tag(first.group, element, first.block_offset)
        if len({entry.keyword for entry in defined}) == 1 and first.keyword:
            label += f" {first.keyword}"
        named = ", ".join(repr(c) for c in creators[:_HINT_CREATORS])
        more = len(creators) - _HINT_CREATORS
        others = f" (and {more} more)" if more > 0 else ""
        return f"{label} is private: give {give}, e.g. {named}{others}"

    # --- by keyword, name and creator ---------------------------------------

    def suggest(self, keyword: str, creator: str | None = None, n: int = 5) -> list[str]:
        """Keywords close to a misspelt one, best first ("did you mean")."""
        import difflib

        _checked_text(keyword, "suggest", "keyword")
        if type(n) is not int:
            raise TypeError(f"suggest() n must be an int, not {type(n).__name__}")
        if n < 1:
            raise ValueError(f"suggest() n must be at least 1, not {n}")
        by_lower: dict[str, str] = {}
        for k in sorted(self.keywords(creator)):
            by_lower.setdefault(k.lower(), k)
        word = keyword.strip().lower()
        if word in by_lower:
            return [by_lower[word]]
        close = difflib.get_close_matches(word, list(by_lower), n=n, cutoff=0.6)
        return [by_lower[k] for k in close]

    def find(self, text: str, limit: int | None = None) -> list[Entry]:
        """Entries whose keyword or name contains ``text`` (any case), best
        matches first: exact keyword, keyword start, word start in the name,
        anywhere; current before retired; then by tag."""
        _checked_text(text, "find", "text")
        if limit is not None:
            if type(limit) is not int:
                raise TypeError(f"find() limit must be an int or None, not {type(limit).__name__}")
            if limit < 0:
                raise ValueError(f"find() limit must be 0 or more, not {limit}")
        needle = " ".join(text.lower().split())
        if not needle:
            return []
        squeezed = needle.replace(" ", "")
        ranked: list[tuple[int, bool, int, str, Entry]] = []
        for entry in self.matching(needle, squeezed):
            keyword = entry.keyword.lower()
            name = entry.name.lower()
            if keyword == squeezed or name == needle:
                rank = 0
            elif keyword.startswith(squeezed) or name.startswith(needle):
                rank = 1
            elif f" {needle}" in f" {name}":
                rank = 2
            elif squeezed in keyword or needle in name:
                rank = 3
            else:
                continue
            ranked.append((rank, entry.retired, entry.tag, entry.creator, entry))
        ranked.sort(key=lambda t: t[:4])
        found = [t[4] for t in ranked]
        return found if limit is None else found[:limit]

    def creators(self) -> list[str]:
        """The private creators of the dictionary, one spelling each (as the
        first layer holding the creator stores it), sorted case-insensitively."""
        return sorted(super().creators(), key=lambda s: (s.casefold(), s))

