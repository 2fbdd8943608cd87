"""``taglex deid [--option NAME]... [--json] [--dict FILE]...``."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING, Any

from taglex import _core

from ._common import DICT_HELP, FAILED, OK, damage_as_value_error, error, open_dictionary

if TYPE_CHECKING:
    from taglex import Entry

# The options of the de-identification profile, in the order of its table.
OPTIONS: tuple[str, ...] = _core.DEIDENTIFICATION_OPTIONS

DESCRIPTION = (
    "List the elements of the de-identification profile (PS3.15 Table "
    "E.1-1) and the action that applies to each: the Basic Profile's, or, "
    "where a chosen option gives one, the option's (the first chosen option "
    "that gives one, in the order given). A repeating group is listed once, "
    "by its mask; the private attributes, one row of the table, once as "
    "(gggg,eeee). Actions are as the table writes them: X remove, Z "
    "zero-length or dummy, D dummy, U new UID, K keep, C clean, X/Z and the "
    "like for the choice the table leaves. Exit status 1 if the dictionary "
    "holds no such element."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--option", metavar="NAME", action="append", default=[], choices=OPTIONS,
        help="an option of the profile, e.g. retain_uids; repeat for several",
    )  # fmt: skip
    p.add_argument("--dict", metavar="FILE", action="append", help=DICT_HELP)
    p.add_argument("--json", action="store_true", help="one JSON object per element")


def _where(entry: Entry) -> tuple[str, str]:
    """The element's tag as the table lists it, and the key that lists it once."""
    from taglex import _tags

    if entry.creator:
        return "(gggg,eeee)", "private"
    repeating = _core.parse_description(entry.description)["repeating"]
    if repeating is not None:
        mask = f"({repeating[:4]},{repeating[4:]})"
        return mask, mask
    tag = _tags.format_tag(entry.group, entry.element)
    return tag, tag


def rows(d: Any, chosen: list[str]) -> list[dict[str, Any]]:
    """One row per listed element (a mask or the private attributes once)."""
    seen: set[str] = set()
    out: list[dict[str, Any]] = []
    for entry in d:
        deid = entry.deidentification
        if deid is None:
            continue
        tag, key = _where(entry)
        if key in seen:
            continue
        seen.add(key)
        applies = next((deid.options[o] for o in chosen if o in deid.options), deid.basic)
        out.append({
            "tag": tag,
            "keyword": "" if entry.creator else entry.keyword,
            "name": "Private Attributes" if entry.creator else entry.name,
            "basic": deid.basic,
            "options": dict(deid.options),
            "action": applies,
        })  # fmt: skip
    return out


def run(args: argparse.Namespace) -> int:
    d = open_dictionary(args.dict)
    if d is None:
        return FAILED
    try:
        with damage_as_value_error():
            listed = rows(d, args.option)
    except ValueError as e:  # a layer whose records do not read back
        error(f"{', '.join(d.paths)} is damaged: {e}")
        return FAILED
    if not listed:
        error(f"{', '.join(d.paths)} lists no element of the de-identification profile")
        return FAILED
    for row in listed:
        if args.json:
            print(json.dumps(row))
            continue
        by = [f"{o} {row['options'][o]}" for o in args.option if o in row["options"]]
        note = f"  ({', '.join(by)}; basic {row['basic']})" if by else ""
        print(f"{row['tag']}  {row['action']:<6}  {row['keyword'] or '-'}  {row['name']}{note}")
    return OK
