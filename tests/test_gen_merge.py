"""The merge rules of the bundled dictionary on a tiny crafted set of source rows."""

from __future__ import annotations

import random
import sys
from pathlib import Path

import pytest

import taglex
from taglex import writer
from taglex._core import canonicalize_creator

TOOLS = Path(__file__).resolve().parent.parent / "tools"
if not (TOOLS / "dictsources").is_dir():
    pytest.skip(f"the generator's sources are not in {TOOLS}", allow_module_level=True)
sys.path.insert(0, str(TOOLS))

from dictsources import merge  # noqa: E402
from dictsources.rows import Deidentification, History, PrivateRow, StandardRow  # noqa: E402

# Three independent dictionaries in tie order, a copy that does not vote, and the table.
SOURCES = (
    merge.Source("A 2024", "A"),
    merge.Source("B 2025", "B"),
    merge.Source("C 2026", "C"),
    merge.Source("P 2024", "P", independent=False),
    merge.Source("T 2026c", "T", independent=False, table=True),
)
LABEL = {s.short: s.label for s in SOURCES}


def row(short, creator, element, vrs, name="", keyword="", vm="1", group=0x0029):
    return PrivateRow(LABEL[short], creator, (group,), element, vrs, vm, keyword, name)


ROWS = [
    # 0x10: all agree; A gives a keyword, which is kept.
    row("A", "ACME 1", 0x10, ("OB",), "Header Info", "CSAHeaderInfo"),
    row("B", "ACME 1", 0x10, ("OB",), "Header Info B"),
    row("C", "ACME 1", 0x10, ("OB",), "Header Info C"),
    # 0x11: two of three say LO; P's LT does not count.
    row("A", "ACME 1", 0x11, ("LT",), "Comment"),
    row("B", "ACME 1", 0x11, ("LO",)),
    row("C", "ACME 1", 0x11, ("LO",)),
    row("P", "ACME 1", 0x11, ("LT",)),
    # 0x12: a tie between A and B; P would break it for B, but does not vote.
    row("A", "ACME 1", 0x12, ("SH",), "Code"),
    row("B", "ACME 1", 0x12, ("ST",)),
    row("P", "ACME 1", 0x12, ("ST",)),
    # 0x13: UN does not vote against a real VR; the creator is spelled two ways.
    row("A", "Acme  1", 0x13, ("UN",)),
    row("C", "ACME 1", 0x13, ("DS",), "Dose"),
    row("P", "ACME 1", 0x13, ("DS",), "Dose"),
    # 0x14: the table wins over the dictionaries.
    row("A", "ACME 1", 0x14, ("LO",), "Site"),
    row("B", "ACME 1", 0x14, ("LO",)),
    row("T", "Acme 1", 0x14, ("SH",), "Site Name"),
    # 0x15 and 0x16: rows of the table that no dictionary has, one without a VR.
    row("T", "Acme 1", 0x15, ("DS",), "Stage Timer Time"),
    row("T", "Acme 1", 0x16, (), "Row Vector"),
    # 0x17: no source names it (placeholders were cleared by the parsers); a tie of spellings.
    row("A", "Acme 1", 0x17, ("US",)),
    row("B", "ACME 1", 0x17, ("US",)),
]


@pytest.fixture(scope="module")
def merged() -> dict[int, merge.PrivateKey]:
    keys = merge.private_records(
        ROWS, SOURCES, canonicalize_creator, [LABEL[s] for s in "ACPTB"], [LABEL["A"], LABEL["B"]]
    )
    return {k.record["element"]: k for k in keys}


def test_one_record_per_key_with_every_source(merged):
    assert sorted(merged) == list(range(0x10, 0x18))
    assert merged[0x11].labels == ["A 2024", "B 2025", "C 2026", "P 2024"]
    assert merged[0x13].record["sources"] == ["A 2024", "C 2026", "P 2024"]
    for k in merged.values():
        r = k.record
        assert (r["group"], r["block_offset"], r["retired"]) == (0x0029, True, False)


@pytest.mark.parametrize(
    "element, vr, rule, disputed",
    [
        (0x10, "OB", "agreement", False),
        (0x11, "LO", "majority 2 of 3", True),
        (0x12, "SH", "tie: A first", True),
        (0x13, "DS", "agreement", False),
        (0x14, "SH", "PS3.15 table", True),
        (0x15, "DS", "PS3.15 table", False),
        (0x16, "??", "no VR given", False),
        (0x17, "US", "agreement", False),
    ],
)
def test_vr_rules(merged, element, vr, rule, disputed):
    verdict = merged[element].verdict
    assert (verdict.vr, verdict.rule, verdict.disputed) == (vr, rule, disputed)
    assert merged[element].record["vr"] == vr
    assert ("VR disputed" in merged[element].record["description"]) is disputed


def test_disputed_vrs_stay_in_the_description(merged):
    assert merged[0x11].record["description"] == "VM 1; VR disputed: A LT, B LO, C LO, P LT"
    assert merged[0x14].record["description"] == "VM 1; VR disputed: A LO, B LO, T SH"


def test_names_keywords_and_creators(merged):
    def fields(element):
        r = merged[element].record
        return r["creator"], r["name"], r["keyword"]

    assert fields(0x10) == ("ACME 1", "Header Info", "CSAHeaderInfo")  # a given keyword stays
    assert fields(0x12) == ("ACME 1", "Code", "Code")  # derived from the name
    assert fields(0x13) == ("ACME 1", "Dose", "Dose")  # two spellings: the common one
    assert fields(0x14) == ("ACME 1", "Site", "Site")  # the name in name order
    assert fields(0x15) == ("Acme 1", "Stage Timer Time", "StageTimerTime")
    assert fields(0x17) == ("Acme 1", "", "")  # A's spelling breaks the tie; no name


def test_merge_is_independent_of_row_order_and_builds(merged):
    shuffled = list(ROWS)
    random.Random(5).shuffle(shuffled)
    again = merge.private_records(
        shuffled, SOURCES, canonicalize_creator, [LABEL[s] for s in "ACPTB"], [LABEL["A"]]
    )
    assert [k.record for k in again] == [merged[e].record for e in sorted(merged)]
    data = writer.build([k.record for k in again])
    assert writer.build([merged[e].record for e in sorted(merged)]) == data


def test_standard_records():
    registry = [
        (StandardRow("7FE00010", "PixelData", "Pixel Data", ("OB", "OW"), "1", False), "D 2026c"),
        (
            StandardRow("00280400", "TransformLabel", "Transform Label", ("LO",), "1", True),
            "D 2026c",
        ),
        (StandardRow("002804x0", "RowsForNth", "Rows For Nth", ("US",), "1", True), "D 2026c"),
        (
            StandardRow("00283006", "LUTData", "LUT Data", ("US", "OW"), "1-n or 1", False),
            "D 2026c",
        ),
        (StandardRow("00100010", "PatientName", "Patient's Name", ("PN",), "1", False), "D 2026c"),
        (
            StandardRow("3004007F", "DoseCalcModel", "Dose Calc Model", ("LO",), "1", False),
            "D 2026d",
        ),
    ]
    second = [
        StandardRow("00283006", "LUTData", "LUT Data", ("US", "SS", "OW"), "1-n", False),
        StandardRow("00100010", "PatientName", "Patient Name", ("PN",), "2", True),
        StandardRow("00000100", "CommandField", "Command Field", ("US",), "1", False),
    ]
    records, disputes = merge.standard_records(registry, second, "K 2026b", "K")
    by_tag = {(r["group"], r["element"]): r for r in records}
    assert len(records) == 1 + 16 + 1 + 1 + 1 + 1  # the mask gives 16, one of them named
    assert sorted(by_tag)[0] == (0x0000, 0x0100)

    pixel = by_tag[(0x7FE0, 0x0010)]
    assert (pixel["vr"], pixel["description"], pixel["sources"]) == (
        "OW",
        "VM 1; VR OB or OW",
        ["D 2026c"],
    )
    # An element named on its own beats a mask's expansion, which stays as a note.
    named = by_tag[(0x0028, 0x0400)]
    assert named["keyword"] == "TransformLabel"
    assert named["description"] == "VM 1; also repeating (0028,04x0) RowsForNth"
    assert by_tag[(0x0028, 0x0410)]["description"] == "VM 1; repeating (0028,04x0)"
    # Notation ("lt", a VM that "1-n or 1" allows) is no disagreement; the rest is noted.
    assert disputes == [("00100010", ["VM 2", "retired"])]
    assert by_tag[(0x0010, 0x0010)]["description"] == "VM 1; K: VM 2, retired"
    assert by_tag[(0x0028, 0x3006)]["description"] == "VM 1-n or 1; VR US or OW"
    assert by_tag[(0x3004, 0x007F)]["sources"] == ["D 2026d"]
    command = by_tag[(0x0000, 0x0100)]
    assert (command["keyword"], command["sources"]) == ("CommandField", ["K 2026b"])


def test_votes_and_block_specific_definitions(tmp_path):
    # L1 and L2 are one lineage (L2 newer), G1 and G2 one project (G1 newer): two votes, with B.
    sources = (
        merge.Source("L1 2024", "L1", vote="L", rank=1),
        merge.Source("L2 2025", "L2", vote="L", rank=0),
        merge.Source("B 2025", "B"),
        merge.Source("G1 2026", "G1", vote="G", rank=0),
        merge.Source("G2 2025", "G2", vote="G", rank=1),
    )

    def r(label, element, vr, keyword="", block=0):
        return PrivateRow(label, "PHILIPS", (0x0019,), element, (vr,), "1", keyword, "", block=block)

    rows = [
        # Counted as five sources, LO would win 3 to 2; as three votes, LT wins 2 to 1.
        r("L1 2024", 0x01, "LO"), r("L2 2025", 0x01, "LT"), r("B 2025", 0x01, "LO"),
        r("G1 2026", 0x01, "LT"), r("G2 2025", 0x01, "LO"),
        # One block's own definitions beside a block-form one of other sources.
        r("L1 2024", 0x00, "IS", "NumberOfStacks", block=0x11),
        r("L2 2025", 0x00, "IS", "NumberOfStacks", block=0x11),
        r("L1 2024", 0x00, "DS", "FieldOfView", block=0x10),
        r("G2 2025", 0x00, "DS", "FieldOfView"),
    ]  # fmt: skip
    keys = merge.private_records(rows, sources, canonicalize_creator, [], [s.label for s in sources])
    got = {(k.record["element"], k.record["block_offset"]): k for k in keys}
    assert sorted(got) == [(0x00, True), (0x01, True), (0x1000, False), (0x1100, False)]
    assert (got[(0x01, True)].verdict.vr, got[(0x01, True)].verdict.rule) == ("LT", "majority 2 of 3")
    assert got[(0x01, True)].labels == [s.label for s in sources]  # every source is named
    # Each record names only the sources of its own kind of definition.
    assert [(k.record["keyword"], k.labels) for k in (got[(0x00, True)], got[(0x1000, False)], got[(0x1100, False)])] == [
        ("FieldOfView", ["G2 2025"]),
        ("FieldOfView", ["L1 2024"]),
        ("NumberOfStacks", ["L1 2024", "L2 2025"]),
    ]  # fmt: skip
    # Asked with the full tag, the block-specific record answers first.
    writer.write(tmp_path / "votes.tlex", [k.record for k in keys])
    d = taglex.open(str(tmp_path / "votes.tlex"))
    assert d.lookup(0x0019, 0x1100, "philips")["keyword"] == "NumberOfStacks"
    assert d.lookup(0x0019, 0x00, "philips")["block_offset"] is True


def test_description_parts_in_their_order():
    deid = Deidentification("X/Z", {"clean_graphics": "C", "retain_uids": "K"})
    registry = [
        (StandardRow("60xx3000", "OverlayData", "Overlay Data", ("OB", "OW"), "1", False), "D"),
        (StandardRow("00100010", "PatientName", "Patient's Name", ("PN",), "1", False), "D"),
    ]
    second = [StandardRow("60xx3000", "OverlayData", "Overlay Data", ("OW",), "1", False)]
    told = {"60xx3000": History("2024d", ("OverlayBits", "Overlay"))}
    records, _ = merge.standard_records(
        registry, second, "K 2026b", "K", told, lambda g, e: deid if g & 0xFF00 == 0x6000 else None
    )
    by_tag = {(r["group"], r["element"]): r["description"] for r in records}
    assert by_tag[(0x6002, 0x3000)] == (
        "VM 1; VR OB or OW; repeating (60xx,3000); since 2024d; formerly OverlayBits, Overlay; "
        "de-identification X/Z, retain_uids K, clean_graphics C; K: VR OW"
    )
    assert by_tag[(0x0010, 0x0010)] == "VM 1"
    keys = merge.private_records(
        [row("A", "ACME 1", 0x10, ("LO",)), row("B", "ACME 1", 0x10, ("SH",))],
        SOURCES, canonicalize_creator, [], [],
        Deidentification("X", {"retain_safe_private": "C"}),
    )  # fmt: skip
    assert keys[0].record["description"] == (
        "VM 1; de-identification X, retain_safe_private C; VR disputed: A LO, B SH"
    )
