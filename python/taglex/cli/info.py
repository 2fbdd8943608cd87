"""``taglex info FILE``."""

from __future__ import annotations

import argparse
import os

from ._common import FAILED, OK, error

HELP = "describe a .tlex file"
DESCRIPTION = (
    "Print a .tlex file's size, whether it opens (exit status 1 if not), its "
    "number of index entries and its number of records."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE")


def run(args: argparse.Namespace) -> int:
    from taglex import _format, _taglex

    path = args.file
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            records: int | None = None
            if size >= _format.HEADER_SIZE + _format.ROOT_SIZE:
                f.seek(size - _format.ROOT_SIZE)
                records = _format.ROOT.unpack(f.read(_format.ROOT_SIZE))[3]
    except OSError as e:
        error(f"cannot read {path}: {e.strerror or e}")
        return FAILED

    try:
        entries: int | None = len(_taglex.open(path))
        failure = None
    except (OSError, ValueError) as e:
        entries, failure = None, str(e)

    rows = [
        ("file", path),
        ("size", f"{size} bytes"),
        ("opens", "yes" if failure is None else f"no: {failure}"),
        ("entries", "n/a" if entries is None else str(entries)),
        ("records", "n/a" if records is None else str(records)),
    ]
    for key, value in rows:
        print(f"{key}:{' ' * (8 - len(key))}{value}")
    return OK if failure is None else FAILED
