"""A tag as written, asked of a dictionary: every form, with and without a
creator, and what each answers (the one rule, in taglex._core)."""

from __future__ import annotations

import re

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME

import taglex
from taglex import _tags

# A private creator element that the dictionary lists (stored with its
# creator, not in block form), beside the block-form AcmeFlags (0029,xx10),
# and an element of a fixed block.
LISTED_CREATOR = dict(
    ACME_FLAGS, group=0x0031, keyword="AcmeCreator", name="Acme Creator", vr="LO",
    block_offset=False,
)  # fmt: skip
FIXED_BLOCK = dict(ACME_FLAGS, element=0x1110, keyword="AcmeFixed", block_offset=False)
# A private dictionary's entry for an element of an even group.
EVEN_PRIVATE = dict(ACME_FLAGS, group=0x0010, keyword="AcmeName", block_offset=False)


@pytest.fixture
def d(make_file):
    return taglex.Dictionary(make_file([*EXAMPLE, LISTED_CREATOR, FIXED_BLOCK, EVEN_PRIVATE]))


def creator_element(group: int, element: int, creator: str) -> dict:
    return dict(
        group=group, element=element, creator=creator, keyword="PrivateCreator",
        name="Private Creator", vr="LO", description="VM 1", retired=False, block_offset=False,
        sources=[],
    )  # fmt: skip


def asked(group: int, element: int, block: bool) -> int | str:
    return _tags.format_tag(group, element, True) if block else group << 16 | element


@pytest.mark.parametrize(
    "group, element, creator, block, expected",
    [
        # Standard elements; a creator given with one finds the creator's own
        # entry for it where there is one, else the standard element.
        (0x0010, 0x0010, None, False, PATIENT_NAME),
        (0x0010, 0x0010, "acme 1.0", False, EVEN_PRIVATE),
        (0x0010, 0x0010, "ACME 2.0", False, PATIENT_NAME),
        # Block form, written (0029,xx10): only a block-form entry answers.
        (0x0029, 0x10, " acme  1.0", True, ACME_FLAGS),
        (0x0029, 0x10, None, True, None),
        (0x0031, 0x10, "ACME 1.0", True, None),
        # A private element with its block, in any block; an entry for the
        # exact element comes before the block form.
        (0x0029, 0x1010, "acme 1.0", False, ACME_FLAGS),
        (0x0029, 0xFF10, "ACME 1.0", False, ACME_FLAGS),
        (0x0029, 0x1110, "ACME 1.0", False, FIXED_BLOCK),
        (0x0029, 0x1011, "ACME 1.0", False, None),
        (0x0029, 0x1010, "ACME 2.0", False, None),
        (0x0029, 0x1010, None, False, None),
        (0x0028, 0x1010, "ACME 1.0", False, None),  # even group: not private
        (0x0031, 0x1010, "ACME 1.0", False, None),  # only a creator element there
        # Private creator elements answer as themselves, never as (gggg,xxee).
        (0x0029, 0x0010, "ACME 1.0", False, creator_element(0x0029, 0x0010, "ACME 1.0")),
        (0x0029, 0x00FF, None, False, creator_element(0x0029, 0x00FF, "")),
        (0x0031, 0x0010, "acme 1.0", False, LISTED_CREATOR),
        (0x0029, 0x0000, "ACME 1.0", False, None),  # a group length is no creator element
        (0x0029, 0x000F, None, False, None),
        (0x0030, 0x0010, "ACME 1.0", False, None),
    ],
)
def test_each_form_answers_by_the_one_rule(d, group, element, creator, block, expected):
    entry = d.get(asked(group, element, block), creator)
    assert (entry and entry.as_dict()) == expected
    if entry is not None:
        shown = group << 16 | (0x1000 | element if block else element)
        assert entry.tag == shown
        assert d[asked(group, element, block), creator] == entry


def test_parse_and_format_tags():
    assert _tags.parse_tag(" ( 0029 , XX1f ) ") == _tags.Tag(0x0029, 0x1F, True)
    assert str(_tags.parse_tag("0x7fe00010")) == "(7FE0,0010)"
    for bad, why in [
        ("(0010)", "expected (gggg,eeee)"),
        ("0010001", "expected 8 hex digits"),
        ("001G,0010", "group '001G' is not 4 hex digits"),
        ("0010,xx1G", "element 'xx1G' is not 4 hex digits or xxee"),
        ("PatientName", "expected 8 hex digits"),
    ]:
        with pytest.raises(ValueError, match=re.escape(f"malformed tag {bad!r}: {why}")):
            _tags.parse_tag(bad)
    assert _tags.shown(0x00100003) == "(0010,0003)" == _tags.shown((0x10, 3))
    assert _tags.shown("(0029,XX10)") == "(0029,xx10)" and _tags.shown(1.5) == "1.5"
    assert _tags.is_keyword(" PatientName ") and not _tags.is_keyword("DEADBEEF")


def test_full_private_tags_of_the_bundled_dictionary():
    d = taglex.Dictionary.default()
    lookup = taglex.open_default().lookup
    for entry in list(d)[::41]:
        group, element, creator = entry.group, entry.element, entry.creator or None
        stored = lookup(group, element, creator)
        if entry.block_offset and group % 2:
            # An entry for the element in block 0x10, where there is one, comes first.
            exact = lookup(group, 0x1000 | element, creator)
            assert d.get(group << 16 | 0x1000 | element, creator).as_dict() == (exact or stored)
            assert d.get(_tags.format_tag(group, element, True), creator).as_dict() == stored
        elif not entry.block_offset:
            assert d.get(group << 16 | element, creator).as_dict() == stored
