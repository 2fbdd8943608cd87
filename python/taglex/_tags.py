"""DICOM tags as people write them, and finding them as a data set holds them.

``parse_tag`` reads a tag written (gggg,eeee), gggg,eeee, ggggeeee or
0xggggeeee, or a private element in block form (gggg,xxee); ``format_tag``
writes one back. ``lookup`` answers a tag from a dictionary the way a reader
of a data set needs it:

- a private element written with its block, such as (0029,1010) with its
  creator, is found through the block form (0029,xx10) that dictionaries
  hold private elements in;
- a private creator element (gggg,0010) to (gggg,00FF) of an odd group is the
  element that reserves a block; it answers as itself ("Private Creator",
  VR LO) unless the dictionary holds an entry for it, never as the block-form
  element (gggg,xxee) of the same low byte;
- a tag written in block form answers only from a block-form entry.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Protocol

if TYPE_CHECKING:
    from taglex._taglex import LookupResult

__all__ = [
    "Tag",
    "format_tag",
    "is_private_creator",
    "lookup",
    "parse_tag",
    "private_creator_entry",
]

_HEX4 = re.compile(r"[0-9A-Fa-f]{4}")
_BLOCK = re.compile(r"[xX]{2}([0-9A-Fa-f]{2})")


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


def format_tag(group: int, element: int, block: bool) -> str:
    """(GGGG,EEEE), or (GGGG,xxEE) for a block-form private element."""
    if block:
        return f"({group:04X},xx{element:02X})"
    return f"({group:04X},{element:04X})"


def parse_tag(text: str) -> Tag:
    """Parse a tag written as (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee.

    The element may be written xxee, as in (0029,xx10): a private element in
    block form, whose element number is the low byte ee. Hex digits and the
    x's may be in either case. Raises ValueError for anything else.
    """
    s = text.strip()
    if s.startswith("(") and s.endswith(")"):
        inner = s[1:-1]
        if "," not in inner:
            raise ValueError(f"malformed tag {text!r}: expected (gggg,eeee)")
        s = inner
    if "," in s:
        group_text, _, element_text = s.partition(",")
        group_text, element_text = group_text.strip(), element_text.strip()
    else:
        if s[:2].lower() == "0x":
            s = s[2:]
        if len(s) != 8:
            raise ValueError(
                f"malformed tag {text!r}: expected 8 hex digits, (gggg,eeee) or gggg,eeee"
            )
        group_text, element_text = s[:4], s[4:]
    if not _HEX4.fullmatch(group_text):
        raise ValueError(f"malformed tag {text!r}: group {group_text!r} is not 4 hex digits")
    block = _BLOCK.fullmatch(element_text)
    if block:
        return Tag(int(group_text, 16), int(block.group(1), 16), True)
    if not _HEX4.fullmatch(element_text):
        raise ValueError(
            f"malformed tag {text!r}: element {element_text!r} is not 4 hex digits or xxee"
        )
    return Tag(int(group_text, 16), int(element_text, 16), False)


class Lookup(Protocol):
    """What ``lookup`` needs of a dictionary: ``taglex.Dict.lookup``."""

    def lookup(
        self, group: int, element: int, creator: str | None = None
    ) -> LookupResult | None: ...


def is_private_creator(group: int, element: int) -> bool:
    """Whether (group,element) is a private creator element: an odd group
    and an element from 0x0010 to 0x00FF."""
    return group % 2 == 1 and 0x0010 <= element <= 0x00FF


def private_creator_entry(group: int, element: int, creator: str | None) -> LookupResult:
    """The entry of a private creator element that no dictionary lists."""
    return {
        "group": group,
        "element": element,
        "creator": creator or "",
        "keyword": "PrivateCreator",
        "name": "Private Creator",
        "vr": "LO",
        "description": "VM 1",
        "retired": False,
        "block_offset": False,
        "sources": [],
    }


def lookup(
    d: Lookup, group: int, element: int, creator: str | None = None, *, block: bool = False
) -> LookupResult | None:
    """Look a tag up as it stands in a data set (see the module's text).

    ``block`` says that ``element`` is the low byte of a block-form private
    element, written (gggg,xxee). Raises what ``d.lookup`` raises for bad
    arguments.
    """
    entry = d.lookup(group, element, creator)
    if block:
        return entry if entry is not None and entry["block_offset"] else None
    if entry is not None and not entry["block_offset"]:
        return entry
    if is_private_creator(group, element):
        return private_creator_entry(group, element, creator)
    if creator is not None and group % 2 == 1 and element > 0xFF:
        # A private element written with its block, e.g. (0029,1010): the
        # dictionary holds it in block form, under the low byte.
        entry = d.lookup(group, element & 0xFF, creator)
        if entry is not None and entry["block_offset"]:
            return entry
    return None
