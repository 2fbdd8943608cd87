"""Dict: lookups and their results, len/repr/bool, context manager, internal errors."""

from __future__ import annotations

import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, record

import taglex._taglex as _taglex
from taglex import writer
from taglex._core import creator_hash

REFERENCE = writer.build(EXAMPLE)


# --- results -------------------------------------------------------------------------


def test_standard_tag_result(example):
    result = example.lookup(0x0010, 0x0010)
    assert list(result) == [
        "group", "element", "creator", "keyword", "name",
        "vr", "description", "retired", "block_offset", "sources",
    ]  # fmt: skip
    assert result == PATIENT_NAME
    assert [type(v) for v in result.values()] == [int, int, str, str, str, str, str, bool, bool, list]
    assert result["creator"] == "" and result["block_offset"] is False and result["retired"] is False


def test_private_tag_result(example):
    result = example.lookup(0x0029, 0x0010, "ACME 1.0")
    assert result == ACME_FLAGS
    assert result["block_offset"] is True


def test_result_values_come_from_the_record(open_dict):
    rec = record(
        group=0x0019, element=0x42, creator="Vendor", keyword="Kw", name="Nm",
        vr="??", description="A long\ndescription — with ünïcode", retired=True,
        block_offset=True, sources=["DICOM 2024", " spaced "],
    )  # fmt: skip
    d = open_dict([rec])
    assert d.lookup(0x19, 0x42, "vendor") == rec
    assert d.lookup(0x19, 0x42, "vendor")["retired"] is True


@pytest.mark.parametrize("vr", writer.VR_CODES)
def test_every_vr(open_dict, vr):
    assert open_dict([record(group=2, element=3, vr=vr)]).lookup(2, 3)["vr"] == vr


@pytest.mark.parametrize(
    ("group", "element", "creator"),
    [
        (0x0029, 0x0010, None),  # private tag without its creator
        (0x0010, 0x0010, ""),  # an empty creator is still a creator
        (0x0010, 0x0010, " \t "),
        (0x0029, 0x1010, "ACME 1.0"),  # the element is not masked
        (0x0029, 0x0011, "ACME 1.0"),
        (0x0029, 0x0010, "ACME 1.1"),
        (0x0010, 0x0011, None),
        (0x0011, 0x0010, None),
        (0, 0, None),
        (0xFFFF, 0xFFFF, "x"),
    ],
)
def test_misses_return_none(example, group, element, creator):
    assert example.lookup(group, element, creator) is None


def test_neighbours_of_a_single_entry(open_dict):
    d = open_dict([record(group=0x100, element=0x100, creator="M", keyword="only")])
    assert d.lookup(0x100, 0x100, "m")["keyword"] == "only"
    for g, e, c in [(0xFF, 0x100, "M"), (0x101, 0x100, "M"), (0x100, 0xFF, "M"), (0x100, 0x101, "M")]:
        assert d.lookup(g, e, c) is None
    assert d.lookup(0x100, 0x100) is None and d.lookup(0x100, 0x100, "") is None


def test_many_entries(open_dict):
    recs = [
        record(group=g, element=e, keyword=f"K{g}_{e}")
        for g in range(1, 40, 3)
        for e in range(0, 300, 7)
    ]
    d = open_dict(recs[::-1])
    assert len(d) == len(recs)
    for r in recs:
        assert d.lookup(r["group"], r["element"])["keyword"] == r["keyword"]
    assert d.lookup(1, 1) is None and d.lookup(2, 0) is None and d.lookup(40, 0) is None


def test_equal_keys_find_the_last(open_dict):
    recs = [record(group=5, element=5, keyword=f"R{i}") for i in range(8)]
    d = open_dict(writer.build(recs, allow_duplicates=True))
    assert len(d) == 8
    assert d.lookup(5, 5)["keyword"] == "R7"


def test_empty_creator_is_distinct_from_none(open_dict):
    d = open_dict(
        [
            record(group=9, element=1, keyword="none"),
            record(group=9, element=1, creator="  ", keyword="blank"),
        ]
    )
    assert d.lookup(9, 1)["keyword"] == "none"
    assert d.lookup(9, 1, None)["keyword"] == "none"
    blank = d.lookup(9, 1, "")
    assert blank["keyword"] == "blank" and blank["creator"] == "  "
    assert d.lookup(9, 1, "\u3000\t")["keyword"] == "blank"


# --- creators ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("stored", "query"),
    [
        ("ACME 1.0", "acme 1.0"),
        ("ACME 1.0", "  Acme   1.0\t"),
        ("ACME 1.0", "ACME\t1.0"),
        ("ACME 1.0", "ACME\n\r1.0"),
        ("ACME 1.0", "ACME\u00a01.0"),
        ("ACME 1.0", "ACME\u30001.0"),
        ("ACME 1.0", "\u2028ACME\u0085\u20091.0\u205f"),
        ("Acme  Imaging\t1.0", "ACME IMAGING 1.0"),
        ("STRASSE", "straße"),
        ("straße", "STRASSE"),
        ("\u01c4", "\u01c6"),
        ("x\u01c5", "X\u01c4"),
        ("SIEMENS CSA HEADER", "siemens csa header"),
        ("Größe ÄÖÜ", "GRÖSSE äöü"),
        ("ΣΊΣΥΦΟΣ", "σίσυφος"),
        ("\u1c89", "\u1c8a"),  # case pairs new in Unicode 16.0
        ("\ua7cb\ua7dc", "\u0264\u019b"),
        ("\U00010d50", "\U00010d70"),
        ("\ua7ce VENDOR", "\ua7cf vendor"),  # case pairs new in Unicode 17.0
        ("\ua7d2\ua7d4", "\ua7d3\ua7d5"),
        ("\U00016ea0", "\U00016ebb"),
        ("\U00016eb8", "\U00016ed3"),
        ("\ufb00", "FF"),  # ligature ff upper-cases to two letters
    ],
)
def test_creator_spacing_and_case(open_dict, stored, query):
    d = open_dict([record(group=0x29, element=0x10, creator=stored, keyword="K", block_offset=True)])
    result = d.lookup(0x29, 0x10, query)
    assert result is not None
    assert result["creator"] == stored  # the stored text, not the argument


@pytest.mark.parametrize(
    ("stored", "query"),
    [
        ("A B", "A\u200bB"),  # ZERO WIDTH SPACE is not white space
        ("A B", "A\u001fB"),
        ("A B", "A\ufeffB"),
        ("AB", "A B"),
        ("ACME", "ACME."),
        ("\u00c5", "A\u030a"),  # no normalisation
    ],
)
def test_creator_other_characters_matter(open_dict, stored, query):
    d = open_dict([record(group=0x29, element=0x10, creator=stored, block_offset=True)])
    assert d.lookup(0x29, 0x10, query) is None
    assert d.lookup(0x29, 0x10, stored) is not None


def test_creator_with_control_characters_is_kept(open_dict):
    stored = "A\u001fB\u200bC"
    d = open_dict([record(group=0x29, element=0x10, creator=stored, block_offset=True)])
    assert d.lookup(0x29, 0x10, "a\u001fb\u200bc")["creator"] == stored


# --- texts read from the file -----------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (b"A||B|", ["A", "B"]),
        (b"|", []),
        (b"||", []),
        (b"", []),
        (b" a | b ", [" a ", " b "]),
        (b"\xff|A", []),  # not UTF-8
    ],
)
def test_sources_splitting(open_dict, text, expected):
    # Store the text as the description, then point sources at the same bytes.
    desc = text.decode("utf-8", "surrogateescape")
    lay = Layout(writer.build([record(group=1, element=1, description="@" * len(text))]))
    off = lay.record(0, "description_offset")
    for i, b in enumerate(text):
        lay.set_string_byte(off + i, b)
    lay.set_record(0, sources_offset=off, sources_len=len(text))
    result = open_dict(lay.bytes()).lookup(1, 1)
    assert result["sources"] == expected
    assert result["description"] == (desc if text.isascii() else "")


@pytest.mark.parametrize(
    ("field", "damaged"),
    [
        ("keyword", {"keyword": "", "name": "Patient's Name"}),
        ("name", {"name": "", "keyword": "PatientName"}),
        ("sources", {"sources": [], "keyword": "PatientName"}),
    ],
)
def test_invalid_utf8_reads_as_empty(open_dict, field, damaged):
    lay = Layout(REFERENCE)
    lay.set_string_byte(lay.record(0, f"{field}_offset") + 1, 0xFF)
    d = open_dict(lay.bytes())
    result = d.lookup(0x10, 0x10)
    assert {k: result[k] for k in damaged} == damaged
    assert d.lookup(0x29, 0x10, "ACME 1.0") == ACME_FLAGS


def test_invalid_utf8_creator_still_found_by_hash(open_dict):
    lay = Layout(REFERENCE)
    lay.set_string_byte(lay.record(1, "creator_offset"), 0xC3)  # truncated sequence
    result = open_dict(lay.bytes()).lookup(0x29, 0x10, "acme 1.0")
    assert result["creator"] == "" and result["keyword"] == "AcmeFlags"


def test_creator_offset_ignored_without_creator(open_dict):
    lay = Layout(REFERENCE).set_record(0, creator_offset=0xFFFF_FFFF)
    assert open_dict(lay.bytes()).lookup(0x10, 0x10) == PATIENT_NAME


def test_results_are_new_objects(example):
    first = example.lookup(0x10, 0x10)
    second = example.lookup(0x10, 0x10)
    assert first == second
    assert first is not second and first["sources"] is not second["sources"]
    assert all(a is not b for a, b in zip(first, second, strict=True))  # keys are not shared
    first["sources"].append("z")
    first["keyword"] = "changed"
    assert second == PATIENT_NAME
    assert example.lookup(0x10, 0x10) == PATIENT_NAME


# --- len, repr, bool, context manager -----------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 2, 5, 1000])
def test_len_repr_bool(open_dict, count):
    d = open_dict([record(group=3, element=e) for e in range(count)])
    assert len(d) == count
    assert repr(d) == f"<taglex.Dict len={count}>"
    assert bool(d) is (count > 0)


def test_len_counts_index_entries_not_records(open_dict):
    lay = Layout(REFERENCE).set_entry(1, record_index=0)  # two entries, one record used
    d = open_dict(lay.bytes())
    assert len(d) == 2
    # The record's own tag numbers are reported, not the key searched for.
    assert d.lookup(0x29, 0x10, "ACME 1.0") == PATIENT_NAME


def test_with_statement(example):
    with example as d:
        assert d is example
        assert d.lookup(0x10, 0x10) is not None
    assert example.lookup(0x29, 0x10, "ACME 1.0") == ACME_FLAGS
    with pytest.raises(KeyError, match="inside"):
        with example:
            raise KeyError("inside")
    assert len(example) == 2


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((1, 2, 3), {}),
        ((None, None, None), {}),
        ((KeyError, KeyError("x"), None), {}),
        ((), {"_exc_type": 1, "_exc": 2, "_tb": 3}),
        ((1,), {"_tb": object()}),
    ],
)
def test_exit_returns_false(example, args, kwargs):
    assert example.__exit__(*args, **kwargs) is False
    assert example.lookup(0x10, 0x10) == PATIENT_NAME


def test_enter_takes_no_arguments(example):
    assert example.__enter__() is example
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        example.__enter__(1)


# --- internal errors --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("damage", "key", "message"),
    [
        (
            lambda lay: lay.set_entry(1, record_index=2),
            (0x29, 0x10, "ACME 1.0"),
            "index out of bounds: the len is 2 but the index is 2",
        ),
        (
            lambda lay: lay.set_entry(1, record_index=0xFFFFFFFF),
            (0x29, 0x10, "ACME 1.0"),
            "index out of bounds: the len is 2 but the index is 4294967295",
        ),
        (
            lambda lay: lay.set_record(1, name_len=19),  # name 37..56, table is 55 bytes
            (0x29, 0x10, "ACME 1.0"),
            "range end index 56 out of range for slice of length 55",
        ),
        (
            lambda lay: lay.set_record(1, keyword_offset=56, keyword_len=0),
            (0x29, 0x10, "ACME 1.0"),
            "range start index 56 out of range for slice of length 55",
        ),
        (
            lambda lay: lay.set_record(1, description_offset=0xFFFFFFFF, description_len=0xFFFFFFFF),
            (0x29, 0x10, "ACME 1.0"),
            "range start index 4294967295 out of range for slice of length 55",
        ),
        (
            lambda lay: lay.set_record(1, sources_offset=50, sources_len=0xFFFFFFFF),
            (0x29, 0x10, "ACME 1.0"),
            "range end index 4294967345 out of range for slice of length 55",
        ),
        (
            lambda lay: lay.set_record(1, creator_offset=55, creator_len=1),
            (0x29, 0x10, "ACME 1.0"),
            "range end index 56 out of range for slice of length 55",
        ),
    ],
)
def test_internal_errors_raise_panic_exception(open_dict, capfd, damage, key, message):
    lay = Layout(REFERENCE)
    damage(lay)
    d = open_dict(lay.bytes())
    capfd.readouterr()
    with pytest.raises(BaseException) as excinfo:
        d.lookup(*key)
    exc_type = excinfo.type
    assert (exc_type.__module__, exc_type.__name__) == ("pyo3_runtime", "PanicException")
    assert issubclass(exc_type, BaseException) and not issubclass(exc_type, Exception)
    assert excinfo.value.args == (message,)
    assert message in capfd.readouterr().err
    # The dictionary keeps answering.
    assert d.lookup(0x10, 0x10) == PATIENT_NAME
    with pytest.raises(exc_type):
        d.lookup(*key)
    assert len(d) == 2


def test_panic_exception_is_one_class(open_dict):
    d = open_dict(Layout(REFERENCE).set_entry(0, record_index=9).bytes())
    classes = set()
    for _ in range(2):
        try:
            d.lookup(0x10, 0x10)
        except BaseException as e:  # noqa: BLE001 - the class is what is under test
            classes.add(type(e))
    assert len(classes) == 1
    (cls,) = classes
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__


# --- threads ---------------------------------------------------------------------------


def test_threads_share_one_dict(open_dict):
    recs = [
        record(group=0x29, element=e, creator=f"Vendor {e % 5}", keyword=f"K{e}", block_offset=True)
        for e in range(200)
    ]
    d = open_dict(recs)
    failures = []
    barrier = threading.Barrier(6)

    def worker(offset):
        barrier.wait()
        for i in range(2000):
            r = recs[(i * 7 + offset) % len(recs)]
            got = d.lookup(0x29, r["element"], r["creator"].lower())
            if got != r:
                failures.append((r, got))
            if d.lookup(0x29, r["element"]) is not None:
                failures.append((r, "found without creator"))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# --- any dictionary the writer makes ---------------------------------------------------


def texts(max_size):
    return st.text(st.characters(exclude_categories=("Cs",)), max_size=max_size)


creators = st.one_of(
    st.just(""),
    st.text(st.sampled_from("ACME acme 1.0\t\u00a0\u3000ßǅ\ua7cf\ua7ce\U00016ebbÄσΣ-"), max_size=12),
    texts(8),
)


# "" or a keyword of up to 6 characters (too short to read as a tag).
keywords = st.from_regex(r"\A(?:[A-Za-z_][A-Za-z0-9_]{0,5})?\Z")


@st.composite
def dictionaries(draw):
    recs = []
    seen = set()
    for _ in range(draw(st.integers(0, 25))):
        creator = draw(creators)
        block = bool(creator) and draw(st.booleans())
        # Small numbers often, so that keys share their group or element.
        group = draw(st.integers(0, 3) | st.integers(0, 0xFFFF))
        element = draw(st.integers(0, 3) | st.integers(0, 0xFF if block else 0xFFFF))
        key = (group, element, creator_hash(creator) if creator else 0)
        if key in seen:
            continue
        seen.add(key)
        recs.append(
            record(
                group=group, element=element, creator=creator, block_offset=block,
                keyword=draw(keywords), name=draw(texts(6)),
                vr=draw(st.sampled_from(writer.VR_CODES)), retired=draw(st.booleans()),
                description=draw(texts(10)),
                sources=draw(st.lists(st.text("abc ", min_size=1), max_size=3)),
            )
        )  # fmt: skip
    return recs


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("roundtrip") / "d.tlex"


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(recs=dictionaries())
def test_every_written_entry_is_found(scratch, recs):
    writer.write(scratch, recs)
    d = _taglex.open(scratch)
    assert len(d) == len(recs)
    for r in recs:
        creator = r["creator"]
        if not creator:
            assert d.lookup(r["group"], r["element"]) == r
            continue
        assert d.lookup(r["group"], r["element"], creator) == r
        respaced = "\t" + creator.replace(" ", " \u3000 ") + " \n"
        assert d.lookup(r["group"], r["element"], respaced) == r
        assert d.lookup(r["group"], r["element"], creator.upper()) == r
