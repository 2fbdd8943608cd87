"""``taglex diff OLD NEW [--json]``: entries added, removed and changed.

The exit status follows diff(1): 0 when the two hold the same entries, 1
when they differ, 2 when one cannot be read.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator
from typing import Any

from ._common import FAILED, OK, USAGE, damage_as_value_error, error, open_failure

# diff(1)'s exit statuses.
SAME, DIFFERENT, TROUBLE = OK, FAILED, USAGE

DESCRIPTION = (
    "Compare two .tlex files (for example two editions) entry by entry, an "
    "entry being known by its tag, block form and creator (in any case and "
    "spacing). Prints '+ TAG ...' for an entry only NEW has, '- TAG ...' for "
    "one only OLD has and '~ TAG field: old -> new' for each changed field, "
    "then a count of each. Exit status, as diff's: 0 if they hold the same "
    "entries, 1 if they differ, 2 if a file cannot be read (or the command line is wrong)."
)

_FIELDS = ("keyword", "name", "vr", "description", "retired", "creator", "sources")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument("--json", action="store_true", help="one JSON object per difference")


Key = tuple[int, int, bool, str]


def _entries(path: str) -> dict[Key, dict[str, Any]]:
    from taglex import Dictionary
    from taglex._core import canonicalize_creator

    out: dict[Key, dict[str, Any]] = {}
    for entry in Dictionary(path):
        r = entry.as_dict()
        out[(r["group"], r["element"], r["block_offset"], canonicalize_creator(r["creator"]))] = r
    return out


def _show(key: Key, r: dict[str, Any]) -> str:
    group, element, block, _ = key
    tag = f"({group:04X},xx{element:02X})" if block else f"({group:04X},{element:04X})"
    creator = f" [{r['creator']}]" if r["creator"] else ""
    return f"{tag}{creator} {r['keyword'] or '-'}"


def differences(
    old: dict[Key, dict[str, Any]], new: dict[Key, dict[str, Any]]
) -> Iterator[tuple[str, Key, dict[str, Any]]]:
    """('+', key, entry), ('-', key, entry) and ('~', key, {field: (old, new)})
    in tag order."""
    for key in sorted(old.keys() | new.keys()):
        a, b = old.get(key), new.get(key)
        if a is None and b is not None:
            yield "+", key, b
        elif b is None and a is not None:
            yield "-", key, a
        elif a is not None and b is not None:
            changed = {f: (a[f], b[f]) for f in _FIELDS if a[f] != b[f]}
            if changed:
                yield "~", key, {"entry": b, "changed": changed}


def _read(path: str) -> dict[Key, dict[str, Any]] | None:
    """The entries of ``path``; None, after an error line, if it cannot be read."""
    import taglex

    try:
        taglex.open(path)  # the file as a whole, before any entry
    except (OSError, ValueError) as e:
        error(open_failure(path, e))
        return None
    try:
        with damage_as_value_error():
            return _entries(path)
    except ValueError as e:  # a record that does not read back
        error(f"{path} is damaged: {e}")
    except OSError as e:  # changed since it was opened
        error(open_failure(path, e))
    return None


def run(args: argparse.Namespace) -> int:
    old = _read(args.old)
    new = None if old is None else _read(args.new)
    if old is None or new is None:
        return TROUBLE
    counts = {"+": 0, "-": 0, "~": 0}
    for sign, key, what in differences(old, new):
        counts[sign] += 1
        if args.json:
            kind = {"+": "added", "-": "removed", "~": "changed"}[sign]
            if sign == "~":
                print(json.dumps({kind: what["entry"], "fields": what["changed"]}))
            else:
                print(json.dumps({kind: what}))
            continue
        if sign == "~":
            for field, (a, b) in what["changed"].items():
                print(f"~ {_show(key, what['entry'])} {field}: {a!r} -> {b!r}")
        else:
            print(f"{sign} {_show(key, what)}")
    if not args.json:
        print(f"{counts['+']} added, {counts['-']} removed, {counts['~']} changed")
    return DIFFERENT if any(counts.values()) else SAME
