"""Where a DICOM file ends short, and the file as far as it goes.

``find_cut(f, size, force)`` walks the element headers of a DICOM file
(values are skipped, never read) as pydicom reads them: the preamble, the
file meta information, then the data set in the encoding its transfer syntax
gives, into every sequence and item that the end of the file falls inside.
If the file ends inside an element, or inside a sequence or an item before
its end, it returns a :class:`Cut`: why, and how to make a well-formed file
of what is there (the bytes up to the last whole element, the lengths of
the sequences and items left open set to what they now hold, and their
delimiters). :class:`Repaired` reads that file without copying the original.

It returns None for a file that is whole, and for one whose structure it
cannot follow (a deflated data set, or bytes that are no element): pydicom's
own reading then decides.
"""

from __future__ import annotations

import os
import struct
from typing import BinaryIO, NamedTuple

__all__ = ["Cut", "Repaired", "find_cut", "undefined_length_end"]

ITEM = 0xFFFEE000
ITEM_END = 0xFFFEE00D
SEQUENCE_END = 0xFFFEE0DD
UNDEFINED = 0xFFFFFFFF
PIXEL_DATA = 0x7FE00010
# Explicit VRs whose length takes 4 bytes (after 2 reserved ones).
LONG_VRS = frozenset(
    (b"OB", b"OD", b"OF", b"OL", b"OV", b"OW", b"SQ", b"SV", b"UC", b"UN", b"UR", b"UT", b"UV")
)
IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_BE = "1.2.840.10008.1.2.2"
DEFLATED = ("1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.8.1")


def tag_text(tag: int) -> str:
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


class Cut(NamedTuple):
    """A file that ends short: ``reason`` says where; the well-formed file
    of what is there is its first ``keep`` bytes, with ``patches`` (file
    offset, bytes) written over them, followed by ``tail``."""

    reason: str
    keep: int
    patches: tuple[tuple[int, bytes], ...]
    tail: bytes


class _Unsure(Exception):
    """The bytes are not elements as this walk knows them."""


class _Short(Exception):
    """The file ends inside what is being walked; the containers around it
    add their patches and delimiters on the way out."""

    def __init__(self, reason: str | None, keep: int) -> None:
        self.reason = reason
        self.keep = keep
        self.patches: list[tuple[int, bytes]] = []
        self.tail = b""


class _Walk:
    def __init__(self, f: BinaryIO, size: int) -> None:
        self.f = f
        self.size = size

    def read(self, pos: int, n: int) -> bytes:
        self.f.seek(pos)
        return self.f.read(n)

    def u32(self, little: bool, value: int) -> bytes:
        return struct.pack("<I" if little else ">I", value)

    def header(self, pos: int, implicit: bool, little: bool) -> tuple[int, bytes | None, int, int, int]:
        """(tag, VR or None, length, position of the length field, value
        position) of the element at ``pos``; _Short if the file ends in it."""
        data = self.read(pos, 12)
        e = "<" if little else ">"
        if len(data) < 4:
            raise _Short(f"an element's header at byte {pos} holds {len(data)} of its 8 bytes", pos)
        group, element = struct.unpack(e + "HH", data[:4])
        tag = group << 16 | element
        vr = None if implicit or group == 0xFFFE else data[4:6]
        if vr is not None and len(vr) == 2 and not (b"AA" <= vr <= b"ZZ"):
            vr = None  # not a VR: implicit, as pydicom then reads it
        need = 12 if vr in LONG_VRS else 8
        if len(data) < need:
            raise _Short(f"the header of {tag_text(tag)} holds {len(data)} of its {need} bytes", pos)
        if vr is None:
            return tag, None, struct.unpack(e + "I", data[4:8])[0], pos + 4, pos + 8
        if need == 12:
            return tag, vr, struct.unpack(e + "I", data[8:12])[0], pos + 8, pos + 12
        return tag, vr, struct.unpack(e + "H", data[6:8])[0], pos + 6, pos + 8

    def implicit_at(self, pos: int, implicit: bool, in_item: bool) -> bool:
        """The encoding pydicom reads a data set at ``pos`` in: what its
        first element looks like, except that an item of implicit data stays
        implicit."""
        if in_item and implicit:
            return True
        vr = self.read(pos + 4, 2)
        if len(vr) < 2:
            return implicit
        return not (0x40 < vr[0] < 0x5B and 0x40 < vr[1] < 0x5B)

    def is_sequence(self, tag: int, vr: bytes | None, value: int, implicit: bool) -> bool:
        """Whether an element of defined length holds items."""
        if vr == b"SQ":
            return True
        if vr is None and not tag >> 16 & 1:
            from pydicom.datadict import dictionary_VR

            try:
                return bool(dictionary_VR(tag) == "SQ")
            except KeyError:
                pass
        if vr is None or vr == b"UN":
            first = self.read(value, 4)
            return len(first) == 4 and first in (b"\xfe\xff\x00\xe0", b"\xff\xfe\xe0\x00")
        return False

    def holds_items(self, tag: int, vr: bytes | None) -> bool:
        """Whether an element of undefined length is a sequence (else its
        value is a list of fragments, such as encapsulated pixel data)."""
        if vr is not None:
            return vr in (b"SQ", b"UN")
        if tag == PIXEL_DATA:
            return False
        if not tag >> 16 & 1:
            from pydicom.datadict import dictionary_VR

            try:
                return bool(dictionary_VR(tag) == "SQ")
            except KeyError:
                pass
        return True

    def dataset(
        self, pos: int, end: int | None, implicit: bool, little: bool, in_item: bool,
        group: int | None = None,
    ) -> tuple[int, bool]:  # fmt: skip
        """Walk the elements from ``pos`` to ``end`` (a defined-length item),
        to an item delimiter (an undefined-length item) or to the end of the
        file (the top level; with ``group``, while the elements are of that
        group). Returns the position after it, and the encoding read."""
        implicit = self.implicit_at(pos, implicit, in_item)
        while True:
            if pos == end:
                return pos, implicit
            if pos == self.size:
                if not in_item:
                    return pos, implicit
                raise _Short(None, pos)
            tag, vr, length, length_at, value = self.header(pos, implicit, little)
            if group is not None and tag >> 16 != group:
                return pos, implicit
            if tag == ITEM_END and in_item and end is None:
                return value, implicit
            if tag >> 16 == 0xFFFE:
                raise _Unsure
            if length == UNDEFINED:
                pos = self.undefined(pos, tag, vr, value, implicit, little)
                continue
            stop = value + length
            if end is not None and stop > end:
                raise _Unsure  # an element across the end of its item
            if stop <= self.size:
                pos = stop
                continue
            holds = f"{tag_text(tag)} holds {self.size - value} of its {length} bytes"
            if not self.is_sequence(tag, vr, value, implicit):
                raise _Short(holds, pos)
            try:
                self.items(tag, value, stop, implicit, little)
            except _Short as short:
                short.patches.append(
                    (length_at, self.u32(little, short.keep + len(short.tail) - value))
                )
                short.reason = short.reason or holds
                raise
            raise _Unsure  # a sequence that ends before the file while its length does not

    def undefined(
        self, pos: int, tag: int, vr: bytes | None, value: int, implicit: bool, little: bool
    ) -> int:
        """Walk an element of undefined length; the position after it."""
        if not self.holds_items(tag, vr):
            try:
                return undefined_length_end(self.f, value, little, self.size)
            except _Short:
                raise _Short(f"{tag_text(tag)}, of undefined length, ends before its end", pos) from None
        try:
            return self.items(tag, value, None, implicit, little)
        except _Short as short:
            short.tail += self.tag_bytes(SEQUENCE_END, little) + bytes(4)
            short.reason = short.reason or (
                f"{tag_text(tag)}, a sequence of undefined length, ends before its delimiter"
            )
            raise

    def tag_bytes(self, tag: int, little: bool) -> bytes:
        return struct.pack("<HH" if little else ">HH", tag >> 16, tag & 0xFFFF)

    def items(self, tag: int, pos: int, end: int | None, implicit: bool, little: bool) -> int:
        """Walk the items of sequence ``tag`` from ``pos`` to ``end`` (None:
        to its delimiter); the position after them."""
        number = 0
        while True:
            if pos == end:
                return pos
            if pos == self.size:
                raise _Short(None, pos)
            data = self.read(pos, 8)
            if len(data) < 8:
                raise _Short(
                    f"the header of item {number + 1} of {tag_text(tag)} holds {len(data)} of its 8 bytes",
                    pos,
                )
            group, element, length = struct.unpack("<HHI" if little else ">HHI", data)
            item_tag = group << 16 | element
            if item_tag == SEQUENCE_END and end is None:
                return pos + 8
            if item_tag != ITEM:
                raise _Unsure
            number += 1
            start = pos + 8
            what = f"item {number} of {tag_text(tag)}"
            if length == UNDEFINED:
                try:
                    pos, _ = self.dataset(start, None, implicit, little, True)
                except _Short as short:
                    short.tail += self.tag_bytes(ITEM_END, little) + bytes(4)
                    short.reason = short.reason or f"{what}, of undefined length, ends before its delimiter"
                    raise
                continue
            stop = start + length
            if end is not None and stop > end:
                raise _Unsure
            if stop <= self.size:
                pos = stop
                continue
            try:
                self.dataset(start, stop, implicit, little, True)
            except _Short as short:
                short.patches.append((pos + 4, self.u32(little, short.keep + len(short.tail) - start)))
                short.reason = short.reason or f"{what} holds {self.size - start} of its {length} bytes"
                raise
            raise _Unsure


def undefined_length_end(f: BinaryIO, pos: int, little: bool, size: int) -> int:
    """The position after the sequence delimiter that ends the fragments of
    an element of undefined length whose value starts at ``pos``."""
    walk = _Walk(f, size)
    while True:
        data = walk.read(pos, 8)
        if len(data) < 8:
            raise _Short(None, pos)
        group, element, length = struct.unpack("<HHI" if little else ">HHI", data)
        tag = group << 16 | element
        if tag == SEQUENCE_END:
            return pos + 8
        if tag != ITEM or length == UNDEFINED:
            raise _Unsure
        pos += 8 + length
        if pos > size:
            raise _Short(None, pos)


def _encoding(walk: _Walk, meta: dict[int, bytes], pos: int) -> tuple[bool, bool] | None:
    """(implicit, little) of the data set at ``pos``, as pydicom chooses it
    from the transfer syntax; None for a deflated one."""
    syntax = meta.get(0x00020010)
    if syntax is None:
        head = walk.read(pos, 6)
        if len(head) < 6:
            return True, True
        from pydicom.values import converters

        vr = head[4:6].decode("latin-1")
        if vr in converters:
            return False, struct.unpack("<H", head[:2])[0] < 1024
        return True, True
    uid = syntax.decode("latin-1").rstrip("\0 ")
    if uid in DEFLATED:
        return None
    if uid == IMPLICIT_LE:
        return True, True
    return False, uid != EXPLICIT_BE


def find_cut(f: BinaryIO, size: int, force: bool) -> Cut | None:
    """How the DICOM file ``f`` (of ``size`` bytes) ends short, or None if it
    is whole or cannot be followed (see the module's description)."""
    walk = _Walk(f, size)
    start = 132 if walk.read(128, 4) == b"DICM" else None
    if start is None:
        if not force:
            return None  # not DICOM: pydicom says so
        start = 0
    try:
        try:
            end, implicit = walk.dataset(start, None, False, True, False, group=0x0002)
        except _Short as short:
            short.reason = short.reason or "the file meta information ends before its end"
            raise
        meta: dict[int, bytes] = {}
        pos = start
        while pos < end:
            tag, _, length, _, value = walk.header(pos, implicit, True)
            if tag in (0x00020000, 0x00020010):
                meta[tag] = walk.read(value, min(length, 64))
            pos = value + length
        if start == 132 and end == size:
            # No data set: the file must at least hold its file meta
            # information, as long as its group length says.
            group_length = meta.get(0x00020000)
            if end == start:
                raise _Short("the file ends after its 'DICM' prefix", end)
            if group_length is not None and len(group_length) == 4:
                whole = start + 12 + struct.unpack("<I", group_length)[0]
                if end < whole:
                    raise _Short(
                        f"the file meta information holds {end - start - 12} of its "
                        f"{whole - start - 12} bytes",
                        end,
                    )
        encoding = _encoding(walk, meta, end)
        if encoding is None:
            return None
        walk.dataset(end, None, encoding[0], encoding[1], False)
    except (_Unsure, RecursionError):  # RecursionError: sequences nested past counting
        return None
    except _Short as short:
        return Cut(short.reason or "the file ends short", short.keep, tuple(short.patches), short.tail)
    return None


class Repaired:
    """The well-formed file of a :class:`Cut`, read from the original file
    ``f`` (a binary file-like object with read, seek and tell)."""

    def __init__(self, f: BinaryIO, cut: Cut) -> None:
        self._f = f
        self._cut = cut
        self._pos = 0
        self._size = cut.keep + len(cut.tail)

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._pos, os.SEEK_END: self._size}[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def read(self, n: int = -1) -> bytes:
        keep = self._cut.keep
        stop = self._size if n is None or n < 0 else min(self._size, self._pos + n)
        start = self._pos
        if start >= stop:
            return b""
        out = bytearray()
        if start < keep:
            self._f.seek(start)
            out += self._f.read(min(stop, keep) - start)
            for at, data in self._cut.patches:
                lo, hi = max(at, start), min(at + len(data), start + len(out))
                if lo < hi:
                    out[lo - start : hi - start] = data[lo - at : hi - at]
        if stop > keep:
            out += self._cut.tail[max(start, keep) - keep : stop - keep]
        self._pos = start + len(out)
        return bytes(out)

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True
