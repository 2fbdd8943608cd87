"""Writing ``.tlex`` dictionary files.

A ``.tlex`` file is what :func:`taglex.open` maps and answers lookups from.
This module turns data-element records into such a file::

    from taglex import writer

    writer.write("tags.tlex", [
        {"group": 0x0010, "element": 0x0010, "keyword": "PatientName",
         "name": "Patient's Name", "vr": "PN", "sources": ["x", "y"]},
        {"group": 0x0029, "element": 0x10, "creator": "ACME 1.0",
         "keyword": "AcmeFlags", "name": "Acme Flags", "vr": "UL",
         "block_offset": True},
    ])

Each record is a mapping with the keys of a lookup result (:data:`FIELDS`):

``group``, ``element`` (required)
    Tag numbers, ``int`` in 0..65535 (``bool`` is refused). For a private
    data element in block form (``block_offset`` true) ``element`` is the low
    byte of the element number, 0..255 (the "xx" form).
``keyword``, ``name`` (required)
    ``str``, at most 65,535 bytes in UTF-8.
``vr`` (required)
    One of :data:`VR_CODES`.
``creator`` (default ``""``)
    The private creator, at most 65,535 UTF-8 bytes; ``""`` means none.
    It is stored as given, and indexed under the hash of its canonical form,
    so lookups find it in any spacing and letter case.
``description`` (default ``""``)
    ``str``, at most 4,294,967,295 UTF-8 bytes.
``retired``, ``block_offset`` (default ``False``)
    ``bool``.
``sources`` (default ``[]``)
    A list (or tuple) of non-empty ``str`` labels, none containing ``"|"``.

Any other key is refused. A record that breaks a rule raises
:class:`ValueError` naming the record by its zero-based position in the input
("record 3: ...") and the reason. Two records with the same key (group,
element and hash of the canonical creator) are refused unless
``allow_duplicates=True``; then both are stored and a lookup finds the later
one.

Layout of the output (all integers little-endian): a 32-byte header ("TLEX",
version 2, zeros), then the index (12 bytes per record, sorted by group,
element, creator hash; records with equal keys keep their input order), the
records (44 bytes each, in input order), the strings table (identical texts
are stored once), zero padding to a multiple of 4, and the 24-byte root whose
three array references are relative to their own positions.
"""

from __future__ import annotations

import errno
import os
import secrets
import stat
import struct
from collections.abc import Iterable, Mapping
from typing import Any

from taglex._canonical import creator_hash

__all__ = ["FIELDS", "VR_CODES", "build", "write"]

FIELDS = (
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
VR_CODES = (
    "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO", "LT",
    "OB", "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST",
    "SV", "TM", "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV", "??",
)  # fmt: skip

_VR_INDEX = {code: i for i, code in enumerate(VR_CODES)}
_REQUIRED = ("group", "element", "keyword", "name", "vr")

_MAGIC = b"TLEX"
_VERSION = 2
_HEADER = struct.Struct("<4sH26x")
_INDEX_ENTRY = struct.Struct("<IIHH")  # creator_hash, record_index, group, element
# keyword/name/creator/description offsets, description length, sources
# offset and length; group, element, keyword/name/creator lengths, reserved;
# vr, element_is_block_offset, retired, padding.
_RECORD = struct.Struct("<7I6H3Bx")
_ROOT = struct.Struct("<iIiIiI")  # (offset, count) for index, records, strings

# Size limits of the format, kept as module attributes so that tests can lower
# them instead of building gigabytes.
_MAX_SHORT_TEXT = 0xFFFF  # keyword, name, creator: 16-bit lengths
_MAX_LONG_TEXT = 0xFFFF_FFFF  # description, sources: 32-bit lengths
_MAX_STRINGS = 0xFFFF_FFFF  # the strings table: 32-bit offsets and count
# The root refers back to the index at position 0 with a signed 32-bit offset,
# so the root may lie at most 2**31 bytes into the body.
_MAX_ROOT_POSITION = 2**31


class _Strings:
    """The strings table under construction; identical texts share bytes."""

    def __init__(self) -> None:
        self.parts: list[bytes] = []
        self.size = 0
        self._seen: dict[bytes, int] = {}

    def add(self, data: bytes, where: str) -> int:
        if not data:
            return self.size
        offset = self._seen.get(data)
        if offset is None:
            if self.size + len(data) > _MAX_STRINGS:
                raise ValueError(
                    f"{where}: the strings table would grow to "
                    f"{self.size + len(data)} bytes, more than {_MAX_STRINGS}"
                )
            offset = self.size
            self._seen[data] = offset
            self.parts.append(data)
            self.size += len(data)
        return offset


def _tag_number(rec: Mapping[str, Any], key: str, where: str, limit: int) -> int:
    value = rec[key]
    if type(value) is bool or not isinstance(value, int):
        raise ValueError(f"{where}: {key} must be an int, not {type(value).__name__}")
    if not 0 <= value <= limit:
        raise ValueError(f"{where}: {key} {value} is outside 0..{limit}")
    return int(value)


def _flag(rec: Mapping[str, Any], key: str, where: str) -> bool:
    value = rec.get(key, False)
    if type(value) is not bool:
        raise ValueError(f"{where}: {key} must be a bool, not {type(value).__name__}")
    return value


def _text(value: Any, what: str, where: str, limit: int) -> bytes:
    if not isinstance(value, str):
        raise ValueError(f"{where}: {what} must be a str, not {type(value).__name__}")
    try:
        data = value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise ValueError(f"{where}: {what} cannot be encoded as UTF-8 ({e.reason})") from None
    if len(data) > limit:
        raise ValueError(f"{where}: {what} is {len(data)} bytes in UTF-8, more than {limit}")
    return data


def _sources(rec: Mapping[str, Any], where: str) -> bytes:
    labels = rec.get("sources", [])
    if not isinstance(labels, (list, tuple)):
        raise ValueError(f"{where}: sources must be a list of str, not {type(labels).__name__}")
    for label in labels:
        if not isinstance(label, str):
            raise ValueError(f"{where}: a source label must be a str, not {type(label).__name__}")
        if not label:
            raise ValueError(f"{where}: empty source label")
        if "|" in label:
            raise ValueError(f"{where}: source label {label!r} contains '|'")
    return _text("|".join(labels), "sources", where, _MAX_LONG_TEXT)


def build(records: Iterable[Mapping[str, Any]], *, allow_duplicates: bool = False) -> bytes:
    """Return the bytes of a ``.tlex`` file holding ``records``.

    Records are stored in input order and indexed by (group, element, hash of
    the canonical creator). Raises :class:`ValueError` for the first record
    that breaks a rule, naming it as ``"record N"`` (zero-based).
    """
    strings = _Strings()
    packed: list[bytes] = []
    keys: list[tuple[int, int, int, int]] = []  # (group, element, hash, record)
    first_with_key: dict[tuple[int, int, int], int] = {}

    for i, rec in enumerate(records):
        where = f"record {i}"
        if not isinstance(rec, Mapping):
            raise ValueError(f"{where}: expected a mapping, not {type(rec).__name__}")
        for key in rec:
            if key not in FIELDS:
                raise ValueError(f"{where}: unknown field {key!r}")
        for key in _REQUIRED:
            if key not in rec:
                raise ValueError(f"{where}: missing field {key!r}")

        group = _tag_number(rec, "group", where, 0xFFFF)
        element = _tag_number(rec, "element", where, 0xFFFF)
        block_offset = _flag(rec, "block_offset", where)
        retired = _flag(rec, "retired", where)
        if block_offset and element > 0xFF:
            raise ValueError(
                f"{where}: element 0x{element:04x} is above 0xff, but a block-form "
                f"private element (block_offset true) holds only the low byte"
            )
        vr_code = rec["vr"]
        vr = _VR_INDEX.get(vr_code) if isinstance(vr_code, str) else None
        if vr is None:
            raise ValueError(f"{where}: unknown VR {vr_code!r}")

        keyword = _text(rec["keyword"], "keyword", where, _MAX_SHORT_TEXT)
        name = _text(rec["name"], "name", where, _MAX_SHORT_TEXT)
        creator_text = rec.get("creator", "")
        creator = _text(creator_text, "creator", where, _MAX_SHORT_TEXT)
        description = _text(rec.get("description", ""), "description", where, _MAX_LONG_TEXT)
        sources = _sources(rec, where)

        chash = creator_hash(creator_text) if creator else 0
        key3 = (group, element, chash)
        earlier = first_with_key.setdefault(key3, i)
        if earlier != i and not allow_duplicates:
            raise ValueError(
                f"{where}: duplicate key (group 0x{group:04x}, element 0x{element:04x}, "
                f"creator hash 0x{chash:08x}) already used by record {earlier}; "
                f"pass allow_duplicates=True to keep both"
            )

        keyword_off = strings.add(keyword, where)
        name_off = strings.add(name, where)
        creator_off = strings.add(creator, where) if creator else 0
        description_off = strings.add(description, where)
        sources_off = strings.add(sources, where)
        packed.append(
            _RECORD.pack(
                keyword_off, name_off, creator_off, description_off, len(description),
                sources_off, len(sources),
                group, element, len(keyword), len(name), len(creator), 0,
                vr, block_offset, retired,
            )
        )  # fmt: skip
        keys.append((group, element, chash, i))

    n = len(packed)
    keys.sort()  # the record number keeps equal keys in input order
    records_pos = _INDEX_ENTRY.size * n
    strings_pos = records_pos + _RECORD.size * n
    padding = -(strings_pos + strings.size) % 4
    root_pos = strings_pos + strings.size + padding
    if root_pos > _MAX_ROOT_POSITION:
        raise ValueError(
            f"the dictionary is too large: its root would lie {root_pos} bytes into "
            f"the body, more than {_MAX_ROOT_POSITION}"
        )

    out = bytearray(_HEADER.pack(_MAGIC, _VERSION))
    for group, element, chash, i in keys:
        out += _INDEX_ENTRY.pack(chash, i, group, element)
    out += b"".join(packed)
    out += b"".join(strings.parts)
    out += bytes(padding)
    out += _ROOT.pack(
        0 - root_pos, n,
        records_pos - (root_pos + 8), n,
        strings_pos - (root_pos + 16), strings.size,
    )  # fmt: skip
    return bytes(out)


def _fsync_dir(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # a folder we cannot open for reading: nothing more we can do
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def write(
    path: str | os.PathLike[str],
    records: Iterable[Mapping[str, Any]],
    *,
    allow_duplicates: bool = False,
) -> None:
    """Build a ``.tlex`` file from ``records`` (see :func:`build`) and store it at ``path``.

    The file is written under a temporary name in the target's folder, synced
    to disk and then renamed over ``path``, so the target changes in one step:
    readers see either the old file or the new one, and a process that has
    the old file open or mapped keeps reading the old bytes. An existing
    target keeps its permission bits. If anything fails, the temporary file
    is removed and the old target is left as it was. A symbolic link at
    ``path`` is kept; the file it points to is replaced.
    """
    data = build(records, allow_duplicates=allow_duplicates)
    target = os.path.realpath(os.fspath(path))
    folder, base = os.path.split(target)
    try:
        mode: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = None

    while True:
        tmp = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        break
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    _fsync_dir(folder)
