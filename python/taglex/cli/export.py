"""``taglex export FILE [-o OUTPUT]``: a ``.tlex`` file back to JSON Lines."""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from collections.abc import Iterator

from ._common import FAILED, OK, cannot_write, damage_as_value_error, error, open_failure

DESCRIPTION = (
    "Write every record of a .tlex file as JSON Lines, in the order the file "
    "stores them, to standard output or OUTPUT. 'taglex build' reads the "
    "lines back to the same bytes (with --allow-duplicates if the file holds "
    "records with equal keys). OUTPUT is replaced in one step, as 'taglex "
    "build' replaces its output, and never if it is FILE itself."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", metavar="OUTPUT", help="write here instead of standard output")


class _Damaged(Exception):
    """A record of FILE that does not read back."""


@contextlib.contextmanager
def _lines(path: str) -> Iterator[Iterator[str]]:
    """The JSON Lines of the records of ``path``, in the order the file
    stores them (duplicates and records no index entry names included); a
    record that does not read back raises _Damaged."""
    from taglex import Dictionary

    try:
        with damage_as_value_error():
            records = Dictionary(path).records()
    except ValueError as e:
        raise _Damaged(str(e)) from None
    yield (json.dumps(record, ensure_ascii=False) + "\n" for record in records)


def run(args: argparse.Namespace) -> int:
    import taglex
    from taglex import _atomic

    inputs = [args.file]
    if args.output is not None:
        try:
            _atomic.check(args.output, inputs=inputs, stdin=True)
        except (OSError, ValueError) as e:
            cannot_write(args.output, e)
            return FAILED
    # Opening validates the file, whatever it holds, before a record is read.
    try:
        taglex.open(args.file)
    except (OSError, ValueError) as e:
        error(open_failure(args.file, e))
        return FAILED
    try:
        with _lines(args.file) as lines:
            if args.output is None:
                text = "".join(lines)  # all or nothing on standard output too
                sys.stdout.write(text)
                return OK
            try:
                with _atomic.replacing(args.output, inputs=inputs, stdin=True, text=True) as f:
                    f.writelines(lines)
            except OSError as e:
                cannot_write(args.output, e)
                return FAILED
    except _Damaged as e:
        error(f"{args.file} is damaged: {e}")
        return FAILED
    except (OSError, ValueError) as e:  # changed since it was opened
        error(open_failure(args.file, e))
        return FAILED
    return OK
