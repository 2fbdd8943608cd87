"""The bundled dictionary and its generator (tools/gen_default_dict.py).

The generator's rules are tested on their own; the bundled file is checked for
its structure (one entry per key, every record reachable) and, where pydicom
is installed, against pydicom's dictionaries.
"""

from __future__ import annotations

import importlib.util
import os
import random
import re
from pathlib import Path

import pytest
from support import Layout

import taglex
from taglex import writer
from taglex._canonical import creator_hash

ROOT = Path(__file__).resolve().parent.parent


def _load_generator():
    found = importlib.util.spec_from_file_location(
        "gen_default_dict", ROOT / "tools" / "gen_default_dict.py"
    )
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


gen = _load_generator()


@pytest.fixture(scope="module")
def bundled() -> taglex.Dict:
    return taglex.open_default()


@pytest.fixture(scope="module")
def layout() -> Layout:
    return Layout(Path(taglex.default_path()).read_bytes())


def _records(layout: Layout):
    """Every record of the bundled file as (group, element, creator, block_offset)."""
    for r in range(layout.records_count):
        yield (
            layout.record(r, "group"),
            layout.record(r, "element"),
            layout.text(r, "creator").decode("utf-8") if layout.record(r, "creator_len") else "",
            bool(layout.record(r, "element_is_block_offset")),
        )


def _first_vr(text: str) -> str:
    first = re.split(r"\s+or\s+|_", text.strip())[0]
    return first if first in writer.VR_CODES else "??"


def _pydicom():
    return pytest.importorskip("pydicom")


# --- the generator's rules ----------------------------------------------------------


@pytest.mark.parametrize(
    "text, vr, note",
    [
        ("PN", "PN", None),
        ("US or SS", "US", "VR US or SS"),
        ("US or SS or OW", "US", "VR US or SS or OW"),
        ("OB or OW", "OB", "VR OB or OW"),
        ("OB_OW", "OB", "VR OB_OW"),
        ("NONE", "??", "VR NONE"),
        ("", "??", "VR not given"),
        ("XY", "??", "VR XY"),
    ],
)
def test_stored_vr_is_the_first_listed(text, vr, note):
    assert gen.stored_vr(text) == (vr, note)


@pytest.mark.parametrize(
    "name, keyword",
    [
        ("Hx Questionnaire", "HxQuestionnaire"),
        ("Image Analysis Data in XML", "ImageAnalysisDataInXML"),
        ("DOSE Right DOM", "DOSERightDOM"),
        ("2nd Flip Angle [degree]", "Private2ndFlipAngleDegree"),
        ("3DCard Step Angle", "Private3DCardStepAngle"),
        ("PTE (α edge)", "PTEEdge"),
        ("Group_Length-to/end", "GroupLengthToEnd"),
        ("", ""),
        ("?? (...)", ""),
    ],
)
def test_keyword_from_name(name, keyword):
    assert gen.keyword_from_name(name) == keyword


def test_repeating_groups_expand_to_even_groups_only():
    tags = gen.standard_tags("60xx3000")
    assert tags == [(g, 0x3000) for g in range(0x6000, 0x6020, 2)]
    assert (0x6002, 0x3000) in tags and (0x6001, 0x3000) not in tags
    assert gen.standard_tags("50xx0005")[-1] == (0x501E, 0x0005)


def test_masked_elements_expand_to_every_digit():
    assert gen.standard_tags("002804x0") == [(0x0028, 0x0400 + 16 * d) for d in range(16)]
    assert [e for _, e in gen.standard_tags("002031xx")] == list(range(0x3100, 0x3200))
    zonal = gen.standard_tags("1010xxxx")
    assert len(set(zonal)) == 65536 and {g for g, _ in zonal} == {0x1010}
    with pytest.raises(ValueError):
        gen.standard_tags("x0000010")


def test_private_tag_forms():
    assert gen.private_tags("0029xx10") == (gen.FORM_BLOCK, [(0x0029, 0x10, True)], None)
    assert gen.private_tags("00E11021") == (
        gen.FORM_FIXED,
        [(0x00E1, 0x21, True)],
        "listed as (00E1,1021)",
    )
    form, tags, note = gen.private_tags("60xxxx01")
    assert form == gen.FORM_GROUPS and note == "listed as (60xx,xx01)"
    assert tags == [(g, 0x01, True) for g in range(0x6001, 0x6100, 2)]
    form, tags, note = gen.private_tags("001910xx")
    assert form == gen.FORM_CREATOR and tags == [(0x0019, 0x10, False)]
    assert "(0019,0010)" in note
    with pytest.raises(ValueError):
        gen.private_tags("00x9xx10")


def _private(creator: str, mask: str, entry: tuple) -> list[dict]:
    return gen.private_candidates({creator: {mask: entry}}, "src")


def test_merge_keeps_one_entry_per_key_and_the_loser_in_the_description():
    candidates = (
        _private("Hologic", "0011xx00", ("LO", "1", "Questionnaire", ""))
        + _private("HOLOGIC", "0011xx00", ("SH", "2", "Hx Questionnaire", ""))
        + _private("HOLOGIC", "0011xx01", ("LO", "1", "Other", ""))
    )
    merged = gen.merge(candidates, creator_hash)
    assert [(r["group"], r["element"]) for r in merged] == [(0x11, 0x00), (0x11, 0x01)]
    winner = merged[0]
    # Same rank otherwise: the creator text in code-point order decides.
    assert winner["creator"] == "HOLOGIC" and winner["vr"] == "SH"
    assert winner["description"] == "VM 2; also 'Hologic' (0011,xx00): LO, VM 1, 'Questionnaire'"


def test_merge_prefers_informative_names_then_the_usual_form():
    named_fixed = _private("ELSCINT1", "00E11021", ("DS", "1", "DLP", ""))
    unknown_block = _private("ELSCINT1", "00E1xx21", ("DS", "1", "Unknown", ""))
    (rec,) = gen.merge(unknown_block + named_fixed, creator_hash)
    assert rec["name"] == "DLP" and rec["keyword"] == "DLP"
    assert "also 'ELSCINT1' (00E1,xx21): DS, VM 1, 'Unknown'" in rec["description"]

    named_block = _private("ELSCINT1", "00E1xx50", ("DS", "1", "Duration", ""))
    named_fixed = _private("ELSCINT1", "00E11050", ("DS", "1", "Duration", ""))
    (rec,) = gen.merge(named_fixed + named_block, creator_hash)
    assert "listed as" not in rec["description"].split("; also")[0]


def test_standard_element_beats_a_repeating_expansion():
    candidates = gen.standard_candidates(
        {0x00280400: ("LO", "1", "Transform Label", "Retired", "TransformLabel")},
        {"002804x0": ("US", "1", "Rows For Nth", "Retired", "RowsForNth")},
        "DICOM test",
    )
    merged = gen.merge(candidates, creator_hash)
    assert len(merged) == 16
    first = merged[0]
    assert (first["group"], first["element"], first["keyword"]) == (0x28, 0x400, "TransformLabel")
    assert first["description"] == "VM 1; also repeating (0028,04x0) RowsForNth"
    assert merged[1]["description"] == "VM 1; repeating (0028,04x0)"


def test_merge_does_not_depend_on_input_order():
    candidates = (
        _private("SPI RELEASE 1", "0009xx10", ("LO", "1", "Comments", ""))
        + _private("SPI Release 1", "0009xx10", ("LO", "1", "Comments", ""))
        + _private("SPI Release 1", "0009xx15", ("LO", "1", "UID", ""))
        + _private("PAPYRUS 3.0", "60xxxx00", ("IS", "1", "Overlay ID", ""))
    )
    expected = gen.merge(candidates, creator_hash)
    shuffled = list(candidates)
    random.Random(7).shuffle(shuffled)
    assert gen.merge(shuffled, creator_hash) == expected
    assert writer.build(gen.merge(shuffled, creator_hash)) == writer.build(expected)


# --- the bundled file ---------------------------------------------------------------


def test_default_path_and_open_default(bundled, layout):
    path = taglex.default_path()
    assert os.path.isfile(path)
    assert Path(path).parts[-2:] == ("data", "dicom.tlex")
    assert {"default_path", "open_default"} <= set(taglex.__all__)
    assert isinstance(bundled, taglex.Dict)
    assert len(bundled) == layout.index_count == layout.records_count > 0


def test_bundled_file_has_exactly_one_entry_per_key(layout):
    keys = [
        (layout.entry(k, "group"), layout.entry(k, "element"), layout.entry(k, "creator_hash"))
        for k in range(layout.index_count)
    ]
    assert all(a < b for a, b in zip(keys, keys[1:])), "index keys must be strictly increasing"
    assert sorted(layout.entry(k, "record_index") for k in range(layout.index_count)) == list(
        range(layout.records_count)
    )
    # Creators that differ only in case or spacing share one key.
    canonical = {}
    for group, element, creator, _ in _records(layout):
        if creator:
            key = (group, element, creator_hash(creator))
            assert key not in canonical, (creator, canonical.get(key))
            canonical[key] = creator


def test_every_record_is_found_by_its_own_key(bundled, layout):
    for group, element, creator, block in _records(layout):
        found = bundled.lookup(group, element, creator or None)
        assert found is not None, (hex(group), hex(element), creator)
        assert (found["group"], found["element"], found["creator"], found["block_offset"]) == (
            group,
            element,
            creator,
            block,
        )
        if creator:
            messy = "  " + creator.lower().replace(" ", " \t ") + " "
            assert bundled.lookup(group, element, messy) == found


def test_bundled_file_is_what_the_generator_makes():
    pydicom = _pydicom()
    data = Path(taglex.default_path()).read_bytes()
    label = f"pydicom {pydicom.__version__} private dictionary".encode()
    if label not in data:
        pytest.skip(f"the bundled file was made with another pydicom than {pydicom.__version__}")
    built, _, _ = gen.build_default()
    assert built == data  # same pydicom, same bytes


# --- the bundled file against pydicom -------------------------------------------------


def _check_standard(found: dict, vr: str, vm: str, name: str, retired: str, keyword: str):
    assert found is not None
    assert (found["keyword"], found["name"], found["vr"]) == (keyword, name, _first_vr(vr))
    assert found["retired"] is (retired == "Retired")
    assert found["creator"] == "" and found["block_offset"] is False
    assert found["description"].startswith(f"VM {vm}")
    if found["vr"] != vr:
        assert f"VR {vr}" in found["description"]


def test_standard_elements_match_pydicom(bundled):
    _pydicom()
    from pydicom import _dicom_dict, datadict
    from pydicom._version import __dicom_version__ as edition

    for tag, entry in _dicom_dict.DicomDictionary.items():
        found = bundled.lookup(tag >> 16, tag & 0xFFFF)
        _check_standard(found, *entry)
        assert found["sources"] == [f"DICOM {edition}"]
    # A few well-known ones, spelled out.
    assert datadict.keyword_for_tag(0x00100010) == bundled.lookup(0x10, 0x10)["keyword"]
    assert bundled.lookup(0x10, 0x10)["vr"] == datadict.dictionary_VR(0x00100010) == "PN"
    assert bundled.lookup(0x0000, 0x0001)["retired"] is datadict.dictionary_is_retired(0x00000001)
    assert bundled.lookup(0x0000, 0x0001)["retired"] is True


def test_repeating_groups_match_pydicom(bundled):
    _pydicom()
    from pydicom import _dicom_dict, datadict

    found = bundled.lookup(0x6002, 0x3000)
    _check_standard(found, *datadict.get_entry(0x60023000))
    assert found["keyword"] == "OverlayData" == datadict.keyword_for_tag(0x60023000)
    assert "repeating (60xx,3000)" in found["description"]
    assert bundled.lookup(0x6001, 0x3000) is None  # odd: not a repeating group
    assert bundled.lookup(0x6020, 0x3000) is None  # past 601E

    rng = random.Random(2024)
    for mask in _dicom_dict.RepeatersDictionary:
        tags = gen.standard_tags(mask)
        for group, element in [tags[0], tags[-1], *rng.sample(tags, min(4, len(tags)))]:
            found = bundled.lookup(group, element)
            _check_standard(found, *datadict.get_entry((group << 16) | element))


def test_private_elements_match_pydicom(bundled):
    _pydicom()
    from pydicom import _private_dict

    dictionaries = _private_dict.private_dictionaries
    assert "HOLOGIC" in dictionaries and "Hologic" in dictionaries
    for creator, entries in dictionaries.items():
        # Every creator is found however it is spelled.
        spelled = " " + creator.swapcase().replace(" ", "  ") + "\t"
        for mask, (vr, vm, name, _retired) in entries.items():
            usual = mask[4:6].lower() == "xx"
            group = int(mask[:4].replace("xx", "01"), 16)
            if mask[6:] == "xx":  # stored as the creator element (gggg,00bb)
                element = int(mask[4:6], 16)
            else:
                element = int(mask[6:], 16)
            found = bundled.lookup(group, element, spelled)
            assert found is not None, (creator, mask)
            head = found["description"].split("; also ")[0]
            winner = (
                (found["creator"], found["name"], found["vr"]) == (creator, name, _first_vr(vr))
                and head.startswith(f"VM {vm}")
                and ("listed as" in head) != (usual and "x" not in mask[:4].lower())
            )
            if winner:
                assert found["keyword"] == gen.keyword_from_name(name)
            else:
                # Merged: what this entry said is kept in the winner's description.
                g, e = mask[:4].upper().replace("X", "x"), mask[4:].upper().replace("X", "x")
                said = f"also {creator!r} ({g},{e}): {vr or '-'}, VM {vm or '-'}, {name!r}"
                assert said in found["description"], (creator, mask, found)


def test_creators_in_another_case_or_spacing(bundled):
    _pydicom()
    from pydicom import _private_dict

    dictionaries = _private_dict.private_dictionaries
    # A creator written with two spaces, looked up in lower case with one.
    creator = "SIEMENS CM VA0  CMS"
    assert creator in dictionaries
    mask, (vr, vm, name, _) = next(iter(dictionaries[creator].items()))
    found = bundled.lookup(int(mask[:4], 16), int(mask[6:], 16), "siemens cm va0 cms")
    assert (found["creator"], found["name"], found["vr"]) == (creator, name, _first_vr(vr))
    assert found["block_offset"] is True

    # Two spellings of one creator: one entry, the other spelling in the description.
    upper, mixed = dictionaries["HOLOGIC"]["0011xx00"], dictionaries["Hologic"]["0011xx00"]
    found = bundled.lookup(0x0011, 0x00, "hologic")
    assert found["creator"] == "HOLOGIC" and found["name"] == upper[2]
    said = f"also 'Hologic' (0011,xx00): {mixed[0]}, VM {mixed[1]}, {mixed[2]!r}"
    assert said in found["description"]
    assert bundled.lookup(0x0011, 0x00, "HoLoGiC") == found
    assert bundled.lookup(0x0011, 0x00) is None  # a private element needs its creator
    assert found["sources"] == [f"pydicom {_pydicom().__version__} private dictionary"]


def test_index_entries_match_records(layout):
    # The lookup reports the record's group and element; they must agree
    # with the index entry that leads to it.
    for k in range(layout.index_count):
        r = layout.entry(k, "record_index")
        assert (layout.entry(k, "group"), layout.entry(k, "element")) == (
            layout.record(r, "group"),
            layout.record(r, "element"),
        )
        chash = layout.entry(k, "creator_hash")
        if layout.record(r, "creator_len"):
            assert chash == creator_hash(layout.text(r, "creator").decode())
        else:
            assert chash == 0


def test_root_counts_are_little_endian_u32(layout):
    data = Path(taglex.default_path()).read_bytes()
    assert Layout(data).records_count == layout.records_count
