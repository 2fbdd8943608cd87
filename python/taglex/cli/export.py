"""``taglex export FILE [-o OUTPUT]``: a ``.tlex`` file back to JSON Lines."""

from __future__ import annotations

import argparse
import json
import os
import sys

from ._common import FAILED, OK, damage_as_value_error, error

DESCRIPTION = (
    "Write every record of a .tlex file as JSON Lines, in the order the file "
    "stores them, to standard output or OUTPUT. 'taglex build' reads the "
    "lines back to the same bytes (with --allow-duplicates if the file holds "
    "records with equal keys)."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", metavar="OUTPUT", help="write here instead of standard output")


def run(args: argparse.Namespace) -> int:
    from taglex import Dictionary

    try:
        with damage_as_value_error():
            records = Dictionary(args.file).records()
    except (OSError, ValueError) as e:
        error(f"cannot export {args.file}: {e}")
        return FAILED
    lines = [json.dumps(r, ensure_ascii=False) + "\n" for r in records]
    text = "".join(lines)
    if args.output is None:
        sys.stdout.write(text)
        return OK
    tmp = f"{args.output}.{os.getpid()}.tmp"
    try:
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(tmp, args.output)
    except OSError as e:
        error(f"cannot write {args.output}: {e.strerror or e}")
        try:
            os.unlink(tmp)
        except OSError:
            pass
        return FAILED
    return OK
