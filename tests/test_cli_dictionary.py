"""The command line's dictionary questions: keywords, layers, find, creators, export, diff."""

from __future__ import annotations

import json
import os

import pytest

from support import EXAMPLE, Layout, run_cli as run
from test_dictionary import BASE, rec

import taglex
from taglex import writer


def test_lookup_by_keyword_full_private_tag_and_layers(capsys, make_file):
    base = make_file(BASE, "base.tlex")
    site = make_file([rec(0x0010, 0x0010, "PatientName", "PN", name="Site Name")], "site.tlex")
    code, out, err = run(capsys, "lookup", "PatientName", "--dict", base, "--json")
    assert (code, err) == (0, "") and json.loads(out)["name"] == "Name of PatientName"
    code, out, _ = run(capsys, "lookup", "PatientName", "--dict", site, "--dict", base, "--json")
    assert code == 0 and json.loads(out)["name"] == "Site Name"
    code, out, _ = run(capsys, "lookup", "PatientID", "--dict", site, "--dict", base, "--json")
    assert code == 0 and json.loads(out)["keyword"] == "PatientID"  # from the second layer
    code, out, _ = run(capsys, "lookup", "0029,4211", "--creator", "acme  1.0", "--dict", base)
    assert code == 0 and "AcmeMode" in out
    code, out, _ = run(capsys, "lookup", "AcmeMode", "--creator", "Acme 1.0", "--dict", base)
    assert code == 0 and "AcmeMode" in out


def test_misspelt_keyword_gets_did_you_mean(capsys, make_file):
    base = make_file(BASE)
    code, out, err = run(capsys, "lookup", "PatientNme", "--dict", base)
    assert (code, out) == (1, "")
    assert err.count("\n") == 1 and "did you mean PatientName" in err
    code, _, err = run(capsys, "lookup", "PatientNme")  # the bundled dictionary: more alike
    close = taglex.Dictionary.default().suggest("PatientNme")[:3]
    assert len(close) == 3 and err.endswith(f"; did you mean {close[0]}, {close[1]} or {close[2]}?\n")
    code, _, err = run(capsys, "lookup", "Qqqqqqqq", "--dict", base)
    assert code == 1 and "no keyword 'Qqqqqqqq'" in err and "did you mean" not in err


def test_find_and_creators(capsys, make_file):
    base = make_file(BASE)
    code, out, _ = run(capsys, "find", "acme", "--dict", base)
    lines = out.splitlines()
    assert code == 0 and len(lines) == 4 and lines[0].startswith("(0029,1010)  AcmeFlags")
    assert all("[ACME 1.0]" in line for line in lines)
    code, out, _ = run(capsys, "find", "acme", "--dict", base, "--json", "--limit", "1")
    assert code == 0 and json.loads(out)["keyword"] == "AcmeFlags"
    code, out, err = run(capsys, "find", "no such thing", "--dict", base)
    assert (code, out) == (1, "") and "nothing matches" in err
    code, out, _ = run(capsys, "creators", "--dict", base)
    assert (code, out) == (0, "ACME 1.0\t4\nOTHER\t1\n")
    code, out, _ = run(capsys, "creators", "  acme ", "--dict", base)
    assert (code, out) == (0, "ACME 1.0\t4\n")
    code, _, err = run(capsys, "creators", "nobody", "--dict", base)
    assert code == 1 and "no creator matches" in err


def test_export_then_build_gives_the_same_bytes(capsys, make_file, tmp_path):
    records = [*BASE, rec(0x0008, 0x0080, "InstitutionName", name="Institution — ünïcode")]
    original = make_file(records)
    jsonl = tmp_path / "out.jsonl"
    code, out, _ = run(capsys, "export", original)
    assert code == 0 and len(out.splitlines()) == len(records)
    assert run(capsys, "export", original, "-o", str(jsonl))[0] == 0
    assert jsonl.read_text(encoding="utf-8") == out
    rebuilt = tmp_path / "rebuilt.tlex"
    assert run(capsys, "build", str(jsonl), str(rebuilt))[0] == 0
    with open(original, "rb") as f:
        assert rebuilt.read_bytes() == f.read()


def test_diff_lists_added_removed_and_changed(capsys, make_file):
    old = make_file(BASE, "old.tlex")
    changed = [dict(r) for r in BASE[1:]]
    changed[0]["name"] = "Patient Identifier"
    changed[-2]["creator"] = "acme 1.0"  # another spelling of the same creator
    new = make_file([*changed, rec(0x0010, 0x0030, "PatientBirthDate", "DA")], "new.tlex")
    code, out, _ = run(capsys, "diff", old, new)
    lines = out.splitlines()
    assert code == 1  # as diff(1): they differ
    assert "- (0010,0010) PatientName" in lines
    assert "+ (0010,0030) PatientBirthDate" in lines
    assert "~ (0010,0020) PatientID name: 'Name of PatientID' -> 'Patient Identifier'" in lines
    assert "~ (0031,1020) [acme 1.0] AcmeFixed creator: 'ACME 1.0' -> 'acme 1.0'" in lines
    assert lines[-1] == "1 added, 1 removed, 2 changed"
    code, out, _ = run(capsys, "diff", old, old)
    assert (code, out) == (0, "0 added, 0 removed, 0 changed\n")
    code, out, _ = run(capsys, "diff", old, new, "--json")
    assert code == 1
    kinds = [next(iter(json.loads(line))) for line in out.splitlines()]
    assert sorted(kinds) == ["added", "changed", "changed", "removed"]


def test_a_damaged_file_gets_one_line_and_status_1(capsys, tmp_path):
    # The file opens, but one record's keyword points past the strings.
    broken = tmp_path / "broken.tlex"
    broken.write_bytes(Layout(writer.build(EXAMPLE)).set_record(0, keyword_offset=10**5).bytes())
    for argv in (
        ["find", "acme", "--dict", str(broken)],
        ["lookup", "PatientName", "--dict", str(broken)],
        ["export", str(broken)],
        ["diff", str(broken), str(broken)],
    ):
        code, out, err = run(capsys, *argv)
        assert (code, out) == (2 if argv[0] == "diff" else 1, ""), argv  # diff: 2, trouble
        assert err.count("\n") == 1 and err.startswith("taglex: "), (argv, err)
    # What does not read the broken record answers.
    code, out, _ = run(capsys, "creators", "--dict", str(broken))
    assert (code, out) == (0, "ACME 1.0\t1\n")
    code, out, _ = run(capsys, "lookup", "AcmeFlags", "--creator", "ACME 1.0", "--dict", str(broken))
    assert code == 0 and "AcmeFlags" in out


class _Damaged(OSError):
    """What opening a file that is no dictionary may raise instead."""


@pytest.mark.parametrize("raised", [None, _Damaged, ValueError], ids=["core", "OSError", "ValueError"])
def test_a_file_that_is_not_a_dictionary_is_one_line(capsys, tmp_path, monkeypatch, raised):
    # The line depends on the file, not on the class the open raises.
    if raised is not None:
        def refuse(path, *args):
            raise raised("not a dictionary file")

        monkeypatch.setattr(taglex, "open", refuse)
        monkeypatch.setattr(taglex, "Dictionary", refuse)
    text = tmp_path / "notes.txt"
    text.write_text("not a dictionary\n" * 400)
    tiny = tmp_path / "tiny.json"
    tiny.write_text('{"a": 1}\n')
    for path in (text, tiny):
        for argv in (["export", str(path)], ["find", "x", "--dict", str(path)], ["diff", str(path), str(path)]):
            code, out, err = run(capsys, *argv)
            assert (code, out) == (2 if argv[0] == "diff" else 1, ""), argv
            assert err.startswith(f"taglex: {path} is not a taglex dictionary: ") and err.count("\n") == 1, err
    for path, reason in ((tmp_path / "missing.tlex", "No such file or directory"), (tmp_path, "Is a directory")):
        code, out, err = run(capsys, "export", str(path))
        assert (code, out, err) == (1, "", f"taglex: cannot read {path}: {reason}\n")


def test_bundled_names_the_bundled_dictionary_and_lookup_says_which_layer(capsys, make_file):
    site = make_file([rec(0x0010, 0x0010, "PatientName", "PN", name="Site Name")], "site.tlex")
    code, out, _ = run(capsys, "lookup", "PatientID", "--dict", site, "--dict", "bundled")
    assert code == 0 and f"layer:       {taglex.default_path()}" in out.splitlines()
    code, out, _ = run(capsys, "lookup", "PatientName", "--dict", site, "--dict", "bundled")
    assert code == 0 and f"layer:       {site}" in out.splitlines()
    for argv in (["find", "PatientID"], ["creators", "siemens csa"]):
        assert run(capsys, *argv, "--dict", "bundled") == run(capsys, *argv)


def test_creators_and_info_as_json(capsys, make_file):
    base = make_file(BASE)
    code, out, _ = run(capsys, "creators", "--dict", base, "--json")
    assert code == 0 and [json.loads(line) for line in out.splitlines()] == [
        {"creator": "ACME 1.0", "elements": 4},
        {"creator": "OTHER", "elements": 1},
    ]
    code, out, _ = run(capsys, "info", base, "--json")
    assert code == 0 and json.loads(out) == {
        "file": base, "size": os.path.getsize(base), "opens": True, "error": None,
        "entries": len(BASE), "records": len(BASE),
    }  # fmt: skip
