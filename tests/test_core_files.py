"""The native core reads back what the writer stored, refuses what is not a
dictionary with the package's exceptions, and never crashes on damage."""

from __future__ import annotations

import errno
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, record

import taglex
from taglex import _core, writer

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
REFERENCE = writer.build(EXAMPLE)
PANIC = _core.PanicException


@pytest.mark.parametrize("records", [[], EXAMPLE, VARIED], ids=["empty", "example", "varied"])
def test_what_the_writer_stored_reads_back(records, make_file):
    path = make_file(records)
    d = taglex.Dictionary(path)
    stored = [dict(record(), **rec) for rec in records]
    assert d.records() == stored
    assert d.stats() == [{
        "path": path, "size": os.path.getsize(path), "entries": len(records),
        "records": len(records), "strings": d.stats()[0]["strings"],
    }]  # fmt: skip
    lookup = taglex.open(path).lookup
    entries = list(d)
    assert sorted((e.as_dict() for e in entries), key=str) == sorted(stored, key=str)
    for e in entries:
        assert e.as_dict() == lookup(e.group, e.element, e.creator or None)
        assert e.layer == path


def test_iteration_agrees_with_lookup_on_the_bundled_dictionary():
    d = taglex.Dictionary.default()
    lookup = taglex.open_default().lookup
    entries = list(d)
    assert len(entries) == len(taglex.open_default())
    for e in entries[::97]:
        assert e.as_dict() == lookup(e.group, e.element, e.creator or None)


@pytest.mark.parametrize(
    "data, words",
    [
        (b"", "it is 0 bytes long, too short for the 32-byte header"),
        (REFERENCE[:31], "it is 31 bytes long"),
        (REFERENCE[:32], "too short to hold the 24-byte root record"),
        (b"TLEx" + REFERENCE[4:], 'it does not start with "TLEX"'),
        (REFERENCE[:4] + b"\x03\x00" + REFERENCE[6:], "of version 3, which this taglex cannot read"),
        (REFERENCE[:-1], "its size is not a multiple of 4 bytes"),
        (REFERENCE[:32] + bytes(24), "the records array does not lie between"),
        (Layout(REFERENCE).set_root(1, offset=-200).bytes(), "the records array lies outside"),
        (Layout(REFERENCE).set_root(1, offset=-150).bytes(), "does not start at a multiple of 4"),
        (Layout(REFERENCE).set_root(2, count=57).bytes(), "the strings array runs into the root"),
        (Layout(REFERENCE).set_root(0, count=0xFFFFFFFF).bytes(), "the index array runs past"),
        (Layout(REFERENCE).set_root(0, offset=-(2**31)).bytes(), "the index array lies outside"),
        (Layout(REFERENCE).set_record(0, vr=35).bytes(), "record 0 holds the unknown VR code 35"),
        (Layout(REFERENCE).set_record(1, retired=2).bytes(), "record 1 holds 2 in its retired flag"),
    ],
)
def test_what_is_no_dictionary_is_refused_in_words(data, words, make_file):
    path = make_file(data)
    with pytest.raises(taglex.DamagedDictionaryError) as got:
        taglex.Dictionary(path)
    e = got.value
    assert isinstance(e, OSError) and e.filename == path
    assert str(e).startswith(f"{path} is ") and words in str(e), str(e)
    assert "0x" not in str(e)  # no addresses in the message ...
    (note,) = e.__notes__  # ... the library's own text is the note
    assert note.startswith(f"cannot open {path}: ")
    with pytest.raises((OSError, ValueError)) as low:
        taglex.open(path)
    assert str(low.value) in (note, "unsupported .tlex version 3")


def test_what_is_no_regular_file_is_refused_with_errno(tmp_path):
    fifo = tmp_path / "fifo.tlex"
    os.mkfifo(fifo)  # no writer: a blocking open would wait forever
    cases = [
        (fifo, OSError, errno.ENODEV),
        (tmp_path, IsADirectoryError, errno.EISDIR),
        (tmp_path / "missing", FileNotFoundError, errno.ENOENT),
    ]
    for path, kind, code in cases:
        with pytest.raises(kind) as got:
            taglex.Dictionary(path)
        assert got.value.errno == code and got.value.filename == str(path)
    for bad in (b"/x.tlex", None, [3], []):
        with pytest.raises((TypeError, ValueError), match="Dictionary"):
            taglex.Dictionary(bad)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "patch",
    [
        {"keyword_offset": 50},  # 11 bytes at 50 end past the 55-byte table
        {"name_len": 0xFFFF},
        {"description_offset": 56, "description_len": 0},
        {"sources_len": 0xFFFFFFFF},
    ],
)
def test_a_broken_record_fails_its_own_answers_only(patch, make_file):
    d = taglex.Dictionary(make_file(Layout(REFERENCE).set_record(0, **patch).bytes()))
    assert d[0x00291010, "ACME 1.0"].as_dict() == ACME_FLAGS  # the other record still reads
    for question in (lambda: d.get(0x00100010), lambda: list(d), d.records):
        with pytest.raises(PANIC, match="out of range for slice"):
            question()
    if "keyword_offset" in patch:  # the keyword index reads keywords only
        with pytest.raises(PANIC, match="out of range for slice"):
            d.tag_for_keyword("PatientName")
    assert d.get(0x00291010, "acme 1.0").keyword == "AcmeFlags"  # and still answers


def test_texts_read_as_lookup_reads_them(make_file):
    # Not UTF-8: empty. A creator of length 0: not looked at.
    data = Layout(REFERENCE).set_string_byte(0, 0xFF).set_record(0, creator_offset=2**32 - 1)
    d = taglex.Dictionary(make_file(data.bytes()))
    entry = d[0x00100010]
    assert (entry.keyword, entry.name, entry.creator) == ("", PATIENT_NAME["name"], "")


def test_an_index_entry_past_the_records_fails_its_answer(make_file):
    d = taglex.Dictionary(make_file(Layout(REFERENCE).set_entry(1, record_index=2).bytes()))
    assert d[0x00100010].keyword == "PatientName"
    with pytest.raises(PANIC, match="index out of bounds: the len is 2 but the index is 2"):
        d.get(0x00291010, "ACME 1.0")
    with pytest.raises(PANIC):
        list(d)


def _ask_everything(d: taglex.Dictionary) -> None:
    """Every question the core answers; each may answer or raise its panic."""
    for ask in (
        lambda: list(d), d.records, d.creators, d.keywords, d.repeaters, d.stats,
        lambda: d.keywords("acme 1.0"), lambda: d.elements("ACME 1.0"),
        lambda: d.matching("a", "a"), lambda: d.private_entries(0x00291010),
        lambda: d.tag_for_keyword("PatientName"), lambda: d.get(0x00100010),
        lambda: d.get(0x00291010, "zeta corp"), lambda: d.has_creator("x"),
    ):  # fmt: skip
        try:
            result = ask()
        except PANIC:
            continue
        for e in result if isinstance(result, list) else ():
            if isinstance(e, _core.Entry):
                (e.as_dict(), e.vm, e.vrs, e.deidentification, repr(e), hash(e))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_damaged_files_raise_the_package_exceptions_and_nothing_else(data, tmp_path_factory):
    raw = bytearray(writer.build(VARIED))
    for _ in range(data.draw(st.integers(1, 6))):
        at = data.draw(st.integers(0, len(raw) - 1))
        raw[at] = data.draw(st.sampled_from([0, 1, 2, 0x7F, 0x80, 0xFF, 35, 0x7C]))
    if data.draw(st.booleans()):
        raw = raw[: data.draw(st.integers(0, len(raw)))]
    path = tmp_path_factory.mktemp("damaged") / "d.tlex"
    path.write_bytes(raw)
    try:
        d = taglex.Dictionary(path)
    except taglex.DamagedDictionaryError:
        return
    _ask_everything(d)
