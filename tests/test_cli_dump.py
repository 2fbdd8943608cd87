"""taglex dump: the listing, --private, --json, and files that cannot be read."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import run_cli as run

pydicom = pytest.importorskip("pydicom")

import pydicom_corpus as corpus  # noqa: E402
from pydicom.dataset import Dataset  # noqa: E402
from pydicom.sequence import Sequence  # noqa: E402

import taglex  # noqa: E402
from taglex.cli.dump import short_value  # noqa: E402

CT = os.path.join(corpus.TEST_FILES, "CT_small.dcm")
RESPELT_IDEN = corpus.respell("GEMS_IDEN_01").strip()


def name_of(tag: int, creator: str) -> str:
    """The bundled dictionary's name of a private element."""
    return taglex.Dictionary.default()[tag, creator].name


@pytest.fixture(scope="module")
def ct_implicit(tmp_path_factory) -> str:
    """CT_small written as Implicit VR with its creators re-spelt: pydicom
    reads its private elements as UN."""
    path = tmp_path_factory.mktemp("dump") / "ct_implicit.dcm"
    path.write_bytes(corpus.implicit_bytes(corpus.read(CT), respelt=True))
    return str(path)


def tag_lines(out: str) -> dict[str, str]:
    """The listing's lines by the tag they start with (first one wins)."""
    lines: dict[str, str] = {}
    for line in out.splitlines():
        m = re.match(r"\s*(\([0-9A-F]{4},[0-9A-F]{4}\))", line)
        if m:
            lines.setdefault(m.group(1), line)
    return lines


def test_listing_types_and_names_private_elements_and_indents_items(capsys, ct_implicit):
    code, out, err = run(capsys, "dump", ct_implicit)
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == f"# {ct_implicit}"
    lines = tag_lines(out)
    # Private elements pydicom read as UN: the dictionary's VR and name,
    # named through their creator as the file spells it.
    suite_id = re.escape(name_of(0x00091002, "GEMS_IDEN_01"))
    assert re.fullmatch(
        rf"\(0009,1002\) SH \[{re.escape(RESPELT_IDEN)}\] {suite_id} +1  CT01", lines["(0009,1002)"]
    )
    assert re.fullmatch(r"\(0043,1013\) SS \[.*\] .* +5  107\\21\\4\\2\\20", lines["(0043,1013)"])
    # Standard elements: VR, name, VM, value; UIDs with their name.
    assert re.fullmatch(r"\(0008,0008\) CS Image Type +3  ORIGINAL\\PRIMARY\\AXIAL", lines["(0008,0008)"])
    assert lines["(0008,0016)"].endswith("1.2.840.10008.5.1.4.1.1.2 (CT Image Storage)")
    assert re.fullmatch(r"\(0008,0050\) SH Accession Number +0  \(no value\)", lines["(0008,0050)"])
    # A sequence: its item count, then each item with its elements indented.
    text = out.splitlines()
    at = text.index(lines["(0010,1002)"])
    assert lines["(0010,1002)"].endswith("1  2 items")
    assert text[at + 1] == "  item 1 of 2"
    assert re.fullmatch(r"  \(0010,0020\) LO Patient ID +1  ABCD1234", text[at + 2])
    assert text[at + 4] == "  item 2 of 2"
    # The value column lines up across nesting levels.
    assert len({line.index("ABCD1234") for line in text if "ABCD1234" in line}) == 1
    assert text[at + 2].index("ABCD1234") == text[at - 1].rindex("  ") + 2


def test_private_only_keeps_the_sequences_that_lead_to_private_elements(capsys, tmp_path):
    ds = Dataset()
    ds.PatientName = "Nobody"
    inner = Dataset()
    inner.PatientID = "kept out"
    inner.add_new(0x00090010, "LO", "gems_iden_01")
    inner.add_new(0x00091002, "SH", "CT01")
    empty = Dataset()
    empty.PatientID = "no private element here"
    ds.OtherPatientIDsSequence = Sequence([empty, inner])
    ds.ReferencedImageSequence = Sequence([Dataset()])
    path = tmp_path / "nested.dcm"
    path.write_bytes(_implicit(ds))

    code, out, _ = run(capsys, "dump", "--private", str(path))
    body = out.splitlines()[1:]
    assert code == 0
    assert [line.split()[0] for line in body] == ["(0010,1002)", "item", "(0009,0010)", "(0009,1002)"]
    assert body[1] == "  item 2 of 2"
    suite_id = re.escape(name_of(0x00091002, "GEMS_IDEN_01"))
    assert re.fullmatch(rf"  \(0009,1002\) SH \[gems_iden_01\] {suite_id} +1  CT01", body[3])

    code, out, _ = run(capsys, "dump", "--private", "--json", str(path))
    model = json.loads(out)["dataset"]
    assert list(model) == ["00101002"]
    items = model["00101002"]["Value"]
    assert items[0] == {}  # the item is kept (its position counts), emptied
    assert items[1]["00091002"] == {
        "vr": "SH",
        "Name": name_of(0x00091002, "GEMS_IDEN_01"),
        "PrivateCreator": "gems_iden_01",
        "Value": ["CT01"],
    }


def test_json_is_the_dicom_json_model_with_names(capsys, ct_implicit):
    code, out, _ = run(capsys, "dump", "--json", ct_implicit, CT)
    assert code == 0
    files = [json.loads(line) for line in out.splitlines()]
    assert [f["file"] for f in files] == [ct_implicit, CT]  # each line says which file it is
    implicit, explicit = (f["dataset"] for f in files)
    reference = corpus.read(CT).to_json_dict()
    for model in (implicit, explicit):
        assert model["00100010"]["Name"] == "Patient's Name"
        item = model["00101002"]["Value"][1]["00100020"]
        assert (item["Name"], item["Value"]) == ("Patient ID", ["1234ABCD"])
        assert model["00431013"]["Name"] == name_of(0x00431013, "GEMS_PARM_01")
        # Without the names, the elements are pydicom's (sequences apart), but
        # for the implicit copy's re-spelt creators and left-out pixels.
        for key, want in reference.items():
            if want["vr"] == "SQ" or model is implicit and (
                key == "7FE00010" or key.endswith("0010") and int(key[:4], 16) & 1
            ):
                continue
            got = {k: v for k, v in model[key].items() if k not in ("Name", "PrivateCreator")}
            assert got == want, key
    assert implicit["00091002"]["PrivateCreator"] == RESPELT_IDEN
    assert "PrivateCreator" not in implicit["00090010"]


def test_unreadable_files_get_one_line_each_and_the_others_are_dumped(capsys, tmp_path, ct_implicit):
    text = tmp_path / "notes.txt"
    text.write_text("not DICOM at all\n")
    data = open(ct_implicit, "rb").read()
    truncated = tmp_path / "truncated.dcm"
    truncated.write_bytes(data[: len(data) - 100])
    missing = tmp_path / "missing.dcm"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # nobody writes to it: reading would wait for ever

    code, out, err = run(
        capsys, "dump", str(text), ct_implicit, str(missing), str(tmp_path), str(fifo), str(truncated)
    )
    assert code == 1
    # The implicit copy ends with the trailing padding (FFFC,FFFC).
    assert err.splitlines() == [
        f"taglex: {text}: not a DICOM file (no 'DICM' prefix; --force reads one without it)",
        f"taglex: {missing}: No such file or directory",
        f"taglex: {tmp_path}: Is a directory",
        f"taglex: {fifo}: not a regular file",
        f"taglex: {truncated}: truncated: (FFFC,FFFC) holds 26 of its 126 bytes",
    ]
    # The readable file in full; the truncated one as far as it goes.
    headers = [line for line in out.splitlines() if line.startswith("# ")]
    assert headers == [f"# {ct_implicit}", f"# {truncated}"]
    assert out.count("(0009,1002) SH") == 2

    # --force reads a file without the prefix: one clear line, not a crash.
    code, out, err = run(capsys, "dump", "--force", str(text))
    assert code == 1 and len(err.splitlines()) == 1 and err.startswith(f"taglex: {text}: ")


def test_dict_files_are_layers(capsys, tmp_path):
    from taglex import writer

    site = tmp_path / "site.tlex"
    writer.write(site, [{
        "group": 0x0029, "element": 0x01, "creator": "ACME Imaging 1.0", "keyword": "AcmeCount",
        "name": "Acme Count", "vr": "US", "description": "VM 1", "retired": False,
        "block_offset": True, "sources": ["site"],
    }])  # fmt: skip
    ds = Dataset()
    ds.add_new(0x00290010, "LO", "acme  IMAGING 1.0")
    ds.add_new(0x00291001, "US", 513)
    ds.add_new(0x00090010, "LO", "GEMS_IDEN_01")
    ds.add_new(0x00091002, "SH", "CT01")
    path = tmp_path / "site.dcm"
    path.write_bytes(_implicit(ds))

    layers = ("--dict", str(site), "--dict", taglex.default_path())
    code, out, _ = run(capsys, "dump", "--private", *layers, str(path))
    lines = tag_lines(out)
    assert code == 0
    assert re.fullmatch(r"\(0029,1001\) US \[acme  IMAGING 1.0\] Acme Count +1  513", lines["(0029,1001)"])
    assert lines["(0009,1002)"].startswith("(0009,1002) SH [GEMS_IDEN_01] ")  # the bundled one behind

    code, out, _ = run(capsys, "dump", "--private", str(path))
    assert re.fullmatch(r"\(0029,1001\) UN \[acme  IMAGING 1.0\] Unknown +1  01 02", tag_lines(out)["(0029,1001)"])

    code, out, err = run(capsys, "dump", "--dict", str(tmp_path / "none.tlex"), str(path))
    assert (code, out, len(err.splitlines())) == (1, "", 1)


def test_a_damaged_dictionary_is_one_error_line(capsys, tmp_path):
    from support import EXAMPLE, Layout

    from taglex import writer

    layout = Layout(writer.build(EXAMPLE))
    layout.set_record(0, name_offset=layout.strings_count + 1)  # Patient's Name: past the strings
    damaged = tmp_path / "damaged.tlex"
    damaged.write_bytes(layout.bytes())
    ds = Dataset()
    ds.PatientName = "Somebody"
    path = tmp_path / "patient.dcm"
    path.write_bytes(_implicit(ds))

    # Every file would meet the damage: one line, and the command stops.
    code, out, err = run(capsys, "dump", "--dict", str(damaged), str(path), CT)
    assert (code, out) == (1, "")
    assert err.startswith(f"taglex: {damaged} is damaged: range start index ")
    assert len(err.splitlines()) == 1


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    changes=st.lists(st.tuples(st.integers(132, 10**6), st.integers(0, 255)), min_size=1, max_size=8),
    cut=st.none() | st.integers(132, 10**6),
    options=st.sampled_from([(), ("--json",), ("--private",)]),
)
def test_damaged_files_get_a_listing_or_one_error_line(capsys, tmp_path, ct_implicit, changes, cut, options):
    data = bytearray(open(ct_implicit, "rb").read())
    for at, byte in changes:
        data[at % len(data)] = byte
    if cut is not None:
        data = data[: cut % len(data)]
    path = tmp_path / "damaged.dcm"
    path.write_bytes(bytes(data))
    code, out, err = run(capsys, "dump", *options, str(path))
    errors = [line for line in err.splitlines() if not line.startswith(f"taglex: {path}: warning: ")]
    assert all(line.startswith(f"taglex: {path}: ") and line.isprintable() for line in err.splitlines())
    assert (code, len(errors)) in ((0, 0), (1, 1))
    if code == 0:
        assert out


def test_text_an_ascii_output_cannot_hold_is_escaped(tmp_path):
    ds = Dataset()
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.PatientName = "Müller^Jürgen"
    path = tmp_path / "umlaut.dcm"
    path.write_bytes(_implicit(ds))
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}

    def dump(*options: str) -> str:
        argv = [sys.executable, "-m", "taglex", "dump", *options, str(path)]
        done = subprocess.run(argv, capture_output=True, text=True, env=env)
        assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
        return done.stdout

    assert "  M\\xfcller^J\\xfcrgen\n" in dump()
    model = json.loads(dump("--json").splitlines()[-1])["dataset"]  # the last line: pydicom 3.0.0 may print first
    assert model["00100010"]["Value"] == [{"Alphabetic": "Müller^Jürgen"}]


def test_without_pydicom_it_says_how_to_install_it():
    code = "import sys; sys.modules['pydicom'] = None; from taglex.cli import main; sys.exit(main(['dump', 'x.dcm']))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 1
    assert out.stderr == (
        "taglex: taglex dump needs pydicom 3; install it with: pip install 'taglex[pydicom]'\n"
    )


def _implicit(ds: Dataset) -> bytes:
    from pydicom.dataset import FileMetaDataset
    from pydicom.uid import ImplicitVRLittleEndian

    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.3"
    ds.file_meta.MediaStorageSOPInstanceUID = "1.2.3.4"
    import io

    buf = io.BytesIO()
    ds.save_as(buf, implicit_vr=True, little_endian=True, enforce_file_format=True)
    return buf.getvalue()


@pytest.mark.parametrize(
    "vr, value, shown",
    [
        ("OB", b"\x00\x01\xfe", "00 01 fe"),
        ("OB", bytes(17), "(17 bytes)"),
        ("UN", b"", "(no value)"),
        ("LT", "line one\r\nline two", "line one\\r\\nline two"),
        ("UT", "x" * 80, "x" * 61 + "..."),
        ("AT", [0x00100010, 0x7FE00010], "(0010,0010)\\(7FE0,0010)"),
        ("UI", "1.2.840.10008.1.2", "1.2.840.10008.1.2 (Implicit VR Little Endian)"),
        ("UI", "1.2.3.4", "1.2.3.4"),
        ("PN", "Doe^John", "Doe^John"),
        ("FD", [1.5, -2.0], "1.5\\-2.0"),
    ],
)
def test_short_values(vr, value, shown):
    from pydicom.dataelem import DataElement

    assert short_value(DataElement(0x00091001, vr, value)) == shown


# --- files cut short --------------------------------------------------------------


def _structured(syntax) -> Dataset:
    """A small data set with every kind of structure a cut can fall into."""
    from pydicom.dataset import FileMetaDataset

    ds = Dataset()
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.ImageType = ["ORIGINAL", "PRIMARY"]
    items = []
    for i in range(2):
        item = Dataset()
        item.ReferencedSOPInstanceUID = f"1.2.3.{i}"
        item.add_new(0x00090010, "LO", "GEMS_IDEN_01")
        item.add_new(0x00091002, "SH", "CT01")
        items.append(item)
    ds.ReferencedImageSequence = Sequence(items)  # of defined length
    inner = Dataset()
    inner.PatientID = "inner"
    outer = Dataset()
    outer.PatientID = "outer"
    outer.OtherPatientIDsSequence = Sequence([inner])
    ds.OtherPatientIDsSequence = Sequence([outer, Dataset()])
    for sequence, nested in ((ds, outer), (outer, inner)):  # of undefined length
        sequence["OtherPatientIDsSequence"].is_undefined_length = True
        nested.is_undefined_length_sequence_item = True
    ds.PatientName = "Cut^Short"
    ds.add_new(0x00090010, "LO", "GEMS_IDEN_01")
    ds.add_new(0x00091002, "SH", "CT01")
    ds.Rows = 2  # a value of two bytes
    ds.add_new(0x7FE00010, "OW", b"\x00\x01" * 4)
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = syntax
    ds.file_meta.MediaStorageSOPClassUID = "1.2.3"
    ds.file_meta.MediaStorageSOPInstanceUID = "1.2.3.4"
    return ds


def _written(ds: Dataset) -> bytes:
    import io

    buf = io.BytesIO()
    syntax = ds.file_meta.TransferSyntaxUID
    ds.save_as(buf, implicit_vr=syntax.is_implicit_VR, little_endian=syntax.is_little_endian,
               enforce_file_format=True)  # fmt: skip
    return buf.getvalue()


def _flat(line: str) -> str:
    return " ".join(line.split())


@pytest.mark.parametrize("syntax", ["1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"],
                         ids=["implicit", "explicit", "big-endian"])  # fmt: skip
def test_a_file_cut_anywhere_is_listed_as_far_as_it_goes(capsys, tmp_path, syntax):
    from pydicom.uid import UID

    ds = _structured(UID(syntax))
    data = _written(ds)
    tags = sorted(ds.keys())
    # Where each top-level element ends: a cut there leaves a whole, shorter file.
    ends = [len(_written(_first(ds, k))) for k in range(len(tags) + 1)]
    path = tmp_path / "cut.dcm"
    path.write_bytes(data)
    code, out, err = run(capsys, "dump", str(path))
    assert (code, err) == (0, "")
    whole = {line.split()[0]: _flat(line) for line in out.splitlines()[1:] if not line.startswith(" ")}

    for cut in range(len(data)):
        path.write_bytes(data[:cut])
        code, out, err = run(capsys, "dump", str(path))
        errors = [e for e in err.splitlines() if not e.startswith(f"taglex: {path}: warning: ")]
        if cut < 132:  # inside the preamble or the DICM prefix: nothing to list
            assert (code, out, len(errors)) == (1, "", 1) and "not a DICOM file" in errors[0]
            continue
        listed = {line.split()[0]: _flat(line) for line in out.splitlines()[1:] if not line.startswith(" ")}
        assert out.startswith(f"# {path}\n"), cut
        if cut in ends:
            assert (code, errors) == (0, []), cut
        else:
            assert code == 1 and len(errors) == 1, (cut, err)
            assert errors[0].startswith(f"taglex: {path}: truncated: "), (cut, err)
        # Every element that ends before the cut, as the whole file lists it;
        # none that starts after it.
        done = [f"({t >> 16:04X},{t & 0xFFFF:04X})" for t, end in zip(tags, ends[1:]) if end <= cut]
        begun = {f"({t >> 16:04X},{t & 0xFFFF:04X})" for t, start in zip(tags, ends) if start < cut}
        assert all(listed.get(t) == whole[t] for t in done if t.startswith("(0")), cut
        assert set(done) <= set(listed) <= set(whole), cut
        assert {t for t in listed if not t.startswith("(0002")} <= begun, cut


def _first(ds: Dataset, k: int) -> Dataset:
    """A copy of ``ds`` with its first k elements."""
    import copy

    out = copy.deepcopy(ds)
    for tag in sorted(out.keys())[k:]:
        del out[tag]
    return out


# --- long values ------------------------------------------------------------------


def test_long_values_are_listed_as_if_read_whole(capsys, tmp_path):
    # Long values are decoded only as far as the listing shows them; the
    # listing is the one of the values decoded whole.
    from taglex.cli.dump import listing
    from taglex.pydicom import fix_private_vrs

    ds = Dataset()
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.add_new(0x00080306, "US", list(range(10000)))
    ds.add_new(0x00186060, "FL", [i / 3 for i in range(3000)])
    ds.add_new(0x00204000, "LT", "Grüße " * 1500)
    ds.add_new(0x30060050, "DS", [f"{i}.25" for i in range(3000)])
    ds.add_new(0x00100010, "PN", "\\".join(["Müller^Jürgen"] * 500))
    ds.add_new(0x00430010, "LO", "GEMS_PARM_01")
    ds.add_new(0x00431013, "SS", [-i for i in range(10000)])  # typed through the dictionary
    item = Dataset()
    item.add_new(0x00080306, "US", list(range(5000)))
    ds.ReferencedImageSequence = Sequence([item])
    ds.add_new(0x7FE00010, "OW", b"\x05\x00" * 20000)
    path = tmp_path / "long.dcm"
    path.write_bytes(_implicit(ds))

    whole = pydicom.dcmread(path)
    fix_private_vrs(whole)
    code, out, err = run(capsys, "dump", str(path))
    assert code == 0
    assert out.splitlines()[1:] == listing(whole, taglex.Dictionary.default(), False)
    assert "(0043,1013) SS [GEMS_PARM_01] Recon Kernel Parameters 10000  0\\-1\\-2" in out


def test_a_long_value_costs_only_what_it_shows(tmp_path):
    # Two values of 256 MiB (a standard and a private one, zeros in a sparse
    # file): the listing reads a few bytes of each, so a dump in 192 MiB
    # more than the interpreter already has lists them.
    import struct

    ds = Dataset()
    ds.add_new(0x00080016, "UI", "1.2.3")
    head = _implicit(ds)
    size = 256 << 20
    path = tmp_path / "huge.dcm"
    with open(path, "wb") as f:
        f.write(head)
        for tag in (0x00080306, 0x00431013):
            if tag == 0x00431013:
                f.write(struct.pack("<HHI", 0x0043, 0x0010, 12) + b"GEMS_PARM_01")
            f.write(struct.pack("<HHI", tag >> 16, tag & 0xFFFF, size))
            f.seek(size, os.SEEK_CUR)
        f.write(struct.pack("<HHI", 0x0010, 0x0010, 8) + b"Huge^Val")
    child = textwrap.dedent(
        """
        import resource, sys
        import taglex.pydicom, taglex.cli.dump
        from taglex import cli
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (192 << 20),) * 2)
        sys.exit(cli.main(["dump", sys.argv[1]]))
        """
    )
    done = subprocess.run([sys.executable, "-c", child, str(path)], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")
    lines = tag_lines(done.stdout)
    assert re.fullmatch(r"\(0008,0306\) US .* 134217728  0\\0\\0.*\.\.\.", lines["(0008,0306)"])
    assert re.fullmatch(r"\(0043,1013\) SS \[GEMS_PARM_01\] .* 134217728  0\\0\\0.*\.\.\.", lines["(0043,1013)"])
    assert lines["(0010,0010)"].endswith("Huge^Val")
