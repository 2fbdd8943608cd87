"""``taglex find TEXT [--dict FILE]... [--limit N] [--json]``."""

from __future__ import annotations

import argparse
import json

from ._common import DICT_HELP, FAILED, OK, damage_as_value_error, error, open_dictionary

DESCRIPTION = (
    "List the entries whose keyword or name contains TEXT, in any case, best "
    "matches first: the exact keyword, keywords starting with TEXT, names with "
    "a word starting with it, then the rest. Exit status 1 if none matches."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("text", metavar="TEXT")
    p.add_argument("--dict", metavar="FILE", action="append", help=DICT_HELP)
    p.add_argument("--limit", metavar="N", type=int, default=50, help="at most N entries (0: all)")
    p.add_argument("--json", action="store_true", help="one JSON object per line")


def run(args: argparse.Namespace) -> int:
    d = open_dictionary(args.dict)
    if d is None:
        return FAILED
    try:
        with damage_as_value_error():
            found = d.find(args.text, limit=args.limit if args.limit > 0 else None)
    except ValueError as e:  # a layer whose records do not read back
        error(f"{', '.join(d.paths)} is damaged: {e}")
        return FAILED
    if not found:
        error(f"nothing matches {args.text!r}")
        return FAILED
    for entry in found:
        if args.json:
            print(json.dumps(entry.as_dict()))
            continue
        tag = entry.tag
        line = f"({tag >> 16:04X},{tag & 0xFFFF:04X})  {entry.keyword or '-'}  {entry.vr}  {entry.name}"
        if entry.creator:
            line += f"  [{entry.creator}]"
        if entry.retired:
            line += "  (retired)"
        print(line)
    return OK
