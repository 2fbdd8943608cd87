"""``taglex info FILE``."""

from __future__ import annotations

import argparse
import os

from ._common import FAILED, OK, error

DESCRIPTION = (
    "Print a .tlex file's size, whether it opens (exit status 1 if not), its "
    "number of index entries and its number of records."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE")


def run(args: argparse.Namespace) -> int:
    from taglex import _core

    path = args.file
    try:
        info = os.stat(path)
    except OSError as e:
        error(f"cannot read {path}: {e.strerror or e}")
        return FAILED
    rows = [("file", path), ("size", f"{info.st_size} bytes")]
    try:
        stats = _core.Dictionary(path).stats()[0]
    except (OSError, ValueError) as e:
        # Nothing read from a file that does not open is shown.
        rows.append(("opens", f"no: {e}"))
        failure = True
    else:
        rows += [
            ("opens", "yes"),
            ("entries", str(stats["entries"])),
            ("records", str(stats["records"])),
        ]
        failure = False
    for key, value in rows:
        print(f"{key}:{' ' * (8 - len(key))}{value}")
    return FAILED if failure else OK
