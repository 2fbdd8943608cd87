"""open(): paths, refused files and their messages, resources held and released."""

from __future__ import annotations

import errno
import gc
import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import EXAMPLE, Layout, fd_count, maps_naming, record

import taglex._taglex as _taglex
from taglex import _format, writer

REFERENCE = writer.build(EXAMPLE)
EMPTY = writer.build([])
ADDR = r"(0x[1-9a-f][0-9a-f]*)"
PAGE = os.sysconf("SC_PAGE_SIZE")


def header(magic=b"TLEX", version=2, rest=bytes(26)) -> bytes:
    return magic + struct.pack("<H", version) + rest


def open_error(path, exc_type=OSError) -> str:
    """The message of the exception open(path) raises, checking its shape."""
    with pytest.raises(exc_type) as excinfo:
        _taglex.open(path)
    e = excinfo.value
    assert type(e) is exc_type
    assert len(e.args) == 1 and type(e.args[0]) is str
    if exc_type is OSError:
        assert (e.errno, e.strerror, e.filename) == (None, None, None)
    assert getattr(e, "__notes__", None) is None
    return e.args[0]


# --- paths ------------------------------------------------------------------------


def test_path_forms(make_file):
    path = make_file(EXAMPLE)
    dicts = [
        _taglex.open(path),
        _taglex.open(pathlib.Path(path)),
        _taglex.open(path=path),
        _taglex.open(type("P", (str,), {})(path)),
    ]
    assert all(type(d) is _taglex.Dict and len(d) == 2 for d in dicts)
    assert len({id(d) for d in dicts}) == len(dicts)


def test_missing_file(tmp_path):
    path = str(tmp_path / "missing.tlex")
    strerror = os.strerror(errno.ENOENT)
    assert open_error(path) == f"cannot open {path}: io error: {strerror} (os error 2)"


def test_nul_in_path(tmp_path):
    path = str(tmp_path / "a\0b.tlex")
    assert open_error(path) == (
        f"cannot open {path}: io error: file name contained an unexpected NUL byte"
    )


def test_undecodable_file_name(tmp_path):
    raw = os.fsencode(tmp_path) + b"/d\xff.tlex"
    path = os.fsdecode(raw)
    assert "\udcff" in path
    with open(raw, "wb") as f:
        f.write(REFERENCE)
    assert len(_taglex.open(path)) == 2
    os.unlink(raw)
    shown = str(tmp_path) + "/d\ufffd.tlex"
    assert open_error(path) == (
        f"cannot open {shown}: io error: {os.strerror(errno.ENOENT)} (os error 2)"
    )


def test_directory(tmp_path):
    message = open_error(str(tmp_path))
    assert re.fullmatch(rf"cannot open {re.escape(str(tmp_path))}: io error: .+ \(os error \d+\)", message)


def test_fifo_fails_promptly(tmp_path):
    fifo = tmp_path / "pipe.tlex"
    os.mkfifo(fifo)
    code = (
        "import sys, taglex._taglex as t\n"
        "try:\n"
        "    t.open(sys.argv[1])\n"
        "except OSError as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    try:
        done = subprocess.run(
            [sys.executable, "-c", code, str(fifo)], capture_output=True, text=True, timeout=60
        )
    except subprocess.TimeoutExpired:
        pytest.fail("open() on a FIFO blocked")
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(
        rf"OSError cannot open {re.escape(str(fifo))}: io error: .+ \(os error \d+\)\n", done.stdout
    )


# --- refused contents ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("content", "text"),
    [
        (b"", "file too small (0 bytes) to contain a header"),
        (b"x" * 31, "file too small (31 bytes) to contain a header"),
        (header()[:31], "file too small (31 bytes) to contain a header"),
        (b"PK\x03\x04" + REFERENCE[4:], "bad magic bytes [80, 75, 3, 4]"),
        (b"XELT" + REFERENCE[4:], "bad magic bytes [88, 69, 76, 84]"),
        (b"tlex" + REFERENCE[4:], "bad magic bytes [116, 108, 101, 120]"),
        (header(magic=b"TLEx", version=3), "bad magic bytes [84, 76, 69, 120]"),
        (
            b"\0" * 32 + REFERENCE[32:],
            "bad magic bytes [0, 0, 0, 0]",
        ),
    ],
)
def test_header_errors(make_file, content, text):
    path = make_file(content)
    assert open_error(path) == f"cannot open {path}: {text}"


@pytest.mark.parametrize("version", [0, 1, 3, 258, 65535])
def test_unsupported_version(make_file, version):
    path = make_file(header(version=version) + REFERENCE[32:])
    assert open_error(path, ValueError) == f"unsupported .tlex version {version}"


def test_version_checked_before_the_body(make_file):
    path = make_file(header(version=3))  # no body at all
    assert open_error(path, ValueError) == "unsupported .tlex version 3"


def integrity(path: str) -> str:
    message = open_error(path)
    prefix = f"cannot open {path}: archive integrity check failed: "
    assert message.startswith(prefix)
    return message[len(prefix) :]


def body_address(addr: str, body_pos: int = 0) -> int:
    """Checks that an address in a message is the mapped file's body plus body_pos."""
    value = int(addr, 16)
    assert value % PAGE == (32 + body_pos) % PAGE
    return value


def test_empty_body(make_file):
    text = integrity(make_file(header()))
    m = re.fullmatch(
        rf"context error: pointer out of bounds: base {ADDR} offset -24 not in range {ADDR}\.\.{ADDR}",
        text,
    )
    assert m and m[1] == m[2] == m[3]
    body_address(m[1])


def test_body_length_not_a_multiple_of_four(make_file):
    text = integrity(make_file(header() + bytes(26)))
    m = re.fullmatch(rf"context error: unaligned pointer: ptr {ADDR} unaligned for alignment 4", text)
    assert m
    body_address(m[1], 2)


def test_root_of_zeros(make_file):
    text = integrity(make_file(header() + bytes(24)))
    m = re.fullmatch(
        r"check bytes error: check failed for struct member records: "
        rf"subtree pointer out of bounds: ptr {ADDR} not in range {ADDR}\.\.{ADDR}",
        text,
    )
    assert m and m[2] == m[3]
    assert int(m[1], 16) == int(m[2], 16) + 8
    body_address(m[2])


def test_strings_reaching_into_the_root(make_file):
    data = Layout(REFERENCE).set_root(2, count=57).bytes()  # strings count 55 -> 57
    text = integrity(make_file(data))
    m = re.fullmatch(
        r"check bytes error: check failed for struct member strings: "
        rf"subtree pointer overran range: ptr {ADDR} size 57 in range {ADDR}\.\.{ADDR}",
        text,
    )
    assert m and m[1] == m[2]  # strings start where the records end
    assert int(m[3], 16) - int(m[2], 16) == 56  # ... and the root 56 bytes later
    body_address(m[1], 112)


def eight_records() -> list[dict]:
    return [record(group=8, element=e, keyword=f"K{e}") for e in range(8)]


def member(r: int, name: str, what: str) -> str:
    return f"check failed for slice index {r}: check failed for struct member {name}: {what}"


BOOL = "check failed for bool: expected 0 or 1, found"
ENUM = "invalid tag for enum:"
BLOCK = "element_is_block_offset"


@pytest.mark.parametrize(
    ("changes", "text"),
    [
        ({7: {"vr": 200}}, member(7, "vr", f"{ENUM} 200")),
        ({0: {"vr": 35}}, member(0, "vr", f"{ENUM} 35")),
        ({3: {"retired": 2, "vr": 200}}, member(3, "retired", f"{BOOL} 2")),
        ({2: {"element_is_block_offset": 2, "retired": 2}}, member(2, BLOCK, f"{BOOL} 2")),
        ({0: {"retired": 255}, 5: {"vr": 99}}, member(0, "retired", f"{BOOL} 255")),
        ({6: {"vr": 34}, 7: {"element_is_block_offset": 3}}, member(7, BLOCK, f"{BOOL} 3")),
    ],
)
def test_bad_record_bytes(make_file, changes, text):
    lay = Layout(writer.build(eight_records()))
    for r, fields in changes.items():
        lay.set_record(r, **fields)
    path = make_file(lay.bytes())
    assert integrity(path) == "check bytes error: check failed for struct member records: " + text


def test_ignored_bytes_are_accepted(open_dict):
    lay = Layout(REFERENCE).set_record(0, reserved38=0xBEEF).set_record(1, reserved38=7)
    data = bytearray(lay.bytes())
    data[6:32] = bytes(range(1, 27))
    data[32 + 24 + 43] = 0xAA  # padding byte of record 0
    data[199] = 0x55  # padding before the root
    d = open_dict(bytes(data))
    assert d.lookup(0x10, 0x10)["keyword"] == "PatientName"
    assert d.lookup(0x29, 0x10, "ACME 1.0")["vr"] == "UL"


def test_smallest_file(open_dict):
    assert len(EMPTY) == 56
    d = open_dict(EMPTY)
    assert len(d) == 0 and not d and repr(d) == "<taglex.Dict len=0>"
    assert d.lookup(0, 0) is None and d.lookup(0x10, 0x10, "") is None


# --- resources ----------------------------------------------------------------------


BAD_FILES = {
    "too small": b"TLEX",
    "empty": b"",
    "bad magic": b"XELT" + REFERENCE[4:],
    "version": header(version=3) + REFERENCE[32:],
    "integrity": header() + bytes(24),
}


def test_failed_opens_leave_nothing_open(tmp_path, make_file):
    paths = [make_file(content) for content in BAD_FILES.values()]
    paths += [str(tmp_path), str(tmp_path / "missing")]
    gc.collect()
    before = fd_count()
    for path in paths:
        with pytest.raises((OSError, ValueError)):
            _taglex.open(path)
    assert fd_count() == before
    for path in paths:
        assert maps_naming(path) == 0


def test_dict_holds_file_until_dropped(make_file):
    path = make_file(EXAMPLE)
    gc.collect()
    before = fd_count()
    dicts = [_taglex.open(path) for _ in range(3)]
    assert fd_count() == before + 3
    assert maps_naming(path) == 3
    with dicts[0] as d:
        assert d is dicts[0]
    assert maps_naming(path) == 3  # leaving the with block closes nothing
    del d
    dicts.pop()
    assert fd_count() == before + 2 and maps_naming(path) == 2
    dicts.clear()
    assert fd_count() == before and maps_naming(path) == 0


# --- arbitrary contents ---------------------------------------------------------------


def check_opens_or_refuses(path: str, data: bytes) -> None:
    try:
        d = _taglex.open(path)
    except (OSError, ValueError) as e:
        assert type(e) in (OSError, ValueError)
        return
    lay = Layout(data)
    assert len(d) == lay.index_count
    keys = [(lay.entry(k, "group"), lay.entry(k, "element")) for k in range(lay.index_count)]
    for key in keys + [(0, 0), (0xFFFF, 0xFFFF)]:
        for creator in (None, ""):
            try:
                result = d.lookup(*key, creator)
            except BaseException as e:  # an unchecked contract breach in the file
                if type(e).__name__ != "PanicException":
                    raise
            else:
                assert result is None or len(result) == 10


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return str(tmp_path_factory.mktemp("fuzz") / "f.tlex")


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=120))
def test_arbitrary_bytes(scratch, data):
    with open(scratch, "wb") as f:
        f.write(data)
    check_opens_or_refuses(scratch, data)


@st.composite
def near_valid_files(draw):
    """A header and a body laid out as the format asks, then maybe disturbed."""
    n_index, n_records, n_strings = (draw(st.integers(0, k)) for k in (3, 3, 40))
    body = bytearray()
    targets = []
    for size, align in ((12 * n_index, 4), (44 * n_records, 4), (n_strings, 1)):
        body += bytes(-len(body) % align + align * draw(st.integers(0, 1)))
        targets.append(len(body))
        body += draw(st.binary(min_size=size, max_size=size))
    for k in range(n_index):
        if draw(st.booleans()):
            body[12 * k : 12 * k + 4] = bytes(4)  # an entry without creator
    for r in range(n_records):
        at = targets[1] + 44 * r
        body[at + 40] = draw(st.sampled_from([0, 7, 18, 28, 34, 35, 255]))
        body[at + 41] = draw(st.sampled_from([0, 1, 0, 1, 0, 1, 2]))
        body[at + 42] = draw(st.sampled_from([0, 1, 0, 1, 0, 1, 2]))
    body += bytes(-len(body) % 4)
    root_pos = len(body)
    counts = (n_index, n_records, n_strings)
    fields = [[targets[k] - (root_pos + 8 * k), counts[k]] for k in range(3)]
    if draw(st.booleans()):
        k, which = draw(st.integers(0, 2)), draw(st.integers(0, 1))
        fields[k][which] += draw(st.integers(-9, 9))
        fields[k][1] = max(fields[k][1], 0)
    root = b"".join(_format.ROOT_PAIR.pack(offset, count) for offset, count in fields)
    if draw(st.integers(0, 9)) == 0:
        root = root[: draw(st.integers(0, 23))]  # a misaligned or short body
    return header(rest=draw(st.binary(min_size=26, max_size=26))) + bytes(body) + root


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=near_valid_files())
def test_near_valid_files(scratch, data):
    with open(scratch, "wb") as f:
        f.write(data)
    check_opens_or_refuses(scratch, data)
