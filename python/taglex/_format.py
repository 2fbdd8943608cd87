"""The ``.tlex`` file format, in Python: its layout, a record checker and a reader.

This module is the only Python place that knows the layout; the writer, the
command line, the tools and the test helpers use it.

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
joined by ``|``. Texts that are not valid UTF-8 read as empty texts, as they
do through ``Dict.lookup``. A block-form private element
(``element_is_block_offset`` 1) stores only the low byte of its element
number (the "xx" in (0029,xx10)).
"""

from __future__ import annotations

import mmap
import os
import re
import stat
import struct
from collections.abc import Iterator, Mapping
from typing import Any, Final, NamedTuple

from taglex._canonical import creator_hash

__all__ = [
    "FIELDS",
    "VR_CODES",
    "CheckedRecord",
    "Duplicates",
    "Reader",
    "RecordError",
    "open_file",
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


# --- reading a file ----------------------------------------------------------

_Buffer = bytes | bytearray | memoryview | mmap.mmap


def _decode(data: memoryview) -> str:
    try:
        return str(data, "utf-8")
    except UnicodeDecodeError:
        return ""


def _column_struct(*fields: str) -> struct.Struct:
    """A struct that reads only the given fields of a record, in that order."""
    fmt, at = "<", 0
    for name in fields:
        offset, code = RECORD_FIELDS[name]
        fmt += f"{offset - at}x{code[1]}"
        at = offset + struct.calcsize(code)
    return struct.Struct(f"{fmt}{RECORD_SIZE - at}x")


# For each field of a lookup result, the record bytes that hold it: the offset
# and length of a text, or the one number.
_COLUMNS: Final[Mapping[str, struct.Struct]] = {
    "group": _column_struct("group"),
    "element": _column_struct("element"),
    "creator": _column_struct("creator_offset", "creator_len"),
    "keyword": _column_struct("keyword_offset", "keyword_len"),
    "name": _column_struct("name_offset", "name_len"),
    "vr": _column_struct("vr"),
    "description": _column_struct("description_offset", "description_len"),
    "retired": _column_struct("retired"),
    "block_offset": _column_struct("element_is_block_offset"),
    "sources": _column_struct("sources_offset", "sources_len"),
}


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


class IndexEntry(NamedTuple):
    group: int
    element: int
    creator_hash: int
    record: int


def open_file(path: str | os.PathLike[str] | bytes) -> int:
    """Open ``path`` read-only, as the library opens a dictionary: without
    waiting for a writer of a FIFO and without making a terminal the
    controlling one. Only a file under another process's write lease makes
    the non-blocking open fail; that one is opened again, waiting for the
    lease to be broken. Returns the file descriptor."""
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY
    try:
        return os.open(path, flags | os.O_NONBLOCK)
    except BlockingIOError:
        return os.open(path, flags)


class Reader:
    """The records and index of a ``.tlex`` file, read from a buffer in place.

    ``Reader(data)`` reads a bytes-like object; ``Reader.open(path)`` maps a
    file read-only (close it, or use it in a ``with`` statement). The header
    and the placement of the three arrays are checked at once, as the library
    checks them at open; each record and index entry is checked when it is
    read. Anything malformed raises :class:`ValueError`; no read goes outside
    the buffer.
    """

    def __init__(self, data: _Buffer) -> None:
        view = memoryview(data)
        if view.ndim != 1 or view.itemsize != 1:
            view = view.cast("B")
        self._map: mmap.mmap | None = None
        self._view = view
        size = len(view)
        if size < HEADER_SIZE:
            raise ValueError(f"file too small: {size} bytes, a .tlex file has at least 56")
        magic, version = HEADER.unpack_from(view, 0)
        if magic != MAGIC:
            raise ValueError("bad magic: not a .tlex file")
        if version != VERSION:
            raise ValueError(f"unsupported .tlex version {version}")
        body = size - HEADER_SIZE
        if body < ROOT_SIZE:
            raise ValueError(f"file too small: {size} bytes, a .tlex file has at least 56")
        if body % ALIGN:
            raise ValueError(f"file size {size} is not a multiple of {ALIGN}")
        root = body - ROOT_SIZE
        fields = ROOT.unpack_from(view, HEADER_SIZE + root)
        start = 0
        arrays: list[tuple[int, int]] = []
        for k, (name, width, align) in enumerate(
            (("index", INDEX_ENTRY_SIZE, ALIGN), ("records", RECORD_SIZE, ALIGN), ("strings", 1, 1))
        ):
            offset, count = fields[2 * k], fields[2 * k + 1]
            target = root + 8 * k + offset
            end = target + count * width
            if target % align:
                raise ValueError(f"the {name} array is not aligned to {align} bytes")
            if target < start or end > root:
                raise ValueError(
                    f"the {name} array ({count} x {width} bytes at body position {target}) "
                    f"is not within positions {start}..{root}"
                )
            arrays.append((HEADER_SIZE + target, count))
            start = end
        (self._index, self.index_count), (self._records, self.record_count), (
            self._strings,
            self.strings_size,
        ) = arrays
        self._strings_view = view[self._strings : self._strings + self.strings_size]

    @classmethod
    def open(cls, path: str | os.PathLike[str] | bytes) -> Reader:
        """Map the file at ``path`` read-only and read it.

        Refuses anything but a regular file (without blocking on a FIFO) with
        :class:`ValueError`; :class:`OSError` if it cannot be opened.
        """
        fd = open_file(path)
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise ValueError(f"{os.fsdecode(path)} is not a regular file")
            if info.st_size < HEADER_SIZE + ROOT_SIZE:
                raise ValueError(
                    f"file too small: {info.st_size} bytes, a .tlex file has at least 56"
                )
            mapped = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        finally:
            os.close(fd)
        try:
            reader = cls(mapped)
        except BaseException:
            mapped.close()
            raise
        reader._map = mapped
        return reader

    def close(self) -> None:
        """Release the buffer (and the mapping of :meth:`open`)."""
        self._strings_view.release()
        self._view.release()
        if self._map is not None:
            try:
                self._map.close()
            except BufferError:
                # A view into it is still alive, held by the frames of an
                # error on its way out of a with block: the mapping goes
                # with the last view instead, and the error is not masked.
                pass
            self._map = None

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __len__(self) -> int:
        return self.record_count

    # -- raw access --

    def raw_record(self, i: int) -> tuple[int, ...]:
        """The 16 numbers of record ``i`` in :data:`RECORD` order, checked:
        flags 0 or 1, a known VR code."""
        if not 0 <= i < self.record_count:
            raise IndexError(f"record {i} is outside 0..{self.record_count - 1}")
        raw = RECORD.unpack_from(self._view, self._records + RECORD_SIZE * i)
        self._check_raw(i, raw)
        return raw

    @staticmethod
    def _check_raw(i: int, raw: tuple[int, ...]) -> None:
        if raw[13] >= len(VR_CODES) or raw[14] > 1 or raw[15] > 1:
            raise ValueError(
                f"record {i}: vr {raw[13]}, block offset {raw[14]} and retired {raw[15]} "
                f"are not all legal"
            )

    def _text(self, i: int, what: str, offset: int, length: int) -> str:
        if offset + length > self.strings_size:
            raise ValueError(
                f"record {i}: the {what} text ({length} bytes at {offset}) ends past the "
                f"strings table ({self.strings_size} bytes)"
            )
        if not length:
            return ""
        return _decode(self._strings_view[offset : offset + length])

    def _record(self, i: int, raw: tuple[int, ...]) -> dict[str, Any]:
        kw_off, nm_off, cr_off, de_off, de_len, so_off, so_len = raw[:7]
        group, element, kw_len, nm_len, cr_len = raw[7:12]
        sources = self._text(i, "sources", so_off, so_len)
        return {
            "group": group,
            "element": element,
            "creator": self._text(i, "creator", cr_off, cr_len) if cr_len else "",
            "keyword": self._text(i, "keyword", kw_off, kw_len),
            "name": self._text(i, "name", nm_off, nm_len),
            "vr": VR_CODES[raw[13]],
            "description": self._text(i, "description", de_off, de_len),
            "retired": bool(raw[15]),
            "block_offset": bool(raw[14]),
            "sources": [s for s in sources.split(SOURCES_SEPARATOR) if s],
        }

    # -- records --

    def record(self, i: int) -> dict[str, Any]:
        """Record ``i`` as a dict with the keys of :data:`FIELDS`, as
        ``Dict.lookup`` returns it."""
        return self._record(i, self.raw_record(i))

    def records(self) -> Iterator[dict[str, Any]]:
        """Every record, in record order."""
        for i, raw in enumerate(self._raw_records()):
            self._check_raw(i, raw)
            yield self._record(i, raw)

    def _raw_records(self) -> Iterator[tuple[int, ...]]:
        end = self._records + RECORD_SIZE * self.record_count
        return RECORD.iter_unpack(self._view[self._records : end])

    _TEXT_SLOTS: Final[Mapping[str, tuple[int, int]]] = {
        # field: (position of its offset, position of its length) in a raw record
        "keyword": (0, 9),
        "name": (1, 10),
        "creator": (2, 11),
        "description": (3, 4),
        "sources": (5, 6),
    }

    def field(self, i: int, name: str) -> Any:
        """One field of record ``i`` (a key of :data:`FIELDS`), decoding only that."""
        return self._field(i, self.raw_record(i), name)

    def _field(self, i: int, raw: tuple[int, ...], name: str) -> Any:
        slots = self._TEXT_SLOTS.get(name)
        if slots is not None:
            length = raw[slots[1]]
            if name == "creator" and not length:
                return ""
            text = self._text(i, name, raw[slots[0]], length)
            if name == "sources":
                return [s for s in text.split(SOURCES_SEPARATOR) if s]
            return text
        if name == "group":
            return raw[7]
        if name == "element":
            return raw[8]
        if name == "vr":
            return VR_CODES[raw[13]]
        if name == "block_offset":
            return bool(raw[14])
        if name == "retired":
            return bool(raw[15])
        raise KeyError(name)

    def keyword(self, i: int) -> str:
        """The keyword of record ``i``."""
        return self.field(i, "keyword")  # type: ignore[no-any-return]

    def column(self, name: str) -> list[Any]:
        """One field (a key of :data:`FIELDS`) of every record, in record order,
        in one pass that reads only that field's bytes."""
        if name not in FIELDS:
            raise KeyError(name)
        end = self._records + RECORD_SIZE * self.record_count
        rows = _COLUMNS[name].iter_unpack(self._view[self._records : end])
        if name in self._TEXT_SLOTS:
            return self._text_column(name, rows)
        if name == "vr":
            codes = [code for (code,) in rows]
            for i, code in enumerate(codes):
                if code >= len(VR_CODES):
                    raise ValueError(f"record {i}: vr {code} is not a known VR code")
            return [VR_CODES[code] for code in codes]
        values = [value for (value,) in rows]
        if name in ("retired", "block_offset"):
            for i, value in enumerate(values):
                if value > 1:
                    raise ValueError(f"record {i}: {name} byte {value} is neither 0 nor 1")
            return [value == 1 for value in values]
        return values

    def _text_column(self, name: str, rows: Iterator[tuple[int, ...]]) -> list[Any]:
        strings = bytes(self._strings_view)  # one copy; slicing bytes is fast
        size = len(strings)
        out: list[Any] = []
        append = out.append
        for i, (offset, length) in enumerate(rows):
            if offset + length > size and (length or name != "creator"):
                self._text(i, name, offset, length)  # raises
            try:
                append(strings[offset : offset + length].decode("utf-8"))
            except UnicodeDecodeError:
                append("")
        if name == "sources":
            return [[s for s in text.split(SOURCES_SEPARATOR) if s] for text in out]
        return out

    # -- index --

    def index_entry(self, k: int) -> IndexEntry:
        """Index entry ``k`` (in index order): group, element, creator hash and
        the number of the record it leads to."""
        if not 0 <= k < self.index_count:
            raise IndexError(f"index entry {k} is outside 0..{self.index_count - 1}")
        chash, record, group, element = INDEX_ENTRY.unpack_from(
            self._view, self._index + INDEX_ENTRY_SIZE * k
        )
        self._check_entry(k, record)
        return IndexEntry(group, element, chash, record)

    def _check_entry(self, k: int, record: int) -> None:
        if record >= self.record_count:
            raise ValueError(
                f"index entry {k} names record {record}, but there are {self.record_count}"
            )

    def index(self) -> Iterator[IndexEntry]:
        """Every index entry, in index order."""
        end = self._index + INDEX_ENTRY_SIZE * self.index_count
        for k, (chash, record, group, element) in enumerate(
            INDEX_ENTRY.iter_unpack(self._view[self._index : end])
        ):
            self._check_entry(k, record)
            yield IndexEntry(group, element, chash, record)
