"""taglex._tags.lookup: tags as a data set holds them, answered from a dictionary."""

from __future__ import annotations

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME

import taglex
from taglex import _format, _tags

# A private creator element that the dictionary lists (stored with its
# creator, not in block form), beside the block-form AcmeFlags (0029,xx10).
LISTED_CREATOR = dict(
    ACME_FLAGS, group=0x0031, keyword="AcmeCreator", name="Acme Creator", vr="LO",
    block_offset=False,
)  # fmt: skip


@pytest.fixture
def d(open_dict):
    return open_dict([*EXAMPLE, LISTED_CREATOR])


def creator_element(group: int, element: int, creator: str) -> dict:
    return dict(
        group=group, element=element, creator=creator, keyword="PrivateCreator",
        name="Private Creator", vr="LO", description="VM 1", retired=False, block_offset=False,
        sources=[],
    )  # fmt: skip


@pytest.mark.parametrize(
    "group, element, creator, block, expected",
    [
        # Standard elements, and a creator that does not belong to them.
        (0x0010, 0x0010, None, False, PATIENT_NAME),
        (0x0010, 0x0010, "ACME 1.0", False, None),
        # Block form, written (0029,xx10): only a block-form entry answers.
        (0x0029, 0x10, " acme  1.0", True, ACME_FLAGS),
        (0x0029, 0x10, None, True, None),
        (0x0031, 0x10, "ACME 1.0", True, None),
        # A private element with its block, in any block.
        (0x0029, 0x1010, "acme 1.0", False, ACME_FLAGS),
        (0x0029, 0xFF10, "ACME 1.0", False, ACME_FLAGS),
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
def test_lookup_as_a_data_set_holds_tags(d, group, element, creator, block, expected):
    assert _tags.lookup(d, group, element, creator, block=block) == expected


def test_full_private_tags_of_the_bundled_dictionary():
    d = taglex.open_default()
    with _format.Reader.open(taglex.default_path()) as r:
        for rec in list(r.records())[::41]:
            group, element, creator = rec["group"], rec["element"], rec["creator"] or None
            if rec["block_offset"] and group % 2:
                expected = d.lookup(group, element, creator)
                # A block-specific entry of block 0x10, where there is one, comes first.
                exact = d.lookup(group, 0x1000 | element, creator)
                assert _tags.lookup(d, group, 0x1000 | element, creator) == (exact or expected)
                assert _tags.lookup(d, group, element, creator, block=True) == expected
            elif not rec["block_offset"]:
                assert _tags.lookup(d, group, element, creator) == d.lookup(
                    group, element, creator
                )
