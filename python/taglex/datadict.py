"""A drop-in for ``pydicom.datadict``, answered from the bundled dictionary.

Code written against pydicom's module changes one line::

    from taglex import datadict   # was: from pydicom import datadict

The functions take the same arguments and return the same values: tags in
every form ``pydicom.tag.Tag`` accepts (an int, a (group, element) pair of
ints or of hex texts, a hex text or a keyword), VR texts as pydicom writes
them ("OB or OW", "US or SS"), VMs as texts ("1-n"), "Retired" or "" for the
retired flag, and the same exceptions (``KeyError`` for a tag the dictionary
does not hold, ``ValueError``, ``TypeError`` or ``OverflowError`` for a value
that is no tag). Private creators are matched in any case and spacing. See
docs/datadict.md for the differences that remain.
"""

from __future__ import annotations

from taglex._dictionary import Dictionary, parse_vm, vr_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    import re
    from typing import TypeAlias

    from taglex._taglex import LookupResult

    TagType: TypeAlias = int | str | tuple[int, int] | tuple[str, str]

__all__ = [
    "dictionary_VM",
    "dictionary_VR",
    "dictionary_description",
    "dictionary_has_tag",
    "dictionary_is_retired",
    "dictionary_keyword",
    "get_entry",
    "get_private_entry",
    "keyword_for_tag",
    "mask_match",
    "private_dictionary_VM",
    "private_dictionary_VR",
    "private_dictionary_description",
    "repeater_has_keyword",
    "repeater_has_tag",
    "tag_for_keyword",
]

_dictionary: Dictionary | None = None
# Keyword to tag of the standard elements (repeating ones left out, as in
# pydicom), and the repeating masks as (mask, xor bits, and bits).
_keywords: dict[str, int] | None = None
_masks: list[tuple[str, int, int]] | None = None
_repeater_keywords: frozenset[str] | None = None


def _dict() -> Dictionary:
    global _dictionary
    if _dictionary is None:
        _dictionary = Dictionary.default()
    return _dictionary


def _tag(arg: object) -> int:
    """The tag as an int, converted and checked as ``pydicom.tag.Tag`` does."""
    if type(arg) is int and 0 <= arg <= 0xFFFFFFFF:
        return arg
    value: int | None
    if isinstance(arg, (tuple, list)):
        if len(arg) != 2:
            raise ValueError("Tag must be an int or a 2-tuple")
        first, second = arg
        valid = False
        if isinstance(first, str):
            valid = isinstance(second, str)
            if valid:
                first, second = int(first, 16), int(second, 16)
        elif isinstance(first, int):
            valid = isinstance(second, int)
        if not valid:
            raise TypeError(
                f"Unable to create an element tag from '{arg}': both "
                "arguments must be the same type and str or int"
            )
        if first > 0xFFFF or second > 0xFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{arg}': the group "
                "and element values are limited to a maximum of 2-bytes each"
            )
        value = first << 16 | second
    elif isinstance(arg, str):
        try:
            value = int(arg, 16)
        except ValueError:
            value = tag_for_keyword(arg)
            if value is None:
                raise ValueError(
                    f"Unable to create an element tag from '{arg}': "
                    "unknown DICOM element keyword or an invalid int"
                ) from None
        if value > 0xFFFFFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{value}': "
                "the combined group and element values  are limited to a "
                "maximum of 4-bytes"
            )
    elif isinstance(arg, int):
        value = int(arg)
        if value > 0xFFFFFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{value}': the "
                "combined group and element values are limited to a maximum "
                "of 4-bytes"
            )
    else:
        raise TypeError(f"'>' not supported between instances of '{type(arg).__name__}' and 'int'")
    if value < 0:
        raise ValueError(
            f"Unable to create an element tag from '{value}': tags must be positive"
        )
    return value


def _show(tag: int) -> str:
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def _is_repeating(description: str) -> bool:
    return description.startswith("repeating (") or "; repeating (" in description


def _standard(tag: int) -> LookupResult | None:
    """The stored result of a standard tag, repeating groups included."""
    group = tag >> 16
    if group & 1:
        return None
    lookup = _dict()._lookup
    r = lookup(group, tag & 0xFFFF)
    if r is not None and not r["creator"]:
        return r
    # A repeating group such as 60xx stands for every even group gg00-ggFE;
    # the file holds gg00-gg1E, so ask for gg00 and check the mask.
    r = lookup(group & 0xFF00, tag & 0xFFFF)
    if r is not None and _is_repeating(r["description"]):
        mask = _mask_of(r["description"])
        if mask is not None and _bits(mask)[1] & (tag ^ _bits(mask)[0]) == 0:
            return r
    return None


def _bits(mask: str) -> tuple[int, int]:
    """(the bits a tag must have, the bits that count) of a mask such as 60xx3000."""
    return (
        int(mask.replace("x", "0"), 16),
        int("".join("0" if c == "x" else "F" for c in mask), 16),
    )


def _mask_of(description: str) -> str | None:
    for part in description.split("; "):
        if part.startswith("repeating (") and len(part) >= 21:
            return part[11:15] + part[16:20]
    return None


def _vr(r: LookupResult) -> str:
    # "??": the standard gives no VR (items, delimiters, blank retired rows);
    # pydicom's text for that is "NONE".
    return vr_text(r["description"]) or ("NONE" if r["vr"] == "??" else r["vr"])


def _vm(r: LookupResult) -> str:
    return parse_vm(r["description"]) or ""


# Answers already given, by int tag: they are immutable tuples from a
# read-only file, and code reading data sets asks for the same few hundred
# tags over and over. Bounded: emptied when full.
_answers: dict[int, tuple[str, str, str, str, str]] = {}
_ANSWERS_MAX = 4096


def get_entry(tag: TagType) -> tuple[str, str, str, str, str]:
    """(VR, VM, name, "Retired" or "", keyword) of a standard element,
    repeating groups included. Raises KeyError if it is not in the dictionary."""
    if isinstance(tag, int):
        known = _answers.get(tag)
        if known is not None:
            return known
    t = _tag(tag)
    r = _standard(t)
    if r is None:
        raise KeyError(f"Tag {_show(t)} not found in DICOM dictionary")
    entry = _vr(r), _vm(r), r["name"], "Retired" if r["retired"] else "", r["keyword"]
    if len(_answers) >= _ANSWERS_MAX:
        _answers.clear()
    _answers[t] = entry
    return entry


def dictionary_is_retired(tag: TagType) -> bool:
    """Whether the standard element is retired; KeyError if unknown."""
    return get_entry(tag)[3] == "Retired"


def dictionary_VR(tag: TagType) -> str:
    """The VR of a standard element ("OB or OW" for alternatives); KeyError if unknown."""
    if isinstance(tag, int):
        known = _answers.get(tag)
        if known is not None:
            return known[0]
    return get_entry(tag)[0]


def dictionary_VM(tag: TagType) -> str:
    """The VM of a standard element, e.g. "1-n"; KeyError if unknown."""
    return get_entry(tag)[1]


def dictionary_description(tag: TagType) -> str:
    """The name of a standard element, e.g. "Patient's Name"; KeyError if unknown."""
    return get_entry(tag)[2]


def dictionary_keyword(tag: TagType) -> str:
    """The keyword of a standard element; KeyError if unknown."""
    return get_entry(tag)[4]


def dictionary_has_tag(tag: TagType) -> bool:
    """Whether the tag is a standard element of the dictionary (repeating
    groups and private elements are not)."""
    try:
        t = _tag(tag)
    except Exception:
        return False
    if t >> 16 & 1:
        return False
    r = _dict()._lookup(t >> 16, t & 0xFFFF)
    return r is not None and not r["creator"] and not _is_repeating(r["description"])


def keyword_for_tag(tag: TagType) -> str:
    """The keyword of a standard element, or "" if unknown."""
    try:
        return dictionary_keyword(tag)
    except KeyError:
        return ""


def _standard_keywords() -> dict[str, int]:
    global _keywords
    if _keywords is None:
        table = _dict()._standard_keywords()
        repeating = _repeaters()[1]
        _keywords = {k: t for k, t in table.items() if k not in repeating}
    return _keywords


def tag_for_keyword(keyword: str) -> int | None:
    """The tag of a standard element's keyword, or None (repeating elements
    have none, as in pydicom)."""
    table = _keywords
    if table is None:
        table = _standard_keywords()
    return table.get(keyword)


def _repeaters() -> tuple[list[tuple[str, int, int]], frozenset[str]]:
    global _masks, _repeater_keywords
    if _masks is None or _repeater_keywords is None:
        masks: dict[str, str] = {}
        for index in _dict()._indexes():
            for mask, word in index.repeaters.items():
                masks.setdefault(mask, word)
        _masks = [(mask, *_bits(mask)) for mask in masks]
        _repeater_keywords = frozenset(masks.values())
    return _masks, _repeater_keywords


def mask_match(tag: int) -> str | None:
    """The repeating mask that matches ``tag`` (e.g. "60xx3000"), or None."""
    for mask, xor, keep in _repeaters()[0]:
        if (tag ^ xor) & keep == 0:
            return mask
    return None


def repeater_has_tag(tag: int) -> bool:
    """Whether a repeating mask of the dictionary matches ``tag``."""
    return mask_match(tag) is not None


def repeater_has_keyword(keyword: str) -> bool:
    """Whether ``keyword`` is the keyword of a repeating element."""
    return keyword in _repeaters()[1]


def get_private_entry(tag: TagType, private_creator: str) -> tuple[str, str, str, str]:
    """(VR, VM, name, "Retired" or "") of a private element of a creator,
    given in any case and spacing. The tag is found as written, then through
    its block form (gggg,xxee). Raises KeyError for an unknown creator or tag."""
    t = _tag(tag)
    if not isinstance(private_creator, str):
        message = f"'{private_creator}' is not a valid private creator"
        raise KeyError(message)
    group, element = t >> 16, t & 0xFFFF
    lookup = _dict()._lookup
    r = lookup(group, element, private_creator)
    if r is not None and r["block_offset"]:
        r = None
    if r is None:
        # The block form (gggg,xxee): the entry of every block the creator
        # may have reserved.
        r = lookup(group, element & 0xFF, private_creator)
        if r is not None and not r["block_offset"]:
            r = None
    if r is None:
        if not _dict()._has_creator(private_creator):
            raise KeyError(f"Private creator '{private_creator}' not in the private dictionary")
        raise KeyError(
            f"Tag '{_show(t)}' not in private dictionary "
            f"for private creator '{private_creator}'"
        )
    return _vr(r), _vm(r), r["name"], "Retired" if r["retired"] else ""


def private_dictionary_VR(tag: TagType, private_creator: str) -> str:
    """The VR of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[0]


def private_dictionary_VM(tag: TagType, private_creator: str) -> str:
    """The VM of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[1]


def private_dictionary_description(tag: TagType, private_creator: str) -> str:
    """The name of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[2]
