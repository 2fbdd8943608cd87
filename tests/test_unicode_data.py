"""The vendored Unicode 17.0 data, the generated tables and the creator
canonicaliser built from them."""

import re
import shutil
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "unicode"
GENERATOR = ROOT / "tools" / "gen_unicode_tables.py"


def read_mapping(name):
    mapping = {}
    for line in (DATA / name).read_text(encoding="ascii").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            cp, target = line.split(";")
            mapping[int(cp, 16)] = "".join(chr(int(t, 16)) for t in target.split())
    return mapping


UPPER = read_mapping("UpperCaseMapping.txt")
CHANGED = read_mapping("UpperCaseChangesSince15.1.txt")
WHITE_SPACE = {
    int(line, 16)
    for line in (DATA / "WhiteSpace.txt").read_text(encoding="ascii").splitlines()
    if line.strip() and not line.startswith("#")
}
SCALARS = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]


@pytest.fixture(scope="module")
def canonical():
    """The canonicaliser of the native core, the one the package uses."""
    from taglex import _core

    return _core


def test_vendored_mapping_differs_from_cpython_exactly_at_listed_changes():
    # Each CPython's str.upper() follows its own Unicode version (15.1 in
    # 3.13, 16.0 in 3.14, 17.0 in 3.15). The case pairs added since 15.1
    # each involve a character that was new then, so this interpreter lacks
    # exactly those whose characters its own Unicode data has not assigned:
    # all 55 on 3.13, 28 on 3.14, none on 3.15.
    assert len(UPPER) == 1580
    assert len(CHANGED) == 55
    assert all(UPPER.get(cp) == target for cp, target in CHANGED.items())
    not_here_yet = {
        cp for cp, target in CHANGED.items()
        if any(unicodedata.category(c) == "Cn" for c in chr(cp) + target)
    }  # fmt: skip
    if unicodedata.unidata_version == "15.1.0":
        assert not_here_yet == set(CHANGED)
    differ = {cp for cp in SCALARS if chr(cp).upper() != UPPER.get(cp, chr(cp))}
    assert differ == not_here_yet


def test_canonicaliser_agrees_with_vendored_data_on_every_code_point(canonical):
    assert len(WHITE_SPACE) == 25
    wrong = []
    for cp in SCALARS:
        want = "" if cp in WHITE_SPACE else UPPER.get(cp, chr(cp))
        if canonical.canonicalize_creator(chr(cp)) != want:
            wrong.append(f"U+{cp:04X}")
    assert wrong == []


@pytest.mark.parametrize(
    "text, want",
    [
        ("  acme   1.0 ", "ACME 1.0"),
        ("acme\t1.0", "ACME 1.0"),
        ("acme\n\r1.0", "ACME 1.0"),
        ("acme\u00a01.0", "ACME 1.0"),
        ("acme\u30001.0", "ACME 1.0"),
        ("\u0085a\u1680b\u2000c\u200ad\u2028e\u2029f\u202fg\u205fh\v\f", "A B C D E F G H"),
        ("a\u200bb", "A\u200bB"),
        ("a\x1cb\x1dc\x1ed\x1f", "A\x1cB\x1dC\x1eD\x1f"),
        ("\ufeffx", "\ufeffX"),
        ("stra\u00dfe", "STRASSE"),
        ("\u01c6 \u01c5", "\u01c4 \u01c4"),
        ("\u0390", "\u0399\u0308\u0301"),
        ("\u019b\ua7cf\ua7d3\ua7d5", "\ua7dc\ua7ce\ua7d2\ua7d4"),
        ("\U00016ebb \U00016ed3", "\U00016ea0 \U00016eb8"),
        ("", ""),
        (" \t\u3000\u00a0\n", ""),
    ],
)
def test_canonicalize_creator_cases(canonical, text, want):
    assert canonical.canonicalize_creator(text) == want


_SEPARATORS = re.compile("[" + "".join(map(chr, sorted(WHITE_SPACE))) + "]+")


@settings(derandomize=True, max_examples=300)
@given(st.text(st.sampled_from(
    [chr(c) for c in sorted(WHITE_SPACE)] + list("aZ.\x1c\u200b\u00df\u0149\u01c6\ua7cf\U00016ebb"))
    | st.characters(exclude_categories=["Cs"])))
def test_canonicaliser_matches_split_join_upper(canonical, text):
    pieces = [p for p in _SEPARATORS.split(text) if p]
    want = "".join(UPPER.get(ord(c), c) for c in " ".join(pieces))
    assert canonical.canonicalize_creator(text) == want


def test_lone_surrogates_raise_like_utf8_encoding(canonical):
    for text in ["a\ud800", "\udfff b", "x\u00df\udc80"]:
        with pytest.raises(UnicodeEncodeError) as got:
            canonical.canonicalize_creator(text)
        with pytest.raises(UnicodeEncodeError) as want:
            text.encode("utf-8")
        assert got.value.args == want.value.args
        with pytest.raises(UnicodeEncodeError):
            canonical.creator_hash(text)


def test_creator_hash(canonical):
    assert canonical.creator_hash("") == 0x811C9DC5
    assert canonical.creator_hash(" \u3000\t") == 0x811C9DC5
    assert canonical.creator_hash("  acme \t 1.0 ") == 0xC8BEE2EA
    assert canonical.creator_hash("stra\u00dfe") == canonical.creator_hash("STRASSE")


def run_generator(*args):
    return subprocess.run([sys.executable, str(GENERATOR), *args],
                          capture_output=True, text=True, check=False)


def test_generated_tables_are_up_to_date():
    result = run_generator("--check")
    assert result.returncode == 0, result.stderr


def test_generator_check_detects_stale_output(tmp_path):
    shutil.copytree(DATA, tmp_path / "data" / "unicode")
    rel = "src/taglex/unicode_tables.inc"
    (tmp_path / rel).parent.mkdir(parents=True)
    shutil.copy(ROOT / rel, tmp_path / rel)
    assert run_generator("--check", "--root", str(tmp_path)).returncode == 0
    tables = tmp_path / rel
    tables.write_text(tables.read_text().replace("{0x3000, 0x3000}", "{0x3001, 0x3001}"))
    result = run_generator("--check", "--root", str(tmp_path))
    assert result.returncode == 1
    assert "unicode_tables.inc" in result.stderr
    assert run_generator("--root", str(tmp_path)).returncode == 0
    assert tables.read_text() == (ROOT / rel).read_text()
