"""The command line's dictionary questions: keywords, layers, find, creators, export, diff."""

from __future__ import annotations

import json

from support import EXAMPLE, Layout, run_cli as run
from test_dictionary import BASE, rec

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
    code, out, err = run(capsys, "export", str(tmp_path / "missing.tlex"))
    assert (code, out) == (1, "") and err.startswith("taglex: cannot export")


def test_diff_lists_added_removed_and_changed(capsys, make_file):
    old = make_file(BASE, "old.tlex")
    changed = [dict(r) for r in BASE[1:]]
    changed[0]["name"] = "Patient Identifier"
    changed[-2]["creator"] = "acme 1.0"  # another spelling of the same creator
    new = make_file([*changed, rec(0x0010, 0x0030, "PatientBirthDate", "DA")], "new.tlex")
    code, out, _ = run(capsys, "diff", old, new)
    lines = out.splitlines()
    assert code == 0
    assert "- (0010,0010) PatientName" in lines
    assert "+ (0010,0030) PatientBirthDate" in lines
    assert "~ (0010,0020) PatientID name: 'Name of PatientID' -> 'Patient Identifier'" in lines
    assert "~ (0031,1020) [acme 1.0] AcmeFixed creator: 'ACME 1.0' -> 'acme 1.0'" in lines
    assert lines[-1] == "1 added, 1 removed, 2 changed"
    code, out, _ = run(capsys, "diff", old, old)
    assert (code, out) == (0, "0 added, 0 removed, 0 changed\n")
    code, out, _ = run(capsys, "diff", old, new, "--json")
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
        assert (code, out) == (1, ""), argv
        assert err.count("\n") == 1 and err.startswith("taglex: "), (argv, err)
    # What does not read the broken record answers.
    code, out, _ = run(capsys, "creators", "--dict", str(broken))
    assert (code, out) == (0, "ACME 1.0\t1\n")
    code, out, _ = run(capsys, "lookup", "AcmeFlags", "--creator", "ACME 1.0", "--dict", str(broken))
    assert code == 0 and "AcmeFlags" in out
