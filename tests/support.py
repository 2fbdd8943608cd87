"""Helpers shared by the tests: the reference records, byte patching, resource counts."""

from __future__ import annotations

import json
import os
import struct
from typing import Any

from taglex import _format

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

HEADER_SIZE = _format.HEADER_SIZE
INDEX_ENTRY_SIZE = _format.INDEX_ENTRY_SIZE
RECORD_SIZE = _format.RECORD_SIZE
ROOT_SIZE = _format.ROOT_SIZE
RECORD_FIELDS = _format.RECORD_FIELDS
INDEX_FIELDS = _format.INDEX_FIELDS


class Layout:
    """Where the arrays of a file lie, read from its root (file offsets).

    It checks nothing, so that tests can read
    and patch files that are broken on purpose.
    """

    def __init__(self, data: bytes) -> None:
        self.data = bytearray(data)
        self.root = len(data) - ROOT_SIZE
        fields = _format.ROOT.unpack_from(data, self.root)
        (self.index, self.index_count), (self.records, self.records_count), (
            self.strings,
            self.strings_count,
        ) = ((self.root + 8 * k + fields[2 * k], fields[2 * k + 1]) for k in range(3))

    def set_root(self, k: int, *, offset: int | None = None, count: int | None = None) -> Layout:
        """Change the (relative offset, count) pair k of the root (0 index,
        1 records, 2 strings)."""
        _format.set_root_pair(self.data, self.root, k, offset=offset, count=count)
        return self

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


def run_cli(capsys: Any, *argv: str) -> tuple[int, str, str]:
    """Run the command line in this process: (exit status, stdout, stderr)."""
    from taglex import cli

    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def jsonl(*records: dict[str, Any]) -> str:
    """Records as JSON Lines, the input of taglex build."""
    return "".join(json.dumps(r) + "\n" for r in records)
