"""``taglex info FILE [--json]``."""

from __future__ import annotations

import argparse
import json
import os
import stat

from ._common import FAILED, OK, error

DESCRIPTION = (
    "Print a .tlex file's size, whether it opens (exit status 1 if not), its "
    "number of index entries and its number of records."
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
    from taglex import _format, _taglex

    path = args.file
    records: int | None = None
    try:
        fd = _format.open_file(path)  # never waits on a FIFO
        try:
            info = os.fstat(fd)
            size = info.st_size
            if stat.S_ISREG(info.st_mode) and size >= _format.HEADER_SIZE + _format.ROOT_SIZE:
                root = os.pread(fd, _format.ROOT_SIZE, size - _format.ROOT_SIZE)
                if len(root) == _format.ROOT_SIZE:
                    records = _format.ROOT.unpack(root)[3]
        finally:
            os.close(fd)
    except OSError as e:
        error(f"cannot read {path}: {e.strerror or e}")
        return FAILED

    try:
        entries: int | None = len(_taglex.open(path))
        failure = None
    except (OSError, ValueError) as e:
        entries, failure = None, str(e)

    if args.json:
        print(json.dumps({
            "file": path, "size": size, "opens": failure is None, "error": failure,
            "entries": entries, "records": records,
        }))  # fmt: skip
        return OK if failure is None else FAILED
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
