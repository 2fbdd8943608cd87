"""taglex.pydicom: private elements read as UN get their VR and value back."""

from __future__ import annotations

import io
import os
import struct
import subprocess
import sys
import warnings
from collections.abc import Iterator

import pytest

pydicom = pytest.importorskip("pydicom")

import pydicom_corpus as corpus  # noqa: E402
from pydicom.datadict import add_private_dict_entries  # noqa: E402
from pydicom.dataset import Dataset, FileMetaDataset  # noqa: E402
from pydicom.sequence import Sequence  # noqa: E402
from pydicom.uid import ExplicitVRBigEndian, ImplicitVRLittleEndian  # noqa: E402

import taglex  # noqa: E402
from taglex import writer  # noqa: E402
from taglex.pydicom import describe, fix_private_vrs  # noqa: E402

# The oldest and the newest pydicom release these tests passed with.
PYDICOM_OLDEST = (3, 0, 0)
PYDICOM_NEWEST = (3, 0, 2)

ACME = "ACME Imaging 1.0"
GROUP = 0x0029

# element (low byte), VR, description (VM and VR alternatives), value
ACME_ELEMENTS = {
    0x01: ("US", "VM 1", 513),
    0x02: ("FL", "VM 1-n", [1.5, -2.25, 8.0]),
    0x03: ("LO", "VM 1", "Grüße aus Köln"),
    0x04: ("PN", "VM 1", "Müller^Jürgen"),
    0x05: ("SQ", "VM 1", None),
    0x06: ("DS", "VM 1-n", ["1.5", "-3"]),
    0x07: ("US", "VM 1-n; VR US or SS", [1, 2]),
    0x08: ("OB", "VM 1; VR OB or OW", b"\x01\x02\x03\x04"),
    0x09: ("SL", "VM 1", -70000),
    0x0A: ("UT", "VM 1", "long text"),
    0x0B: ("AT", "VM 1", 0x00100010),
}




@pytest.fixture(scope="module")
def acme_path(tmp_path_factory):
    """A dictionary that knows the block of ACME and nothing else."""
    records = [
        {
            "group": GROUP,
            "element": element,
            "creator": ACME,
            "keyword": f"Acme{element:02X}",
            "name": f"Acme Element {element:02X}",
            "vr": vr,
            "description": description,
            "retired": False,
            "block_offset": True,
            "sources": ["test"],
        }
        for element, (vr, description, _) in ACME_ELEMENTS.items()
    ]
    path = tmp_path_factory.mktemp("dict") / "acme.tlex"
    writer.write(path, records)
    return path


@pytest.fixture(scope="module")
def acme(acme_path):
    return taglex.Dictionary([acme_path])


def _add(ds: Dataset, block: int, element: int, vr: str | None = None, value=None) -> None:
    given_vr, _, given_value = ACME_ELEMENTS[element]
    ds.add_new((GROUP << 16) | (block << 8) | element, vr or given_vr, given_value if value is None else value)


def acme_dataset(creator: str = ACME, block: int = 0x10, charset: str = "ISO_IR 100") -> Dataset:
    """One block of every ACME element, with a nested item of its own block."""
    ds = Dataset()
    ds.SpecificCharacterSet = charset
    ds.PatientName = "Somebody"
    ds.add_new((GROUP << 16) | block, "LO", creator)
    for element in ACME_ELEMENTS:
        if element not in (0x05, 0x07):
            _add(ds, block, element)
    _add(ds, block, 0x07, "US", [1, 2])  # alternatives: the test sets the VR
    inner = Dataset()
    inner.add_new((GROUP << 16) | 0x0040, "LO", creator)
    _add(inner, 0x40, 0x01, value=7)
    _add(inner, 0x40, 0x03, value="innen")
    ds.add_new((GROUP << 16) | (block << 8) | 0x05, "SQ", Sequence([inner]))
    return ds


def to_bytes(ds: Dataset, implicit: bool = True, little: bool = True) -> bytes:
    ds = ds.copy()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRBigEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.3"
    ds.file_meta.MediaStorageSOPInstanceUID = "1.2.3.4"
    buf = io.BytesIO()
    ds.save_as(buf, implicit_vr=implicit, little_endian=little, enforce_file_format=True)
    return buf.getvalue()


def read(data: bytes, **kw) -> Dataset:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pydicom.dcmread(io.BytesIO(data), **kw)


def elements(ds: Dataset) -> dict:
    return {(path, int(e.tag)): e for path, e in corpus.walk(ds)}


def private_tag(element: int, block: int = 0x10) -> int:
    return (GROUP << 16) | (block << 8) | element


# --- decoding as pydicom decodes -----------------------------------------------


@pytest.fixture(scope="module")
def pydicom_knows_acme() -> Iterator[str]:
    """pydicom's private dictionary extended with the ACME block under another
    creator text, so that pydicom itself decodes the same file (with the VRs
    chosen for the alternatives in an implicit file without pixels)."""
    creator = "ACME Imaging Exact 1.0"
    add_private_dict_entries(
        creator,
        {
            (GROUP << 16) | 0x1000 | e: ({0x07: "US", 0x08: "OW"}.get(e, vr), "1", f"Acme {e}", "")
            for e, (vr, _, _) in ACME_ELEMENTS.items()
        }
        | {(GROUP << 16) | 0x4000 | e: (ACME_ELEMENTS[e][0], "1", "x", "") for e in (1, 3)},
    )
    yield creator


@pytest.mark.parametrize("charset", ["ISO_IR 100", "ISO_IR 192"])
@pytest.mark.parametrize("undefined", [False, True], ids=["defined", "undefined"])
def test_decodes_each_vr_as_pydicom_does(acme, pydicom_knows_acme, charset, undefined):
    # The same implicit file: once with the creator pydicom knows (pydicom
    # decodes), once with ACME's creator re-spelt (pydicom leaves UN bytes).
    def build(creator: str) -> bytes:
        ds = acme_dataset(creator, charset=charset)
        ds[private_tag(0x05)].is_undefined_length = undefined
        ds[private_tag(0x05)].value[0].is_undefined_length_sequence_item = undefined
        return to_bytes(ds)

    reference = elements(read(build(pydicom_knows_acme)))
    ds = read(build(corpus.respell(ACME)))
    assert ds[private_tag(0x01)].VR == "UN"

    # Every top-level element (US or SS is US without pixel data) and the
    # item's two; not the item's creator, which pydicom reads as LO itself.
    # An undefined-length sequence pydicom recognises as one by itself.
    assert fix_private_vrs(ds, acme) == len(ACME_ELEMENTS) + 2 - undefined
    fixed = elements(ds)
    assert fixed.keys() == reference.keys()
    for key, want in reference.items():
        got = fixed[key]
        if not corpus.is_private_data(key[1]):
            continue  # the creators differ, on purpose
        assert corpus.same(got, want), key
    assert fixed[((), private_tag(0x03))].value == "Grüße aus Köln"
    assert fixed[((), private_tag(0x05))].is_undefined_length == undefined
    assert fixed[(((private_tag(0x05)), 0),), (GROUP << 16) | 0x4001].value == 7


def test_blocks_it_resolves_and_elements_it_leaves_alone(acme):
    ds = acme_dataset()
    ds.add_new((GROUP << 16) | 0x20, "LO", corpus.respell(ACME))  # the creator reserved twice
    ds.add_new(private_tag(0x03, 0x20), "LO", "twice")
    ds.add_new(private_tag(0x7F), "LO", "not in the dictionary")  # unknown element
    ds.add_new((GROUP << 16) | 0x11, "LO", "Other Vendor 2.0")  # unknown creator
    ds.add_new(private_tag(0x01, 0x11), "US", 3)
    ds.add_new(private_tag(0x01, 0x12), "US", 4)  # block 12 has no creator element
    ds.add_new(private_tag(0x09), "SL", None)
    ds[private_tag(0x09)].value = b""
    ds.add_new(private_tag(0x02), "OB", b"\x00" * 6)  # 6 bytes cannot be FL
    data = to_bytes(ds)
    before, fixed = elements(read(data)), read(data)
    fix_private_vrs(fixed, acme)
    after = elements(fixed)
    for tag in (private_tag(0x7F), private_tag(0x01, 0x11), private_tag(0x01, 0x12), private_tag(0x02)):
        assert (after[((), tag)].VR, after[((), tag)].value) == ("UN", before[((), tag)].value), hex(tag)
    assert after[((), private_tag(0x09))].VR == "SL"  # empty, of the dictionary's VR
    assert (fixed[private_tag(0x03, 0x20)].value, fixed[private_tag(0x01)].value) == ("twice", 513)


def _pixels(ds: Dataset) -> None:
    ds.BitsAllocated = 16
    ds.PixelData = b"\x00\x00"


@pytest.mark.parametrize(
    "change, implicit, element, want",
    [
        (lambda ds: setattr(ds, "PixelRepresentation", 0), True, 0x07, ("US", [1, 65535])),
        (lambda ds: setattr(ds, "PixelRepresentation", 1), True, 0x07, ("SS", [1, -1])),
        (lambda ds: None, True, 0x07, ("US", [1, 65535])),  # no pixels: US
        (_pixels, True, 0x07, None),  # pixels, no representation: left alone
        (lambda ds: None, True, 0x08, ("OW", b"\x01\x00\xff\xff")),  # OB or OW, implicit: OW
        (lambda ds: None, False, 0x08, None),  # explicit: the writer chose, left alone
    ],
    ids=["rep0", "rep1", "no-pixels", "pixels", "ob-ow-implicit", "ob-ow-explicit"],
)
def test_alternatives_resolved_as_pydicom_resolves_them(acme, change, implicit, element, want):
    ds = acme_dataset()
    for e in (0x07, 0x08):
        ds[private_tag(e)].VR, ds[private_tag(e)].value = "UN", b"\x01\x00\xff\xff"
    change(ds)
    fixed = read(to_bytes(ds, implicit=implicit, little=implicit))
    fix_private_vrs(fixed, acme)
    got = fixed[private_tag(element)]
    assert (got.VR, got.value) == (want or ("UN", b"\x01\x00\xff\xff"))


def _big_endian_un(ds: Dataset) -> Dataset:
    """``ds`` with its private values as big-endian UN bytes."""
    packed = {
        0x01: struct.pack(">H", 513),
        0x02: struct.pack(">3f", 1.5, -2.25, 8.0),
        0x09: struct.pack(">l", -70000),
        0x0B: struct.pack(">HH", 0x0010, 0x0010),
    }
    for element, value in packed.items():
        ds[private_tag(element)].VR = "UN"
        ds[private_tag(element)].value = value
    return ds


def test_big_endian_values_are_decoded_in_their_byte_order(acme):
    fixed = read(to_bytes(_big_endian_un(acme_dataset()), implicit=False, little=False))
    assert fixed[private_tag(0x01)].VR == "UN"
    assert fix_private_vrs(fixed, acme) == 4
    assert fixed[private_tag(0x01)].value == 513
    assert fixed[private_tag(0x02)].value == [1.5, -2.25, 8.0]
    assert fixed[private_tag(0x09)].value == -70000
    assert fixed[private_tag(0x0B)].value == 0x00100010


def test_elements_already_read_and_deferred_values(acme):
    data = to_bytes(acme_dataset())
    # Values pydicom has already turned into UN elements.
    touched = read(data)
    assert touched[private_tag(0x02)].VR == "UN"
    assert fix_private_vrs(touched, acme) == len(ACME_ELEMENTS) + 2
    assert touched[private_tag(0x02)].value == [1.5, -2.25, 8.0]
    # Values left in the file until used.
    with io.BytesIO(data) as f:
        deferred = pydicom.dcmread(f, defer_size=4)
        assert fix_private_vrs(deferred, acme) == len(ACME_ELEMENTS) + 2
        assert deferred[private_tag(0x0A)].value == "long text"
    # A second run changes nothing; a dataset made in memory has no UN.
    assert fix_private_vrs(touched, acme) == 0
    assert fix_private_vrs(acme_dataset(), acme) == fix_private_vrs(Dataset(), acme) == 0


def test_a_site_layer_in_front_of_the_bundled_dictionary(acme_path):
    # ACME's block is known only to the site file, GEMS_IDEN_01's only to the
    # bundled one: a layered dictionary types both.
    ds = read(to_bytes(acme_dataset(corpus.respell(ACME))))
    ds.add_new(0x00090010, "LO", "gems_iden_01")
    ds.add_new(0x00091002, "UN", b"CT01")  # SuiteId, SH
    layered = taglex.Dictionary([acme_path, taglex.default_path()])
    assert fix_private_vrs(ds, layered) == len(ACME_ELEMENTS) + 2 + 1
    assert (ds[0x00091002].VR, ds[0x00091002].value) == ("SH", "CT01")
    assert ds[private_tag(0x03)].value == "Grüße aus Köln"


def test_arguments_of_the_wrong_kind_are_a_type_error(acme):
    ds = read(to_bytes(acme_dataset()))
    for call in (fix_private_vrs, describe):
        with pytest.raises(TypeError, match=r"needs a pydicom Dataset, not dict"):
            call({"PatientName": "X"})
        with pytest.raises(TypeError, match=r"dictionary must be a taglex.Dictionary .* not str"):
            call(ds, taglex.default_path())
    assert ds[private_tag(0x01)].VR == "UN"  # nothing changed on the way


# --- describe ---------------------------------------------------------------


def test_describe_names_every_element_with_its_path(acme):
    ds = read(to_bytes(acme_dataset(corpus.respell(ACME))))
    fix_private_vrs(ds, acme)
    seen = {(d.path, d.tag): d for d in describe(ds, acme)}
    assert len(seen) == len(elements(ds))
    top = seen[((), private_tag(0x02))]
    assert top.creator == corpus.respell(ACME)
    assert top.entry.name == "Acme Element 02"
    assert top.element is ds[private_tag(0x02)]
    nested = seen[(((private_tag(0x05), 0),), (GROUP << 16) | 0x4003)]
    assert nested.entry.keyword == "Acme03"
    assert nested.element.value == "innen"
    creator = seen[((), (GROUP << 16) | 0x10)]
    assert (creator.creator, creator.entry) == (None, None)
    # Standard elements are looked up without a creator: not in ACME's
    # dictionary, in the bundled one (the default).
    assert seen[((), 0x00100010)].entry is None
    bundled = {d.tag: d for d in describe(ds)}
    assert (bundled[0x00100010].creator, bundled[0x00100010].entry.keyword) == (None, "PatientName")


# --- pydicom's own test files ---------------------------------------------------

CORPUS = corpus.files_with_private_elements()


def _single_vr(entry) -> str | None:
    vrs = tuple(entry.vrs) or (entry.vr,)
    return vrs[0] if len(vrs) == 1 else None


@pytest.mark.parametrize("name", CORPUS)
def test_real_files_written_implicit_with_creators_respelt(name):
    original = corpus.read(os.path.join(corpus.TEST_FILES, name))
    plain = corpus.read_bytes(corpus.implicit_bytes(original, respelt=False))
    by_pydicom = elements(plain)  # pydicom, its dictionary, exact creators
    data = corpus.implicit_bytes(original, respelt=True)
    before = elements(corpus.read_bytes(data))
    ds = corpus.read_bytes(data)
    changed = fix_private_vrs(ds)
    after = elements(ds)

    newly_typed = [
        key
        for key, e in after.items()
        if corpus.is_private_data(key[1])
        and e.VR != "UN"
        and (key not in before or before[key].VR == "UN")
    ]
    assert changed == len(newly_typed)

    for d in describe(original):
        key = (d.path, d.tag)
        if not corpus.is_private_data(d.tag) or d.element.VR == "UN" or d.creator is None:
            continue
        got = after[key]
        if d.entry is None:
            # Untouched: the bytes as pydicom read them.
            assert (got.VR, got.value) == (before[key].VR, before[key].value)
            continue
        if _single_vr(d.entry) == d.element.VR:
            assert corpus.same(got, d.element), key
        if by_pydicom[key].VR == got.VR:
            assert corpus.same(by_pydicom[key], got), key


def test_more_private_elements_come_back_than_pydicom_brings_back():
    # The count tools/count_private_restored.py prints: pydicom reads the
    # implicit copies with the creators as they were, fix_private_vrs with
    # every creator re-spelt.
    counts = corpus.count_restored()
    assert counts.files >= 5 and counts.private > 400
    assert counts.by_pydicom > 0.8 * counts.private
    assert counts.by_taglex >= counts.by_pydicom
    sources = {s for e in taglex.Dictionary.default().elements("GEMS_GENIE_1") for s in e.sources}
    if len(sources) < 2:
        pytest.skip(
            f"the bundled dictionary holds only pydicom's private elements: "
            f"{counts.by_taglex} restored, as many as pydicom's {counts.by_pydicom}"
        )
    assert counts.by_taglex > counts.by_pydicom


# --- optional dependency --------------------------------------------------------


def test_pydicom_is_a_release_these_tests_passed_with():
    installed = tuple(int(p) for p in pydicom.__version__.split(".")[:3])
    assert PYDICOM_OLDEST <= installed <= PYDICOM_NEWEST, (
        f"pydicom {pydicom.__version__}: taglex.pydicom was tested with "
        f"{'.'.join(map(str, PYDICOM_OLDEST))} to {'.'.join(map(str, PYDICOM_NEWEST))}; "
        "run these tests with it and widen the range"
    )


def test_importing_taglex_does_not_import_pydicom():
    code = "import sys, taglex; print('pydicom' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_without_pydicom_the_error_says_how_to_install_it():
    code = "import sys; sys.modules['pydicom'] = None; import taglex.pydicom"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode != 0
    assert "pip install 'taglex[pydicom]'" in out.stderr


def test_descends_into_a_private_sequence_pydicom_types_itself(acme, pydicom_knows_acme):
    # The outer block's creator is spelt as pydicom knows it: pydicom types its
    # sequence (an Implicit VR element without a VR), and the elements nested
    # in it, two levels down, belong to a creator only taglex knows.
    deepest = Dataset()
    deepest.add_new((GROUP << 16) | 0x0010, "LO", corpus.respell(ACME))
    _add(deepest, 0x10, 0x01, value=9)
    middle = Dataset()
    middle.add_new((GROUP << 16) | 0x0010, "LO", corpus.respell(ACME))
    _add(middle, 0x10, 0x01, value=7)
    middle.add_new(private_tag(0x05), "SQ", Sequence([deepest]))
    ds = Dataset()
    ds.add_new((GROUP << 16) | 0x0010, "LO", pydicom_knows_acme)
    ds.add_new(private_tag(0x05), "SQ", Sequence([middle]))
    fixed = read(to_bytes(ds))
    assert fixed.get_item(private_tag(0x05)).VR is None  # raw, of defined length
    assert fix_private_vrs(fixed, acme) == 3  # the middle element, its sequence and the deepest
    level2 = fixed[private_tag(0x05)].value[0]
    assert (level2[private_tag(0x01)].VR, level2[private_tag(0x01)].value) == ("US", 7)
    level3 = level2[private_tag(0x05)].value[0]
    assert (level3[private_tag(0x01)].VR, level3[private_tag(0x01)].value) == ("US", 9)
