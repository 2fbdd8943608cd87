"""Helpers shared by the tests: the reference records, byte patching, resource counts."""

from __future__ import annotations

import os
import struct

# The two data elements of the reference file: a standard tag and a private
# tag in block form.
PATIENT_NAME = {
    "group": 0x0010,
    "element": 0x0010,
    "creator": "",
    "keyword": "PatientName",
    "name": "Patient's Name",
    "vr": "PN",
    "description": "",
    "retired": False,
    "block_offset": False,
    "sources": ["x", "y"],
}
ACME_FLAGS = {
    "group": 0x0029,
    "element": 0x0010,
    "creator": "ACME 1.0",
    "keyword": "AcmeFlags",
    "name": "Acme Flags",
    "vr": "UL",
    "description": "",
    "retired": False,
    "block_offset": True,
    "sources": [],
}
EXAMPLE = [PATIENT_NAME, ACME_FLAGS]

HEADER_SIZE = 32
INDEX_ENTRY_SIZE = 12
RECORD_SIZE = 44

# Byte offsets of the fields of a record, with their struct formats.
RECORD_FIELDS = {
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
INDEX_FIELDS = {
    "creator_hash": (0, "<I"),
    "record_index": (4, "<I"),
    "group": (8, "<H"),
    "element": (10, "<H"),
}


class Layout:
    """Where the arrays of a file lie, read from its root (file offsets)."""

    def __init__(self, data: bytes) -> None:
        self.data = bytearray(data)
        root = len(data) - 24
        fields = []
        for k in range(3):
            pos = root + 8 * k
            offset, count = struct.unpack_from("<iI", data, pos)
            fields.append((pos + offset, count))
        (self.index, self.index_count), (self.records, self.records_count), (
            self.strings,
            self.strings_count,
        ) = fields

    def _field(self, base: int, table: dict, name: str) -> tuple[int, str]:
        off, fmt = table[name]
        return base + off, fmt

    def record(self, r: int, name: str) -> int:
        pos, fmt = self._field(self.records + RECORD_SIZE * r, RECORD_FIELDS, name)
        return struct.unpack_from(fmt, self.data, pos)[0]

    def set_record(self, r: int, **values: int) -> Layout:
        for name, value in values.items():
            pos, fmt = self._field(self.records + RECORD_SIZE * r, RECORD_FIELDS, name)
            struct.pack_into(fmt, self.data, pos, value)
        return self

    def entry(self, k: int, name: str) -> int:
        pos, fmt = self._field(self.index + INDEX_ENTRY_SIZE * k, INDEX_FIELDS, name)
        return struct.unpack_from(fmt, self.data, pos)[0]

    def set_entry(self, k: int, **values: int) -> Layout:
        for name, value in values.items():
            pos, fmt = self._field(self.index + INDEX_ENTRY_SIZE * k, INDEX_FIELDS, name)
            struct.pack_into(fmt, self.data, pos, value)
        return self

    def text(self, r: int, field: str) -> bytes:
        off = self.record(r, f"{field}_offset")
        n = self.record(r, f"{field}_len")
        return bytes(self.data[self.strings + off : self.strings + off + n])

    def set_string_byte(self, k: int, value: int) -> Layout:
        self.data[self.strings + k] = value
        return self

    def bytes(self) -> bytes:
        return bytes(self.data)


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def maps_naming(path: str) -> int:
    with open("/proc/self/maps", errors="surrogateescape") as f:
        return sum(1 for line in f if line.rstrip("\n").endswith(path))


def record(**fields) -> dict:
    """A complete lookup result: the given fields over the defaults."""
    base = {
        "group": 0,
        "element": 0,
        "creator": "",
        "keyword": "",
        "name": "",
        "vr": "UN",
        "description": "",
        "retired": False,
        "block_offset": False,
        "sources": [],
    }
    base.update(fields)
    return base
