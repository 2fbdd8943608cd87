"""taglex.Dictionary: tag forms, private elements, layers and entries."""

from __future__ import annotations

import pytest

import taglex
from taglex import writer


def rec(group, element, keyword, vr="LO", creator="", block=False, description="VM 1", **kw):
    out = {
        "group": group,
        "element": element,
        "creator": creator,
        "keyword": keyword,
        "name": kw.pop("name", f"Name of {keyword}"),
        "vr": vr,
        "description": description,
        "retired": kw.pop("retired", False),
        "block_offset": block,
        "sources": kw.pop("sources", ["base"]),
    }
    assert not kw
    return out


BASE = [
    rec(0x0010, 0x0010, "PatientName", "PN"),
    rec(0x0010, 0x0020, "PatientID"),
    rec(0x0028, 0x1101, "RedLUTDescriptor", "US", description="VM 3; VR US or SS"),
    rec(0x7FE0, 0x0010, "PixelData", "OB", description="VM 1; VR OB or OW"),
    rec(0x0018, 0x1310, "AcquisitionMatrix", "US", description="VM 4"),
    rec(0x0020, 0x0037, "ImageOrientation", "DS", description="VM 6", retired=True),
    rec(0x0028, 0x0034, "PixelAspectRatio", "IS", description="VM 2-2n"),
    rec(0x0008, 0x0008, "ImageType", "CS", description="VM 2-n"),
    rec(0x0040, 0xA730, "ContentSequence", "SQ", description="VM 1-3"),
    rec(0x0029, 0x10, "AcmeFlags", "UL", creator="ACME 1.0", block=True),
    rec(0x0029, 0x11, "AcmeMode", "CS", creator="ACME 1.0", block=True),
    rec(0x0029, 0x12, "Other", "CS", creator="OTHER", block=True),
    # A creator element the file describes, and an element of a fixed block.
    rec(0x0031, 0x0010, "AcmeCreator", "LO", creator="ACME 1.0"),
    rec(0x0031, 0x1020, "AcmeFixed", "FD", creator="ACME 1.0"),
    rec(0x0010, 0x0040, "NoVM", "CS", description="free text; VR CS or LO"),
]


@pytest.fixture
def base(make_file):
    return make_file(BASE, "base.tlex")


@pytest.fixture
def d(base):
    return taglex.Dictionary(base)


def test_every_tag_form_finds_the_same_entry(d):
    forms = [
        0x00100010,
        (0x0010, 0x0010),
        "(0010,0010)",
        "0010,0010",
        "00100010",
        "0x00100010",
        " ( 0010 , 0010 ) ",
        "PatientName",
    ]
    pydicom_tag = pytest.importorskip("pydicom.tag")
    forms.append(pydicom_tag.Tag(0x00100010))
    for form in forms:
        entry = d.get(form)
        assert entry is not None, form
        assert (entry.keyword, entry.tag) == ("PatientName", 0x00100010), form
        assert d[form] == entry
    assert d.get("NoSuchKeyword") is None
    assert d.get(0x00100011) is None


@pytest.mark.parametrize(
    "bad",
    [
        "(0010,001G)",  # not hex
        "(0010,00100)",  # element too long
        "001000100",  # nine digits
        "(0010,0010",  # unbalanced
        "0010;0010",
        "",
        "Patient Name",  # neither a tag nor a keyword
        -1,
        0x1_0000_0000,
        (0x10000, 0x10),
        (0x10, -1),
    ],
)
def test_ill_formed_tags_raise_value_error_naming_the_input(d, bad):
    with pytest.raises(ValueError) as info:
        d.get(bad)
    assert repr(bad) in str(info.value) or str(bad) in str(info.value)
    with pytest.raises(ValueError):
        d.get(bad, "ACME 1.0")


@pytest.mark.parametrize("bad", [1.5, None, b"00100010", (1, 2, 3), ("10", "10"), True])
def test_values_that_are_no_tag_raise_type_error(d, bad):
    with pytest.raises(TypeError):
        d.get(bad)


def test_private_elements_by_full_tag_block_form_and_creator_spelling(d):
    for creator in ("ACME 1.0", "acme 1.0", "  Acme   1.0 ", "ACME\t1.0"):
        for tag in (0x00291010, 0x00294210, (0x0029, 0x1010), "(0029,1010)", "(0029,xx10)"):
            entry = d.get(tag, creator)
            assert entry is not None and entry.keyword == "AcmeFlags", (tag, creator)
            assert entry.block_offset and entry.element == 0x10
    # The full tag shows the block it was asked with; block form shows block 0x10.
    assert d.get(0x00294211, "ACME 1.0").tag == 0x00294211
    assert d[0x00294211, "acme 1.0"].keyword == "AcmeMode"
    assert d.get("(0029,xx11)", "ACME 1.0").tag == 0x00291011
    # Another creator's element, or no creator, does not answer.
    assert d.get(0x00291012, "ACME 1.0") is None
    assert d.get(0x00291010, "OTHER") is None
    assert d.get(0x00291010) is None
    assert d.get("(0029,xx10)") is None
    with pytest.raises(KeyError):
        d[0x00291012, "ACME 1.0"]
    # An element of a fixed block is found by its exact tag.
    assert d.get(0x00311020, "ACME 1.0").keyword == "AcmeFixed"
    assert d.get(0x00311120, "ACME 1.0") is None
    # A creator given for a standard element is ignored.
    assert d.get(0x00100010, "ACME 1.0").keyword == "PatientName"
    with pytest.raises(TypeError):
        d.get(0x00291010, 42)


def test_private_creator_elements(d):
    # Without a description in the file: "Private Creator", LO, as pydicom says.
    for tag, creator in [(0x00290010, None), (0x002900FF, None), (0x00290011, "ACME 1.0")]:
        entry = d.get(tag, creator)
        assert entry is not None
        assert (entry.name, entry.vr, entry.vm, entry.block_offset) == ("Private Creator", "LO", "1", False)
        assert entry.tag == tag and entry.layer is None
    # Not a creator element: the group length and the first block element.
    assert d.get(0x00290000) is None
    assert d.get(0x00291000) is None
    # A creator element described by the file answers itself, never (0029,xx10).
    assert d.get(0x00310010, "ACME 1.0").keyword == "AcmeCreator"
    assert d.get(0x00290010, "ACME 1.0").name == "Private Creator"
    assert d.get("(0029,0010)", "ACME 1.0").name == "Private Creator"


def test_entry_fields_vm_and_vrs(d, base):
    e = d[0x00100010]
    assert e.as_dict() == taglex.open(base).lookup(0x10, 0x10)
    assert (e.group, e.element, e.creator, e.name, e.vr, e.retired, e.sources) == (
        0x10, 0x10, "", "Name of PatientName", "PN", False, ["base"],
    )  # fmt: skip
    assert e.layer == base
    cases = {
        0x00100010: ("1", 1, 1, 1, ("PN",)),
        0x00281101: ("3", 3, 3, 1, ("US", "SS")),
        0x7FE00010: ("1", 1, 1, 1, ("OB", "OW")),
        0x00280034: ("2-2n", 2, None, 2, ("IS",)),
        0x00080008: ("2-n", 2, None, 1, ("CS",)),
        0x0040A730: ("1-3", 1, 3, 1, ("SQ",)),
        0x00100040: (None, None, None, 1, ("CS",)),  # no VM: no alternatives read
    }
    for tag, (vm, lo, hi, step, vrs) in cases.items():
        e = d[tag]
        assert (e.vm, e.vm_min, e.vm_max, e.vm_step, e.vrs) == (vm, lo, hi, step, vrs), hex(tag)
    assert d[0x00200037].retired


def test_layers_override_add_and_fall_through(make_file, base):
    site = make_file(
        [
            rec(0x0010, 0x0010, "PatientName", "PN", name="Site Name", sources=["site"]),
            rec(0x0029, 0x10, "SiteFlags", "OB", creator="ACME 1.0", block=True, sources=["site"]),
            rec(0x0041, 0x01, "SiteOnly", "LT", creator="SITE 1", block=True, sources=["site"]),
        ],
        "site.tlex",
    )
    d = taglex.Dictionary([site, base])
    assert d.paths == (site, base)
    over = d[0x00100010]
    assert (over.name, over.sources, over.layer) == ("Site Name", ["site"], site)
    assert d[0x00100020].layer == base  # only in the second layer
    assert d[0x00291010, "acme 1.0"].keyword == "SiteFlags"
    assert d[0x00291011, "acme 1.0"].keyword == "AcmeMode"  # falls through
    assert d[0x00414201, "Site 1"].keyword == "SiteOnly"
    assert d.get(0x00100011) is None
    # Order matters: the other way round the base file wins.
    assert taglex.Dictionary([base, site])[0x00100010].name == "Name of PatientName"


def test_opening_errors(make_file, tmp_path):
    with pytest.raises(ValueError):
        taglex.Dictionary([])
    with pytest.raises(OSError):
        taglex.Dictionary(str(tmp_path / "missing.tlex"))
    with pytest.raises(OSError):
        taglex.Dictionary([make_file(BASE), make_file(b"not a dictionary")])


def test_default_dictionary_answers_standard_and_private_tags():
    d = taglex.Dictionary.default()
    assert d is taglex.Dictionary.default()
    assert d[0x00100010].keyword == "PatientName"
    assert d["PatientName"].tag == 0x00100010
    csa = d[0x00291010, "siemens csa header"]
    assert csa.block_offset and csa.tag == 0x00291010
    assert d.get(0x00291010) is None


def test_bad_arguments_name_the_argument(d, make_file):
    import re

    cases = [
        (lambda: d.find(None), TypeError, "find() text must be a str, not NoneType"),
        (lambda: d.suggest(None), TypeError, "suggest() keyword must be a str"),
        (lambda: d.elements(None), TypeError, "elements() creator must be a str"),
        (lambda: d.tag_for_keyword("PatientName", 1), TypeError, "creator must be a str or None"),
        (lambda: d.tag_for_keyword(None), TypeError, "tag_for_keyword() keyword must be a str"),
        (lambda: d.get("PatientName", b".."), TypeError, "creator must be a str or None"),
        (lambda: d.get(0x00100010, b".."), TypeError, "creator must be a str or None"),
        (lambda: d.get(1.5), TypeError, "tag must be an int, a (group, element) pair or a text"),
        (lambda: d.get(True), TypeError, "tag cannot be a bool"),
        (lambda: d.get((1, "a")), TypeError, "a (group, element) pair holds two ints"),
        (lambda: d.get(2**32), ValueError, "ill-formed tag 4294967296: not in 0..0xFFFFFFFF"),
        (lambda: d.get("(0010)"), ValueError, "malformed tag '(0010)'"),
        (lambda: d.find("x", limit=-1), ValueError, "find() limit must be 0 or more"),
        (lambda: d.find("x", limit="3"), TypeError, "find() limit must be an int or None"),
        (lambda: taglex.Dictionary(b"/x.tlex"), TypeError, "Dictionary() paths must be a path"),
        (lambda: taglex.Dictionary([]), ValueError, "a Dictionary needs at least one .tlex file"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind, match=re.escape(message)):
            call()


def test_a_miss_says_what_was_asked(d):
    for key, message in [
        (0x00100003, "no entry for (0010,0003)"),
        ((0x0010, 0x0003), "no entry for (0010,0003)"),
        ("NoSuchKeyword", "no keyword 'NoSuchKeyword'"),
        ((0x00291013, "ACME 1.0"), "no entry for (0029,1013) with creator 'ACME 1.0'"),
        (0x00291010, "(0029,xx10) AcmeFlags is private: give its creator, e.g. 'ACME 1.0'"),
        ("AcmeMode", "(0029,xx11) AcmeMode is private: give its creator, e.g. 'ACME 1.0'"),
    ]:
        with pytest.raises(KeyError) as got:
            d[key]
        assert got.value.args == (message,), key
