"""Answers that the native core gets right where a second reader got them
wrong: creators by their text, not their hash; one mapping per layer for its
life; keywords from the layer that has them; nothing that grows with the
questions asked."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, record

import taglex
from taglex import _core, writer

# Two creators whose canonical forms hash alike (FNV-1a 32).
SIEMENS, COLLIDING = "SIEMENS CSA HEADER", "ACME IKV9HMT"


def test_a_creator_is_matched_by_its_text_not_its_hash(make_file):
    assert _core.creator_hash(SIEMENS) == _core.creator_hash(COLLIDING)
    d = taglex.Dictionary.default()
    assert d.get(0x00291010, SIEMENS).name == "CSA Image Header Info"
    assert d.get(0x00291010, COLLIDING) is None
    assert d.get(0x00291010, "acme  ikv9hmt") is None
    assert d.tag_for_keyword("CSAImageHeaderInfo", COLLIDING) is None
    assert not d.has_creator(COLLIDING) and d.elements(COLLIDING) == []
    # A file holding both: each creator finds its own, whichever the index has last.
    both = [
        dict(ACME_FLAGS, creator=SIEMENS, keyword="Siemens"),
        dict(ACME_FLAGS, creator=COLLIDING, keyword="Acme"),
    ]
    path = make_file(writer.build(both, allow_duplicates=True))
    d = taglex.Dictionary(path)
    assert d[0x00291010, "siemens csa header"].keyword == "Siemens"
    assert d[0x00291010, COLLIDING.lower()].keyword == "Acme"
    assert sorted(d.creators()) == [COLLIDING, SIEMENS]
    assert sorted(e.keyword for e in d) == ["Acme", "Siemens"]


def test_no_side_file_is_read_and_none_can_hang(tmp_path):
    shipped = os.path.dirname(taglex.default_path())
    assert not [n for n in os.listdir(shipped) if n.endswith(".keywords")]
    path = tmp_path / "dicom.tlex"
    shutil.copy(taglex.default_path(), path)
    # A FIFO beside the file (no writer: reading it would wait forever) and a
    # keyword index of another file are not looked at.
    os.mkfifo(tmp_path / "dicom.keywords")
    (tmp_path / "dicom.idx").write_text("PatientName\t0x12345678\n")
    script = textwrap.dedent(
        f"""
        import taglex
        d = taglex.Dictionary({str(path)!r})
        print(d.tag_for_keyword("PatientName"), len(d.creators()), len(d.find("patient")) > 10)
        """
    )
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=False
    )
    assert run.returncode == 0, run.stderr
    creators = len(taglex.Dictionary.default().creators())
    assert run.stdout.split() == ["1048592", str(creators), "True"]


def test_a_layer_answers_from_its_one_mapping_after_mv_and_rm(make_file, tmp_path):
    path = make_file(EXAMPLE, "layer.tlex")
    d = taglex.Dictionary(path)
    other = [record(group=0x0010, element=0x0010, keyword="Replaced", name="R", vr="LO")]
    for replace in (lambda: os.replace(make_file(other, "new.tlex"), path), lambda: os.remove(path)):
        replace()
        assert d[0x00100010].keyword == "PatientName"
        assert d.tag_for_keyword("PatientName") == 0x00100010
        assert d.tag_for_keyword("Replaced") is None
        assert [e.keyword for e in d] == ["PatientName", "AcmeFlags"]
        assert [e.keyword for e in d.find("acme")] == ["AcmeFlags"]
        assert d.creators() == ["ACME 1.0"] and len(d.elements("acme 1.0")) == 1
        assert d.records() == [PATIENT_NAME, ACME_FLAGS]


def test_a_keyword_is_answered_by_the_layer_that_has_it(make_file):
    site = make_file(
        [record(group=0x0010, element=0x0010, keyword="SitePatientName", name="Site Name", vr="PN")],
        "site.tlex",
    )
    base = make_file(EXAMPLE, "base.tlex")
    d = taglex.Dictionary([site, base])
    assert d["PatientName"].keyword == "PatientName" and d["PatientName"].layer == base
    assert d["SitePatientName"].layer == site
    # By tag, the first layer still wins.
    assert d[0x00100010].keyword == "SitePatientName"
    assert d.keyword_for_tag(0x00100010) == "SitePatientName"


def test_questions_leave_nothing_behind(make_file):
    d = taglex.Dictionary(make_file(EXAMPLE))

    def rss_kib() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    for k in range(2000):  # warm up whatever is built once
        d.get(0x00291010, f"creator {k}")
    before = rss_kib()
    for k in range(200_000):
        d.get(0x00291010, f"unknown creator {k}")
        d.tag_for_keyword("AcmeFlags", f"unknown creator {k}")
    assert rss_kib() - before < 4096


def test_entries_are_immutable_values(make_file):
    d = taglex.Dictionary(make_file(EXAMPLE))
    e = d[0x00291010, "acme 1.0"]
    with pytest.raises(AttributeError):
        e.keyword = "x"  # type: ignore[misc]
    with pytest.raises(TypeError):
        taglex.Entry()  # type: ignore[call-arg]
    e.sources.append("changed")
    assert e.sources == [] and e == d[0x00291010, "ACME 1.0"]
    assert hash(e) == hash(d[0x00291010, "ACME 1.0"])
    assert e.tag == 0x00291010 and d[0x0029FF10, "acme 1.0"].tag == 0x0029FF10
    assert e != d[0x0029FF10, "acme 1.0"]  # the tag shown differs


def test_a_file_rewritten_in_place_never_crashes(make_file, tmp_path):
    # Bytes change under the mapping: answers may be wrong or raise the
    # panic exception, but the process survives.
    path = make_file([record(group=0x0010, element=e, keyword=f"K{e}", name=f"N{e}") for e in range(64)])
    script = textwrap.dedent(
        f"""
        import os, random, taglex
        from taglex import _core
        d = taglex.Dictionary({path!r})
        size = os.path.getsize({path!r})
        rnd = random.Random(5)
        for round in range(200):
            with open({path!r}, "r+b") as f:
                f.seek(rnd.randrange(size))
                f.write(bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 64))))
            for ask in (lambda: list(d), lambda: d.tag_for_keyword("K1"), d.records,
                        lambda: d.get(0x00100005), lambda: d.find("n"), d.creators):
                try:
                    result = ask()
                except _core.PanicException:
                    continue
                for e in result if isinstance(result, list) else []:
                    if isinstance(e, taglex.Entry):
                        e.as_dict(), e.vm, repr(e)
        print("survived")
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == "survived"
