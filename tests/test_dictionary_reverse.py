"""taglex.Dictionary reverse questions: keywords, search, creators, iteration."""

from __future__ import annotations

import pytest
from test_dictionary import BASE, rec

import taglex


@pytest.fixture
def base(make_file):
    return make_file(BASE, "base.tlex")


def test_every_keyword_round_trips_through_its_tag(base):
    d = taglex.Dictionary(base)
    entries = list(d)
    assert len(entries) == len(BASE)
    for r in BASE:
        creator = r["creator"] or None
        tag = d.tag_for_keyword(r["keyword"], creator)
        assert tag is not None, r["keyword"]
        entry = d[tag, creator]
        assert entry.keyword == r["keyword"]
        assert d.keyword_for_tag(tag, creator) == r["keyword"]
        assert entry in entries
    # Private keywords need their creator (in any spelling); standard ones none.
    assert d.tag_for_keyword("AcmeFlags") is None
    assert d.tag_for_keyword("AcmeFlags", "  acme 1.0") == 0x00291010
    assert d["AcmeMode", "acme 1.0"].tag == 0x00291011 and d.get("AcmeMode") is None
    assert d.tag_for_keyword("PatientName", "ACME 1.0") is None
    assert d.tag_for_keyword("patientname") is None
    assert d.keyword_for_tag(0x00100011) is None


def test_find_ranks_exact_then_prefix_then_word_then_anywhere(make_file):
    path = make_file(
        [
            rec(0x0010, 0x0010, "PatientName", "PN", name="Patient's Name"),
            rec(0x0010, 0x1001, "OtherPatientNames", "PN", name="Other Patient Names"),
            rec(0x0010, 0x1005, "PatientBirthName", "PN", name="Patient's Birth Name"),
            rec(0x0010, 0x0020, "PatientID", name="Patient ID"),
            rec(0x0008, 0x0090, "ReferringPhysicianName", "PN", name="Referring Physician's Name"),
            rec(0x0010, 0x0011, "OldPatientName", "PN", name="Old Patient Name", retired=True),
        ]
    )
    d = taglex.Dictionary(path)
    found = [e.keyword for e in d.find("patient name")]
    assert found[0] == "PatientName"
    assert set(found) == {"PatientName", "OtherPatientNames", "OldPatientName"}
    assert found.index("OtherPatientNames") < found.index("OldPatientName")  # retired last
    # Equally good matches (a word of the name) come by tag.
    assert [e.keyword for e in d.find("NAME", limit=2)] == ["ReferringPhysicianName", "PatientName"]
    assert d.find("   ") == [] and d.find("nothing like it") == []


def test_suggest_creators_and_elements(base):
    d = taglex.Dictionary(base)
    assert d.suggest("PatientNme")[0] == "PatientName"
    assert d.suggest("patientname") == ["PatientName"]
    assert d.suggest("AcmeFlag", "acme 1.0")[0] == "AcmeFlags"
    assert d.suggest("Zzzzzz") == []
    assert d.creators() == ["ACME 1.0", "OTHER"]
    elements = d.elements(" acme  1.0 ")
    assert [e.keyword for e in elements] == ["AcmeFlags", "AcmeMode", "AcmeCreator", "AcmeFixed"]
    assert d.elements("nobody") == []


def test_layers_in_reverse_lookups_and_iteration(make_file, base):
    site = make_file(
        [
            rec(0x0010, 0x0010, "PatientName", "PN", name="Site Name"),
            rec(0x0011, 0x0010, "SiteCode"),
            rec(0x0041, 0x01, "SiteOnly", "LT", creator="SITE 1", block=True),
        ],
        "site.tlex",
    )
    d = taglex.Dictionary([site, base])
    names = {e.keyword: e for e in d}
    assert len(names) == len(BASE) + 2  # PatientName once, from the site layer
    assert names["PatientName"].layer == site and names["PatientName"].name == "Site Name"
    assert d.tag_for_keyword("SiteCode") == 0x00110010
    assert d.tag_for_keyword("PatientID") == 0x00100020
    assert d.creators() == ["ACME 1.0", "OTHER", "SITE 1"]
    assert [e.keyword for e in d.elements("site 1")] == ["SiteOnly"]
