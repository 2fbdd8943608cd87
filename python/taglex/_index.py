"""The keyword index of one ``.tlex`` file: keyword to tag, and the private
elements of each creator.

``_taglex`` answers tags only; the reverse questions need every record. For
the bundled dictionary a prebuilt index ships beside it (``dicom.keywords``,
written by ``tools/gen_keyword_index.py``); it is used only when the size and
CRC-32 it records match the file, so a stale index is never trusted. Any
other file gets its index built on first use from the records themselves.

Prebuilt index layout (UTF-8 text, lines separated by "\\n")::

    taglex keyword index 1
    tlex <size> <crc32 hex> <sha256 hex>
    <standard keywords, joined with TAB>
    <their tags: 4 bytes each, little-endian, written in hex>
    <repeating masks: mask TAB keyword TAB mask TAB keyword ..., a mask
     written as 8 hex digits with x for any digit, e.g. 60xx3000>
    <one line per private record: canonical creator TAB creator as stored TAB
     keyword TAB group TAB element TAB block flag (1 or 0), all numbers decimal>
"""

from __future__ import annotations

import os
import sys
import zlib

# re, typing and collections.abc stay unimported on the way to the first
# reverse lookup: together they would cost more than loading the index.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import re
    from collections.abc import Iterable, Iterator
    from typing import TypeAlias

__all__ = ["KeywordIndex", "PrivateRow", "MAGIC", "fingerprint", "load", "build"]

MAGIC = "taglex keyword index 2"

# (canonical creator, creator as stored, keyword, group, element, block_offset)
PrivateRow: TypeAlias = "tuple[str, str, str, int, int, bool]"

# Rows of a file in index order: (group, element, creator, keyword, block_offset,
# description).
Row: TypeAlias = "tuple[int, int, str, str, bool, str]"

FIRST_BLOCK = 0x10


class KeywordIndex:
    """Keyword to tag for standard elements; every private element by creator.

    ``private`` is parsed only when first asked for (the prebuilt index keeps
    its private part as text until then).
    """

    __slots__ = ("standard", "repeaters", "_private", "_private_text", "_by_creator")

    def __init__(
        self,
        standard: dict[str, int],
        private: list[PrivateRow] | None,
        text: bytes = b"",
        repeaters: dict[str, str] | None = None,
    ):
        self.standard = standard
        # Repeating masks such as "60xx3000", with their keyword: the entries
        # whose description says "repeating (60xx,3000)".
        self.repeaters: dict[str, str] = repeaters or {}
        self._private = private
        self._private_text = text
        self._by_creator: dict[str, list[PrivateRow]] | None = None

    @property
    def private(self) -> list[PrivateRow]:
        if self._private is None:
            rows: list[PrivateRow] = []
            for line in self._private_text.decode("utf-8").split("\n"):
                if not line:
                    continue
                canon, spelling, keyword, group, element, block = line.split("\t")
                rows.append((canon, spelling, keyword, int(group), int(element), block == "1"))
            self._private = rows
            self._private_text = b""
        return self._private

    @property
    def by_creator(self) -> dict[str, list[PrivateRow]]:
        """Private rows grouped by canonical creator, in index order."""
        if self._by_creator is None:
            groups: dict[str, list[PrivateRow]] = {}
            for row in self.private:
                groups.setdefault(row[0], []).append(row)
            self._by_creator = groups
        return self._by_creator


def private_tag(group: int, element: int, block: bool) -> int:
    """The full tag a private row answers with: block form in the first block."""
    if block:
        return group << 16 | FIRST_BLOCK << 8 | element
    return group << 16 | element


def from_rows(rows: Iterable[Row]) -> KeywordIndex:
    """Build the index of a file from its rows in index order."""
    from taglex._canonical import canonicalize_creator

    standard: dict[str, int] = {}
    private: list[PrivateRow] = []
    repeaters: dict[str, str] = {}
    canon_of: dict[str, str] = {}
    for group, element, creator, keyword, block, description in rows:
        if "repeating (" in description:
            for mask, word in repeating_masks(description, keyword):
                repeaters.setdefault(mask, word)
        if creator:
            canon = canon_of.get(creator)
            if canon is None:
                canon = canon_of[creator] = canonicalize_creator(creator)
            private.append((canon, creator, keyword, group, element, block))
        elif keyword and keyword not in standard:
            standard[keyword] = private_tag(group, element, block)
    return KeywordIndex(standard, private, repeaters=repeaters)


_MASK: re.Pattern[str] | None = None


def repeating_masks(description: str, keyword: str) -> Iterator[tuple[str, str]]:
    """The repeating masks a description names, each with its keyword: the
    entry's own ("repeating (60xx,3000)") and those of merged entries ("also
    repeating (0028,04x0) RowsForNthOrderCoefficients")."""
    global _MASK
    if _MASK is None:
        import re

        _MASK = re.compile(r"\(([0-9A-Fa-fx]{4}),([0-9A-Fa-fx]{4})\)(?: (\w*))?")
    for part in description.split("; "):
        if part.startswith("repeating ("):
            m = _MASK.match(part, len("repeating "))
            if m:
                yield m[1] + m[2], keyword
        elif part.startswith("also repeating ("):
            m = _MASK.match(part, len("also repeating "))
            if m:
                yield m[1] + m[2], m[3] or ""


def file_rows(path: str) -> list[Row]:
    """The rows of a ``.tlex`` file in index order, read by ``taglex._format``.
    Of entries with equal keys only the last counts, as for a lookup."""
    from taglex import _format

    with _format.Reader.open(path) as reader:
        creators = reader.column("creator")
        keywords = reader.column("keyword")
        blocks = reader.column("block_offset")
        descriptions = reader.column("description")
        rows: list[Row] = []
        last: tuple[int, int, int] | None = None
        for group, element, chash, record in reader.index():
            if (group, element, chash) == last:
                rows.pop()
            last = (group, element, chash)
            rows.append(
                (
                    group,
                    element,
                    creators[record],
                    keywords[record],
                    blocks[record],
                    descriptions[record],
                )
            )
        return rows


# The fingerprint reads this much of each end of a file: the header, the
# first index entries, the last strings and the root, which between them
# move whenever entries are added, removed or reworded. A full check against
# the SHA-256 the index also records is "tools/gen_keyword_index.py --check".
_END = 1 << 16


def fingerprint(data: bytes | memoryview) -> str:
    """Size and CRC-32 of both ends of a file's bytes, as the prebuilt index
    records them (reading the whole file would cost more than the index)."""
    size = len(data)
    ends = data if size <= 2 * _END else memoryview(data)
    crc = zlib.crc32(ends[:_END]) if size > 2 * _END else zlib.crc32(ends)
    if size > 2 * _END:
        crc = zlib.crc32(ends[size - _END :], crc)
    return f"{size} {crc:08x}"


def dump(index: KeywordIndex, data: bytes) -> str:
    """The text of a prebuilt index for the file whose bytes are ``data``."""
    import hashlib

    for keyword in index.standard:
        _check_text(keyword)
    lines = [
        MAGIC,
        f"tlex {fingerprint(data)} {hashlib.sha256(data).hexdigest()}",
        "\t".join(index.standard),
        _tags_to_hex(index.standard.values()),
        "\t".join(f"{mask}\t{word}" for mask, word in index.repeaters.items()),
    ]
    for canon, spelling, keyword, group, element, block in index.private:
        for text in (canon, spelling, keyword):
            _check_text(text)
        lines.append(f"{canon}\t{spelling}\t{keyword}\t{group}\t{element}\t{int(block)}")
    return "\n".join(lines) + "\n"


def _tags_to_hex(tags: Iterable[int]) -> str:
    return b"".join(t.to_bytes(4, "little") for t in tags).hex()


def _tags_from_hex(text: str) -> list[int]:
    packed = bytes.fromhex(text)
    if sys.byteorder == "little" and len(packed) % 4 == 0:
        view = memoryview(packed).cast("I")  # no array module to import
        if view.itemsize == 4:
            numbers: list[int] = view.tolist()
            return numbers
    return [int.from_bytes(packed[i : i + 4], "little") for i in range(0, len(packed) - 3, 4)]


def _check_text(text: str) -> None:
    if "\t" in text or "\n" in text:
        raise ValueError(f"cannot index {text!r}: it holds a tab or a line break")


def parse(data: bytes | str, data_fingerprint: str | None) -> KeywordIndex | None:
    """Read a prebuilt index; None if it is not one, or is for other bytes
    (``data_fingerprint`` None skips that check). The private part is kept
    undecoded until first asked for."""
    raw = data.encode() if isinstance(data, str) else data
    ends = []
    at = -1
    for _ in range(5):
        at = raw.find(b"\n", at + 1)
        if at < 0:
            return None
        ends.append(at)
    head, tlex, keywords, tags, masks = raw[: ends[4]].decode("utf-8").split("\n")
    if head != MAGIC:
        return None
    fields = tlex.split(" ")
    if len(fields) != 4 or fields[0] != "tlex":
        return None
    if data_fingerprint is not None and " ".join(fields[1:3]) != data_fingerprint:
        return None
    names = keywords.split("\t") if keywords else []
    try:
        numbers = _tags_from_hex(tags)
    except ValueError:
        return None
    if len(names) != len(numbers):
        return None
    pairs = masks.split("\t") if masks else []
    if len(pairs) % 2:
        return None
    repeaters = dict(zip(pairs[::2], pairs[1::2]))
    return KeywordIndex(dict(zip(names, numbers)), None, raw[ends[4] + 1 :], repeaters)


def prebuilt_path(tlex_path: str) -> str:
    root, _ = os.path.splitext(tlex_path)
    return root + ".keywords"


def load(path: str) -> KeywordIndex:
    """The keyword index of the file at ``path``: the prebuilt one beside it
    when it matches the file, else one built from the file's records."""
    prebuilt = prebuilt_path(path)
    try:
        with open(prebuilt, "rb") as f:
            data = f.read()
        index = parse(data, _file_fingerprint(path))
    except (OSError, ValueError):  # ValueError covers UnicodeDecodeError
        index = None
    if index is not None:
        return index
    return from_rows(file_rows(path))


def _file_fingerprint(path: str) -> str:
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size <= 2 * _END:
            return fingerprint(f.read())
        crc = zlib.crc32(f.read(_END))
        f.seek(size - _END)
        return f"{size} {zlib.crc32(f.read(_END), crc):08x}"


def build(path: str) -> KeywordIndex:
    """The keyword index of a file, always built from its records."""
    return from_rows(file_rows(path))
