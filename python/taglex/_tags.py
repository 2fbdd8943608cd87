"""DICOM tags as people write them: (gggg,eeee), gggg,eeee, ggggeeee,
0xggggeeee, a private element in block form (gggg,xxee), or a keyword.

The rules live in the native core, which every question goes through; this
module gives them the shape the command line and messages need.
"""

from __future__ import annotations

from taglex import _core

__all__ = ["Tag", "format_tag", "is_keyword", "parse_tag", "shown"]


class Tag:
    """A parsed tag: group, element and whether it is in block form (then
    ``element`` is the low byte ee of (gggg,xxee))."""

    __slots__ = ("group", "element", "block")

    def __init__(self, group: int, element: int, block: bool) -> None:
        self.group = group
        self.element = element
        self.block = block

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tag):
            return NotImplemented
        return (self.group, self.element, self.block) == (other.group, other.element, other.block)

    def __hash__(self) -> int:
        return hash((self.group, self.element, self.block))

    def __repr__(self) -> str:
        return f"Tag(0x{self.group:04x}, 0x{self.element:04x}, block={self.block})"

    def __str__(self) -> str:
        return format_tag(self.group, self.element, self.block)

    @property
    def asked(self) -> str | tuple[int, int]:
        """The tag as Dictionary.get takes it: the block form as its text,
        any other as a (group, element) pair."""
        return str(self) if self.block else (self.group, self.element)


def parse_tag(text: str) -> Tag:
    """Parse a tag written as (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee.

    The element may be written xxee, as in (0029,xx10): a private element in
    block form, whose element number is the low byte ee. Hex digits and the
    x's may be in either case. Raises ValueError for anything else.
    """
    group, element, block = _core.parse_tag(text)
    return Tag(group, element, block)


def format_tag(group: int, element: int, block: bool = False) -> str:
    """(GGGG,EEEE), or (GGGG,xxEE) for a block-form private element."""
    return _core.format_tag(group, element, block)


def is_keyword(text: str) -> bool:
    """Whether a text is a keyword (an ASCII identifier) rather than a tag."""
    word = text.strip()
    if not (word.isascii() and word.isidentifier()):
        return False
    try:
        _core.parse_tag(word)
    except ValueError:
        return True
    return False


def shown(tag: object) -> str:
    """A tag as messages show it: (GGGG,EEEE) or (GGGG,xxEE) for whatever
    form it was given in; anything that is no tag as its repr."""
    if isinstance(tag, int) and not isinstance(tag, bool) and 0 <= tag <= 0xFFFFFFFF:
        return format_tag(tag >> 16, tag & 0xFFFF)
    if (
        isinstance(tag, tuple)
        and len(tag) == 2
        and all(isinstance(p, int) and not isinstance(p, bool) and 0 <= p <= 0xFFFF for p in tag)
    ):
        return format_tag(tag[0], tag[1])
    if isinstance(tag, str):
        try:
            return str(parse_tag(tag))
        except ValueError:
            pass
    return repr(tag)
