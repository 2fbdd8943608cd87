"""The bundled dictionary, through the installed package, and its freshness.

The bundled file is checked for its structure (one entry per key, every
record reachable), for the elements it must answer, for the safe private
attributes of PS3.15, and, where pydicom is installed, against pydicom's
dictionaries as an independent peer. The generator's check runs where the
source files (../shared/dictdata beside the project) are present.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from support import Layout

import taglex
from taglex._core import creator_hash

ROOT = Path(__file__).resolve().parent.parent
GENERATOR = ROOT / "tools" / "gen_default_dict.py"
# TAGLEX_DICTDATA names the sources where they are not beside the project (a git worktree).
DICTDATA = Path(os.environ.get("TAGLEX_DICTDATA") or ROOT.parent / "shared" / "dictdata")
SAFE_TABLE = DICTDATA / "deidentification" / "ps315-2026c" / "safe_private.tsv"
SAFE_LABEL = "DICOM PS3.15 2026c safe private"


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


def _needs_dictdata(path: Path = DICTDATA) -> None:
    if not path.exists():
        pytest.skip(f"the dictionary sources are not at {path} (as in an unpacked sdist)")
    if not GENERATOR.is_file():
        pytest.skip(f"the generator is not at {GENERATOR}")


# --- structure ------------------------------------------------------------------------


def test_default_path_and_open_default(bundled, layout):
    path = taglex.default_path()
    assert os.path.isfile(path)
    assert Path(path).parts[-2:] == ("data", "dicom.tlex")
    assert {"default_path", "open_default"} <= set(taglex.__all__)
    assert isinstance(bundled, taglex.Dict)
    assert len(bundled) == layout.index_count == layout.records_count > 100_000


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
        assert found["sources"], (hex(group), hex(element), creator)
        assert re.match(r"VM ", found["description"]), found
        if creator:
            messy = "  " + creator.lower().replace(" ", " \t ") + " "
            assert bundled.lookup(group, element, messy) == found


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


# --- what it answers --------------------------------------------------------------------


@pytest.mark.parametrize(
    "tag, fields",
    [
        (
            (0x3004, 0x007F),
            {"keyword": "DoseCalculationModelName", "vr": "LO", "sources": ["DICOM 2026d"]},
        ),
        ((0x0040, 0xE012), {"keyword": "DisplayURI", "vr": "UR", "sources": ["DICOM 2026c"]}),
        (
            (0x7FE0, 0x0010),
            {"keyword": "PixelData", "vr": "OW", "description": "VM 1; VR OB or OW"},
        ),
        ((0x6002, 0x3000), {"keyword": "OverlayData", "vr": "OW"}),
        ((0x0028, 0x0106), {"vr": "US", "description": "VM 1; VR US or SS"}),
        ((0x0010, 0x0010), {"keyword": "PatientName", "name": "Patient's Name", "vr": "PN"}),
        (
            (0x0000, 0x0100),
            {
                "keyword": "CommandField",
                "name": "Command Field",
                "vr": "US",
                "sources": ["DCMTK dicom.dic 2026-03-28 (DICOM 2026b)"],
            },
        ),
        ((0x0000, 0x0850), {"keyword": "NumberOfMatches", "name": "Number of Matches"}),
        ((0xFFFE, 0xE000), {"keyword": "Item", "vr": "??", "description": "VM 1; VR not given"}),
    ],
)
def test_standard_elements(bundled, tag, fields):
    found = bundled.lookup(*tag)
    assert found is not None
    assert {k: found[k] for k in fields} == fields
    assert (found["creator"], found["block_offset"]) == ("", False)


def test_repeating_groups_are_even_only(bundled):
    assert "repeating (60xx,3000)" in bundled.lookup(0x601E, 0x3000)["description"]
    assert bundled.lookup(0x6001, 0x3000) is None  # odd: not a repeating group
    assert bundled.lookup(0x6020, 0x3000) is None  # past 601E


def test_private_elements(bundled):
    csa = bundled.lookup(0x0029, 0x10, "siemens csa header")
    assert csa["creator"] == "SIEMENS CSA HEADER" and csa["block_offset"] is True
    assert len(csa["sources"]) >= 3 and csa["keyword"] == "CSAImageHeaderInfo"
    assert bundled.lookup(0x0029, 0x10) is None  # a private element needs its creator
    # A creator written with two spaces, looked up in lower case with one.
    spaced = bundled.lookup(0x0009, 0x10, "siemens cm va0  cms")
    assert spaced is not None and spaced == bundled.lookup(0x0009, 0x10, "SIEMENS CM VA0 CMS")
    # Disputed VRs are told in the description.
    agfa = bundled.lookup(0x0019, 0x10, "AGFA")
    assert "; VR disputed: dicom3tools " in agfa["description"]
    assert {"SH", "ST"} <= set(agfa["description"].replace(",", " ").split())


def test_cli_lookup_lists_the_sources():
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "taglex",
            "lookup",
            "(0029,xx10)",
            "--creator",
            "siemens csa header",
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    assert proc.returncode == 0, proc.stderr
    (sources,) = [line for line in proc.stdout.splitlines() if line.startswith("sources:")]
    assert len(sources.split(":", 1)[1].split(",")) >= 3, sources


def test_every_safe_private_attribute_is_labelled(bundled):
    _needs_dictdata(SAFE_TABLE)
    rows = [
        line.split("\t")
        for line in SAFE_TABLE.read_text(encoding="utf-8").splitlines()
        if line and not line.startswith(("#", "tag\t"))
    ]
    assert len(rows) == 479
    for tag, creator, vr, vm, meaning in rows:
        m = re.fullmatch(r"\(([0-9A-Fa-f]{4}),xx([0-9A-Fa-f]{2})\)", tag)
        assert m, tag
        found = bundled.lookup(int(m[1], 16), int(m[2], 16), creator)
        assert found is not None, (tag, creator)
        assert SAFE_LABEL in found["sources"], (tag, creator, found["sources"])
        # The table's VR wins ("OW/OB" stores the OW an implicit-VR reader needs).
        if vr:
            assert found["vr"] == {"OW/OB": "OW"}.get(vr, vr), (tag, creator, vr, found)
        if found["sources"] == [SAFE_LABEL]:
            assert (found["name"], found["description"].split(";")[0]) == (meaning, f"VM {vm}")
            assert found["vr"] == ({"OW/OB": "OW"}.get(vr, vr) or "??")


# --- freshness ------------------------------------------------------------------------


def test_generated_files_are_fresh():
    _needs_dictdata()
    # The generator needs neither pydicom nor anything beyond the project.
    code = (
        "import runpy, sys; sys.modules['pydicom'] = None; "
        f"sys.argv = [{str(GENERATOR)!r}, '--check']; "
        f"runpy.run_path({str(GENERATOR)!r}, run_name='__main__')"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        check=False,
        env={**os.environ, "PYTHONHASHSEED": "random"},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("up to date: ")


# --- against pydicom ------------------------------------------------------------------

# Where DICOM 2026c differs from the 2024c edition pydicom 3.0 carries, and
# where pydicom fills in what the registry leaves blank.
EDITION_CHANGES = {
    0x003A0320: {"keyword": "SummarizedFilterLookupTableSequence"},
    0x003A0325: {"keyword": "AnalogFilterTypeCodeSequence"},
    0x00102160: {"retired": True},
    0x30040012: {"retired": False},
    0x00181153: {"name": "Exposure in µAs"},
    0x00188150: {"name": "Exposure Time in µS"},
    0x00188151: {"name": "X-Ray Tube Current in µA"},
    0x00080202: {"name": "", "vr": "??", "description": "VM not given; VR not given"},
    0x00189445: {"name": "", "vr": "??", "description": "VM not given; VR not given"},
    0x00280020: {"name": "", "vr": "??", "description": "VM not given; VR not given"},
}


def test_standard_elements_match_pydicom(bundled):
    pytest.importorskip("pydicom")
    from pydicom import _dicom_dict

    changed = set()
    for tag, (vr, vm, name, retired, keyword) in _dicom_dict.DicomDictionary.items():
        found = bundled.lookup(tag >> 16, tag & 0xFFFF)
        assert found is not None, hex(tag)
        said = {"keyword": keyword, "name": name, "retired": retired == "Retired"}
        said.update(EDITION_CHANGES.get(tag, {}))
        if tag >> 16 == 0:  # command elements: names made from DCMTK's keywords
            said["name"] = (
                found["name"]
                if re.sub(r"\W", "", name.lower()) == re.sub(r"\W", "", found["name"].lower())
                else name
            )
        assert {k: found[k] for k in said} == said, (hex(tag), found)
        allowed = [said["vr"]] if "vr" in said else vr.replace(" or ", " ").split()
        if vr == "NONE":  # the item and delimitation tags
            allowed = ["??"]
        assert found["vr"] in allowed, (hex(tag), vr, found["vr"])
        if "description" not in said:
            assert found["description"].startswith(f"VM {vm}"), (hex(tag), vm, found)
        changed.update(t for t in EDITION_CHANGES if t == tag)
    assert changed == set(EDITION_CHANGES)


def test_private_elements_of_pydicom_are_all_there(bundled):
    pytest.importorskip("pydicom")
    from pydicom import _private_dict

    for creator, entries in _private_dict.private_dictionaries.items():
        spelled = " " + creator.swapcase().replace(" ", "  ") + "\t"
        for mask in entries:
            if mask[6:].lower() == "xx":
                continue  # a block's creator element: looked up without a creator
            group = int(mask[:4].lower().replace("xx", "01"), 16)
            found = bundled.lookup(group, int(mask[6:], 16), spelled)
            assert found is not None, (creator, mask)
            assert any(s.startswith("pydicom ") for s in found["sources"]), (creator, mask)


# --- history, de-identification, block-specific entries, UIDs ---------------------------


@pytest.mark.parametrize(
    "tag, keyword, parts",
    [
        ((0x0040, 0xE012), "DisplayURI", "VM 1; since 2026c; de-identification X"),
        ((0x3004, 0x007F), "DoseCalculationModelName", "VM 1; since 2026d"),
        ((0x003A, 0x0325), "AnalogFilterTypeCodeSequence", "VM 1; since 2022c; formerly AnalogFilterType"),
        ((0x0008, 0x0018), "SOPInstanceUID", "VM 1; de-identification U, retain_uids K"),
        ((0x6002, 0x3000), "OverlayData",
         "VM 1; VR OB or OW; repeating (60xx,3000); de-identification X, clean_graphics C"),
        ((0x501E, 0x0005), "CurveDimensions", "VM 1; repeating (50xx,0005); de-identification X, clean_graphics C"),
    ],
)  # fmt: skip
def test_history_and_deidentification_parts(bundled, tag, keyword, parts):
    found = bundled.lookup(*tag)
    assert (found["keyword"], found["description"]) == (keyword, parts)


def test_every_deidentification_row_is_attached(bundled, layout):
    table = DICTDATA / "deidentification" / "ps315-2026c" / "table_e1-1.tsv"
    _needs_dictdata(table)
    rows = [
        line.split("\t")
        for line in table.read_text(encoding="utf-8").splitlines()
        if line and not line.startswith(("#", "Attribute Name\t"))
    ]
    assert len(rows) == 656
    for name, tag, _retd, _iod, basic, *options in rows:
        m = re.fullmatch(r"\(([0-9A-F]{4}),([0-9A-F]{4})\)", tag)
        if m is None:
            continue  # masks and the private row: below
        found = bundled.lookup(int(m[1], 16), int(m[2], 16))
        assert found is not None, (tag, name)
        assert f"; de-identification {basic}" in found["description"], (tag, found)
    # The private-attributes row, on every private entry.
    for group, element, creator, _ in _records(layout):
        if creator:
            described = bundled.lookup(group, element, creator)["description"]
            assert "; de-identification X, retain_safe_private C" in described, (group, element)


def test_block_specific_entries(bundled):
    # Block 0x11 of PHILIPS MR/PART is not block 0x10, whose element 0x00 the block form repeats.
    stacks = bundled.lookup(0x0019, 0x1100, "PHILIPS MR/PART")
    assert (stacks["keyword"], stacks["vr"], stacks["block_offset"]) == ("NumberOfStacks", "IS", False)
    assert stacks["sources"] == ["dicom3tools 2024-12-20", "vtk-dicom 2025-11-08"]
    assert bundled.lookup(0x0019, 0x1000, "philips mr/part")["keyword"] == "FieldOfView"
    block_form = bundled.lookup(0x0019, 0x00, "PHILIPS MR/PART")
    assert (block_form["keyword"], block_form["block_offset"]) == ("FieldOfView", True)


def test_the_newer_gdcm_table_and_vtk_dicom_add_keys(bundled):
    # ELSCINT1 additions in GDCM's compiled-in table only; CANON_MEC_XA3, in vtk-dicom only.
    elscint = bundled.lookup(0x00E1, 0x08, "ELSCINT1")
    assert (elscint["keyword"], elscint["sources"]) == ("SOPInstanceUID", ["GDCM 2026-06-10"])
    assert any(
        found is not None and found["sources"] == ["vtk-dicom 2025-11-08"]
        for found in (bundled.lookup(0x7079, e, "CANON_MEC_XA3") for e in range(256))
    )


def test_uids_through_the_package():
    from taglex import uids

    explicit = uids.get("1.2.840.10008.1.2.1")
    assert (explicit.keyword, explicit.name, explicit.type, explicit.retired, explicit.part) == (
        "ExplicitVRLittleEndian", "Explicit VR Little Endian", "Transfer Syntax", False, "PS3.5",
    )  # fmt: skip
    assert uids.get("ExplicitVRLittleEndian") is explicit
    assert uids.get("1.2.840.10008.1.2.1\x00") is explicit  # as padded in a file
    assert uids.get("1.2.840.10008.1.2.1.0") is None and uids.get("") is None
    assert uids.get("ExplicitVRBigEndian").retired is True
    assert uids.get("1.2.840.10008.6.1.2").info == "CID 4"
    with pytest.raises(TypeError, match="text must be a str, not bytes"):
        uids.get(b"1.2.840.10008.1.2.1")
    with pytest.raises(AttributeError):
        explicit.name = "x"
    counts = {kind: len(list(uids.entries(kind))) for kind in uids.types()}
    assert counts["Context Group Name"] == 1453 and counts["Transfer Syntax"] == 63
    assert sum(counts.values()) == len(list(uids.entries())) == 1971
    with pytest.raises(ValueError, match="no UID type 'Transfer syntax'; the types are: "):
        uids.entries("Transfer syntax")
    registry = DICTDATA / "uids" / "ps36-2026c" / "uids.tsv"
    if registry.is_file():
        listed = [
            line.split("\t")[0]
            for line in registry.read_text(encoding="utf-8").splitlines()
            if line[:1].isdigit()
        ]
        assert len(listed) == 494 and all(uids.get(u) is not None for u in listed)


def test_uids_are_not_read_by_import_taglex_and_answer_on_the_command_line():
    code = "import sys, taglex; print('taglex.uids' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"

    def uid(*args):
        return subprocess.run(
            [sys.executable, "-m", "taglex", "uid", *args], capture_output=True, text=True, check=False
        )

    proc = uid("--json", "CTImageStorage")
    assert proc.returncode == 0 and json.loads(proc.stdout)["uid"] == "1.2.840.10008.5.1.4.1.1.2"
    proc = uid("1.2.840.10008.1.2.4.50")
    assert "keyword: JPEGBaseline8Bit" in proc.stdout.splitlines()
    proc = uid("CTImageStorag")
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr == (
        "taglex: no UID or UID keyword 'CTImageStorag'; did you mean CTImageStorage or "
        "RTImageStorage or MRImageStorage?\n"
    )
