"""taglex build: JSON Lines in, a .tlex file out, every bad line reported."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, jsonl, run_cli as run

import taglex
from taglex import writer


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
        '{"group": ' + "1" * 5000 + "}",  # 16: too many digits for int()
        "[" * 100_000 + "]" * 100_000,  # 17: deeper than the parser recurses
        json.dumps(good)[:-1] + ', "vr": "LO"}',  # 18: a key given twice
    ]
    src = tmp_path / "in.jsonl"
    src.write_bytes(("\n".join(lines) + "\n").encode() + b'{"name": "\xff"}\n')  # 19: not UTF-8
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
    assert sorted(reported) == [2, 3, 4, 5, 6, 7, 8, 9, 11, 13, 14, 15, 16, 17, 18, 19]
    assert "invalid JSON" in reported[2]
    assert "JSON object" in reported[3]
    assert "missing 'vr'" in reported[4]
    assert "unknown 'colour'" in reported[5]
    assert "retired" in reported[6]
    assert "VR" in reported[7]
    assert "group" in reported[8]
    assert "element" in reported[9]
    assert reported[11].startswith("duplicate key (group 16, element 16, creator '') already used by line 1")
    assert "duplicate" in reported[13] and "line 12" in reported[13]
    assert "sources" in reported[14]
    assert "group" in reported[15]
    assert "digits" in reported[16]
    assert "nested too deeply" in reported[17]
    assert "duplicate key 'vr'" in reported[18]
    assert "UTF-8" in reported[19]
    assert err.splitlines()[-1] == f"taglex: 16 bad lines; {out_path} not written"


def test_every_problem_of_a_line_is_reported(capsys, tmp_path):
    lines = [
        # wrong JSON types, and the writer's rules on the values of the right type
        dict(PATIENT_NAME, group=70000, vr="XX", retired="no", keyword="Patient Name"),
        dict(ACME_FLAGS, creator="", element=300),  # block form: a creator, and the low byte
        dict(PATIENT_NAME, keyword="ABCD1234"),  # reads as a tag
    ]
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(*lines))
    code, _, err = run(capsys, "build", str(src), str(tmp_path / "out.tlex"))
    assert code == 1
    assert err.splitlines()[:-1] == [
        f"taglex: {src}: line 1: retired must be true or false, not a string; group 70000 is "
        "outside 0..65535; unknown VR 'XX'; keyword 'Patient Name' is not a keyword (ASCII "
        "letters, digits and _, not starting with a digit)",
        f"taglex: {src}: line 2: element 300 is above 255, but a block-form private element "
        "(block_offset true) holds only the low byte; creator is empty, but a block-form "
        "private element (block_offset true) is found only through its creator",
        f"taglex: {src}: line 3: keyword 'ABCD1234' reads as a tag",
    ]


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


# --- what build refuses to destroy ---------------------------------------------------


def test_build_keeps_its_input_when_output_is_the_same_file(tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(*EXAMPLE))
    before = src.read_bytes()
    for argv, stdin in (([str(src), str(src)], None), (["-", str(src)], src)):
        with open(stdin or os.devnull, "rb") as f:
            proc = subprocess.run(
                [sys.executable, "-m", "taglex", "build", *argv],
                stdin=f, capture_output=True, text=True, timeout=60, check=False,
            )  # fmt: skip
        assert proc.returncode == 1 and proc.stdout == ""
        assert proc.stderr.count("\n") == 1 and "same file" in proc.stderr
        assert src.read_bytes() == before
    assert os.listdir(tmp_path) == ["in.jsonl"]


def test_build_refuses_an_empty_or_non_regular_output(capsys, tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_text(jsonl(*EXAMPLE))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    link = tmp_path / "link"
    link.symlink_to(fifo)
    for output, says in (("", "empty"), (str(fifo), "not a regular file"), (str(link), "not a regular file")):
        code, out, err = run(capsys, "build", str(src), output)
        assert code == 1 and out == "" and err.count("\n") == 1 and says in err, err
    assert fifo.is_fifo() and link.is_symlink()
    assert sorted(os.listdir(tmp_path)) == ["fifo", "in.jsonl", "link"]


# An interrupted build: see test_cli_writes.py, which interrupts every command
# that writes a file.
