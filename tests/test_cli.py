"""The taglex command line: tag parsing, lookup, build, info, --version."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout

import taglex
from taglex import cli, writer


def run(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def jsonl(*records) -> str:
    return "".join(json.dumps(r) + "\n" for r in records)


@pytest.fixture
def example_path(make_file) -> str:
    return make_file(EXAMPLE)


# --- tag parsing ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, group, element, block",
    [
        ("(0010,0010)", 0x0010, 0x0010, False),
        ("0010,0010", 0x0010, 0x0010, False),
        ("00100010", 0x0010, 0x0010, False),
        ("0x00100010", 0x0010, 0x0010, False),
        ("0X7fe00010", 0x7FE0, 0x0010, False),
        ("(7fe0, 0010)", 0x7FE0, 0x0010, False),
        (" (FFFE,E0DD) ", 0xFFFE, 0xE0DD, False),
        ("0029,xx10", 0x0029, 0x10, True),
        ("(0029,xx10)", 0x0029, 0x10, True),
        ("(0029,XXfe)", 0x0029, 0xFE, True),
        ("0029xx10", 0x0029, 0x10, True),
    ],
)
def test_parse_tag_forms(text, group, element, block):
    assert cli.parse_tag(text) == cli.Tag(group, element, block)


@pytest.mark.parametrize(
    "text",
    [
        "",
        "0010",
        "001000100",
        "(0010,0010",
        "(00100010)",
        "0010,001",
        "010,0010",
        "0010,00g0",
        "0x0010,0010",
        "0029,x10",
        "0029,xx1",
        "0029,10xx",
        "xx29,0010",
        "0010;0010",
    ],
)
def test_malformed_tags_are_refused(text, capsys, example_path):
    with pytest.raises(ValueError, match="malformed tag"):
        cli.parse_tag(text)
    code, out, err = run(capsys, "lookup", text, "--dict", example_path)
    assert code == 2 and out == ""
    assert "usage:" in err and "malformed tag" in err


@pytest.mark.parametrize(
    "group, element, block, text",
    [(0x0010, 0x0010, False, "(0010,0010)"), (0x0029, 0x10, True, "(0029,xx10)")],
)
def test_tag_text_round_trips(group, element, block, text):
    assert str(cli.Tag(group, element, block)) == text
    assert cli.parse_tag(text) == cli.Tag(group, element, block)


# --- lookup -----------------------------------------------------------------------


@pytest.mark.parametrize("tag", ["(0010,0010)", "0010,0010", "00100010", "0x00100010"])
def test_lookup_json_is_the_lookup_result(tag, capsys, example_path):
    code, out, err = run(capsys, "lookup", tag, "--dict", example_path, "--json")
    assert (code, err) == (0, "")
    assert out.count("\n") == 1
    assert json.loads(out) == PATIENT_NAME


@pytest.mark.parametrize("tag", ["0029,xx10", "(0029,xx10)", "(0029,1010)", "00291010"])
def test_lookup_private_in_any_spelling(tag, capsys, example_path):
    creator = "  acme\t1.0 "
    argv = ["lookup", tag, "--creator", creator, "--dict", example_path, "--json"]
    code, out, err = run(capsys, *argv)
    assert (code, err) == (0, "")
    assert json.loads(out) == ACME_FLAGS


def test_lookup_text_output(capsys, example_path):
    argv = ["lookup", "(0029,xx10)", "--creator", "ACME 1.0", "--dict", example_path]
    code, out, err = run(capsys, *argv)
    assert (code, err) == (0, "")
    fields = dict(
        (key.strip(), value.strip())
        for key, _, value in (line.partition(":") for line in out.splitlines())
    )
    assert fields["tag"] == "(0029,xx10)"
    for key in ("keyword", "name", "vr", "creator"):
        assert fields[key] == ACME_FLAGS[key]
    assert fields["retired"] == "no"

    code, out, _ = run(capsys, "lookup", "(0010,0010)", "--dict", example_path)
    fields = dict(
        (key.strip(), value.strip())
        for key, _, value in (line.partition(":") for line in out.splitlines())
    )
    assert code == 0
    assert fields["tag"] == "(0010,0010)" and fields["keyword"] == PATIENT_NAME["keyword"]
    assert fields["sources"] == ", ".join(PATIENT_NAME["sources"])
    assert "creator" not in fields


@pytest.mark.parametrize(
    "argv",
    [
        ["(0010,0020)"],
        ["(0029,xx10)"],  # private element without its creator
        ["(0029,xx10)", "--creator", "ACME 2.0"],
        ["(0029,xx11)", "--creator", "ACME 1.0"],
        ["(0010,0010)", "--creator", "ACME 1.0"],
        ["(0028,1010)", "--creator", "ACME 1.0"],  # even group: no block-form retry
        ["(0031,1010)", "--creator", "ACME 1.0"],  # only a creator element at (0031,0010)
    ],
)
def test_lookup_not_found(argv, capsys, make_file):
    creator_element = dict(
        ACME_FLAGS, group=0x0031, keyword="PrivateCreator", name="Private Creator", vr="LO",
        block_offset=False,
    )  # fmt: skip
    path = make_file([*EXAMPLE, creator_element])
    code, out, _ = run(capsys, "lookup", "(0031,0010)", "--creator", "ACME 1.0", "--dict", path)
    assert code == 0 and "PrivateCreator" in out
    code, out, err = run(capsys, "lookup", *argv, "--dict", path)
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and err.startswith("taglex: ") and "no entry" in err


def test_lookup_of_a_file_that_does_not_open(capsys, tmp_path):
    bad = tmp_path / "bad.tlex"
    bad.write_bytes(b"TLEX")
    code, out, err = run(capsys, "lookup", "(0010,0010)", "--dict", str(bad))
    assert code == 1 and out == ""
    assert "cannot open" in err and err.count("\n") == 1


def test_lookup_uses_the_bundled_dictionary_by_default(capsys):
    code, out, err = run(capsys, "lookup", "(0010,0010)", "--json")
    assert (code, err) == (0, "")
    assert json.loads(out) == taglex.open_default().lookup(0x0010, 0x0010)
    assert json.loads(out)["keyword"] == "PatientName"


# --- build --------------------------------------------------------------------------


def test_build_writes_what_lookup_reads_back(capsys, tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(*EXAMPLE) + "\n")  # a trailing blank line is fine
    out_path = tmp_path / "out.tlex"
    code, out, err = run(capsys, "build", str(src), str(out_path))
    assert (code, err) == (0, "")
    assert str(out_path) in out
    assert out_path.read_bytes() == writer.build(EXAMPLE)
    d = taglex.open(str(out_path))
    assert d.lookup(0x0010, 0x0010) == PATIENT_NAME
    assert d.lookup(0x0029, 0x10, "acme 1.0") == ACME_FLAGS


def test_build_from_lookup_json_output(capsys, tmp_path, example_path):
    # The JSON that lookup prints is a record that build accepts.
    lines = []
    for argv in (["(0010,0010)"], ["(0029,xx10)", "--creator", "ACME 1.0"]):
        code, out, _ = run(capsys, "lookup", *argv, "--dict", example_path, "--json")
        assert code == 0
        lines.append(out)
    src = tmp_path / "in.jsonl"
    src.write_text("".join(lines))
    code, _, err = run(capsys, "build", str(src), str(tmp_path / "out.tlex"))
    assert (code, err) == (0, "")
    assert (tmp_path / "out.tlex").read_bytes() == writer.build(EXAMPLE)


def test_build_reports_every_bad_line_and_writes_nothing(capsys, tmp_path):
    good = dict(PATIENT_NAME)
    lines = [
        json.dumps(good),  # 1
        '{"group": 16,',  # 2: not JSON
        json.dumps([1, 2]),  # 3: not an object
        json.dumps({k: v for k, v in good.items() if k != "vr"}),  # 4: missing key
        json.dumps(dict(good, element=0x20, colour="red")),  # 5: unknown key
        json.dumps(dict(good, element=0x21, retired="no")),  # 6: wrong type
        json.dumps(dict(good, element=0x22, vr="XX")),  # 7: unknown VR (writer rule)
        json.dumps(dict(good, element=0x23, group=70000)),  # 8: out of range (writer rule)
        json.dumps(dict(ACME_FLAGS, element=0x110)),  # 9: block form above 0xff (writer rule)
        "",  # 10: blank, skipped
        json.dumps(good),  # 11: duplicate of line 1
        json.dumps(dict(ACME_FLAGS, creator="acme  1.0")),  # 12: good
        json.dumps(dict(ACME_FLAGS, creator=" ACME 1.0")),  # 13: duplicate of 12 once canonical
        json.dumps(dict(good, element=0x24, sources=["a", 3])),  # 14: wrong type in list
        json.dumps(dict(good, element=0x25, group=True)),  # 15: bool is not an int
    ]
    src = tmp_path / "in.jsonl"
    src.write_bytes(("\n".join(lines) + "\n").encode() + b'{"name": "\xff"}\n')  # 16: not UTF-8
    out_path = tmp_path / "out.tlex"
    code, out, err = run(capsys, "build", str(src), str(out_path))
    assert code == 1 and out == ""
    assert not out_path.exists()
    assert not [p for p in os.listdir(tmp_path) if p not in ("in.jsonl",)]

    reported = {}
    for line in err.splitlines()[:-1]:
        prefix = f"taglex: {src}: line "
        assert line.startswith(prefix), line
        number, _, reason = line[len(prefix) :].partition(": ")
        reported[int(number)] = reason
    assert sorted(reported) == [2, 3, 4, 5, 6, 7, 8, 9, 11, 13, 14, 15, 16]
    assert "invalid JSON" in reported[2]
    assert "JSON object" in reported[3]
    assert "missing 'vr'" in reported[4]
    assert "unknown 'colour'" in reported[5]
    assert "retired" in reported[6]
    assert "VR" in reported[7]
    assert "group" in reported[8]
    assert "element" in reported[9]
    assert "duplicate" in reported[11] and "line 1" in reported[11]
    assert "duplicate" in reported[13] and "line 12" in reported[13]
    assert "sources" in reported[14]
    assert "group" in reported[15]
    assert "UTF-8" in reported[16]
    assert err.splitlines()[-1] == f"taglex: 13 bad lines; {out_path} not written"


def test_failed_build_leaves_the_old_output_untouched(capsys, tmp_path, example_path):
    with open(example_path, "rb") as f:
        before = f.read()
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(dict(PATIENT_NAME, keyword="Changed")) + "not json\n")
    code, _, err = run(capsys, "build", str(src), example_path)
    assert code == 1 and "line 2" in err
    with open(example_path, "rb") as f:
        assert f.read() == before


def test_build_allow_duplicates_keeps_both(capsys, tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(PATIENT_NAME, dict(PATIENT_NAME, keyword="Later")))
    out_path = tmp_path / "out.tlex"
    code, _, err = run(capsys, "build", str(src), str(out_path))
    assert code == 1 and "duplicate" in err and not out_path.exists()
    code, _, err = run(capsys, "build", str(src), str(out_path), "--allow-duplicates")
    assert (code, err) == (0, "")
    d = taglex.open(str(out_path))
    assert len(d) == 2 and d.lookup(0x10, 0x10)["keyword"] == "Later"


def test_build_from_stdin(tmp_path):
    out_path = tmp_path / "out.tlex"
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "build", "-", str(out_path)],
        input=jsonl(*EXAMPLE),
        capture_output=True,
        text=True,
        check=False,
    )
    assert proc.returncode == 0, proc.stderr
    assert out_path.read_bytes() == writer.build(EXAMPLE)


def test_build_of_a_missing_input(capsys, tmp_path):
    code, out, err = run(capsys, "build", str(tmp_path / "nope.jsonl"), str(tmp_path / "o.tlex"))
    assert code == 1 and out == "" and "cannot read" in err
    assert not (tmp_path / "o.tlex").exists()


CHILD = textwrap.dedent(
    """
    import json, sys
    import taglex
    d = taglex.open(sys.argv[1])
    print("ready", flush=True)
    for line in sys.stdin:
        group, element = (int(x, 0) for x in line.split())
        print(json.dumps(d.lookup(group, element)), flush=True)
    """
)


def test_build_replaces_a_file_that_another_process_has_open(capsys, tmp_path, example_path):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, example_path],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:

        def ask(group: int, element: int):
            child.stdin.write(f"{group} {element}\n")
            child.stdin.flush()
            return json.loads(child.stdout.readline())

        assert child.stdout.readline() == "ready\n"
        assert ask(0x10, 0x10) == PATIENT_NAME

        renamed = dict(PATIENT_NAME, keyword="Renamed", name="Renamed")
        added = dict(PATIENT_NAME, element=0x20, keyword="PatientID", name="Patient ID", vr="LO")
        src = tmp_path / "new.jsonl"
        src.write_text(jsonl(renamed, added))
        code, _, err = run(capsys, "build", str(src), example_path)
        assert (code, err) == (0, "")

        # The new file is in place ...
        fresh = taglex.open(example_path)
        assert fresh.lookup(0x10, 0x10) == renamed and fresh.lookup(0x10, 0x20) == added
        # ... while the process that had the old one open still reads the old one.
        assert ask(0x10, 0x10) == PATIENT_NAME
        assert ask(0x10, 0x20) is None
        assert ask(0x29, 0x10) is None  # private, and no creator given
    finally:
        child.stdin.close()
        child.wait(timeout=60)
    assert child.returncode == 0


# --- info, --version, --help ---------------------------------------------------------------


def _info_fields(out: str) -> dict[str, str]:
    return {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in out.splitlines())}


def test_info_of_a_good_file(capsys, make_file):
    records = [dict(PATIENT_NAME, element=e) for e in range(5)] + [ACME_FLAGS]
    path = make_file(records)
    code, out, err = run(capsys, "info", path)
    assert (code, err) == (0, "")
    fields = _info_fields(out)
    assert fields["file"] == path
    assert fields["size"] == f"{os.path.getsize(path)} bytes"
    assert fields["opens"] == "yes"
    assert fields["entries"] == str(len(records)) == str(len(taglex.open(path)))
    assert fields["records"] == str(len(records))


def test_info_counts_index_entries_and_records_separately(capsys, make_file):
    # A root whose index holds fewer entries than there are records: still a
    # valid file, and info must tell the two counts apart.
    path = make_file(Layout(writer.build(EXAMPLE)).set_root(0, count=1).bytes())
    code, out, _ = run(capsys, "info", path)
    fields = _info_fields(out)
    assert code == 0 and fields["opens"] == "yes"
    assert fields["entries"] == "1" == str(len(taglex.open(path)))
    assert fields["records"] == str(len(EXAMPLE))


def test_info_of_a_file_that_does_not_open(capsys, make_file):
    data = bytearray(writer.build(EXAMPLE))
    data[4] = 3  # version 3
    path = make_file(bytes(data))
    code, out, err = run(capsys, "info", path)
    assert code == 1
    fields = _info_fields(out)
    assert fields["opens"].startswith("no: ")
    with pytest.raises(ValueError) as excinfo:
        taglex.open(path)
    assert fields["opens"] == f"no: {excinfo.value}"
    assert fields["entries"] == "n/a"
    assert fields["records"] == str(len(EXAMPLE))
    assert fields["size"] == f"{len(data)} bytes"


def test_info_of_a_tiny_or_missing_file(capsys, make_file, tmp_path):
    path = make_file(b"TLEX\x02\x00")
    code, out, _ = run(capsys, "info", path)
    fields = _info_fields(out)
    assert code == 1 and fields["records"] == "n/a" and fields["size"] == "6 bytes"
    assert "too small" in fields["opens"]
    code, out, err = run(capsys, "info", str(tmp_path / "missing.tlex"))
    assert code == 1 and out == "" and "cannot read" in err


def test_version(capsys):
    code, out, _ = run(capsys, "--version")
    assert code == 0 and out == f"taglex {taglex.__version__}\n"


@pytest.mark.parametrize("argv", [[], ["lookup"], ["build", "only-one"], ["frobnicate"]])
def test_usage_errors(argv, capsys):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == "" and "usage:" in err


@pytest.mark.parametrize("command", [[], ["lookup"], ["build"], ["info"]])
def test_help_everywhere(command, capsys):
    code, out, _ = run(capsys, *command, "--help")
    assert code == 0 and out.startswith("usage: taglex")


def test_python_dash_m(tmp_path, example_path):
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "--version"], capture_output=True, text=True, check=False
    )
    assert proc.returncode == 0 and proc.stdout == f"taglex {taglex.__version__}\n"
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "lookup", "0010,0099", "--dict", example_path],
        capture_output=True,
        text=True,
        check=False,
    )
    assert proc.returncode == 1 and proc.stdout == "" and proc.stderr.count("\n") == 1
