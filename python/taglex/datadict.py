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

Every answer is asked of the native core (``taglex._core.Datadict``, on the
bundled ``Dictionary``), from the one mapping of the bundled file; nothing is
cached per tag.
"""

from __future__ import annotations

from taglex import _core
from taglex._dictionary import Dictionary

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TypeAlias

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

# The answers come from the bundled dictionary, opened with this module
# (mapping it costs less than a millisecond; its indexes are built on the
# first question that needs them).
_answers = _core.Datadict(Dictionary.default())
_entry = _answers.entry
_private_entry = _answers.private_entry
_has_tag = _answers.has_tag
_HEX = frozenset("0123456789abcdefABCDEF")

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
            if arg.isidentifier() and not _HEX.issuperset(arg):
                raise ValueError  # not hex: a keyword, without int() failing first
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
    else:
        # As pydicom: compared with the limit as given (so None raises
        # pydicom's TypeError), then made an int (a float is truncated).
        if arg > 0xFFFFFFFF:  # type: ignore[operator]
            raise OverflowError(
                f"Unable to create an element tag from '{arg}': the "
                "combined group and element values are limited to a maximum "
                "of 4-bytes"
            )
        value = int(arg)  # type: ignore[call-overload]
    if value < 0:
        raise ValueError(
            f"Unable to create an element tag from '{value}': tags must be positive"
        )
    return value


def _show(tag: int) -> str:
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def get_entry(tag: TagType) -> tuple[str, str, str, str, str]:
    """(VR, VM, name, "Retired" or "", keyword) of a standard element,
    repeating groups included. Raises KeyError if it is not in the dictionary."""
    t = tag if type(tag) is int and 0 <= tag <= 0xFFFFFFFF else _tag(tag)
    entry = _entry(t)
    if entry is None:
        raise KeyError(f"Tag {_show(t)} not found in DICOM dictionary")
    return entry


def dictionary_is_retired(tag: TagType) -> bool:
    """Whether the standard element is retired; KeyError if unknown."""
    return get_entry(tag)[3] == "Retired"


def dictionary_VR(tag: TagType) -> str:
    """The VR of a standard element ("OB or OW" for alternatives); KeyError if unknown."""
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
        t = tag if type(tag) is int and 0 <= tag <= 0xFFFFFFFF else _tag(tag)
    except Exception:
        return False
    return _has_tag(t)


def keyword_for_tag(tag: TagType) -> str:
    """The keyword of a standard element, or "" if unknown."""
    t = tag if type(tag) is int and 0 <= tag <= 0xFFFFFFFF else _tag(tag)
    entry = _entry(t)
    return "" if entry is None else entry[4]


tag_for_keyword = _answers.tag_for_keyword
"""The tag of a standard element's keyword, or None (repeating elements
have none, as in pydicom). A keyword an element had before a rename finds
it too."""

mask_match = _answers.mask_match
"""The repeating mask that matches ``tag`` (e.g. "60xx3000"), or None."""


def repeater_has_tag(tag: int) -> bool:
    """Whether a repeating mask of the dictionary matches ``tag``."""
    return mask_match(tag) is not None


repeater_has_keyword = _answers.is_repeater_keyword
"""Whether ``keyword`` is the keyword of a repeating element."""


def get_private_entry(tag: TagType, private_creator: str) -> tuple[str, str, str, str]:
    """(VR, VM, name, "Retired" or "") of a private element of a creator,
    given in any case and spacing. The tag is found as written, then through
    its block form (gggg,xxee). Raises KeyError for an unknown creator or tag."""
    t = tag if type(tag) is int and 0 <= tag <= 0xFFFFFFFF else _tag(tag)
    if not isinstance(private_creator, str):
        raise KeyError(f"'{private_creator}' is not a valid private creator")
    entry = _private_entry(t, private_creator)
    if entry is not None:
        return entry
    if not _is_text(private_creator) or not Dictionary.default().has_creator(private_creator):
        raise KeyError(f"Private creator '{private_creator}' not in the private dictionary")
    raise KeyError(
        f"Tag '{_show(t)}' not in private dictionary for private creator '{private_creator}'"
    )


def _is_text(text: str) -> bool:
    """Whether a str can be written as UTF-8 (a lone surrogate cannot)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def private_dictionary_VR(tag: TagType, private_creator: str) -> str:
    """The VR of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[0]


def private_dictionary_VM(tag: TagType, private_creator: str) -> str:
    """The VM of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[1]


def private_dictionary_description(tag: TagType, private_creator: str) -> str:
    """The name of a private element of a creator; KeyError if unknown."""
    return get_private_entry(tag, private_creator)[2]
