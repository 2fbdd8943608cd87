"""The editions of the standard registry, one after another: when each element
appeared, was retired or un-retired, and under which keywords it went.

The series is DCMTK's dicom.dic as it stood after each of its "Updated data
dictionary for DICOM 20xxy." commits, followed by the registry of the newest
edition; editions.tsv lists them in order. Tags are compared as the newest
registry writes them: a DCMTK tag that is one instance of a registry mask
((0028,0410) of (0028,04x0)) counts as that mask.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from .rows import History, StandardRow, tag_text

EDITIONS_HEADER = "edition\tcommit\tdate\tsubject\tfile"


@dataclass(frozen=True)
class EditionRow:
    line: int
    edition: str
    file: str


def parse_editions(lines: Iterable[str]) -> list[EditionRow]:
    """Rows of editions.tsv: edition, commit, date, subject, file (tab-separated)."""
    out: list[EditionRow] = []
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line or line.startswith("#") or line == EDITIONS_HEADER:
            continue
        fields = line.split("\t")
        if len(fields) != 5:
            raise ValueError(f"line {number}: expected 5 fields, got {len(fields)}")
        edition, file = fields[0], fields[4]
        if not (len(edition) == 5 and edition[:4].isdigit() and edition[4].isalpha()):
            raise ValueError(f"line {number}: bad edition {edition!r}")
        if out and edition <= out[-1].edition:
            raise ValueError(f"line {number}: edition {edition} does not follow {out[-1].edition}")
        out.append(EditionRow(number, edition, file))
    return out


@dataclass
class Changes:
    """What one edition changed against the one before, as (tag, keyword) pairs;
    ``renamed`` as (tag, old keyword, new keyword)."""

    edition: str
    count: int
    added: list[tuple[str, str]] = field(default_factory=list)
    retired: list[tuple[str, str]] = field(default_factory=list)
    unretired: list[tuple[str, str]] = field(default_factory=list)
    renamed: list[tuple[str, str, str]] = field(default_factory=list)


class EditionError(ValueError):
    """An edition that lacks an element of the one before: the index of the
    edition and the message."""

    def __init__(self, index: int, message: str) -> None:
        super().__init__(message)
        self.index = index


def _normalised(rows: Iterable[StandardRow], masks: dict[str, str]) -> dict[str, StandardRow]:
    out: dict[str, StandardRow] = {}
    for row in rows:
        if not row.keyword:
            continue  # nothing to follow by; DCMTK lists none of them
        out.setdefault(masks.get(row.tag, row.tag), row)
    return out


def editions_history(
    editions: Sequence[tuple[str, Sequence[StandardRow]]], mask_of: dict[str, str]
) -> tuple[dict[str, History], list[Changes]]:
    """The history of every element of the series, by tag, and each edition's changes.

    ``editions`` are (name, rows) in order; ``mask_of`` maps a tag that is an
    instance of a registry mask to the mask. An element that an edition lacks
    though the one before lists it raises EditionError (no element has ever
    been removed: an edition that lacks one is cut short).
    """
    first: dict[str, str] = {}
    former: dict[str, list[str]] = {}
    changes: list[Changes] = []
    before: dict[str, StandardRow] = {}
    for index, (name, rows) in enumerate(editions):
        now = _normalised(rows, mask_of)
        lost = sorted(set(before) - set(now))
        if lost:
            tag = lost[0]
            raise EditionError(
                index,
                f"lacks {tag_text(tag[:4], tag[4:])} {before[tag].keyword}, which "
                f"{editions[index - 1][0]} lists ({len(lost)} such; cut short?)",
            )
        step = Changes(name, len(now))
        for tag in sorted(now):
            row = now[tag]
            old = before.get(tag)
            if old is None:
                first[tag] = name
                if index:
                    step.added.append((tag, row.keyword))
                continue
            if old.keyword != row.keyword:
                step.renamed.append((tag, old.keyword, row.keyword))
                kept = former.setdefault(tag, [])
                if old.keyword not in kept:
                    kept.append(old.keyword)
            if row.retired and not old.retired:
                step.retired.append((tag, row.keyword))
            elif old.retired and not row.retired:
                step.unretired.append((tag, row.keyword))
        if index:
            changes.append(step)
        before = now
    start = editions[0][0] if editions else ""
    history = {}
    for tag, row in before.items():
        since = first[tag]
        keywords = tuple(k for k in former.get(tag, []) if k != row.keyword)
        history[tag] = History("" if since == start else since, keywords)
    return history, changes
