"""taglex lookup: tag texts, private elements in any spelling, answers and refusals."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, run_cli as run

import taglex
from taglex import _tags, writer


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
    assert _tags.parse_tag(text) == _tags.Tag(group, element, block)


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
        _tags.parse_tag(text)
    code, out, err = run(capsys, "lookup", text, "--dict", example_path)
    assert code == 2 and out == ""
    assert "usage:" in err and "malformed tag" in err


@pytest.mark.parametrize(
    "group, element, block, text",
    [(0x0010, 0x0010, False, "(0010,0010)"), (0x0029, 0x10, True, "(0029,xx10)")],
)
def test_tag_text_round_trips(group, element, block, text):
    assert str(_tags.Tag(group, element, block)) == text
    assert _tags.parse_tag(text) == _tags.Tag(group, element, block)


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
        ["(0029,xx10)", "--creator", "ACME 2.0"],
        ["(0029,xx11)", "--creator", "ACME 1.0"],
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


def test_private_tags_without_a_creator_name_the_creators_that_define_them(capsys, make_file):
    path = make_file(EXAMPLE)
    for asked in ("(0029,xx10)", "0029,1010", "AcmeFlags"):
        code, out, err = run(capsys, "lookup", asked, "--dict", path)
        assert (code, out) == (1, "")
        assert err == "taglex: (0029,xx10) AcmeFlags is private: give --creator, e.g. 'ACME 1.0'\n"


def test_a_creator_given_with_a_standard_tag_still_finds_it(capsys, make_file):
    # As Dictionary.get: the creator's own entry for the tag would come
    # first; there is none, so the standard element answers.
    path = make_file(EXAMPLE)
    code, out, _ = run(capsys, "lookup", "(0010,0010)", "--creator", "ACME 1.0", "--dict", path)
    assert code == 0 and "PatientName" in out


def test_lookup_of_a_file_that_does_not_open(capsys, tmp_path):
    bad = tmp_path / "bad.tlex"
    bad.write_bytes(b"TLEX")
    code, out, err = run(capsys, "lookup", "(0010,0010)", "--dict", str(bad))
    assert code == 1 and out == ""
    assert "bad.tlex is not a taglex dictionary" in err and err.count("\n") == 1


def test_lookup_uses_the_bundled_dictionary_by_default(capsys):
    code, out, err = run(capsys, "lookup", "(0010,0010)", "--json")
    assert (code, err) == (0, "")
    assert json.loads(out) == taglex.open_default().lookup(0x0010, 0x0010)
    assert json.loads(out)["keyword"] == "PatientName"


def test_lookup_of_a_private_creator_element_answers_that_element(capsys, example_path):
    # (0029,0010) with a creator is the element that reserves block 10, not
    # the block's element (0029,xx10) that the dictionary holds.
    argv = ["lookup", "(0029,0010)", "--creator", "ACME 1.0", "--dict", example_path, "--json"]
    code, out, err = run(capsys, *argv)
    assert (code, err) == (0, "")
    entry = json.loads(out)
    assert (entry["group"], entry["element"], entry["block_offset"]) == (0x29, 0x10, False)
    assert (entry["name"], entry["vr"], entry["creator"]) == ("Private Creator", "LO", "ACME 1.0")


def test_lookup_refusals_are_one_line(tmp_path, example_path):
    # A creator that is not UTF-8, and a dictionary that opens but holds a
    # text reference past its strings (the library's internal error).
    broken = tmp_path / "broken.tlex"
    broken.write_bytes(Layout(writer.build(EXAMPLE)).set_record(0, keyword_offset=10**5).bytes())
    for argv, status, says in (
        ([b"(0029,1010)", b"--creator", b"ACME \xff", b"--dict", example_path], 2, "UTF-8"),
        (["(0010,0010)", "--dict", str(broken)], 1, "damaged"),
    ):
        proc = subprocess.run(
            [sys.executable, "-m", "taglex", "lookup", *argv], capture_output=True, timeout=60
        )
        assert (proc.returncode, proc.stdout) == (status, b"")
        assert proc.stderr.count(b"\n") == 1 and says.encode() in proc.stderr, proc.stderr
