"""The .tlex writer: exact output, record validation, atomic replacement."""

from __future__ import annotations

import mmap
import os
import socket
import stat
import struct

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, record

import taglex._taglex as _taglex
from taglex import _format, writer


def reference_file() -> bytes:
    """The 224-byte reference file, written out field by field."""
    header = b"TLEX" + struct.pack("<H", 2) + bytes(26)
    index = struct.pack("<IIHH", 0, 0, 0x0010, 0x0010) + struct.pack(
        "<IIHH", 0xC8BEE2EA, 1, 0x0029, 0x0010
    )

    def rec(kw, nm, cr, de, so, group, element, vr, block, retired):
        return struct.pack(
            "<IIIIIIIHHHHHHBBBB",
            kw[0], nm[0], cr[0], de[0], de[1], so[0], so[1],
            group, element, kw[1], nm[1], cr[1], 0, vr, block, retired, 0,
        )  # fmt: skip

    records = rec((0, 11), (11, 14), (0, 0), (25, 0), (25, 3), 0x10, 0x10, 18, 0, 0) + rec(
        (28, 9), (37, 10), (47, 8), (55, 0), (55, 0), 0x29, 0x10, 28, 1, 0
    )
    strings = b"PatientName" + b"Patient's Name" + b"x|y" + b"AcmeFlags" + b"Acme Flags" + b"ACME 1.0"
    root = struct.pack("<iIiIiI", -168, 2, -152, 2, -72, 55)
    data = header + index + records + strings + b"\0" + root
    assert len(data) == 224 and len(strings) == 55
    return data


def test_reference_file_byte_for_byte():
    assert writer.build(EXAMPLE) == reference_file()


def test_empty_dictionary_is_the_smallest_file():
    expected = b"TLEX\x02\x00" + bytes(26) + struct.pack("<iIiIiI", 0, 0, -8, 0, -16, 0)
    assert writer.build([]) == expected


def test_defaults_of_optional_fields():
    minimal = {k: PATIENT_NAME[k] for k in ("group", "element", "keyword", "name", "vr")}
    full = dict(minimal, creator="", description="", retired=False, block_offset=False, sources=[])
    assert writer.build([minimal]) == writer.build([full])


def test_lookup_results_are_records(example):
    results = [example.lookup(0x10, 0x10), example.lookup(0x29, 0x10, "ACME 1.0")]
    assert writer.build(results) == reference_file()


def test_public_names():
    assert writer.FIELDS == (
        "group", "element", "creator", "keyword", "name",
        "vr", "description", "retired", "block_offset", "sources",
    )  # fmt: skip
    assert len(writer.VR_CODES) == 35
    assert writer.VR_CODES[7:9] == ("FL", "FD") and writer.VR_CODES[-1] == "??"
    assert writer.VR_CODES[18] == "PN" and writer.VR_CODES[28] == "UL"


def test_index_sorted_by_key_with_records_in_input_order():
    recs = [
        record(group=0x0029, element=0x10, creator="B", keyword="b", block_offset=True),
        record(group=0x0008, element=0x0020, keyword="late"),
        record(group=0x0029, element=0x10, creator="A", keyword="a", block_offset=True),
        record(group=0x0008, element=0x0005, keyword="early"),
    ]
    lay = Layout(writer.build(recs))
    keys = [
        (lay.entry(k, "group"), lay.entry(k, "element"), lay.entry(k, "creator_hash"))
        for k in range(4)
    ]
    assert keys == sorted(keys)
    for k in range(4):
        r = lay.entry(k, "record_index")
        assert (lay.entry(k, "group"), lay.entry(k, "element")) == (
            lay.record(r, "group"),
            lay.record(r, "element"),
        )
    assert [lay.text(r, "keyword") for r in range(4)] == [b"b", b"late", b"a", b"early"]


def test_duplicates_keep_input_order_and_the_last_wins(open_dict):
    recs = [record(group=8, element=0x16, keyword=f"K{i}") for i in range(3)]
    with pytest.raises(ValueError, match=r"^record 1: duplicate key .* already used by record 0"):
        writer.build(recs)
    data = writer.build(recs, allow_duplicates=True)
    lay = Layout(data)
    assert [lay.entry(k, "record_index") for k in range(3)] == [0, 1, 2]
    d = open_dict(data)
    assert len(d) == 3
    assert d.lookup(8, 0x16)["keyword"] == "K2"


@pytest.mark.parametrize(
    ("first", "second"),
    [("ACME 1.0", "  acme\t1.0 "), ("STRASSE", "straße"), ("\ua7ce", "\ua7cf")],
)
def test_duplicate_detection_uses_the_canonical_creator(first, second):
    recs = [
        record(group=0x29, element=0x10, creator=first, block_offset=True),
        record(group=0x29, element=0x10, creator=second, block_offset=True),
    ]
    with pytest.raises(ValueError, match=r"^record 1: duplicate key"):
        writer.build(recs)


def test_identical_texts_are_stored_once():
    recs = [
        record(group=9, element=1, keyword="Same", name="Shared Name", sources=["DICOM"]),
        record(group=9, element=2, keyword="Other", name="Shared Name", sources=["DICOM"]),
    ]
    lay = Layout(writer.build(recs))
    assert lay.record(0, "name_offset") == lay.record(1, "name_offset")
    assert lay.record(0, "sources_offset") == lay.record(1, "sources_offset")
    assert lay.strings_count == len(b"SameShared NameDICOMOther")


def good(**changes):
    return dict(PATIENT_NAME, **changes)


@pytest.mark.parametrize(
    ("bad", "message"),
    [
        (good(group=65536), r"group 65536 is outside 0\.\.65535"),
        (good(group=-1), r"group -1 is outside 0\.\.65535"),
        (good(element=70000), r"element 70000 is outside 0\.\.65535"),
        (good(group=True), r"group must be an int, not bool"),
        (good(element=16.0), r"element must be an int, not float"),
        (good(group="16"), r"group must be an int, not str"),
        (good(element=0x100, block_offset=True, creator="ACME"), r"element 256 is above 255"),
        (good(element=0x10, block_offset=True), r"creator is empty, but a block-form"),
        (good(keyword="Patient Name"), r"keyword 'Patient Name' is not a keyword"),
        (good(keyword="Straße"), r"keyword 'Straße' is not a keyword"),
        (good(keyword="ABCDxx10"), r"keyword 'ABCDxx10' reads as a tag"),
        (good(vr="XX"), r"unknown VR 'XX'"),
        (good(vr="pn"), r"unknown VR 'pn'"),
        (good(vr=18), r"unknown VR 18"),
        (good(keyword="k" * 65536), r"keyword is 65536 bytes in UTF-8, more than 65535"),
        (good(name="é" * 32768), r"name is 65536 bytes in UTF-8, more than 65535"),
        (good(creator="c" * 65536), r"creator is 65536 bytes in UTF-8, more than 65535"),
        (good(keyword=b"PatientName"), r"keyword must be a str, not bytes"),
        (good(name=None), r"name must be a str, not NoneType"),
        (good(creator=None), r"creator must be a str, not NoneType"),
        (good(description=3), r"description must be a str, not int"),
        (good(keyword="bad\ud800"), r"keyword cannot be encoded as UTF-8"),
        (good(sources=["a|b"]), r"source label 'a\|b' contains '\|'"),
        (good(sources=["a", ""]), r"empty source label"),
        (good(sources="x|y"), r"sources must be a list of str, not str"),
        (good(sources=[b"x"]), r"a source label must be a str, not bytes"),
        (good(retired=1), r"retired must be a bool, not int"),
        (good(block_offset=None), r"block_offset must be a bool, not NoneType"),
        ({k: v for k, v in PATIENT_NAME.items() if k != "vr"}, r"missing field 'vr'"),
        (good(keywrod="x"), r"unknown field 'keywrod'"),
        ([("group", 1)], r"expected a mapping, not list"),
    ],
)
def test_bad_record_names_its_position(bad, message):
    recs = [ACME_FLAGS, record(group=2, element=2), record(group=3, element=3), bad]
    with pytest.raises(ValueError, match="^record 3: " + message):
        writer.build(recs)


def test_every_rule_a_record_breaks_is_named():
    bad = good(group=70000, vr="XX", keyword="no good", retired="no", sources=["", "a|b"])
    with pytest.raises(_format.RecordError) as e:
        _format.check_record(bad)
    assert [field for field, _ in e.value.problems] == ["group", "retired", "vr", "keyword", "sources", "sources"]
    with pytest.raises(ValueError) as e:
        writer.build([bad])
    assert str(e.value).startswith("record 0: group 70000 is outside 0..65535; retired must be a bool")
    assert str(e.value).endswith("; empty source label; source label 'a|b' contains '|'")


def test_texts_at_their_largest(open_dict):
    long = "é" * 32767 + "k"  # 65,535 bytes
    keyword = "k" * 65535  # a keyword is ASCII
    d = open_dict([record(group=1, element=1, keyword=keyword, name=long, creator=long)])
    assert d.lookup(1, 1, long)["keyword"] == keyword


def test_long_text_limits(monkeypatch):
    monkeypatch.setattr(_format, "MAX_LONG_TEXT", 5)
    writer.build([good(description="12345", sources=["ab", "c"])])
    with pytest.raises(ValueError, match=r"^record 0: description is 6 bytes in UTF-8, more than 5"):
        writer.build([good(description="123456")])
    with pytest.raises(ValueError, match=r"^record 0: sources is 6 bytes in UTF-8, more than 5"):
        writer.build([good(sources=["abc", "de"])])


def test_strings_table_limit(monkeypatch):
    # PatientName + Patient's Name + x|y = 28 bytes.
    monkeypatch.setattr(_format, "MAX_STRINGS", 28)
    writer.build([PATIENT_NAME])
    writer.build([PATIENT_NAME, good(element=0x20)])  # every text is shared
    with pytest.raises(ValueError, match=r"^record 1: the strings table would grow to 29 bytes"):
        writer.build([PATIENT_NAME, good(element=0x20, keyword="Z")])


def test_root_position_limit(monkeypatch):
    size = len(writer.build(EXAMPLE)) - 32 - 24  # the root's position in the body
    monkeypatch.setattr(_format, "MAX_ROOT_POSITION", size)
    writer.build(EXAMPLE)
    monkeypatch.setattr(_format, "MAX_ROOT_POSITION", size - 1)
    with pytest.raises(ValueError, match=r"too large"):
        writer.build(EXAMPLE)


# --- write(): atomic replacement -------------------------------------------------


def test_write_accepts_str_and_pathlike(tmp_path):
    writer.write(tmp_path / "a.tlex", EXAMPLE)
    writer.write(str(tmp_path / "b.tlex"), iter(EXAMPLE))
    for name in ("a.tlex", "b.tlex"):
        assert (tmp_path / name).read_bytes() == reference_file()
    assert sorted(os.listdir(tmp_path)) == ["a.tlex", "b.tlex"]


def test_replacing_leaves_mapped_old_bytes_alone(tmp_path):
    path = tmp_path / "d.tlex"
    writer.write(path, [PATIENT_NAME])
    old = path.read_bytes()
    old_dict = _taglex.open(path)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
        writer.write(path, [good(keyword="Renamed")])
        assert m[:] == old
        assert path.read_bytes() != old
    assert old_dict.lookup(0x10, 0x10)["keyword"] == "PatientName"
    assert _taglex.open(path).lookup(0x10, 0x10)["keyword"] == "Renamed"
    assert os.listdir(tmp_path) == ["d.tlex"]


def test_write_keeps_permissions_and_follows_links(tmp_path):
    path = tmp_path / "d.tlex"
    writer.write(path, [])
    assert path.stat().st_mode & 0o777 == 0o666 & ~current_umask()
    path.chmod(0o640)
    link = tmp_path / "link.tlex"
    link.symlink_to(path)
    writer.write(link, EXAMPLE)
    assert link.is_symlink()
    assert path.read_bytes() == reference_file()
    assert path.stat().st_mode & 0o777 == 0o640


def current_umask() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    pytest.skip("umask not readable")


def _fail_fsync(fd):
    raise OSError(5, "injected fsync failure")


@pytest.mark.parametrize(
    "failure",
    ["bad record", "fsync", "empty path", "folder", "FIFO", "socket", "device", "link to a FIFO"],
)
def test_failed_write_leaves_target_and_folder_unchanged(tmp_path, monkeypatch, failure):
    target = tmp_path / "d.tlex"
    writer.write(target, EXAMPLE)
    before = target.read_bytes()
    records = [good(keyword="New")]
    expected: type[Exception] = FileExistsError  # what is not a regular file stays
    if failure == "bad record":
        records.append(good(vr="??x"))
        expected = ValueError
    elif failure == "fsync":
        monkeypatch.setattr(os, "fsync", _fail_fsync)
        expected = OSError
    elif failure == "empty path":
        target, expected = "", ValueError
    elif failure == "folder":
        target = tmp_path / "folder"
        target.mkdir()
    elif failure == "device":
        target = tmp_path / "null"
        try:  # a node of the null device: what /dev/null is
            os.mknod(target, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device node needs privileges")
    elif failure == "socket":
        target = tmp_path / "sock"
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(str(target))  # the socket file stays after close
    else:
        os.mkfifo(tmp_path / "fifo")
        target = tmp_path / "fifo"
        if failure == "link to a FIFO":
            target = tmp_path / "link"
            target.symlink_to(tmp_path / "fifo")
    kind = None if target == "" else os.lstat(target).st_mode
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(expected):
        writer.write(target, records)
    assert sorted(os.listdir(tmp_path)) == listing
    assert kind is None or os.lstat(target).st_mode == kind
    assert (tmp_path / "d.tlex").read_bytes() == before
