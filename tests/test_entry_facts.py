"""What an entry says beyond its record's fields, as the bundled dictionary
answers it: history, former keywords, de-identification, block-specific
private definitions; and `taglex deid`."""

from __future__ import annotations

import json

import pytest
from support import run_cli

import taglex
from taglex import datadict


@pytest.fixture(scope="module")
def d():
    return taglex.Dictionary.default()


def test_history_and_former_keywords(d, capsys):
    assert (d["DisplayURI"].since, d["DoseCalculationModelName"].since) == ("2026c", "2026d")
    assert d["PatientName"].since is None and d["PatientName"].former_keywords == ()
    renamed = d["AnalogFilterType"]  # a keyword renamed since: it finds the element as it is now
    assert renamed.keyword == "AnalogFilterTypeCodeSequence"
    assert renamed.former_keywords == ("AnalogFilterType",)
    assert d.tag_for_keyword("AnalogFilterType") == renamed.tag
    assert datadict.tag_for_keyword("AnalogFilterType") == renamed.tag
    assert datadict.dictionary_keyword("AnalogFilterType") == "AnalogFilterTypeCodeSequence"
    code, out, _ = run_cli(capsys, "lookup", "AnalogFilterType")
    assert code == 0 and "AnalogFilterTypeCodeSequence" in out


def test_deidentification_actions(d):
    name = d["PatientName"].deidentification
    assert (name.basic, dict(name.options)) == ("Z", {})
    uid = d["StudyInstanceUID"].deidentification
    assert (uid.basic, uid.options["retain_uids"]) == ("U", "K")
    with pytest.raises(TypeError):
        uid.options["retain_uids"] = "X"  # type: ignore[index]
    assert d["OverlayData"].deidentification.basic == "X"  # a repeating group's row
    assert d[0x60023000].deidentification == d["OverlayData"].deidentification
    csa = d[0x00291010, "siemens csa header"]  # the private attributes' row
    assert csa.deidentification.basic == "X" and not csa.safe_private
    assert d["Rows"].deidentification is None


def test_block_specific_private_definitions_come_first(d):
    assert d[0x00191100, "PHILIPS MR/PART"].keyword == "NumberOfStacks"
    assert d["(0019,xx00)", "philips mr/part"].keyword == "FieldOfView"
    assert d[0x00191200, "PHILIPS MR/PART"].keyword == "FieldOfView"  # no entry for block 12
    assert datadict.get_private_entry(0x00191100, "PHILIPS MR/PART")[2] == "Number of Stacks"


def test_deid_lists_each_element_once_with_the_action_that_applies(capsys):
    code, out, _ = run_cli(capsys, "deid", "--json", "--option", "retain_uids")
    rows = {r["tag"]: r for r in map(json.loads, out.splitlines())}
    assert code == 0
    study = rows["(0020,000D)"]
    assert (study["keyword"], study["basic"], study["action"]) == ("StudyInstanceUID", "U", "K")
    assert rows["(60xx,3000)"]["action"] == "X" and "(6002,3000)" not in rows
    assert rows["(gggg,eeee)"]["name"] == "Private Attributes"
    code, out, _ = run_cli(capsys, "deid", "--option", "retain_safe_private")
    assert "(gggg,eeee)  C" in out
    code, _, err = run_cli(capsys, "deid", "--option", "keep_everything")
    assert code == 2 and "invalid choice" in err
