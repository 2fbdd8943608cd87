"""The parsers of the bundled dictionary's sources, one format each, on hand-written lines.

Each test feeds a few lines in the source's own format, including the odd
cases it has (masks, ``xx`` blocks, group ranges, VR alternatives, DCMTK's
lower-case VRs, placeholder names) and a line it must refuse.
"""

from __future__ import annotations

import os
import re
import shutil
import sys
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"
if not (TOOLS / "dictsources").is_dir():
    pytest.skip(f"the generator's sources are not in {TOOLS}", allow_module_level=True)
sys.path.insert(0, str(TOOLS))

import gen_default_dict  # noqa: E402
from dictsources import merge, private, rows, standard  # noqa: E402
from dictsources.rows import Deidentification, History, PrivateRow, StandardRow  # noqa: E402

ODD_60 = tuple(range(0x6001, 0x6100, 2))


def test_registry_tsv():
    lines = [
        "# PS3.6 registry; tab-separated",
        "tag\tkeyword\tname\tvr\tvm\tretired\tmask",
        "7FE00010\tPixelData\tPixel Data\tOB OW\t1\t0\t0",
        "60xx3000\tOverlayData\tOverlay Data\tOB OW\t1\t0\t1",
        "002804x0\tRowsForNthOrderCoefficients\tRows For Nth Order Coefficients\tUS\t1\t1\t1",
        "00280106\tSmallestImagePixelValue\tSmallest Image Pixel Value\tUS SS\t1\t0\t0",
        "00080202\t\t\t\t\t1\t0",
    ]
    assert standard.parse_registry_tsv(lines) == [
        StandardRow("7FE00010", "PixelData", "Pixel Data", ("OB", "OW"), "1", False),
        StandardRow("60xx3000", "OverlayData", "Overlay Data", ("OB", "OW"), "1", False),
        StandardRow(
            "002804x0",
            "RowsForNthOrderCoefficients",
            "Rows For Nth Order Coefficients",
            ("US",),
            "1",
            True,
        ),
        StandardRow(
            "00280106",
            "SmallestImagePixelValue",
            "Smallest Image Pixel Value",
            ("US", "SS"),
            "1",
            False,
        ),
        StandardRow("00080202", "", "", (), "", True),
    ]
    for bad, message in [
        ("00100010\tPatientName\tPatient's Name\tPN\t1\t2\t0", "line 1: retired must be 0 or 1"),
        ("00100010\tPatientName\tPatient's Name\tPQ\t1\t0\t0", "line 1: unknown VR 'PQ'"),
        ("0010001\tPatientName\tPatient's Name\tPN\t1\t0\t0", "line 1: bad tag"),
        ("00100010\tPatientName\tPN\t1\t0\t0", "line 1: expected 7 fields, got 6"),
    ]:
        with pytest.raises(ValueError, match=message):
            standard.parse_registry_tsv([bad])


def test_registry_masks_expand():
    # ggxx: the even groups gg00..gg1E (overlays, curves, and the retired 7Fxx).
    assert merge.standard_tags("60xx3000") == [(g, 0x3000) for g in range(0x6000, 0x6020, 2)]
    assert merge.standard_tags("7Fxx0010")[-1] == (0x7F1E, 0x0010)
    # An x in the element is every hex digit.
    assert merge.standard_tags("002804x0") == [(0x0028, 0x0400 + 16 * d) for d in range(16)]
    assert len(set(merge.standard_tags("1010xxxx"))) == 65536
    for bad in ("x0000010", "6x003000", "600x3000"):
        with pytest.raises(ValueError, match="unsupported repeating group"):
            merge.standard_tags(bad)


def test_dcmtk_dicom_dic():
    lines = [
        "# tag\tVR\tkeyword\tVM\tversion",
        "(0000,0100)\tUS\tCommandField\t1\tDICOM",
        "(0000,0001)\tUL\tRETIRED_CommandLengthToEnd\t1\tDICOM/retired",
        "(6000-60FF,3000)\tox\tOverlayData\t1\tDICOM",
        "(0028,0106)\txs\tSmallestImagePixelValue\t1\tDICOM",
        "(0028,3006)\tlt\tLUTData\t1-n\tDICOM",
        "(FFFE,E000)\tna\tItem\t1\tDICOM",
        "(0014,3050)\tox\tDarkCurrentCounts\t1\tDICOM/DICONDE",
        "(0009,0010)\tLO\tSomePrivateTag\t1\tPRIVATE",
    ]
    got = standard.parse_dcmtk_dic(lines, frozenset({"DICOM", "DICOM/retired"}))
    assert got == [
        StandardRow("00000100", "CommandField", "Command Field", ("US",), "1", False),
        StandardRow("00000001", "CommandLengthToEnd", "Command Length to End", ("UL",), "1", True),
        StandardRow("60xx3000", "OverlayData", "Overlay Data", ("OB", "OW"), "1", False),
        StandardRow(
            "00280106",
            "SmallestImagePixelValue",
            "Smallest Image Pixel Value",
            ("US", "SS"),
            "1",
            False,
        ),
        StandardRow("00283006", "LUTData", "LUT Data", ("US", "SS", "OW"), "1-n", False),
        StandardRow("FFFEE000", "Item", "Item", (), "1", False),
    ]
    for bad, message in [
        ("(6000-61FF,3000)\tOW\tX\t1\tDICOM", "unsupported range"),
        ("(0010,0010)\tPN\tPatientName\t1", "expected 5 fields, got 4"),
        ("(0010,0010)\tzz\tPatientName\t1\tDICOM", "unknown VR 'zz'"),
    ]:
        with pytest.raises(ValueError, match=message):
            standard.parse_dcmtk_dic([bad], frozenset({"DICOM"}))


def test_dicom3tools_tpl():
    lines = [
        '(0009,0000) VERS="ACU"\tVR="IS"   VM="1"\tOwner="ACUSON"\tKeyword="?"\t\tName="?"',
        '(60xx,0001) VERS="GEM"\tVR="US"   VM="3"\tOwner="DLX_LKUP_01"\t\t'
        'Keyword="GrayPaletteColorLookupTableDescriptor"\t'
        'Name="Gray Palette Color Lookup Table Descriptor"',
        '(0019,1027) VERS="X"\tVR="OB or OW"   VM="1"\tOwner="ACME 1"\tKeyword="Blob"\tName="Blob"',
        '(0029,0010) VERS="X"\tVR="LO"   VM="1"\tOwner="ACME 1"\tKeyword="2nd"\tName="Unknown"',
        '(0010,0010) VERS="3"\tVR="PN"   VM="1"\tKeyword="PatientName"\tName="Patient\'s Name"',
        '(0019,0000) VERS=""\tVR="IS"   VM="1"\tOwner="PHILIPS MR/PART"\tKeyword="NumberOfStacks"\t'
        'Name="Number of Stacks"\tPrivateBlock="0011"',
        "not a definition line",
    ]
    d3t = "dicom3tools"
    assert private.parse_dicom3tools(lines, d3t) == [
        PrivateRow(d3t, "ACUSON", (0x0009,), 0x00, ("IS",), "1", "", ""),
        PrivateRow(
            d3t,
            "DLX_LKUP_01",
            ODD_60,
            0x01,
            ("US",),
            "3",
            "GrayPaletteColorLookupTableDescriptor",
            "Gray Palette Color Lookup Table Descriptor",
        ),
        PrivateRow(
            d3t,
            "ACME 1",
            (0x0019,),
            0x27,
            ("OB", "OW"),
            "1",
            "Blob",
            "Blob",
            "(0019,1027)",
        ),
        # "Unknown" is no name; "2nd" is no identifier: both become empty.
        PrivateRow(d3t, "ACME 1", (0x0029,), 0x10, ("LO",), "1", "", ""),
        # A definition of one block: block 0x11's element 0x00 is (0019,1100).
        PrivateRow(
            d3t, "PHILIPS MR/PART", (0x0019,), 0x00, ("IS",), "1", "NumberOfStacks",
            "Number of Stacks", block=0x11,
        ),
    ]
    for bad, message in [
        ('(0x29,0010) VR="LO" VM="1" Owner="ACME"', "line 1: unsupported private group"),
        ('(0019,1000) VR="LO" VM="1" Owner="ACME" PrivateBlock="0011"', "unsupported PrivateBlock"),
        ('(0019,0000) VR="LO" VM="1" Owner="ACME" PrivateBlock="0001"', "not a private block"),
    ]:
        with pytest.raises(ValueError, match=message):
            private.parse_dicom3tools([bad], d3t)


def test_gdcm_xml():
    text = """<dicts><dict>
      <entry group="0021" element="0010" vr="SQ" vm="1" name="?" owner="SIEMENS MR FMRI"/>
      <entry owner="BioPri3D" group="0011" element="10xx" vr="UN" vm="1" name="Private Creator"/>
      <entry owner="DLX_ANNOT_01" group="70xx" element="xx04" vr="ST" vm="1" name="Text_annotation"/>
      <entry owner="ACME" group="0029" element="xx10" vr="OB_OW" vm="1-n" name=" Big   Blob "/>
      <entry owner="ACME" group="0029" element="xx11" vr="US" vm="1" name="???"/>
    </dict></dicts>"""
    assert private.parse_gdcm_xml(text, "GDCM") == [
        PrivateRow("GDCM", "SIEMENS MR FMRI", (0x0021,), 0x10, ("SQ",), "1", "", ""),
        PrivateRow(
            "GDCM",
            "DLX_ANNOT_01",
            tuple(range(0x7001, 0x7100, 2)),
            0x04,
            ("ST",),
            "1",
            "",
            "Text_annotation",
        ),
        PrivateRow("GDCM", "ACME", (0x0029,), 0x10, ("OB", "OW"), "1-n", "", "Big Blob"),
        PrivateRow("GDCM", "ACME", (0x0029,), 0x11, ("US",), "1", "", ""),
    ]
    with pytest.raises(ValueError, match="'owner'"):
        private.parse_gdcm_xml('<d><entry group="0029" element="xx10" vr="LO"/></d>', "GDCM")


def test_dcmtk_private_dic():
    lines = [
        '# (gggg-o-gggg,"CREATOR",ee) or (gggg-o-gggg,"CREATOR",eeee)',
        '(0019,"1.2.840.113681",10)\tST\tCRImageParamsCommon\t1\tPrivateTag',
        '(0025,"CMR42 CIRCLECVI",1010)\tLO\tWorkspaceID\t1\tPrivateTag',
        '(6001-o-60FF,"ACME",01)\tUS\tLUTDescriptor\t3\tPrivateTag',
        '(7FE1,"SPI-P Release 1",10)\tox\tPixelData\t1\tPrivateTag',
        "(0008,0080)\tLO\tCompanyName\t1\tDICONDE10",
    ]
    dk = "DCMTK"
    assert private.parse_dcmtk_private(lines, dk) == [
        PrivateRow(
            dk,
            "1.2.840.113681",
            (0x0019,),
            0x10,
            ("ST",),
            "1",
            "CRImageParamsCommon",
            "CR Image Params Common",
        ),
        PrivateRow(
            dk,
            "CMR42 CIRCLECVI",
            (0x0025,),
            0x10,
            ("LO",),
            "1",
            "WorkspaceID",
            "Workspace ID",
            "(0025,1010)",
        ),
        PrivateRow(dk, "ACME", ODD_60, 0x01, ("US",), "3", "LUTDescriptor", "LUT Descriptor"),
        PrivateRow(
            dk, "SPI-P Release 1", (0x7FE1,), 0x10, ("OB", "OW"), "1", "PixelData", "Pixel Data"
        ),
    ]
    for bad, message in [
        ('(6000-o-60FF,"ACME",01)\tUS\tX\t3\tPrivateTag', "line 1: bad odd group range"),
        ('(0019,"ACME",10)\tST\tX', "line 1: expected 4 or 5 fields, got 3"),
        ("(0019,ACME,10)\tST\tX\t1", "line 1: bad private tag"),
    ]:
        with pytest.raises(ValueError, match=message):
            private.parse_dcmtk_private([bad], dk)


def test_pydicom_tsv():
    lines = [
        "# pydicom's private dictionary",
        "creator\ttag\tvr\tvm\tname\tretired",
        "FDMS 1.0\t0027xxA3\tUS or SS\t1-n\tRaw Data\t",
        "1.2.840.113663.1\t0029xx00\tUS\t1\tUnknown\t",
        "ACME\t001910xx\tLO\t1\tPrivate Creator\t",
        "ACME\t60xxxx01\tOW/OB\t1\tCurve\tR",
    ]
    assert private.parse_pydicom_tsv(lines, "pydicom") == [
        PrivateRow("pydicom", "FDMS 1.0", (0x0027,), 0xA3, ("US", "SS"), "1-n", "", "Raw Data"),
        PrivateRow("pydicom", "1.2.840.113663.1", (0x0029,), 0x00, ("US",), "1", "", ""),
        PrivateRow("pydicom", "ACME", ODD_60, 0x01, ("OW", "OB"), "1", "", "Curve"),
    ]
    with pytest.raises(ValueError, match="line 1: bad tag '0029xx0'"):
        private.parse_pydicom_tsv(["ACME\t0029xx0\tUS\t1\tX\t"], "pydicom")


def test_safe_private_tsv():
    lines = [
        "# Table E.3.10-1",
        "tag\tcreator\tvr\tvm\tmeaning",
        "(7053,xx00)\tPhilips PET Private Group\tDS\t1\tSUV Factor",
        "(0119,xx11)\tSIEMENS Ultrasound SC2000\t\t1\tStage Timer Time",
    ]
    assert private.parse_safe_private(lines, "safe") == [
        PrivateRow(
            "safe", "Philips PET Private Group", (0x7053,), 0x00, ("DS",), "1", "", "SUV Factor"
        ),
        PrivateRow(
            "safe", "SIEMENS Ultrasound SC2000", (0x0119,), 0x11, (), "1", "", "Stage Timer Time"
        ),
    ]
    with pytest.raises(ValueError, match="line 1: bad tag"):
        private.parse_safe_private(["(7053,xx00\tACME\tDS\t1\tX"], "safe")


@pytest.mark.parametrize(
    "text, vrs, stored",
    [
        ("OB or OW", ("OB", "OW"), "OW"),
        ("OW/OB", ("OW", "OB"), "OW"),
        ("US\\US or SS\\US", ("US", "SS"), "US"),
        ("US or SS or OW", ("US", "SS", "OW"), "US"),
        ("xs", ("US", "SS"), "US"),
        ("up", ("UL",), "UL"),
        ("NONE", (), "??"),
        ("", (), "??"),
    ],
)
def test_vr_texts_and_the_vr_stored(text, vrs, stored):
    assert rows.parse_vrs(text) == vrs
    assert rows.implicit_vr(vrs) == stored


@pytest.mark.parametrize(
    "name, keyword",
    [
        ("Hx Questionnaire", "HxQuestionnaire"),
        ("2nd Flip Angle [degree]", "Private2ndFlipAngleDegree"),
        ("PTE (α edge)", "PTEEdge"),
        ("?? (...)", ""),
    ],
)
def test_keyword_from_name(name, keyword):
    assert rows.keyword_from_name(name) == keyword


def test_a_malformed_source_stops_the_generator_with_one_message(tmp_path):
    registry = tmp_path / "dictdata" / "standard" / "ps36-2026c" / "registry.tsv"
    registry.parent.mkdir(parents=True)
    registry.write_text("00100010\tPatientName\tPatient's Name\tPQ\t1\t0\t0\n", encoding="utf-8")
    out = tmp_path / "out.tlex"
    argv = [str(out), "--dictdata", str(tmp_path / "dictdata"), "--docs", str(tmp_path)]
    with pytest.raises(SystemExit) as raised:
        gen_default_dict.main(argv)
    assert raised.value.code == f"gen_default_dict: {registry}: line 1: unknown VR 'PQ' in 'PQ'"
    registry.unlink()
    with pytest.raises(SystemExit, match=r"registry\.tsv: No such file or directory"):
        gen_default_dict.main(argv)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dictdata"]  # nothing written


DICTDATA = Path(os.environ.get("TAGLEX_DICTDATA") or TOOLS.parent.parent / "shared" / "dictdata")


def _damaged(data: bytes, name: str) -> list[tuple[str, bytes]]:
    half = len(data) // 2
    cases = [("empty", b""), ("cut inside a line", data[: data.index(b"\n", half) - 3])]
    if name in ("gdcm-xml", "gdcm-cxx", "vtk-dicom-cxx"):  # the structure shows a cut at a line end
        cases.append(("cut at a line end", data[: data.index(b"\n", half) + 1]))
    return cases


@pytest.mark.parametrize("name", sorted(gen_default_dict.FORMATS))
def test_a_damaged_source_gives_one_line_naming_its_file_and_line(tmp_path, name):
    rel, parse = gen_default_dict.FORMATS[name]
    if not (DICTDATA / rel).is_file():
        pytest.skip(f"the dictionary sources are not at {DICTDATA}")
    path = tmp_path / rel
    path.parent.mkdir(parents=True)
    for case, data in _damaged((DICTDATA / rel).read_bytes(), name):
        path.write_bytes(data)
        with pytest.raises(SystemExit) as raised:
            gen_default_dict.read_source(tmp_path, rel, parse)
        message = str(raised.value.code)
        assert re.fullmatch(rf"gen_default_dict: {re.escape(str(path))}: line \d+: [^\n]+", message), (
            case,
            message,
        )


def test_a_registry_cut_at_a_line_end_is_told_by_the_editions(tmp_path):
    """A registry that lost its last rows parses, but lacks what 2026b lists."""
    if not DICTDATA.is_dir():
        pytest.skip(f"the dictionary sources are not at {DICTDATA}")
    copy = tmp_path / "dictdata"
    shutil.copytree(DICTDATA, copy, copy_function=os.symlink)
    registry = copy / "standard/ps36-2026c/registry.tsv"
    lines = registry.read_text(encoding="utf-8").splitlines(keepends=True)
    registry.unlink()
    registry.write_text("".join(lines[:3000]), encoding="utf-8")
    argv = ["--check", "--dictdata", str(copy), "--docs", str(tmp_path), "--uids", str(tmp_path / "u")]
    with pytest.raises(SystemExit) as raised:
        gen_default_dict.main([str(tmp_path / "out.tlex"), *argv])
    assert re.fullmatch(
        rf"gen_default_dict: {re.escape(str(registry))}: line 3000: lacks \(\w{{4}},\w{{4}}\) \w+, "
        r"which 2026b lists \(\d+ such; cut short\?\)",
        str(raised.value.code),
    )


GDCM_CXX = r"""
// GENERATED FILE DO NOT EDIT
static const DICT_ENTRY DICOMV3DataDict [] = {
  // {0x0019,0x0001,"COMMENTED",VR::LO,VM::VM1,"Line comment",false },
  {0x0019,0x002a,"PMTF INFORMATION DATA^12",VR::DS /* TM*/,VM::VM3 /* 1 */,"?",false }, /* dual */
/*  {0x0011,0x0000,"Hologic",VR::LO,VM::VM1,"Hx Questionnaire",false },
*/
  {0x3115,0x0010,"http://www.gemedicalsystems.com/it_solutions/rad_pacs/",VR::US_SS,VM::VM1_n,"Blob",false},
  {0x7fe1,0x0010,"ACME",VR::OB_OW,VM::VM2_2n,"Pixel \"Data\"",false },
  {0xffff,0xffff,"GDCM Private Sentinel",VR::INVALID,VM::VM0,"",true }, // Dummy invalid element
  {0xffff,0xffff,"",VR::INVALID,VM::VM0,nullptr,true } // Guard (will NOT be added)
};
"""


def test_gdcm_cxx():
    g = "GDCM"
    assert private.parse_gdcm_cxx(GDCM_CXX, g) == [
        # The inline comments go; the name "?" is none.
        PrivateRow(g, "PMTF INFORMATION DATA^12", (0x0019,), 0x2A, ("DS",), "3", "", ""),
        # "//" inside a string is no comment.
        PrivateRow(
            g, "http://www.gemedicalsystems.com/it_solutions/rad_pacs/", (0x3115,), 0x10,
            ("US", "SS"), "1-n", "", "Blob",
        ),
        PrivateRow(g, "ACME", (0x7FE1,), 0x10, ("OB", "OW"), "2-2n", "", 'Pixel "Data"'),
    ]  # fmt: skip
    broken_entry = GDCM_CXX.replace("VM::VM1_n,", "VM::VM1_n")
    for text, message in [
        (broken_entry, r"line 8: not a DICOMV3DataDict entry: '\{0x3115"),
        (GDCM_CXX.replace("0x0010,\"ACME\"", "0x1010,\"ACME\""), "line 9: element 0x1010"),
        (GDCM_CXX.replace("*/\n  {0x3115", "\n  {0x3115"), "line 6: comment not closed"),
        (GDCM_CXX[: GDCM_CXX.index("};")], "line 12: DICOMV3DataDict array not closed"),
        ("", "line 1: no DICOMV3DataDict array"),
    ]:
        with pytest.raises(ValueError, match=message):
            private.parse_gdcm_cxx(text, g)


VTK_CXX = """/*====
This file was generated by parsetpl.py and makedict.py

Errata:

PHILIPS MR/PART
-{ 0x0019, 0x0000, 0, VR::DS, VM::M1, "" },
+{ 0x0019, 0x0000, 0, VR::DS, VM::M1, "FieldOfView" },
====*/
// ----- NOT THE CREATOR -----

const DictEntry Dict001Contents[] = {
{ 0x0019, 0x1000, 0, VR::DS, VM::M1, "FieldOfView" },
{ 0x0019, 0x1100, 0, VR::IS, VM::M1, "NumberOfStacks" },
{ 0x0019, 0x0005, 0, VR::FL, VM::M1TN, "" },
{ 0x0019, 0x0006, 0, VR::SL, VM::M2T2N, "Sorting Method" },
};

vtkDICOMDictionary::Dict Dict001Data = {
"PHILIPS MR/PART",
3,
Dict001Contents
};
"""


def test_vtk_dicom_cxx():
    v = "vtk-dicom"
    assert private.parse_vtk_dicom_cxx(VTK_CXX, v) == [
        # Elements above 0xff hold in one block; names are made from the keywords.
        PrivateRow(v, "PHILIPS MR/PART", (0x0019,), 0x00, ("DS",), "1", "FieldOfView",
                   "Field of View", block=0x10),
        PrivateRow(v, "PHILIPS MR/PART", (0x0019,), 0x00, ("IS",), "1", "NumberOfStacks",
                   "Number of Stacks", block=0x11),
        PrivateRow(v, "PHILIPS MR/PART", (0x0019,), 0x05, ("FL",), "1-n", "", ""),
        # A keyword that is no identifier is the name.
        PrivateRow(v, "PHILIPS MR/PART", (0x0019,), 0x06, ("SL",), "2-2n", "", "Sorting Method"),
    ]  # fmt: skip
    for text, message in [
        (VTK_CXX.replace("Dict001Data", "Dict002Data"), "line 12: no Dict001Data"),
        (VTK_CXX.replace("VM::M1TN", "VM::X"), "line 15: unsupported VM 'X'"),
        (VTK_CXX[: VTK_CXX.index("};")], "line 12: Dict001Contents not closed"),
        (VTK_CXX.replace("0x1100", "0x0100"), r"line 14: block 0x1 is not a private block"),
    ]:
        with pytest.raises(ValueError, match=message):
            private.parse_vtk_dicom_cxx(text, v)


def _std(tag, keyword, retired=False):
    return StandardRow(tag, keyword, keyword, ("LO",), "1", retired)


def test_editions_and_their_history():
    from dictsources import history

    lines = [
        "# editions",
        "edition\tcommit\tdate\tsubject\tfile",
        "2018c\tabc\t2018-07-16\tUpdated data dictionary for DICOM 2018c.\tdicom-2018c.dic",
        "2026c\tdef\t2026-07-28\tcosyte\t../ps36-2026c/registry.tsv",
    ]
    assert [(r.line, r.edition, r.file) for r in history.parse_editions(lines)] == [
        (3, "2018c", "dicom-2018c.dic"),
        (4, "2026c", "../ps36-2026c/registry.tsv"),
    ]
    with pytest.raises(ValueError, match="line 2: edition 2018b does not follow 2018c"):
        history.parse_editions([lines[2], lines[2].replace("2018c", "2018b")])
    editions = [
        ("2018c", [_std("00100010", "PatientName"), _std("00280410", "RowsForNth"),
                   _std("30100005", "DoseMethod")]),
        ("2019a", [_std("00100010", "PatientName"), _std("00280410", "RowsForNth", True),
                   _std("30100005", "DoseCalcMethod"), _std("0040E012", "DisplayURI")]),
        ("2020a", [_std("00100010", "PatientName"), _std("002804x0", "RowsForNth"),
                   _std("30100005", "DoseCalculationMethod"), _std("0040E012", "DisplayURI"),
                   _std("00080202", "")]),
    ]  # fmt: skip
    told, changes = history.editions_history(editions, {"00280410": "002804x0"})
    assert told == {
        "00100010": History(),
        "002804x0": History(),  # DCMTK's instance is the registry's mask
        "30100005": History("", ("DoseMethod", "DoseCalcMethod")),  # oldest first
        "0040E012": History("2019a"),
    }  # the element without a keyword is not followed
    assert [(c.edition, c.added, c.retired, c.unretired, c.renamed) for c in changes] == [
        ("2019a", [("0040E012", "DisplayURI")], [("002804x0", "RowsForNth")], [],
         [("30100005", "DoseMethod", "DoseCalcMethod")]),
        ("2020a", [], [], [("002804x0", "RowsForNth")],
         [("30100005", "DoseCalcMethod", "DoseCalculationMethod")]),
    ]  # fmt: skip
    with pytest.raises(history.EditionError, match=r"lacks \(0040,E012\) DisplayURI, which 2019a"):
        history.editions_history(
            [*editions[:2], ("2020a", editions[2][1][:3])], {"00280410": "002804x0"}
        )


E1_HEADER = "\t".join(
    ["Attribute Name", "Tag", "Retd. (from PS3.6)", "In Std. Comp. IOD (from PS3.3)",
     "Basic Prof.", "Rtn. Safe Priv. Opt.", "Rtn. UIDs Opt.", "Rtn. Dev. Id. Opt.",
     "Rtn. Inst. Id. Opt.", "Rtn. Pat. Chars. Opt.", "Rtn. Long. Full Dates Opt.",
     "Rtn. Long. Modif. Dates Opt.", "Clean Desc. Opt.", "Clean Struct. Cont. Opt.",
     "Clean Graph. Opt."]
)  # fmt: skip


def _e1(name, tag, basic, *options, retired="N"):
    cells = list(options) + [""] * (10 - len(options))
    return "\t".join([name, tag, retired, "Y", basic, *cells])


def test_table_e1_1_and_its_cross_check():
    from dictsources import deid

    lines = [
        "# Table E.1-1",
        E1_HEADER,
        _e1("GPS Altitude\u200b Ref", "(0016,0075)", "X"),
        _e1("Study Date", "(0008,0020)", "Z", "", "", "", "", "", "K", "C"),
        _e1("Curve Data", "(50xx,xxxx)", "X", *[""] * 9, "C", retired="Y"),
        _e1("Private Attributes", "(gggg,eeee) where gggg is odd", "X", "C"),
        _e1("Referenced Image Sequence", "(0008,1140)", "X/Z/U*", "", "K"),
    ]
    rows = deid.parse_table_e1(lines, merge.OPTION_NAMES)
    assert [(r.line, r.name, r.tag, r.retired, r.action) for r in rows] == [
        (3, "GPS Altitude Ref", "00160075", False, rows[0].action),
        (4, "Study Date", "00080020", False, rows[1].action),
        (5, "Curve Data", "50xxxxxx", True, rows[2].action),
        (6, "Private Attributes", deid.PRIVATE, False, rows[3].action),
        (7, "Referenced Image Sequence", "00081140", False, rows[4].action),
    ]
    assert rows[1].action == Deidentification(
        "Z", {"retain_long_full_dates": "K", "retain_long_modified_dates": "C"}
    )
    assert rows[3].action == Deidentification("X", {"retain_safe_private": "C"})
    assert rows[4].action == Deidentification("X/Z/U*", {"retain_uids": "K"})
    assert deid.mask_matches("50xxxxxx", 0x501E, 0x3000)
    assert not deid.mask_matches("50xxxxxx", 0x5001, 0x3000)  # odd: private
    assert not deid.mask_matches("60xx3000", 0x6020, 0x3000)  # past 601E
    for bad, message in [
        (_e1("A", "(0008,0020)", "Q"), "line 1: bad action 'Q' in Basic Prof."),
        (_e1("A", "(0008,002)", "X"), "line 1: bad tag"),
        (_e1("A", "(0008,0020)", "X")[:-1], "line 1: expected 15 fields, got 14"),
    ]:
        with pytest.raises(ValueError, match=message):
            deid.parse_table_e1([bad], merge.OPTION_NAMES)

    profile = deid.parse_basic_profile(
        [
            deid.COSYTE_HEADER,
            "ANNEX_E\t00160075\tGPS Altitude\u200b Ref\tX" + "\t" * 9,
            "ANNEX_E\t00080020\tStudy Date\tZ\t\t\t\t\t\tK\t\t\t",  # the two dates in one
            "ANNEX_E_REPEATING\t50xxxxxx\tCurve Data\tX\t\t\t\t\t\t\t\t\tC",
            "ANNEX_E\t00081140\tReferenced Images\tX/Z\t\tK\t\t\t\t\t\t\t",
        ]
    )
    assert deid.cross_check(rows, profile) == [
        "private attributes Private Attributes: only in the table",
        "(0008,1140) Referenced Image Sequence: basic_profile.tsv says "
        "name 'Referenced Images', Basic Profile X/Z",
    ]


def test_uid_sources_and_their_merge():
    from dictsources import uids

    registry = uids.parse_registry(
        [
            "uid\tname\ttype\tretired",
            "1.2.840.10008.1.2\tImplicit VR Little Endian\tTransferSyntax\t0",
            "1.2.840.10008.1.2.2\tExplicit VR Big Endian\tTransferSyntax\t1",
            "1.2.840.10008.15.0.3.1\tdicomDeviceName\tOther\t0",
            "1.2.840.10008.5.1.4.1.1.2.3\tCT Image Storage - For Processing\tSOPClass\t0",
        ]
    )
    pydicom = uids.parse_pydicom(
        [
            "uid\tkeyword\tname\ttype\tinfo\tretired",
            "1.2.840.10008.1.2\tImplicitVRLittleEndian\tImplicit VR Little Endian\t"
            "Transfer Syntax\tDefault Transfer Syntax for DICOM\t",
            "1.2.840.10008.1.2.2\tExplicitVRBigEndian\tExplicit VR Big Endian\tTransfer Syntax\t\t"
            "Retired",
        ]
    )
    dicom_rs = uids.parse_dicom_rs(
        [
            "uid\tkeyword\tname\ttype\tretired\ttable",
            "1.2.840.10008.1.2.2\tBigEndian\tExplicit VR Big Endian (Retired)\tTransferSyntax\t1\tts",
            "1.2.840.10008.15.0.3.1\tDicomDeviceName\tdicomDeviceName\tLdapOid\t0\tldap-oid",
        ]
    )
    assert dicom_rs[0].name == "Explicit VR Big Endian"  # " (Retired)" is no part of the name
    groups = uids.parse_context_groups(
        [
            "uid\tcid\tname\tretired",
            "1.2.840.10008.6.1.1\tCID 2\tAnatomic Modifier\t0",
            "1.2.840.10008.6.1.9\tCID 12\tOld Group (Retired)\t1",
            "1.2.840.10008.6.1.837\t\t\t0",
        ]
    )
    parts = uids.parse_uid_values(
        [
            "uid\tname\ttype\tpart\tdescription\ttable",
            "1.2.840.10008.1.2\tImplicit VR Little Endian: Default Transfer Syntax for DICOM\t"
            "Transfer Syntax\tPS3.5\t\tA-1",
            "1.2.840.10008.15.0.3.1\tdicomDeviceName\tLDAP OID\tPS3.15\t\tA-1",
            "1.2.840.10008.9.1\tImaging Report\tDocument TemplateID\tPS3.20\t\tA-1",
        ]
    )
    merged = uids.merge_uids(registry, pydicom, dicom_rs, groups, parts)
    U = uids.UID
    assert merged.uids == [
        U("1.2.840.10008.1.2", "ImplicitVRLittleEndian", "Implicit VR Little Endian",
          "Transfer Syntax", False, "PS3.5", "Default Transfer Syntax for DICOM"),
        U("1.2.840.10008.1.2.2", "ExplicitVRBigEndian", "Explicit VR Big Endian",
          "Transfer Syntax", True, "", ""),
        # "Other" in the registry: the Part file's type.
        U("1.2.840.10008.15.0.3.1", "DicomDeviceName", "dicomDeviceName", "LDAP OID", False,
          "PS3.15", ""),
        U("1.2.840.10008.5.1.4.1.1.2.3", "", "CT Image Storage - For Processing", "SOP Class",
          False, "", ""),
        U("1.2.840.10008.6.1.1", "", "Anatomic Modifier", "Context Group Name", False, "PS3.16",
          "CID 2"),
        U("1.2.840.10008.6.1.9", "", "Old Group", "Context Group Name", True, "PS3.16", "CID 12"),
        U("1.2.840.10008.9.1", "", "Imaging Report", "Document TemplateID", False, "PS3.20", ""),
    ]  # fmt: skip
    assert merged.keyword_disputes == ["1.2.840.10008.1.2.2: pydicom ExplicitVRBigEndian, dicom-rs BigEndian"]
    assert [u.uid for u in merged.no_keyword] == ["1.2.840.10008.5.1.4.1.1.2.3"]
    assert merged.left_out == ["1.2.840.10008.6.1.837 (unassigned context group)"]
    for parse, bad, message in [
        (uids.parse_registry, "1.2.x\tA\tSOPClass\t0", "line 1: bad UID"),
        (uids.parse_registry, "1.2.3\tA\tNoSuchType\t0", "line 1: unknown type"),
        (uids.parse_context_groups, "1.2.3\tCID 2\tA (Retired)\t0", "line 1: retired is 0"),
        (uids.parse_pydicom, "1.2.3\tA\tB\tC\tD", "line 1: expected 6 fields, got 5"),
    ]:
        with pytest.raises(ValueError, match=message):
            parse([bad])
