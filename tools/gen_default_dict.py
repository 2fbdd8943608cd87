#!/usr/bin/env python3
"""Generate the default dictionary, python/taglex/data/dicom.tlex, from pydicom.

The sources are pydicom's standard dictionary (DicomDictionary and
RepeatersDictionary in pydicom._dicom_dict) and its private dictionaries
(pydicom._private_dict.private_dictionaries). How their entries become
records (repeating groups, private block form, derived keywords, VR and VM,
merging of creators) is described in docs/default-dictionary.md; the rules
below implement exactly that text.

Usage:
    python tools/gen_default_dict.py            # regenerate the bundled file
    python tools/gen_default_dict.py OUT.tlex   # write somewhere else
    python tools/gen_default_dict.py --check    # exit 1 if the bundled file is stale

The output depends only on the pydicom release: the same pydicom gives the same
bytes. Needs the taglex package importable (its writer and creator hash).
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from collections import defaultdict
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = ROOT / "python" / "taglex" / "data" / "dicom.tlex"

# Mirrors taglex.writer.VR_CODES; checked against it in main().
VR_CODES = frozenset(
    "AE AS AT CS DA DS DT FL FD IS LO LT OB OD OF OL OV OW PN SH SL SQ SS ST "
    "SV TM UC UI UL UN UR US UT UV ??".split()
)
NO_VR = "??"

UNINFORMATIVE_NAMES = frozenset({"", "unknown"})

# Ranks of the ways a private dictionary writes a tag; the lower one wins
# when two entries land on the same key.
FORM_BLOCK = 0  # (gggg,xxee): any block
FORM_FIXED = 1  # (gggg,eeee): one fixed block
FORM_GROUPS = 2  # (ggxx,xxee): any block of a range of groups
FORM_CREATOR = 3  # (gggg,eexx): the creator element of block ee

_HEX4 = re.compile(r"[0-9A-Fa-f]{4}")


# --- small rules ------------------------------------------------------------


def stored_vr(text: str) -> tuple[str, str | None]:
    """The VR to store for the VR text of a source entry, and a note.

    The stored VR is the first code listed ("US or SS" -> US, "OB_OW" -> OB);
    a first code that is not a known VR (empty, "NONE") stores "??". The
    note, "VR <text as the source writes it>", is given whenever the stored
    VR is not exactly the source's text, and None otherwise.
    """
    first = re.split(r"\s+or\s+|_|/|\s+", text.strip(), maxsplit=1)[0]
    vr = first if first in VR_CODES else NO_VR
    if vr == text:
        return vr, None
    return vr, f"VR {text}" if text.strip() else "VR not given"


def keyword_from_name(name: str) -> str:
    """A keyword for a source entry that has none.

    The ASCII letter and digit runs of the name, each with its first letter
    upper-cased and the rest kept, joined without spaces; "Private" in front
    when the result starts with a digit. A name without letters or digits
    gives an empty keyword.
    """
    words = re.findall(r"[A-Za-z0-9]+", name)
    keyword = "".join(w[0].upper() + w[1:] for w in words)
    if keyword[:1].isdigit():
        keyword = "Private" + keyword
    return keyword


def tag_text(group: str, element: str) -> str:
    return f"({group.upper().replace('X', 'x')},{element.upper().replace('X', 'x')})"


def _hex_values(pattern: str) -> list[int]:
    """Every number a 4-digit hex pattern stands for, an 'x' being any digit."""
    values = [0]
    for ch in pattern:
        digits = range(16) if ch in "xX" else [int(ch, 16)]
        values = [v * 16 + d for v in values for d in digits]
    return values


def standard_tags(mask: str) -> list[tuple[int, int]]:
    """The (group, element) pairs a mask of the standard dictionary stands for.

    An 'x' in the element stands for every hex digit. A group written 'ggxx'
    is a repeating group: the even groups gg00, gg02, ..., gg1E, as for the
    overlay (60xx) and curve (50xx) groups. Other masked groups are refused.
    """
    group, element = mask[:4], mask[4:]
    if "x" in group.lower():
        if not (_HEX4.fullmatch(group[:2] + "00") and group[2:].lower() == "xx"):
            raise ValueError(f"unsupported repeating group in {mask!r}")
        base = int(group[:2], 16) << 8
        groups = list(range(base, base + 0x20, 2))
    else:
        groups = [int(group, 16)]
    return [(g, e) for g in groups for e in _hex_values(element)]


def private_tags(mask: str) -> tuple[int, list[tuple[int, int, bool]], str | None]:
    """How a tag of a private dictionary is stored.

    Returns the form rank, the (group, element, block_offset) triples it
    stands for, and a note for the description ("listed as ...") when the
    source does not write it in the usual (gggg,xxee) form.
    """
    group, element = mask[:4].lower(), mask[4:].lower()
    listed = f"listed as {tag_text(mask[:4], mask[4:])}"
    if element[:2] == "xx" and _HEX4.fullmatch(group) and _HEX4.fullmatch("00" + element[2:]):
        return FORM_BLOCK, [(int(group, 16), int(element[2:], 16), True)], None
    if _HEX4.fullmatch(group) and _HEX4.fullmatch(element):
        return FORM_FIXED, [(int(group, 16), int(element[2:], 16), True)], listed
    if group[2:] == "xx" and element[:2] == "xx" and _HEX4.fullmatch(group[:2] + element[2:]):
        # Private data elements live in odd groups only.
        base = int(group[:2], 16) << 8
        low = int(element[2:], 16)
        return FORM_GROUPS, [(g, low, True) for g in range(base + 1, base + 0x100, 2)], listed
    if element[2:] == "xx" and _HEX4.fullmatch(group) and _HEX4.fullmatch(element[:2] + "00"):
        block = int(element[:2], 16)
        return (
            FORM_CREATOR,
            [(int(group, 16), block, False)],
            f"{listed}, stored as its creator element ({mask[:4].upper()},00{mask[4:6].upper()})",
        )
    raise ValueError(f"unsupported private tag {mask!r}")


def _join(parts: Iterable[str | None]) -> str:
    return "; ".join(p for p in parts if p)


def _vm_note(vm: str) -> str | None:
    return f"VM {vm}" if vm else None


# --- candidates -----------------------------------------------------------------


def standard_candidates(
    main: Mapping[int, tuple], repeaters: Mapping[str, tuple], label: str
) -> list[dict[str, Any]]:
    """Records for the standard dictionary; repeating groups expanded."""
    out = []
    for tag, (vr_text, vm, name, retired, keyword) in main.items():
        vr, vr_note = stored_vr(vr_text)
        out.append(
            {
                "rank": (0,),
                "group": tag >> 16,
                "element": tag & 0xFFFF,
                "creator": "",
                "keyword": keyword,
                "name": name,
                "vr": vr,
                "notes": [_vm_note(vm), vr_note],
                "retired": retired == "Retired",
                "block_offset": False,
                "sources": [label],
                "summary": f"{tag_text(f'{tag >> 16:04X}', f'{tag & 0xFFFF:04X}')} "
                f"{keyword or name}",
            }
        )
    for mask, (vr_text, vm, name, retired, keyword) in repeaters.items():
        vr, vr_note = stored_vr(vr_text)
        where = tag_text(mask[:4], mask[4:])
        for group, element in standard_tags(mask):
            out.append(
                {
                    "rank": (1,),
                    "group": group,
                    "element": element,
                    "creator": "",
                    "keyword": keyword,
                    "name": name,
                    "vr": vr,
                    "notes": [_vm_note(vm), vr_note, f"repeating {where}"],
                    "retired": retired == "Retired",
                    "block_offset": False,
                    "sources": [label],
                    "summary": f"repeating {where} {keyword or name}",
                }
            )
    return out


def private_candidates(
    dictionaries: Mapping[str, Mapping[str, tuple]], label: str
) -> list[dict[str, Any]]:
    """Records for the private dictionaries, in block form."""
    out = []
    for creator, entries in dictionaries.items():
        for mask, (vr_text, vm, name, retired, *rest) in entries.items():
            form, tags, listed = private_tags(mask)
            vr, vr_note = stored_vr(vr_text)
            keyword = rest[0] if rest and rest[0] else keyword_from_name(name)
            informative = name.strip().lower() not in UNINFORMATIVE_NAMES
            summary = (
                f"{creator!r} {tag_text(mask[:4], mask[4:])}: {vr_text or '-'}, "
                f"VM {vm or '-'}, {name!r}"
            )
            for group, element, block_offset in tags:
                out.append(
                    {
                        "rank": (0 if informative else 1, form, creator),
                        "group": group,
                        "element": element,
                        "creator": creator,
                        "keyword": keyword,
                        "name": name,
                        "vr": vr,
                        "notes": [_vm_note(vm), vr_note, listed],
                        "retired": retired == "Retired",
                        "block_offset": block_offset,
                        "sources": [label],
                        "summary": summary,
                    }
                )
    return out


# --- merging ------------------------------------------------------------------------


def merge(candidates: Iterable[dict[str, Any]], hash_creator) -> list[dict[str, Any]]:
    """One record per key (group, element, hash of the canonical creator).

    Candidates on one key are ordered by their rank and the lowest wins; each
    loser is kept as an "also <summary>" note in the winner's description.
    The result is sorted by key and then by creator text, so that the output
    does not depend on the order of the source dictionaries.
    """
    by_key: dict[tuple[int, int, int], list[dict[str, Any]]] = defaultdict(list)
    for cand in candidates:
        chash = hash_creator(cand["creator"]) if cand["creator"] else 0
        by_key[(cand["group"], cand["element"], chash)].append(cand)

    records = []
    for key in sorted(by_key):
        ranked = sorted(by_key[key], key=lambda c: (c["rank"], c["summary"]))
        win = ranked[0]
        also = [f"also {c['summary']}" for c in ranked[1:]]
        records.append(
            {
                "group": win["group"],
                "element": win["element"],
                "creator": win["creator"],
                "keyword": win["keyword"],
                "name": win["name"],
                "vr": win["vr"],
                "description": _join([*win["notes"], *also]),
                "retired": win["retired"],
                "block_offset": win["block_offset"],
                "sources": list(win["sources"]),
            }
        )
    return records


def default_records(hash_creator) -> tuple[list[dict[str, Any]], dict[str, str]]:
    """The records of the default dictionary, and the versions they come from."""
    import pydicom
    from pydicom import _dicom_dict, _private_dict
    from pydicom._version import __dicom_version__ as edition

    versions = {"pydicom": pydicom.__version__, "dicom": edition}
    candidates = standard_candidates(
        _dicom_dict.DicomDictionary, _dicom_dict.RepeatersDictionary, f"DICOM {edition}"
    )
    candidates += private_candidates(
        _private_dict.private_dictionaries, f"pydicom {pydicom.__version__} private dictionary"
    )
    return merge(candidates, hash_creator), versions


def build_default() -> tuple[bytes, list[dict[str, Any]], dict[str, str]]:
    from taglex import writer
    from taglex._canonical import creator_hash

    if set(writer.VR_CODES) != VR_CODES:
        raise SystemExit("gen_default_dict: VR table differs from taglex.writer.VR_CODES")
    records, versions = default_records(creator_hash)
    return writer.build(records), records, versions


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default=str(DEFAULT_OUTPUT))
    parser.add_argument(
        "--check", action="store_true", help="compare with OUTPUT instead of writing it"
    )
    args = parser.parse_args(argv)

    data, records, versions = build_default()
    summary = (
        f"{len(records)} entries, {len(data)} bytes, pydicom {versions['pydicom']}, "
        f"DICOM {versions['dicom']}"
    )
    if args.check:
        try:
            current = Path(args.output).read_bytes()
        except OSError as e:
            print(f"gen_default_dict: {e}", file=sys.stderr)
            return 1
        if current != data:
            print(f"gen_default_dict: {args.output} is out of date ({summary})", file=sys.stderr)
            return 1
        print(f"{args.output} is up to date ({summary})")
        return 0

    out = Path(args.output)
    out.parent.mkdir(parents=True, exist_ok=True)
    tmp = out.with_name(f".{out.name}.{os.getpid()}.tmp")
    tmp.write_bytes(data)
    os.replace(tmp, out)
    print(f"wrote {out}: {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
