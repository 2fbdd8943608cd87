"""Damaged dictionary files: open refuses them cleanly or lookups stay well-behaved.

Valid files made by the writer are mutated (bit flips, truncation, rewritten
or shuffled root references, random record, index and string bytes) and then
opened in this process. Whatever the damage, ``open`` either returns a Dict or
raises exactly ``OSError`` or ``ValueError``; lookups on a Dict that opened
return a result dict, ``None`` or the panic exception, nothing else. A crash
in the extension would take the whole test run down.
"""

from __future__ import annotations

import os
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from support import HEADER_SIZE, INDEX_ENTRY_SIZE, RECORD_SIZE, Layout

import taglex._taglex as _taglex
from taglex import writer
from taglex._core import creator_hash

RECORDS = [
    {"group": 0x0008, "element": 0x0005, "keyword": "SpecificCharacterSet",
     "name": "Specific Character Set", "vr": "CS", "sources": ["PS3.6", "2024a"]},
    {"group": 0x0010, "element": 0x0010, "keyword": "PatientName", "name": "Patient's Name",
     "vr": "PN", "sources": ["x", "y"]},
    {"group": 0x0018, "element": 0x0010, "keyword": "ContrastBolusAgent",
     "name": "Contrast/Bolus Agent", "vr": "LO", "retired": True,
     "description": "The contrast or bolus agent"},
    {"group": 0x0029, "element": 0x0010, "creator": "ACME 1.0", "keyword": "AcmeFlags",
     "name": "Acme Flags", "vr": "UL", "block_offset": True},
    {"group": 0x0029, "element": 0x0011, "creator": "straße ärzte", "keyword": "Strasse",
     "name": "Straßenname", "vr": "SH", "block_offset": True, "sources": ["vendor"]},
    {"group": 0x0043, "element": 0x0001, "creator": "\u00a0GEMS\u3000IDEN", "keyword": "Wide",
     "name": "Wide", "vr": "UT", "block_offset": True, "description": "déjà vu"},
    {"group": 0x7FE0, "element": 0x0010, "keyword": "PixelData", "name": "Pixel Data",
     "vr": "OW", "sources": ["a", "b", "c"]},
    {"group": 0xFFFE, "element": 0xE000, "keyword": "Item", "name": "Item", "vr": "??"},
]  # fmt: skip
ORIGINAL = writer.build(RECORDS)
EMPTY = writer.build([])
FIELDS = list(writer.FIELDS)
VALUE_TYPES = [int, int, str, str, str, str, str, bool, bool, list]


def _expected(rec: dict) -> dict:
    full = {"creator": "", "description": "", "retired": False, "block_offset": False, "sources": []}
    full.update(rec)
    return {k: full[k] for k in FIELDS}


EXPECTED = [_expected(r) for r in RECORDS]
# Keys that find something in the undamaged file: as stored, and the creator
# in another spelling.
KNOWN_KEYS = [(r["group"], r["element"], r.get("creator") or None) for r in RECORDS] + [
    (0x0029, 0x0010, "  acme\t1.0 "),
    (0x0029, 0x0010, None),
    (0x0010, 0x0010, ""),
]
KNOWN_OUTCOMES = EXPECTED + [EXPECTED[3], None, None]


@pytest.fixture(scope="module")
def scratch():
    with tempfile.TemporaryDirectory(prefix="taglex-robust-") as folder:
        yield os.path.join(folder, "m.tlex")


def is_panic(e: BaseException) -> bool:
    t = type(e)
    return (t.__module__, t.__name__) == ("pyo3_runtime", "PanicException")


def header_verdict(data: bytes) -> str:
    """What the header says of a file, in the order the checks are made."""
    if len(data) < HEADER_SIZE:
        return "too small"
    if data[:4] != b"TLEX":
        return "bad magic"
    if data[4:6] != b"\x02\x00":
        return "version"
    return "body"


REFUSAL_TEXT = {
    "too small": "file too small ({} bytes) to contain a header",
    "bad magic": "bad magic bytes [",
    "body": "archive integrity check failed: ",
}


def open_or_refuse(path: str, data: bytes):
    """Opens the file; returns the Dict, or None after checking the refusal."""
    with open(path, "wb") as f:
        f.write(data)
    verdict = header_verdict(data)
    try:
        d = _taglex.open(path)
    except (OSError, ValueError) as e:
        assert len(e.args) == 1 and type(e.args[0]) is str
        if verdict == "version":
            assert type(e) is ValueError, repr(e)
            assert e.args[0] == f"unsupported .tlex version {struct.unpack_from('<H', data, 4)[0]}"
        else:
            assert type(e) is OSError, repr(e)
            assert e.errno is None
            prefix = f"cannot open {path}: " + REFUSAL_TEXT[verdict].format(len(data))
            assert e.args[0].startswith(prefix), (e.args[0], prefix)
        return None
    # Accepted: the header is right, the body long enough and aligned, and
    # the index count is the word 20 bytes before the end.
    assert verdict == "body"
    assert len(data) % 4 == 0 and len(data) >= HEADER_SIZE + 24
    assert len(d) == Layout(data).index_count
    assert repr(d) == f"<taglex.Dict len={len(d)}>"
    return d


def check_result(result) -> None:
    if result is None:
        return
    assert type(result) is dict
    assert list(result) == FIELDS
    assert [type(v) for v in result.values()] == VALUE_TYPES
    assert 0 <= result["group"] <= 0xFFFF and 0 <= result["element"] <= 0xFFFF
    assert result["vr"] in writer.VR_CODES
    for piece in result["sources"]:
        assert type(piece) is str and piece and "|" not in piece


def lookup_all(d, keys) -> list:
    """Every key's outcome: a result dict, None, or the string "panic"."""
    outcomes = []
    for group, element, creator in keys:
        try:
            result = d.lookup(group, element, creator)
        except BaseException as e:  # noqa: BLE001 - the class is what is checked
            assert is_panic(e), f"lookup{(group, element, creator)} raised {e!r}"
            assert len(e.args) == 1 and type(e.args[0]) is str
            outcomes.append("panic")
            continue
        check_result(result)
        outcomes.append(result)
    return outcomes


# --- the baseline the mutations start from ------------------------------------------


def test_undamaged_file_answers_every_record(scratch):
    d = open_or_refuse(scratch, ORIGINAL)
    assert d is not None and len(d) == len(RECORDS)
    found = lookup_all(d, [(r["group"], r["element"], r.get("creator") or None) for r in RECORDS])
    assert found == EXPECTED
    assert lookup_all(d, KNOWN_KEYS) == KNOWN_OUTCOMES


# --- mutations ------------------------------------------------------------------------

INTERESTING_I32 = [0, -8, -16, -24, 4, -4, 1, -1, 2**31 - 1, -(2**31)]
INTERESTING_U32 = [0, 1, 2, 3, 7, 8, 0xFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF]


@st.composite
def bit_flips(draw, data: bytearray) -> str:
    for _ in range(draw(st.integers(1, 8))):
        pos = draw(st.integers(0, len(data) - 1))
        data[pos] ^= 1 << draw(st.integers(0, 7))
    return "bit flips"


@st.composite
def truncation(draw, data: bytearray) -> str:
    cut = draw(st.integers(0, len(data) - 1))
    # Keep the length a multiple of 4 half of the time, so that the cut
    # reaches the array checks rather than stopping at the alignment check.
    if draw(st.booleans()):
        cut -= cut % 4
    del data[cut:]
    return "truncation"


@st.composite
def root_words(draw, data: bytearray) -> str:
    lay = Layout(data)
    for _ in range(draw(st.integers(1, 3))):
        k = draw(st.integers(0, 2))
        if draw(st.booleans()):
            value = draw(st.sampled_from(INTERESTING_I32) | st.integers(-(2**31), 2**31 - 1))
            lay.set_root(k, offset=value)
        else:
            value = draw(st.sampled_from(INTERESTING_U32) | st.integers(0, 2**32 - 1))
            lay.set_root(k, count=value)
    data[:] = lay.data
    return "root words"


@st.composite
def shuffled_root(draw, data: bytearray) -> str:
    root = len(data) - 24
    words = [bytes(data[root + 4 * i : root + 4 * i + 4]) for i in range(6)]
    if draw(st.booleans()):
        # Swap whole references: each keeps its offset relative to its new slot.
        pairs = [words[0:2], words[2:4], words[4:6]]
        order = draw(st.permutations(range(3)))
        words = [w for i in order for w in pairs[i]]
    else:
        words = draw(st.permutations(words))
    data[root:] = b"".join(words)
    return "shuffled root"


@st.composite
def record_bytes(draw, data: bytearray) -> str:
    lay = Layout(bytes(data))
    r = draw(st.integers(0, lay.records_count - 1))
    start = lay.records + RECORD_SIZE * r + draw(st.integers(0, RECORD_SIZE - 1))
    chunk = draw(st.binary(min_size=1, max_size=16))
    end = min(start + len(chunk), len(data) - 24)
    data[start:end] = chunk[: end - start]
    return "record bytes"


SHORT_RECORD_FIELDS = ("keyword_len", "name_len", "creator_len", "group", "element", "reserved38")


@st.composite
def record_fields(draw, data: bytearray) -> str:
    lay = Layout(bytes(data))
    r = draw(st.integers(0, lay.records_count - 1))
    name = draw(st.sampled_from([
        "keyword_offset", "keyword_len", "name_offset", "name_len", "creator_offset",
        "creator_len", "description_offset", "description_len", "sources_offset",
        "sources_len", "group", "element", "reserved38",
    ]))  # fmt: skip
    limit = 0xFFFF if name in SHORT_RECORD_FIELDS else 0xFFFFFFFF
    # Any value, or one near the end of the strings table, where the range
    # checks decide.
    near_end = st.integers(max(0, lay.strings_count - 8), min(limit, lay.strings_count + 8))
    value = draw(st.integers(0, limit) | near_end)
    lay.set_record(r, **{name: value})
    data[:] = lay.data
    return "record fields"


@st.composite
def index_entries(draw, data: bytearray) -> str:
    lay = Layout(bytes(data))
    k = draw(st.integers(0, lay.index_count - 1))
    name = draw(st.sampled_from(["creator_hash", "record_index", "group", "element"]))
    limit = 0xFFFF if name in ("group", "element") else 0xFFFFFFFF
    value = draw(st.integers(0, limit) | st.integers(0, lay.records_count + 1))
    lay.set_entry(k, **{name: value})
    data[:] = lay.data
    return "index entries"


@st.composite
def string_bytes(draw, data: bytearray) -> str:
    lay = Layout(bytes(data))
    for _ in range(draw(st.integers(1, 6))):
        k = draw(st.integers(0, lay.strings_count - 1))
        # "|", bytes that break UTF-8 in different ways, a space, or anything.
        special = st.sampled_from([0x7C, 0x80, 0xC3, 0xFF, 0xED, 0x20])
        data[lay.strings + k] = draw(special | st.integers(0, 255))
    return "string bytes"


@st.composite
def overwrite_span(draw, data: bytearray) -> str:
    start = draw(st.integers(0, len(data) - 1))
    chunk = draw(st.binary(min_size=1, max_size=32))
    data[start : start + len(chunk)] = chunk[: len(data) - start]
    return "overwritten span"


def structure(data: bytearray) -> Layout | None:
    """The file's layout when its root still points inside it, else None."""
    if len(data) < HEADER_SIZE + 24 or len(data) % 4:
        return None
    lay = Layout(bytes(data))
    spans = [
        (lay.index, INDEX_ENTRY_SIZE * lay.index_count),
        (lay.records, RECORD_SIZE * lay.records_count),
        (lay.strings, lay.strings_count),
    ]
    if all(HEADER_SIZE <= start and start + size <= len(data) - 24 for start, size in spans):
        return lay
    return None


def applicable(data: bytearray) -> tuple[list, list]:
    """The mutations that can act on the file in its present state: those that
    break its structure, and those that keep it (so that the file still opens
    and the damage reaches the lookups)."""
    if len(data) < HEADER_SIZE + 24:
        return ([bit_flips, overwrite_span] if data else []), []
    structural = [bit_flips, truncation, overwrite_span, root_words, shuffled_root]
    inner = []
    lay = structure(data)
    if lay is not None:
        if lay.records_count:
            inner += [record_bytes, record_fields]
        if lay.index_count:
            inner.append(index_entries)
        if lay.strings_count:
            inner.append(string_bytes)
    return structural, inner


@st.composite
def damaged_files(draw):
    data = bytearray(draw(st.sampled_from([ORIGINAL, ORIGINAL, ORIGINAL, EMPTY])))
    applied = []
    for _ in range(draw(st.integers(1, 3))):
        structural, inner = applicable(data)
        kinds = inner if inner and draw(st.integers(0, 2)) else structural
        if not kinds:
            break
        applied.append(draw(draw(st.sampled_from(kinds))(data)))
    return bytes(data), applied


random_keys = st.lists(
    st.tuples(
        st.integers(0, 0xFFFF),
        st.integers(0, 0xFFFF),
        st.none() | st.text(max_size=12) | st.sampled_from(["ACME 1.0", "acme 1.0", "", " "]),
    ),
    max_size=6,
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(damaged=damaged_files(), extra_keys=random_keys)
def test_damaged_files_open_or_refuse_and_lookups_stay_in_bounds(scratch, damaged, extra_keys):
    data, applied = damaged
    event(" + ".join(applied) or "unchanged")
    d = open_or_refuse(scratch, data)
    event("opened" if d is not None else "refused")
    if d is None:
        return
    first = lookup_all(d, KNOWN_KEYS + extra_keys)
    event(f"lookups that panicked: {min(first.count('panic'), 3)}{'+' if first.count('panic') > 3 else ''}")
    # Nothing is cached and nothing changes: the same keys give the same
    # outcomes again, and a panic leaves the Dict usable.
    assert lookup_all(d, KNOWN_KEYS + extra_keys) == first
    assert len(d) == Layout(data).index_count


# Bytes that nothing reads: header bytes 6..31, the reserved word and the
# padding byte of each record, the padding before the root.
def _unread_positions() -> list[int]:
    lay = Layout(ORIGINAL)
    positions = list(range(6, HEADER_SIZE))
    for r in range(lay.records_count):
        base = lay.records + RECORD_SIZE * r
        positions += [base + 38, base + 39, base + 43]
    positions += range(lay.strings + lay.strings_count, len(ORIGINAL) - 24)
    return positions


UNREAD = _unread_positions()


@settings(max_examples=100, deadline=None)
@given(
    changes=st.lists(st.tuples(st.sampled_from(UNREAD), st.integers(0, 255)), min_size=1, max_size=12)
)
def test_bytes_nothing_reads_change_nothing(scratch, changes):
    data = bytearray(ORIGINAL)
    for pos, value in changes:
        data[pos] = value
    d = open_or_refuse(scratch, bytes(data))
    assert d is not None
    assert lookup_all(d, KNOWN_KEYS) == KNOWN_OUTCOMES


@settings(max_examples=100, deadline=None)
@given(
    k=st.integers(0, len(RECORDS) - 1),
    record_index=st.integers(len(RECORDS), 2**32 - 1),
)
def test_record_index_past_the_records_panics_only_for_that_key(scratch, k, record_index):
    lay = Layout(ORIGINAL)
    lay.set_entry(k, record_index=record_index)
    d = open_or_refuse(scratch, lay.bytes())
    assert d is not None
    bad = (lay.entry(k, "group"), lay.entry(k, "element"))
    keys = [(r["group"], r["element"], r.get("creator") or None) for r in RECORDS]
    outcomes = lookup_all(d, keys)
    for key, expected, outcome in zip(keys, EXPECTED, outcomes, strict=True):
        if key[:2] == bad and lay.entry(k, "creator_hash") == _hash_of(key[2]):
            assert outcome == "panic"
        else:
            assert outcome == expected


def _hash_of(creator) -> int:
    return 0 if creator is None else creator_hash(creator)
