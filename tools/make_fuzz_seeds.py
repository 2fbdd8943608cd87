#!/usr/bin/env python3
"""Write the seed corpus of the fuzz target (fuzz/fuzz_open.cpp) into fuzz/seeds/.

    python tools/make_fuzz_seeds.py [OUTPUT_DIR]

Each seed is framed the way the target reads its input::

    [ .tlex file ][ queries ][ one byte: length of the queries ]

where every query is ``group (u16 LE) | element (u16 LE) | n (u8) | n creator
bytes``. The files come from the package's own writer (taglex.writer, loaded
from the source tree, so the compiled extension is not needed), some of them
patched byte by byte into the shapes that validation or a lookup must deal
with: truncated files, bad headers, misplaced arrays, illegal record bytes,
text references past the strings table, record numbers past the records.

The output is deterministic; rerun the script when the writer or the file
layout changes.
"""

from __future__ import annotations

import importlib
import struct
import sys
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MAX_LEN = 4096  # tools/fuzz.sh runs with -max_len=4096


def load(module: str) -> types.ModuleType:
    """Import a module of python/taglex without running taglex/__init__.py."""
    if "taglex" not in sys.modules:
        pkg = types.ModuleType("taglex")
        pkg.__path__ = [str(ROOT / "python" / "taglex")]
        sys.modules["taglex"] = pkg
    return importlib.import_module(f"taglex.{module}")


fmt = load("_format")


def query(group: int, element: int, creator: bytes = b"") -> bytes:
    return struct.pack("<HHB", group, element, len(creator)) + creator


def frame(file: bytes, queries: list[bytes] = ()) -> bytes:
    trailer = b"".join(queries)
    # The length byte can describe at most 255 bytes of queries.
    while len(trailer) > 255:
        queries = queries[:-1]
        trailer = b"".join(queries)
    return file + trailer + bytes([len(trailer)])


class Patch:
    """Byte-level edits of a file, addressed through its root (file offsets)."""

    def __init__(self, data: bytes) -> None:
        self.data = bytearray(data)
        self.root = len(data) - fmt.ROOT_SIZE

    def field(self, k: int) -> tuple[int, int]:
        """(file offset of the array, count) of root field k (0 index, 1 records, 2 strings)."""
        pos = self.root + 8 * k
        offset, count = fmt.ROOT_PAIR.unpack_from(self.data, pos)
        return pos + offset, count

    def set_field(self, k: int, *, offset: int | None = None, count: int | None = None) -> Patch:
        fmt.set_root_pair(self.data, self.root, k, offset=offset, count=count)
        return self

    def version(self, value: int) -> Patch:
        self.data[: fmt.HEADER_SIZE] = fmt.HEADER.pack(fmt.MAGIC, value)
        return self

    def record(self, r: int, name: str, value: int) -> Patch:
        at, code = fmt.RECORD_FIELDS[name]
        struct.pack_into(code, self.data, self.field(1)[0] + fmt.RECORD_SIZE * r + at, value)
        return self

    def entry(self, k: int, name: str, value: int) -> Patch:
        at, code = fmt.INDEX_FIELDS[name]
        struct.pack_into(code, self.data, self.field(0)[0] + fmt.INDEX_ENTRY_SIZE * k + at, value)
        return self

    def string_byte(self, k: int, value: int) -> Patch:
        self.data[self.field(2)[0] + k] = value
        return self

    def bytes(self) -> bytes:
        return bytes(self.data)


def rec(group, element, keyword, name, vr, **extra):
    r = {"group": group, "element": element, "keyword": keyword, "name": name, "vr": vr}
    r.update(extra)
    return r


EXAMPLE = [
    rec(0x0010, 0x0010, "PatientName", "Patient's Name", "PN", sources=["x", "y"]),
    rec(0x0029, 0x0010, "AcmeFlags", "Acme Flags", "UL", creator="ACME 1.0", block_offset=True),
]

VARIED = [
    rec(0x0008, 0x0005, "SpecificCharacterSet", "Specific Character Set", "CS",
        sources=["PS3.6", "2024a"]),
    rec(0x0008, 0x0016, "SOPClassUID", "SOP Class UID", "UI", description="Identifies the SOP class"),
    rec(0x0010, 0x0010, "PatientName", "Patient's Name", "PN", sources=["x", "y"]),
    rec(0x0018, 0x0010, "ContrastBolusAgent", "Contrast/Bolus Agent", "LO", retired=True),
    rec(0x0028, 0x0010, "Rows", "Rows", "US"),
    rec(0x0029, 0x0010, "AcmeFlags", "Acme Flags", "UL", creator="ACME 1.0", block_offset=True),
    rec(0x0029, 0x0010, "OtherFlags", "Other Flags", "FD", creator="other\tvendor  x",
        block_offset=True, sources=["vendor"]),
    rec(0x0029, 0x0011, "Strasse", "Straßenname", "SH", creator="straße ärzte", block_offset=True),
    rec(0x0043, 0x0001, "Wide", "Ideographic\u3000space", "UT", creator="\u00a0GEMS\u3000IDEN\u2028",
        block_offset=True, description="déjà vu"),
    rec(0x7FE0, 0x0010, "PixelData", "Pixel Data", "OW", sources=["a", "b", "c", "d"]),
    rec(0xFFFE, 0xE000, "Item", "Item", "??"),
    rec(0xFFFF, 0xFFFF, "Last", "Last", "UV", retired=True, description="x" * 40),
]


def creator_queries(records) -> list[bytes]:
    out = []
    for r in records:
        creator = r.get("creator", "")
        out.append(query(r["group"], r["element"], creator.lower().encode()))
    return out


def seeds(writer) -> dict[str, bytes]:
    example = writer.build(EXAMPLE)
    varied = writer.build(VARIED)
    empty = writer.build([])
    assert len(empty) == 56
    ex_queries = [
        query(0x0010, 0x0010),
        query(0x0029, 0x0010, b"  acme   1.0 "),
        query(0x0029, 0x1010, b"ACME 1.0"),
        query(0x0029, 0x0010, b"\t\n"),
        query(0x0010, 0x0011),
    ]
    out: dict[str, bytes] = {}
    add = out.__setitem__

    # Files as the writer makes them.
    add("example", frame(example, ex_queries))
    add("example-no-queries", frame(example))
    add("empty-dictionary-56-bytes", frame(empty, [query(0, 0), query(0xFFFF, 0xFFFF, b"x")]))
    add("varied", frame(varied, creator_queries(VARIED)))
    add("duplicates", frame(
        writer.build([rec(0x0011, 0x0011, f"Dup{i}", f"Dup {i}", "LO") for i in range(3)],
                     allow_duplicates=True),
        [query(0x0011, 0x0011)],
    ))
    add("one-entry", frame(writer.build([EXAMPLE[0]]), [query(0x0010, 0x000F), query(0x0010, 0x0011)]))

    # Headers and lengths.
    add("empty-file", frame(b""))
    add("truncated-31", frame(example[:31]))
    add("header-only-32", frame(example[:32]))
    add("truncated-body", frame(example[:100]))
    add("truncated-by-4", frame(example[:-4]))
    add("length-not-multiple-of-4", frame(example[:-1]))
    add("bad-magic", frame(b"TLEx" + example[4:]))
    add("version-1", frame(Patch(example).version(1).bytes()))
    add("version-3", frame(Patch(example).version(3).bytes()))
    add("zero-root", frame(empty[:32] + bytes(24)))
    # Empty arrays may point anywhere from the end of the previous array up
    # to the root itself, not past it and not back.
    add("empty-strings-past-root", frame(Patch(empty).set_field(2, offset=-12).bytes()))
    add("empty-strings-before-root", frame(Patch(empty).set_field(2, offset=-20).bytes()))
    add("empty-index-at-root", frame(Patch(example).set_field(0, offset=0, count=0).bytes()))
    add("empty-strings-at-end-of-records", frame(
        Patch(example).set_field(2, offset=Patch(example).field(1)[0] + fmt.RECORD_SIZE * 2
                                 - (Patch(example).root + 16), count=0).bytes(), ex_queries))
    add("header-junk", frame(bytes(Patch(example).data[:6]) + bytes(range(1, 27)) + example[32:],
                             ex_queries))

    # Array placement.
    p = Patch(example)
    idx_pos, _ = p.field(0)
    add("records-overlap-index", frame(
        p.set_field(1, offset=(idx_pos + fmt.INDEX_ENTRY_SIZE) - (p.root + 8)).bytes()))
    p = Patch(example)
    records_pos, _ = p.field(1)
    add("records-misaligned", frame(p.set_field(1, offset=records_pos + 2 - (p.root + 8)).bytes()))
    add("strings-into-root", frame(Patch(example).set_field(2, count=Patch(example).field(2)[1] + 2).bytes()))
    add("strings-past-body", frame(Patch(example).set_field(2, count=0x7FFFFFFF).bytes()))
    add("index-out-of-body", frame(Patch(example).set_field(0, offset=-0x10000).bytes()))
    add("records-count-huge", frame(Patch(example).set_field(1, count=0xFFFFFFFF).bytes()))

    # Record bytes that validation checks.
    add("vr-34", frame(Patch(example).record(0, "vr", 34).bytes(), ex_queries))
    add("vr-35", frame(Patch(example).record(1, "vr", 35).bytes()))
    add("retired-2", frame(Patch(example).record(0, "retired", 2).record(0, "vr", 200).bytes()))
    add("block-offset-2", frame(Patch(example).record(1, "element_is_block_offset", 2).bytes()))

    # Faults that only a lookup finds.
    _, strings_count = Patch(example).field(2)
    add("record-index-past-records", frame(Patch(example).entry(0, "record_index", 2).bytes(), ex_queries))
    add("record-index-max", frame(Patch(example).entry(1, "record_index", 0xFFFFFFFF).bytes(), ex_queries))
    add("name-end-past-strings", frame(
        Patch(example).record(0, "name_offset", strings_count - 13).bytes(), ex_queries))
    add("keyword-start-past-strings", frame(
        Patch(example).record(0, "keyword_offset", strings_count + 1).record(0, "keyword_len", 0).bytes(), ex_queries))
    add("description-len-huge", frame(Patch(example).record(0, "description_len", 0xFFFFFFFF).bytes(), ex_queries))
    add("sources-past-strings", frame(Patch(example).record(1, "sources_offset", 0xFFFFFFF0)
                                      .record(1, "sources_len", 0x20).bytes(), ex_queries))
    add("creator-past-strings", frame(Patch(example).record(1, "creator_offset", strings_count).bytes(), ex_queries))
    add("creator-len-0-offset-past", frame(
        Patch(example).record(0, "creator_offset", 0xFFFFFFFF).bytes(), ex_queries))
    add("keyword-not-utf8", frame(Patch(example).string_byte(0, 0xFF).bytes(), ex_queries))
    add("sources-empty-pieces", frame(Patch(example).string_byte(25, ord("|")).bytes(), ex_queries))
    add("index-unsorted", frame(
        Patch(varied).entry(0, "group", 0xFFFF).entry(1, "group", 0xFFFF).bytes(),
        creator_queries(VARIED)))

    for name, data in out.items():
        assert len(data) <= MAX_LEN, (name, len(data))
    return out


def main(argv: list[str]) -> int:
    target = Path(argv[1]) if len(argv) > 1 else ROOT / "fuzz" / "seeds"
    target.mkdir(parents=True, exist_ok=True)
    writer = load("writer")
    made = seeds(writer)
    atomic = load("_atomic")
    for name, data in made.items():
        atomic.write_bytes(target / f"{name}.bin", data)
    print(f"wrote {len(made)} seeds to {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
