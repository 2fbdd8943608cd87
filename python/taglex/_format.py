"""The ``.tlex`` file format, for writing: its layout and a record checker.

This module is the only Python place that knows the layout; the writer, the
command line, the tools and the test helpers use it. Nothing in Python reads
a file's records: the native core (``taglex._core``) does.

Layout (all integers little-endian; a *position* is a byte offset from the
start of the body, which begins at file offset 32)::

    header   32 bytes   "TLEX", version u16 = 2, 26 bytes not interpreted
    body     index      12 bytes per entry, at a position that is a multiple of 4
             records    44 bytes per record, at a multiple of 4, after the index
             strings    the text bytes, after the records
             padding    0 to 3 bytes, so that the root is at a multiple of 4
             root       24 bytes, the last 24 bytes of the file

The root holds three (offset i32, count u32) pairs, for the index, the
records and the strings; each offset is relative to the position of the pair
itself (so the index offset is relative to the root, the records offset to
the root + 8, the strings offset to the root + 16). The arrays lie in that
order before the root, without overlap; gaps are allowed. The index count is
the dictionary's ``len``; it need not equal the record count.

Index entry (12 bytes): ``creator_hash`` u32 (0 without a creator, otherwise
FNV-1a 32 of the UTF-8 of the canonical creator), ``record`` u32 (a record
number), ``group`` u16, ``element`` u16. Sorted by (group, element,
creator_hash); entries with equal keys may follow each other, and a lookup
finds the last of them.

Record (44 bytes)::

    0  keyword_offset u32      4  name_offset u32        8  creator_offset u32
    12 description_offset u32  16 description_len u32
    20 sources_offset u32      24 sources_len u32
    28 group u16    30 element u16    32 keyword_len u16    34 name_len u16
    36 creator_len u16 (0: no creator)    38 reserved u16
    40 vr u8 (an index into VR_CODES)     41 element_is_block_offset u8 (0/1)
    42 retired u8 (0/1)                   43 padding

Text offsets are byte offsets into the strings table and every text must end
inside it (a creator of length 0 is not looked at). Sources are the labels
joined by ``|``. A block-form private element
(``element_is_block_offset`` 1) stores only the low byte of its element
number (the "xx" in (0029,xx10)).
"""

from __future__ import annotations

import re
import struct
from collections.abc import Mapping
from typing import Any, Final, NamedTuple

from taglex._core import creator_hash

__all__ = [
    "FIELDS",
    "VR_CODES",
    "CheckedRecord",
    "Duplicates",
    "RecordError",
    "check_record",
    "set_root_pair",
]

MAGIC: Final = b"TLEX"
VERSION: Final = 2
HEADER = struct.Struct("<4sH26x")
ROOT = struct.Struct("<iIiIiI")  # (offset, count) for index, records, strings
ROOT_PAIR = struct.Struct("<iI")  # one (relative offset, count) pair of the root
INDEX_ENTRY = struct.Struct("<IIHH")  # creator_hash, record, group, element
# keyword/name/creator/description offsets, description length, sources
# offset and length; group, element, keyword/name/creator lengths, reserved;
# vr, element_is_block_offset, retired, padding.
RECORD = struct.Struct("<7I6H3Bx")
HEADER_SIZE: Final = HEADER.size  # 32
ROOT_SIZE: Final = ROOT.size  # 24
INDEX_ENTRY_SIZE: Final = INDEX_ENTRY.size  # 12
RECORD_SIZE: Final = RECORD.size  # 44
ALIGN: Final = 4

# Byte offsets of the fields of a record and of an index entry, with their
# struct formats, for tools and tests that patch single fields.
RECORD_FIELDS: Final[Mapping[str, tuple[int, str]]] = {
    "keyword_offset": (0, "<I"),
    "name_offset": (4, "<I"),
    "creator_offset": (8, "<I"),
    "description_offset": (12, "<I"),
    "description_len": (16, "<I"),
    "sources_offset": (20, "<I"),
    "sources_len": (24, "<I"),
    "group": (28, "<H"),
    "element": (30, "<H"),
    "keyword_len": (32, "<H"),
    "name_len": (34, "<H"),
    "creator_len": (36, "<H"),
    "reserved38": (38, "<H"),
    "vr": (40, "<B"),
    "element_is_block_offset": (41, "<B"),
    "retired": (42, "<B"),
}
INDEX_FIELDS: Final[Mapping[str, tuple[int, str]]] = {
    "creator_hash": (0, "<I"),
    "record_index": (4, "<I"),
    "group": (8, "<H"),
    "element": (10, "<H"),
}

# The keys of a record, in the order of a lookup result.
FIELDS: Final = (
    "group",
    "element",
    "creator",
    "keyword",
    "name",
    "vr",
    "description",
    "retired",
    "block_offset",
    "sources",
)

# Value-representation codes; a record stores the position of its VR here.
VR_CODES: Final = (
    "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO", "LT",
    "OB", "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST",
    "SV", "TM", "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV", "??",
)  # fmt: skip
VR_INDEX: Final[Mapping[str, int]] = {code: i for i, code in enumerate(VR_CODES)}
SOURCES_SEPARATOR: Final = "|"

# Size limits of the format. They are read at each call, so that tests can
# lower them instead of building gigabytes.
MAX_SHORT_TEXT = 0xFFFF  # keyword, name, creator: 16-bit lengths
MAX_LONG_TEXT = 0xFFFF_FFFF  # description, sources: 32-bit lengths
MAX_STRINGS = 0xFFFF_FFFF  # the strings table: 32-bit offsets and count
# The root refers back to the index at position 0 with a signed 32-bit
# offset, so the root may lie at most 2**31 bytes into the body.
MAX_ROOT_POSITION = 2**31

_REQUIRED = ("group", "element", "keyword", "name", "vr")


# --- checking a record -------------------------------------------------------


class CheckedRecord(NamedTuple):
    """A record that passed :func:`check_record`, with its texts in UTF-8."""

    group: int
    element: int
    creator: str
    creator_utf8: bytes
    keyword: bytes
    name: bytes
    vr: int
    description: bytes
    retired: bool
    block_offset: bool
    sources: bytes
    creator_hash: int

    @property
    def key(self) -> tuple[int, int, int]:
        """The search key: (group, element, creator hash)."""
        return (self.group, self.element, self.creator_hash)


class RecordError(ValueError):
    """Every rule one record breaks. ``problems`` holds (field, reason) pairs,
    the field being None for the record as a whole; the message is the
    reasons joined by "; "."""

    def __init__(self, problems: list[tuple[str | None, str]]) -> None:
        super().__init__("; ".join(reason for _, reason in problems))
        self.problems = problems


# A keyword is what a lookup takes as one: an ASCII identifier that does not
# read as a tag (8 hex digits, or 4 and xxee).
_KEYWORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_TAG_LIKE = re.compile(r"[0-9A-Fa-f]{4}(?:[0-9A-Fa-f]{4}|[xX]{2}[0-9A-Fa-f]{2})")


class _Problems:
    """The problems of one record, gathered field by field."""

    def __init__(self) -> None:
        self.found: list[tuple[str | None, str]] = []

    def add(self, field: str | None, reason: str) -> None:
        self.found.append((field, reason))

    def tag_number(self, rec: Mapping[str, Any], key: str, limit: int) -> int | None:
        value = rec[key]
        if type(value) is bool or not isinstance(value, int):
            self.add(key, f"{key} must be an int, not {type(value).__name__}")
        elif not 0 <= value <= limit:
            self.add(key, f"{key} {value} is outside 0..{limit}")
        else:
            return int(value)
        return None

    def flag(self, rec: Mapping[str, Any], key: str) -> bool | None:
        value = rec.get(key, False)
        if type(value) is not bool:
            self.add(key, f"{key} must be a bool, not {type(value).__name__}")
            return None
        return value

    def text(self, value: object, what: str, limit: int, field: str | None = None) -> bytes | None:
        field = field or what
        if not isinstance(value, str):
            self.add(field, f"{what} must be a str, not {type(value).__name__}")
            return None
        try:
            data = value.encode("utf-8")
        except UnicodeEncodeError as e:
            self.add(field, f"{what} cannot be encoded as UTF-8 ({e.reason})")
            return None
        if len(data) > limit:
            self.add(field, f"{what} is {len(data)} bytes in UTF-8, more than {limit}")
            return None
        return data

    def sources(self, rec: Mapping[str, Any]) -> bytes | None:
        labels = rec.get("sources", [])
        if not isinstance(labels, (list, tuple)):
            self.add("sources", f"sources must be a list of str, not {type(labels).__name__}")
            return None
        before = len(self.found)
        for label in labels:
            if not isinstance(label, str):
                self.add("sources", f"a source label must be a str, not {type(label).__name__}")
            elif not label:
                self.add("sources", "empty source label")
            elif SOURCES_SEPARATOR in label:
                self.add("sources", f"source label {label!r} contains {SOURCES_SEPARATOR!r}")
        if len(self.found) > before:
            return None
        return self.text(SOURCES_SEPARATOR.join(labels), "sources", MAX_LONG_TEXT)


def check_record(rec: object) -> CheckedRecord:
    """Check one record (a mapping with the keys of :data:`FIELDS`) on its own.

    Returns it with its texts encoded, or raises :class:`RecordError` (a
    :class:`ValueError`) with every rule it breaks (without naming the
    record: the caller knows which one it is). Keys shared with other records
    are :class:`Duplicates`' concern. Numbers are written in decimal, as JSON
    writes them.
    """
    if not isinstance(rec, Mapping):
        raise RecordError([(None, f"expected a mapping, not {type(rec).__name__}")])
    p = _Problems()
    for key in rec:
        if key not in FIELDS:
            p.add(key, f"unknown field {key!r}")
    for key in _REQUIRED:
        if key not in rec:
            p.add(key, f"missing field {key!r}")

    group = p.tag_number(rec, "group", 0xFFFF) if "group" in rec else None
    element = p.tag_number(rec, "element", 0xFFFF) if "element" in rec else None
    block_offset = p.flag(rec, "block_offset")
    retired = p.flag(rec, "retired")
    if block_offset and element is not None and element > 0xFF:
        p.add(
            "element",
            f"element {element} is above 255, but a block-form private element "
            f"(block_offset true) holds only the low byte",
        )
    vr: int | None = None
    if "vr" in rec:
        vr_code = rec["vr"]
        vr = VR_INDEX.get(vr_code) if isinstance(vr_code, str) else None
        if vr is None:
            p.add("vr", f"unknown VR {vr_code!r}")

    keyword = p.text(rec["keyword"], "keyword", MAX_SHORT_TEXT) if "keyword" in rec else None
    if keyword:
        word = rec["keyword"]
        shown = repr(word) if len(word) <= 40 else repr(word[:37] + "...")
        if not _KEYWORD.fullmatch(word):
            p.add("keyword", f"keyword {shown} is not a keyword (ASCII letters, digits and _, "
                  "not starting with a digit)")  # fmt: skip
        elif _TAG_LIKE.fullmatch(word):
            p.add("keyword", f"keyword {shown} reads as a tag")
    name = p.text(rec["name"], "name", MAX_SHORT_TEXT) if "name" in rec else None
    creator_text = rec.get("creator", "")
    creator = p.text(creator_text, "creator", MAX_SHORT_TEXT)
    if block_offset and creator == b"":
        p.add(
            "creator",
            "creator is empty, but a block-form private element (block_offset true) "
            "is found only through its creator",
        )
    description = p.text(rec.get("description", ""), "description", MAX_LONG_TEXT)
    sources = p.sources(rec)
    if p.found:
        raise RecordError(p.found)
    assert group is not None and element is not None and vr is not None
    assert keyword is not None and name is not None and creator is not None
    assert description is not None and sources is not None
    assert block_offset is not None and retired is not None
    chash = creator_hash(creator_text) if creator else 0
    return CheckedRecord(
        group, element, creator_text, creator, keyword, name, vr,
        description, retired, block_offset, sources, chash,
    )  # fmt: skip


class Duplicates:
    """Finds records that share a search key; each record is named by a label
    of the caller's choosing (a record number, an input line)."""

    def __init__(self) -> None:
        self._first: dict[tuple[int, int, int], int] = {}

    def earlier(self, record: CheckedRecord, label: int) -> int | None:
        """The label of the first record with the same key, or None if this is
        the first one (it is then remembered under ``label``)."""
        first = self._first.setdefault(record.key, label)
        return None if first == label else first


def set_root_pair(
    data: bytearray, root: int, k: int, *, offset: int | None = None, count: int | None = None
) -> None:
    """Overwrite the relative offset and/or the count of pair ``k`` (0 index,
    1 records, 2 strings) of the root at file offset ``root``: how tests and
    fuzz seeds make damaged files."""
    pos = root + ROOT_PAIR.size * k
    old_offset, old_count = ROOT_PAIR.unpack_from(data, pos)
    ROOT_PAIR.pack_into(
        data,
        pos,
        old_offset if offset is None else offset,
        old_count if count is None else count,
    )
