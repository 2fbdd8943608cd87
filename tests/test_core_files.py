"""taglex._format.Reader: records, fields and index read back from .tlex bytes."""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, record

import taglex
from taglex import _format, writer
from taglex._canonical import creator_hash

VARIED = [
    record(group=0x0029, element=0x10, creator="ZETA  corp", keyword="Z", block_offset=True),
    record(group=0x0008, element=0x0016, keyword="SOPClassUID", name="SOP Class UID", vr="UI",
           description="déjà vu " * 20, sources=["DICOM", "2024c"], retired=True),
    PATIENT_NAME,
    record(group=0x0029, element=0x11, creator="acme 1.0", keyword="Other", block_offset=True,
           vr="??"),
    record(group=0xFFFF, element=0xFFFF, keyword="Last", name="Straße\u3000x", vr="UV"),
    ACME_FLAGS,
]  # fmt: skip


@pytest.mark.parametrize("records", [[], EXAMPLE, VARIED], ids=["empty", "example", "varied"])
def test_reader_gives_back_what_the_writer_stored(records, make_file):
    data = writer.build(records)
    with _format.Reader(data) as r, _format.Reader.open(make_file(data)) as m:
        for reader in (r, m):
            assert len(reader) == reader.index_count == len(records)
            assert list(reader.records()) == [dict(record(), **rec) for rec in records]
            assert [reader.record(i) for i in range(len(records))] == list(reader.records())
            for name in _format.FIELDS:
                column = [rec.get(name, record()[name]) for rec in records]
                assert reader.column(name) == column, name
                assert [reader.field(i, name) for i in range(len(records))] == column
            assert [reader.keyword(i) for i in range(len(records))] == [
                rec["keyword"] for rec in records
            ]
            # The index: sorted by key, each entry leading to its own record.
            entries = list(reader.index())
            assert entries == [reader.index_entry(k) for k in range(len(records))]
            keys = [(e.group, e.element, e.creator_hash) for e in entries]
            assert keys == sorted(keys)
            assert sorted(e.record for e in entries) == list(range(len(records)))
            for e in entries:
                rec = records[e.record]
                assert (e.group, e.element) == (rec["group"], rec["element"])
                assert e.creator_hash == creator_hash(rec.get("creator") or None)


def test_reader_agrees_with_lookup_on_the_bundled_dictionary():
    d = taglex.open_default()
    with _format.Reader.open(taglex.default_path()) as r:
        assert r.index_count == len(d)
        keywords = r.column("keyword")
        for e in list(r.index())[::97]:
            rec = r.record(e.record)
            assert d.lookup(e.group, e.element, rec["creator"] or None) == rec
            assert keywords[e.record] == rec["keyword"]


def test_out_of_range_numbers_are_index_errors():
    r = _format.Reader(writer.build(EXAMPLE))
    for bad in (-1, 2):
        with pytest.raises(IndexError):
            r.record(bad)
        with pytest.raises(IndexError):
            r.index_entry(bad)
    with pytest.raises(KeyError):
        r.column("colour")
    with pytest.raises(KeyError):
        r.field(0, "colour")


REFERENCE = writer.build(EXAMPLE)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "too small"),
        (REFERENCE[:31], "too small"),
        (REFERENCE[:32], "too small"),
        (b"TLEx" + REFERENCE[4:], "bad magic"),
        (REFERENCE[:4] + b"\x03\x00" + REFERENCE[6:], "unsupported .tlex version 3"),
        (REFERENCE[:-1], "not a multiple of 4"),
        (REFERENCE[:32] + bytes(24), "records array"),  # the records target lies past the root
        (Layout(REFERENCE).set_root(1, offset=-200).bytes(), "records array"),  # overlaps index
        (Layout(REFERENCE).set_root(1, offset=-150).bytes(), "not aligned"),
        (Layout(REFERENCE).set_root(2, count=57).bytes(), "strings array"),  # into the root
        (Layout(REFERENCE).set_root(0, count=0xFFFFFFFF).bytes(), "index array"),
        (Layout(REFERENCE).set_root(0, offset=-(2**31)).bytes(), "index array"),
    ],
)
def test_malformed_files_are_refused_at_once(data, message):
    with pytest.raises(ValueError, match=message):
        _format.Reader(data)


@pytest.mark.parametrize(
    "patch, where",
    [
        ({"vr": 35}, "record"),
        ({"retired": 2}, "record"),
        ({"element_is_block_offset": 7}, "record"),
        ({"keyword_offset": 50}, "keyword"),  # 11 bytes at 50 end past the 55-byte table
        ({"name_len": 0xFFFF}, "name"),
        ({"description_offset": 56, "description_len": 0}, "description"),
        ({"sources_len": 0xFFFFFFFF}, "sources"),
    ],
)
def test_a_broken_record_is_a_value_error_wherever_it_is_read(patch, where):
    r = _format.Reader(Layout(REFERENCE).set_record(0, **patch).bytes())
    assert r.record(1) == ACME_FLAGS  # the other record still reads
    with pytest.raises(ValueError, match="record 0"):
        r.record(0)
    with pytest.raises(ValueError, match="record 0"):
        list(r.records())
    field = {"record": "vr", "keyword": "keyword", "name": "name"}.get(where, where)
    if "retired" in patch:
        field = "retired"
    elif "element_is_block_offset" in patch:
        field = "block_offset"
    with pytest.raises(ValueError, match="record 0"):
        r.column(field)


def test_texts_that_are_not_utf8_read_as_empty_like_lookup(open_dict):
    data = Layout(REFERENCE).set_string_byte(0, 0xFF).bytes()  # the keyword "PatientName"
    assert open_dict(data).lookup(0x10, 0x10)["keyword"] == ""
    r = _format.Reader(data)
    assert r.record(0)["keyword"] == "" == r.keyword(0) == r.column("keyword")[0]
    assert r.record(0)["name"] == PATIENT_NAME["name"]


def test_a_creator_of_length_zero_is_not_looked_at():
    data = Layout(REFERENCE).set_record(0, creator_offset=0xFFFFFFFF).bytes()
    r = _format.Reader(data)
    assert r.record(0) == PATIENT_NAME and r.column("creator") == ["", "ACME 1.0"]


def test_an_index_entry_past_the_records_is_a_value_error():
    r = _format.Reader(Layout(REFERENCE).set_entry(1, record_index=2).bytes())
    assert r.index_entry(0).record == 0
    with pytest.raises(ValueError, match="index entry 1 names record 2"):
        r.index_entry(1)
    with pytest.raises(ValueError, match="index entry 1"):
        list(r.index())


def test_open_refuses_what_is_not_a_regular_file(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: a blocking open would wait forever
    with pytest.raises(ValueError, match="not a regular file"):
        _format.Reader.open(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        _format.Reader.open(tmp_path)
    with pytest.raises(FileNotFoundError):
        _format.Reader.open(tmp_path / "missing")
    (tmp_path / "empty").write_bytes(b"")
    with pytest.raises(ValueError, match="too small"):
        _format.Reader.open(tmp_path / "empty")


def _read_everything(r: _format.Reader) -> None:
    """Every access the reader offers; each may answer or raise ValueError."""
    for read in (
        lambda: list(r.records()),
        lambda: list(r.index()),
        *[lambda name=name: r.column(name) for name in _format.FIELDS],
    ):
        try:
            read()
        except ValueError:
            pass
    for i in range(min(len(r), 4)):
        for name in _format.FIELDS:
            try:
                r.field(i, name)
            except ValueError:
                pass


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_damaged_files_raise_value_error_and_nothing_else(data):
    raw = bytearray(writer.build(VARIED))
    for _ in range(data.draw(st.integers(1, 6))):
        at = data.draw(st.integers(0, len(raw) - 1))
        raw[at] = data.draw(st.sampled_from([0, 1, 2, 0x7F, 0x80, 0xFF, 35, 0x7C]))
    if data.draw(st.booleans()):
        raw = raw[: data.draw(st.integers(0, len(raw)))]
    try:
        r = _format.Reader(bytes(raw))
    except ValueError:
        return
    _read_everything(r)
