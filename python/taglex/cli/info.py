"""``taglex info FILE [--json]``."""

from __future__ import annotations

import argparse
import json
import os

from ._common import FAILED, OK, error

DESCRIPTION = (
    "Print a .tlex file's size, whether it opens (exit status 1 if not), and "
    "for a file that opens its number of index entries and of records. "
    "Nothing is shown that was not read from a file that opens."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE")
    p.add_argument(
        "--json",
        action="store_true",
        help='one JSON object: {"file", "size", "opens", "error", "entries", "records"} '
        "(null for what is not known)",
    )


def run(args: argparse.Namespace) -> int:
    from taglex import _core

    path = args.file
    try:
        size = os.stat(path).st_size
    except OSError as e:
        error(f"cannot read {path}: {e.strerror or e}")
        return FAILED
    entries: int | None = None
    records: int | None = None
    failure: str | None = None
    try:
        stats = _core.Dictionary(path).stats()[0]
    except (OSError, ValueError) as e:
        failure = str(e)
    else:
        entries, records = stats["entries"], stats["records"]
    if args.json:
        print(json.dumps({
            "file": path, "size": size, "opens": failure is None, "error": failure,
            "entries": entries, "records": records,
        }))  # fmt: skip
        return OK if failure is None else FAILED
    rows = [("file", path), ("size", f"{size} bytes")]
    if failure is not None:
        rows.append(("opens", f"no: {failure}"))
    else:
        rows += [("opens", "yes"), ("entries", str(entries)), ("records", str(records))]
    for key, value in rows:
        print(f"{key}:{' ' * (8 - len(key))}{value}")
    return OK if failure is None else FAILED
