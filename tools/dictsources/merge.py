"""From source rows to one record per lookup key.

The rules are described in docs/default-dictionary.md; each function here
implements one part of that text.
"""

from __future__ import annotations

import re
from collections import Counter, defaultdict
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from taglex._core import DEIDENTIFICATION_OPTIONS

from .rows import (
    NO_VR,
    Deidentification,
    History,
    PrivateRow,
    StandardRow,
    implicit_vr,
    keyword_from_name,
    tag_text,
    vr_text,
)

Record = dict[str, Any]

_HEX4 = re.compile(r"[0-9A-F]{4}")

# --- standard -----------------------------------------------------------------------


def _hex_values(pattern: str) -> list[int]:
    """Every number a 4-digit hex pattern stands for, an 'x' being any digit."""
    values = [0]
    for ch in pattern:
        digits = range(16) if ch == "x" else [int(ch, 16)]
        values = [v * 16 + d for v in values for d in digits]
    return values


def standard_tags(mask: str) -> list[tuple[int, int]]:
    """The (group, element) pairs a registry tag stands for.

    An 'x' in the element stands for every hex digit. A group written 'ggxx'
    is a repeating group: the even groups gg00, gg02, ..., gg1E, as for the
    overlay (60xx) and curve (50xx) groups. Other masked groups are refused.
    """
    group, element = mask[:4], mask[4:]
    if "x" in group:
        if not (_HEX4.fullmatch(group[:2] + "00") and group[2:] == "xx"):
            raise ValueError(f"unsupported repeating group in {mask!r}")
        base = int(group[:2], 16) << 8
        groups = list(range(base, base + 0x20, 2))
    else:
        groups = [int(group, 16)]
    return [(g, e) for g in groups for e in _hex_values(element)]


# --- description parts -----------------------------------------------------------
#
# A record's description is written by taglex's own grammar
# (taglex._core.compose_description, which taglex reads back with the same
# rules): here each record's parts are gathered as the keyword arguments of
# that one call, in description().

# The options of the de-identification profile, in the order of its table,
# as taglex's grammar writes them.
OPTION_NAMES: tuple[str, ...] = DEIDENTIFICATION_OPTIONS

Parts = dict[str, Any]


def element_parts(vm: str, vrs: tuple[str, ...]) -> Parts:
    """The VM ("not given" when empty) and the VR alternatives of an element."""
    return {"vm": vm or None, "vrs": vrs}


def deidentification_parts(deid: Deidentification | None) -> Parts:
    """The Basic Profile action and the options that give one."""
    if deid is None:
        return {}
    return {"deidentification": deid.basic, "options": dict(deid.options)}


def description(parts: Parts) -> str:
    """The description text of the parts, in the grammar taglex reads."""
    from taglex._core import compose_description

    return compose_description(**parts)


def registry_differences(a: StandardRow, b: StandardRow) -> list[str]:
    """What registry b says differently from a, beyond notation.

    Notation: b giving one of the VMs of "1-n or 1", or DCMTK's "lt" (US or
    SS or OW) for VRs within it. Each difference reads "VR X", "VM X",
    "retired", "not retired" or "keyword X", as b gives it.
    """
    out: list[str] = []
    lut = {"US", "SS", "OW"}
    if set(a.vrs) != set(b.vrs) and not (set(b.vrs) == lut and set(a.vrs) < lut):
        out.append(f"VR {vr_text(b.vrs) or 'not given'}")
    if a.vm != b.vm and b.vm not in a.vm.split(" or "):
        out.append(f"VM {b.vm}")
    if a.retired != b.retired:
        out.append("retired" if b.retired else "not retired")
    if a.keyword != b.keyword:
        out.append(f"keyword {b.keyword or '(none)'}")
    return out


@dataclass
class _Candidate:
    rank: int
    group: int
    element: int
    record: Record
    parts: Parts
    summary: str
    also: tuple[str, str, bool]  # (where, keyword or name, repeating)


def standard_records(
    registry: Sequence[tuple[StandardRow, str]],
    second: Sequence[StandardRow],
    second_label: str,
    second_name: str,
    history: Mapping[str, History] | None = None,
    deidentification: Callable[[int, int], Deidentification | None] | None = None,
) -> tuple[list[Record], list[tuple[str, list[str]]]]:
    """Records of the standard elements, and the registry disagreements.

    ``registry`` pairs each row with its source label ("DICOM 2026c");
    ``second`` is the second registry, compared tag by tag with the first,
    and whose group 0000 command elements are added with ``second_label``.
    Masks are expanded (standard_tags); where an expansion meets an unmasked
    element, the unmasked one wins and the other is kept as an "also" note.
    ``history`` gives, by row tag, the edition that first lists the element
    and its former keywords; ``deidentification`` the de-identification row
    that applies to a (group, element), if any.
    """
    others = {row.tag: row for row in second}
    disputes: list[tuple[str, list[str]]] = []
    candidates: list[_Candidate] = []
    history = history or {}

    def add(row: StandardRow, label: str) -> None:
        masked = "x" in row.tag
        where = tag_text(row.tag[:4], row.tag[4:])
        told = history.get(row.tag, History())
        first: Parts = {
            **element_parts(row.vm, row.vrs),
            "repeating": where if masked else None,
            "since": told.since or None,
            "formerly": told.formerly,
        }
        other = others.get(row.tag)
        if other is not None and label != second_label:
            said = registry_differences(row, other)
            if said:
                disputes.append((row.tag, said))
                first["differences"] = [(second_name, said)]
        for group, element in standard_tags(row.tag):
            record: Record = {
                "group": group,
                "element": element,
                "creator": "",
                "keyword": row.keyword,
                "name": row.name,
                "vr": implicit_vr(row.vrs),
                "retired": row.retired,
                "block_offset": False,
                "sources": [label],
            }
            deid = deidentification(group, element) if deidentification else None
            parts = {**first, **deidentification_parts(deid)}
            summary = f"{'repeating ' if masked else ''}{where} {row.keyword or row.name}"
            also = (where, row.keyword or row.name, masked)
            candidates.append(
                _Candidate(int(masked), group, element, record, parts, summary, also)
            )

    for row, label in registry:
        add(row, label)
    for row in second:
        if row.tag.startswith("0000"):
            add(row, second_label)

    by_tag: dict[tuple[int, int], list[_Candidate]] = defaultdict(list)
    for cand in candidates:
        by_tag[(cand.group, cand.element)].append(cand)
    records: list[Record] = []
    for tag in sorted(by_tag):
        ranked = sorted(by_tag[tag], key=lambda c: (c.rank, c.summary))
        win = ranked[0]
        also = [c.also for c in ranked[1:]]
        records.append({**win.record, "description": description({**win.parts, "also": also})})
    return records, disputes


# --- private ------------------------------------------------------------------------


@dataclass(frozen=True)
class Source:
    """A private source: its label in ``sources``, its short name in notes.

    Sources with the same ``vote`` (one project's two files, or a dictionary
    and the one generated from it) cast one vote on a key's VR: that of the
    member with the lowest ``rank`` that has the key (the newer file). A
    source without ``vote`` votes on its own, as ``short``.
    """

    label: str
    short: str
    independent: bool = True
    table: bool = False  # the safe private attributes table: its VR wins
    vote: str = ""
    rank: int = 0

    @property
    def voter(self) -> str:
        return self.vote or self.short


# The VR tie order of the independent sources, and the reason, are in the
# documentation: dicom3tools first (kept by the editor of the standard, the
# dictionary the others were largely seeded from), then DCMTK (the newest,
# edited by hand), then GDCM.
WEAK_VRS = frozenset({"UN", NO_VR})


@dataclass
class Verdict:
    """Why a key got its VR: ``rule`` and every source's VR text."""

    vr: str
    rule: str
    said: dict[str, str] = field(default_factory=dict)
    disputed: bool = False


def _representative(rows: Iterable[PrivateRow]) -> PrivateRow:
    """The row that speaks for one source on one key."""
    return min(
        rows,
        key=lambda r: (not r.name, bool(r.listed), r.creator, vr_text(r.vrs), r.vm, r.keyword),
    )


def _speakers(labels: Iterable[str], sources: Sequence[Source]) -> list[Source]:
    """The sources that speak for their vote among ``labels``, in ``sources`` order
    of each vote's first member."""
    have = set(labels)
    best: dict[str, Source] = {}
    order: dict[str, int] = {}
    for i, s in enumerate(sources):
        order.setdefault(s.voter, i)
        if s.label in have and (s.voter not in best or s.rank < best[s.voter].rank):
            best[s.voter] = s
    return sorted(best.values(), key=lambda s: order[s.voter])


def choose_vr(rows: dict[str, PrivateRow], sources: Sequence[Source]) -> Verdict:
    """The VR of a key from the rows of its sources (one per source label).

    1. the safe private table's VR, where it gives one;
    2. else the VR most independent votes give (UN and none count only
       where no independent vote gives another); a tie goes to the VR of
       the first of the tied votes in ``sources`` order;
    3. else the first VR of the other sources, in ``sources`` order.
    Each source's VR is its implicit-VR choice (rows.implicit_vr); a vote's
    VR is that of its speaking member (see Source).
    """
    said = {s.short: vr_text(rows[s.label].vrs) or "none" for s in sources if s.label in rows}
    chosen = {s.label: implicit_vr(rows[s.label].vrs) for s in sources if s.label in rows}
    strong = {vr for vr in chosen.values() if vr not in WEAK_VRS}
    disputed = len(strong) > 1

    for s in sources:
        if s.table and s.label in rows and rows[s.label].vrs:
            return Verdict(chosen[s.label], "PS3.15 table", said, disputed)

    speakers = _speakers(rows, sources)

    def votes(strong_only: bool) -> Verdict | None:
        counted = [
            (chosen[s.label], s.voter)
            for s in speakers
            if s.independent and (not strong_only or chosen[s.label] not in WEAK_VRS)
        ]
        if not counted:
            return None
        tally = Counter(vr for vr, _ in counted)
        top = max(tally.values())
        tied = [vr for vr, n in tally.items() if n == top]
        if len(tied) == 1:
            rule = "agreement" if len(tally) == 1 else f"majority {top} of {len(counted)}"
            return Verdict(tied[0], rule, said, disputed)
        first = next((vr, voter) for vr, voter in counted if vr in tied)
        return Verdict(first[0], f"tie: {first[1]} first", said, disputed)

    verdict = votes(True) or votes(False)
    if verdict is not None:
        return verdict
    for s in sources:
        if s.label in chosen and not s.table:
            return Verdict(chosen[s.label], f"{s.short} only", said, disputed)
    return Verdict(NO_VR, "no VR given", said, disputed)


@dataclass
class PrivateKey:
    """The merged view of one key: its record and the verdict on its VR."""

    record: Record
    verdict: Verdict
    labels: list[str]


def private_records(
    rows: Iterable[PrivateRow],
    sources: Sequence[Source],
    canonical: Callable[[str], str],
    name_order: Sequence[str],
    keyword_order: Sequence[str],
    deidentification: Deidentification | None = None,
) -> list[PrivateKey]:
    """One record per key: (group, element low byte, canonical creator) for the
    definitions in block form, (group, full element, canonical creator) for
    the block-specific ones (rows with a ``block``).

    A block-specific definition holds in its block only, a block-form one in
    every block; a lookup of a full tag finds the block-specific record
    first. The two kinds are merged apart: a block-form row is no source of
    a block-specific record, nor the other way round.

    ``name_order`` and ``keyword_order`` list source labels: the name is the
    first non-empty one in ``name_order``; the keyword the first one a
    source gives in ``keyword_order``, else derived from the name
    (rows.keyword_from_name). The creator is the spelling most sources use,
    a tie going to the first in ``sources`` order. The VR is choose_vr's.
    ``deidentification`` is the table row that applies to every private
    element.
    """
    order = {s.label: i for i, s in enumerate(sources)}
    tables = {s.label: s.table for s in sources}
    canon: dict[str, str] = {}
    grouped: dict[tuple[int, int, str], dict[str, list[PrivateRow]]] = defaultdict(
        lambda: defaultdict(list)
    )
    for row in rows:
        if row.source not in order:
            raise ValueError(f"row of an unknown source {row.source!r}")
        ckey = canon.get(row.creator)
        if ckey is None:
            ckey = canon[row.creator] = canonical(row.creator)
        element = row.block << 8 | row.element
        for group in row.groups:
            grouped[(group, element, ckey)][row.source].append(row)

    out: list[PrivateKey] = []
    for key in sorted(grouped):
        by_source = {label: _representative(rs) for label, rs in grouped[key].items()}
        labels = sorted(by_source, key=order.__getitem__)
        verdict = choose_vr(by_source, sources)
        spellings = Counter(by_source[label].creator for label in labels)
        top = max(spellings.values())
        creator = next(
            by_source[label].creator
            for label in labels
            if spellings[by_source[label].creator] == top
        )
        given = [by_source[label] for label in name_order if label in by_source]
        name = next((row.name for row in given if row.name), "")
        given = [by_source[label] for label in keyword_order if label in by_source]
        keyword = next((row.keyword for row in given if row.keyword), "") or keyword_from_name(name)
        table_first = sorted(labels, key=lambda label: not tables.get(label, False))
        vr_source = next(
            (
                by_source[label]
                for label in table_first
                if implicit_vr(by_source[label].vrs) == verdict.vr
            ),
            by_source[table_first[0]],
        )
        parts: Parts = {
            **element_parts(vr_source.vm, vr_source.vrs),
            **deidentification_parts(deidentification),
            "listed": vr_source.listed or None,
            "disputed": list(verdict.said.items()) if verdict.disputed else (),
        }
        record: Record = {
            "group": key[0],
            "element": key[1],
            "creator": creator,
            "keyword": keyword,
            "name": name,
            "vr": verdict.vr,
            "description": description(parts),
            "retired": False,
            "block_offset": key[1] <= 0xFF,
            "sources": labels,
        }
        out.append(PrivateKey(record, verdict, labels))
    return out
