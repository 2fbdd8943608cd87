"""``taglex uid TEXT [--json]``."""

from __future__ import annotations

import argparse
import json

from ._common import FAILED, OK, error

DESCRIPTION = (
    "Look a UID up in the UIDs of the DICOM standard (PS3.6 2026c Tables A-1 "
    "and A-2, the context groups of Table A-3 and the templates of Table "
    "A-4): TEXT is a UID such as 1.2.840.10008.1.2.1 or a UID keyword such "
    "as ExplicitVRLittleEndian."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("text", metavar="TEXT", help="a UID or a UID keyword")
    p.add_argument("--json", action="store_true", help="print the UID as one JSON object")


def run(args: argparse.Namespace) -> int:
    from taglex import uids

    try:
        found = uids.get(args.text)
    except (OSError, ValueError) as e:
        error(str(e))
        return FAILED
    if found is None:
        close = uids.suggest(args.text)
        hint = f"; did you mean {' or '.join(close)}?" if close else ""
        error(f"no UID or UID keyword {args.text!r}{hint}")
        return FAILED
    if args.json:
        print(json.dumps(found.as_dict()))
        return OK
    rows = [
        ("uid", found.uid),
        ("keyword", found.keyword),
        ("name", found.name),
        ("type", found.type),
        ("retired", "yes" if found.retired else "no"),
        ("part", found.part),
        ("info", found.info),
    ]
    for key, value in rows:
        print(f"{key}:{' ' * (8 - len(key))}{value}".rstrip())
    return OK
