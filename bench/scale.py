"""Synthetic dictionaries of any size for the scale benchmarks.

``records(n)`` yields n records for :func:`taglex.writer.build`. ``build_fast(n)``
returns the bytes that ``writer.build(records(n))`` returns, computed with
numpy arrays instead of one Python dict per record: the pure-Python writer
needs minutes and gigabytes for 10^7 records, this takes seconds. It is a
benchmark-only shortcut that knows how the writer lays out its output (index
sorted by key, records in input order, identical texts stored once in order of
first use, an empty text at the current end of the table); the scale
workload (``bench/workloads_scale.py``) checks that both give identical bytes
on the sizes it builds with the writer.

Record i (0 <= i < n) of a file of n records:

- tag: t = i * (2**32 // n), group = t >> 16, element = t & 0xFFFF, so the
  keys are spread over the whole tag space and the records come in key order;
- every 8th record (i % 8 == 7) is private, with one of four ASCII creators
  ("BENCH CREATOR 0" .. "BENCH CREATOR 3"), stored as given;
- keyword "K" + 8 hex digits of i (unique), name one of 997 shared texts,
  VR the (i % 34)-th code, retired when i % 5 == 0, no description, sources
  [], ["DICOM"] or ["DICOM", "Bench"] in turn.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from taglex import _format
from taglex._core import creator_hash
from taglex._format import VR_CODES

NAMES = 997
CREATORS = tuple(f"BENCH CREATOR {k}" for k in range(4))
SOURCES = ((), ("DICOM",), ("DICOM", "Bench"))
PRIVATE_EVERY = 8


def step(n: int) -> int:
    return (1 << 32) // n


def tag_of(n: int, i: int) -> tuple[int, int]:
    t = i * step(n)
    return t >> 16, t & 0xFFFF


def creator_of(i: int) -> str:
    return CREATORS[(i // PRIVATE_EVERY) % len(CREATORS)] if i % PRIVATE_EVERY == PRIVATE_EVERY - 1 else ""


def record(n: int, i: int) -> dict[str, Any]:
    group, element = tag_of(n, i)
    return {
        "group": group,
        "element": element,
        "creator": creator_of(i),
        "keyword": f"K{i:08X}",
        "name": f"Bench Name {i % NAMES}",
        "vr": VR_CODES[i % 34],
        "description": "",
        "retired": i % 5 == 0,
        "block_offset": False,
        "sources": list(SOURCES[i % len(SOURCES)]),
    }


def records(n: int) -> Iterator[dict[str, Any]]:
    return (record(n, i) for i in range(n))


def standard_index(n: int, near: int) -> int:
    """A record without creator at or just after `near`."""
    i = near
    while creator_of(i):
        i += 1
    return i


def private_index(n: int, near: int) -> int:
    i = near
    while not creator_of(i):
        i += 1
    return i


_INDEX = np.dtype([("hash", "<u4"), ("record", "<u4"), ("group", "<u2"), ("element", "<u2")])
_RECORD = np.dtype(
    {
        "names": [
            "keyword_off", "name_off", "creator_off", "description_off", "description_len",
            "sources_off", "sources_len", "group", "element", "keyword_len", "name_len",
            "creator_len", "reserved38", "vr", "block_offset", "retired",
        ],
        "formats": ["<u4"] * 7 + ["<u2"] * 6 + ["u1"] * 3,
        "offsets": [offset for offset, _ in _format.RECORD_FIELDS.values()],
        "itemsize": _format.RECORD_SIZE,
    }
)  # fmt: skip
_HEADER = _format.HEADER.pack(_format.MAGIC, _format.VERSION)
_KEYWORD_LEN = 9


def build_fast(n: int) -> bytes:
    """The bytes of ``taglex.writer.build(records(n))``, built with numpy."""
    # The first m records use every shared text (names, creators, sources)
    # for the first time; they are laid out one by one exactly as the writer
    # does. After them each record adds only its own keyword.
    m = min(n, 1000)
    seen: dict[bytes, int] = {}
    parts: list[bytes] = []
    size = 0

    def add(data: bytes) -> int:
        nonlocal size
        if not data:
            return size
        offset = seen.get(data)
        if offset is None:
            offset = seen[data] = size
            parts.append(data)
            size += len(data)
        return offset

    rec = np.zeros(n, dtype=_RECORD)
    head = []
    for i in range(m):
        r = record(n, i)
        kw = add(r["keyword"].encode())
        name = add(r["name"].encode())
        creator = r["creator"].encode()
        cr = add(creator) if creator else 0
        desc = add(b"")
        src = "|".join(r["sources"]).encode()
        so = add(src)
        head.append((kw, name, cr, desc, so, len(src), len(r["name"]), len(creator)))
    head_arr = np.array(head, dtype=np.uint32).reshape(-1, 8)
    base = size

    i = np.arange(n, dtype=np.int64)
    tags = i * step(n)
    rec["group"] = tags >> 16
    rec["element"] = tags & 0xFFFF
    rec["keyword_len"] = _KEYWORD_LEN
    rec["vr"] = i % 34
    rec["retired"] = i % 5 == 0
    name_idx = i % NAMES
    src_idx = i % len(SOURCES)
    is_private = i % PRIVATE_EVERY == PRIVATE_EVERY - 1
    creator_idx = (i // PRIVATE_EVERY) % len(CREATORS)

    name_bytes = [f"Bench Name {k}".encode() for k in range(NAMES)]
    creator_bytes = [c.encode() for c in CREATORS]
    src_bytes = ["|".join(s).encode() for s in SOURCES]
    name_len = np.array([len(b) for b in name_bytes], dtype=np.uint16)
    rec["name_len"] = name_len[name_idx]
    rec["creator_len"] = np.where(is_private, np.array([len(b) for b in creator_bytes])[creator_idx], 0)
    rec["sources_len"] = np.array([len(b) for b in src_bytes], dtype=np.uint32)[src_idx]

    # Records before m: as laid out above.
    for col, field in enumerate(("keyword_off", "name_off", "creator_off", "description_off", "sources_off")):
        rec[field][:m] = head_arr[:, col]
    if n > m:
        name_off = np.array([seen[b] for b in name_bytes], dtype=np.uint32)
        creator_off = np.array([seen[b] for b in creator_bytes], dtype=np.uint32)
        src_off = np.array([seen.get(b, 0) for b in src_bytes], dtype=np.uint32)
        j = i[m:]
        kw_off = base + _KEYWORD_LEN * (j - m)
        after = kw_off + _KEYWORD_LEN  # the end of the table after the keyword
        rec["keyword_off"][m:] = kw_off
        rec["name_off"][m:] = name_off[name_idx[m:]]
        rec["creator_off"][m:] = np.where(is_private[m:], creator_off[creator_idx[m:]], 0)
        rec["description_off"][m:] = after
        rec["sources_off"][m:] = np.where(src_idx[m:] == 0, after, src_off[src_idx[m:]])
        # Keywords "K%08X" of records m..n-1, one after another.
        digits = np.frombuffer(b"0123456789ABCDEF", dtype=np.uint8)
        kw = np.empty((n - m, _KEYWORD_LEN), dtype=np.uint8)
        kw[:, 0] = ord("K")
        for d in range(8):
            kw[:, 1 + d] = digits[(j >> (4 * (7 - d))) & 0xF]
        parts.append(kw.tobytes())
        size += kw.size

    hashes = np.array([creator_hash(c) for c in CREATORS], dtype=np.uint32)
    index = np.zeros(n, dtype=_INDEX)
    index["hash"] = np.where(is_private, hashes[creator_idx], 0)
    index["record"] = i
    index["group"] = rec["group"]
    index["element"] = rec["element"]
    # Sorted by (group, element, hash) already: tags grow with i and are unique.

    records_pos = _INDEX.itemsize * n
    strings_pos = records_pos + _RECORD.itemsize * n
    padding = -(strings_pos + size) % 4
    root_pos = strings_pos + size + padding
    assert root_pos <= 2**31, "too large for the format"
    root_bytes = _format.ROOT.pack(
        -root_pos, n, records_pos - (root_pos + 8), n, strings_pos - (root_pos + 16), size
    )
    return b"".join([_HEADER, index.tobytes(), rec.tobytes(), *parts, bytes(padding), root_bytes])


def write_fast(path: str, n: int) -> None:
    data = build_fast(n)
    with open(path, "wb") as f:
        f.write(data)
