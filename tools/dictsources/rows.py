"""The rows the parsers return, and the small text rules they share."""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass

from taglex._format import VR_CODES as _FORMAT_VR_CODES

# The VR codes of the .tlex format, without the "??" that stands for none.
NO_VR = "??"
VR_CODES = frozenset(_FORMAT_VR_CODES) - {NO_VR}

# Names and keywords that say nothing (besides any run of "?", such as "???");
# an entry with one keeps an empty field.
PLACEHOLDERS = frozenset({"", "unknown"})

# DCMTK's lower-case VR notations and the VRs they stand for.
DCMTK_VRS: dict[str, tuple[str, ...]] = {
    "ox": ("OB", "OW"),  # OB or OW, by context
    "px": ("OB", "OW"),  # pixel data: OB or OW (or encapsulated)
    "xs": ("US", "SS"),  # US or SS, by Pixel Representation
    "lt": ("US", "SS", "OW"),  # lookup table data
    "up": ("UL",),  # an unsigned 32-bit offset
    "na": (),  # item and delimitation tags: no VR
}


@dataclass(frozen=True)
class StandardRow:
    """One element of a standard registry.

    ``tag`` is 8 upper-case hex digits with a lower-case ``x`` where a mask
    digit stands ("60xx3000", "002804x0"); ``vrs`` the VRs listed, in order,
    empty where none is given.
    """

    tag: str
    keyword: str
    name: str
    vrs: tuple[str, ...]
    vm: str
    retired: bool


@dataclass(frozen=True)
class PrivateRow:
    """One private element of one source.

    ``groups`` are the groups it stands for (one, or the odd groups of a
    ``ggxx`` range); ``element`` is the low byte of the element number;
    ``listed`` is the tag as the source writes it when that is a fixed block
    ("(0019,1027)"), otherwise "". ``block`` is the block (0x10..0xFF) of a
    block-specific definition, one that holds in that block only (a
    dicom3tools ``PrivateBlock``, a vtk-dicom element above 0xFF), and 0 for
    a definition in block form, which holds in any block.
    """

    source: str
    creator: str
    groups: tuple[int, ...]
    element: int
    vrs: tuple[str, ...]
    vm: str
    keyword: str
    name: str
    listed: str = ""
    block: int = 0


def parse_vrs(text: str) -> tuple[str, ...]:
    """The VRs a source's VR text lists, in order, without repeats.

    Alternatives may be written "OB or OW", "OB OW", "OW/OB", "OB_OW" or, per
    value, "US\\US or SS\\US"; "NONE" and "" list none; DCMTK's lower-case
    notations stand for the VRs in DCMTK_VRS. Anything else raises
    ValueError.
    """
    text = text.strip()
    if text in DCMTK_VRS:
        return DCMTK_VRS[text]
    if text in ("", "NONE"):
        return ()
    if text == "XS":
        return DCMTK_VRS["xs"]
    out: list[str] = []
    for code in re.split(r"\s+or\s+|[\s/_\\]+", text):
        if code not in VR_CODES:
            raise ValueError(f"unknown VR {code!r} in {text!r}")
        if code not in out:
            out.append(code)
    return tuple(out)


def implicit_vr(vrs: tuple[str, ...]) -> str:
    """The VR stored for the VRs a source lists.

    An implicit-VR reader needs one VR. "OB or OW" stores OW (Pixel Data,
    Overlay Data and Waveform Data are OW in Implicit VR Little Endian, and
    the other OB-or-OW elements follow their data); any other list stores
    its first VR ("US or SS" stores US); none stores "??".
    """
    if not vrs:
        return NO_VR
    if set(vrs) == {"OB", "OW"}:
        return "OW"
    return vrs[0]


def vr_text(vrs: tuple[str, ...]) -> str:
    return " or ".join(vrs)


def is_placeholder(text: str) -> bool:
    text = text.strip().lower()
    return text in PLACEHOLDERS or text.strip("?") == ""


def keyword_from_name(name: str) -> str:
    """A keyword for an entry whose sources give none.

    The ASCII letter and digit runs of the name, each with its first letter
    upper-cased and the rest kept, joined without spaces; "Private" in front
    when the result starts with a digit. A name without letters or digits
    gives an empty keyword.
    """
    words = re.findall(r"[A-Za-z0-9]+", name)
    keyword = "".join(w[0].upper() + w[1:] for w in words)
    if keyword[:1].isdigit():
        keyword = "Private" + keyword
    return keyword


_WORD_BREAK = re.compile(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])")


def name_from_keyword(keyword: str) -> str:
    """A display name for a source that gives only keywords.

    Words split where a lower-case letter or digit meets an upper-case one,
    and before the last capital of a run that a lower-case letter follows:
    "AffectedSOPClassUID" gives "Affected SOP Class UID". Short linking
    words other than the first and the last are written in lower case, as
    the standard names elements: "NumberOfMatches" gives "Number of Matches".
    """
    words = _WORD_BREAK.sub(" ", keyword.replace("_", " ")).split()
    return " ".join(
        [
            w.lower() if 0 < i < len(words) - 1 and w.lower() in _LINKING_WORDS else w
            for i, w in enumerate(words)
        ]
    )


_LINKING_WORDS = frozenset(
    {"and", "at", "by", "for", "from", "in", "of", "on", "or", "per", "the", "to", "with"}
)


def tag_text(group: str, element: str) -> str:
    return f"({group.upper().replace('X', 'x')},{element.upper().replace('X', 'x')})"


@dataclass(frozen=True)
class Deidentification:
    """One row of the de-identification table: the Basic Profile action and
    the options that give an action, by option name ("retain_uids": "K"),
    each as the table writes it ("X", "X/Z/D", "X/Z/U*")."""

    basic: str
    options: dict[str, str]


@dataclass(frozen=True)
class History:
    """What the editions say of one element: the first edition that lists it
    ("" where the first edition read already does) and its former keywords,
    oldest first."""

    since: str = ""
    formerly: tuple[str, ...] = ()


def tsv_rows(lines: Iterable[str], header: str) -> Iterable[tuple[int, list[str]]]:
    """The (line number, fields) of a tab-separated table whose column names
    are ``header``: "#" lines, empty lines and the header line skipped, and a
    line with another number of fields refused (ValueError "line N: ...")."""
    columns = header.count("\t") + 1
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line or line.startswith("#") or line == header:
            continue
        fields = line.split("\t")
        if len(fields) != columns:
            raise ValueError(f"line {number}: expected {columns} fields, got {len(fields)}")
        yield number, fields
