"""taglex.datadict answers as pydicom.datadict does, exceptions included."""

from __future__ import annotations

import random

import pytest

import taglex
from taglex import datadict as T

P = pytest.importorskip("pydicom.datadict")
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary  # noqa: E402
from pydicom._private_dict import private_dictionaries  # noqa: E402

STANDARD = ["get_entry", "dictionary_VR", "dictionary_VM", "dictionary_description",
            "dictionary_keyword", "dictionary_is_retired", "dictionary_has_tag",
            "keyword_for_tag"]  # fmt: skip
BUNDLED = taglex.open_default()
PRIVATE = ["get_private_entry", "private_dictionary_VR", "private_dictionary_VM",
           "private_dictionary_description"]  # fmt: skip


def outcome(module, name, *args):
    try:
        return "ok", getattr(module, name)(*args)
    except Exception as e:  # the type and text of the exception are compared too
        return type(e).__name__, str(e)


def same(name, *args, content=True):
    """taglex answers as pydicom does: the same outcome, the same exception
    text; the same value too, unless ``content`` is False because the two
    dictionaries hold different things for the tag (another edition, another
    merge of the private dictionaries): then a value of the same shape."""
    got, expected = outcome(T, name, *args), outcome(P, name, *args)
    if content or got[0] != "ok" or expected[0] != "ok":
        assert got == expected, (name, args)
    else:
        assert type(got[1]) is type(expected[1]), (name, args, got, expected)
        if isinstance(got[1], tuple):
            assert [type(v) for v in got[1]] == [type(v) for v in expected[1]], (name, args)


def _vm(description):
    return description.partition(";")[0].removeprefix("VM ")


def standard_agrees(tag):
    """Whether the bundled file and pydicom hold the same standard element."""
    vr, vm, name, retired, keyword = DicomDictionary[tag]
    r = BUNDLED.lookup(tag >> 16, tag & 0xFFFF)
    return (r["name"], r["keyword"], r["retired"], _vm(r["description"])) == (
        name, keyword, retired == "Retired", vm
    ) and (r["vr"] in vr.split(" or ") or f"VR {vr}" in r["description"])


def private_agrees(tag, creator, vr, vm, name):
    r = BUNDLED.lookup(tag >> 16, tag & 0xFF, creator)
    return r is not None and (r["vr"], _vm(r["description"]), r["name"]) == (vr, vm, name)


def test_standard_tags_sampled_and_the_odd_ones():
    tags = random.Random(7).sample(sorted(DicomDictionary), 600)
    tags += [
        0x00100010, 0x7FE00010, 0xFFFEE000, 0x00280400, 0x00281101,  # VR texts, "NONE", "also"
        0x60003000, 0x601E3000, 0x60203000, 0x50100005, 0x00280410, 0x10101234, 0x7F100010,
        0x7F200010, 0x60013000, 0x00290010, 0x0010FFF0, 0x00080000,  # repeaters, private, unknown
        0xFFFFFFFF,
    ]  # fmt: skip
    agreed = 0
    for tag in tags:
        content = tag not in DicomDictionary or standard_agrees(tag)
        agreed += content
        for name in STANDARD:
            same(name, tag, content=content)
        same("repeater_has_tag", tag)
        same("mask_match", tag)
    assert agreed > 0.95 * len(tags)  # editions 2024c and 2026c differ in a handful


@pytest.mark.parametrize(
    "tag",
    ["PatientName", "00100010", "0x7fe00010", (0x10, 0x10), ["0010", "0010"], (0x10, "10"),
     (1, 2, 3), 0x1_0000_0000, (0x10000, 0), -1, None, "NoSuchKeyword", "(0010,0010)"],
)  # fmt: skip
def test_tag_forms_and_their_exceptions(tag):
    for name in STANDARD:
        same(name, tag)
    same("get_private_entry", tag, "SIEMENS CSA HEADER")


def test_keywords_and_repeaters():
    keywords = [v[4] for v in DicomDictionary.values()][::7]
    keywords += [v[4] for v in RepeatersDictionary.values()] + ["NoSuchKeyword", "patientname"]
    for kw in keywords:
        same("tag_for_keyword", kw)
        same("repeater_has_keyword", kw)


def test_private_entries_of_every_creator():
    rng = random.Random(11)
    asked = agreed = 0
    for creator, entries in private_dictionaries.items():
        for key in rng.sample(sorted(entries), min(4, len(entries))):
            # A tag as a file holds it: the block the creator reserved is 0x10 here.
            text = key[:4].replace("xx", "29") + key[4:].replace("xx", "10", 1)
            tag = int(text.replace("x", "0"), 16)
            content = private_agrees(tag, creator, *entries[key][:3])
            asked, agreed = asked + 1, agreed + content
            for name in PRIVATE:
                same(name, tag, creator, content=content)
    # The rest: names pydicom leaves as "Unknown", VRs and VMs the other
    # private dictionaries outvote.
    assert agreed > asked // 3
    for tag in (0x00291010, 0x00294210, 0x00290010, 0x00291099, 0x00100010):
        same("get_private_entry", tag, "SIEMENS CSA HEADER")
        same("get_private_entry", tag, "NO SUCH CREATOR")


def test_creators_match_in_any_case_and_spacing():
    expected = P.get_private_entry(0x00291010, "SIEMENS CSA HEADER")
    assert T.get_private_entry(0x00291010, "  siemens csa   HEADER") == expected
    assert T.private_dictionary_VR(0x00291110, "Siemens CSA Header") == expected[0]
    with pytest.raises(KeyError, match="not in private dictionary"):
        T.get_private_entry(0x00291099, "siemens csa header")


@pytest.mark.parametrize(
    "name, args",
    [
        ("get_private_entry", (0x00291010, "SIEMENS CSA HEADER\ud800")),  # a lone surrogate
        ("private_dictionary_VR", (0x00291010, "\udc80")),
        ("repeater_has_keyword", ([1],)),
        ("repeater_has_keyword", (None,)),
        ("dictionary_VR", (1.5,)),  # truncated to an int, as pydicom does
        ("dictionary_VR", (0x00100010 + 0.5,)),
        ("dictionary_has_tag", (1.5,)),
        ("dictionary_VR", (None,)),
        ("keyword_for_tag", (None,)),
        ("dictionary_VR", (-1,)),
        ("dictionary_VR", ("10",)),
        ("get_entry", (True,)),
        ("tag_for_keyword", (3,)),
    ],
)
def test_odd_arguments_answer_as_pydicom_does(name, args):
    same(name, *args)
