"""``taglex creators [TEXT] [--dict FILE]... [--json]``."""

from __future__ import annotations

import argparse
import json

from ._common import DICT_HELP, FAILED, OK, damage_as_value_error, error, open_dictionary

DESCRIPTION = (
    "List the private creators of a dictionary, one a line, with the number "
    "of elements each has; with TEXT only those containing it, in any case "
    "and spacing. Exit status 1 if none matches."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("text", metavar="TEXT", nargs="?", default="")
    p.add_argument("--dict", metavar="FILE", action="append", help=DICT_HELP)
    p.add_argument(
        "--json",
        action="store_true",
        help='one JSON object per line: {"creator": TEXT, "elements": COUNT}',
    )


def run(args: argparse.Namespace) -> int:
    d = open_dictionary(args.dict)
    if d is None:
        return FAILED
    needle = " ".join(args.text.split()).casefold()
    try:
        with damage_as_value_error():
            found = [c for c in d.creators() if needle in " ".join(c.split()).casefold()]
            counts = [len(d.elements(c)) for c in found]
    except ValueError as e:  # a layer whose records do not read back
        error(f"{', '.join(d.paths)} is damaged: {e}")
        return FAILED
    if not found:
        error(f"no creator matches {args.text!r}")
        return FAILED
    for creator, count in zip(found, counts):
        if args.json:
            print(json.dumps({"creator": creator, "elements": count}))
        else:
            print(f"{creator}\t{count}")
    return OK
