"""What the commands share: the program name, error lines, exit statuses."""

from __future__ import annotations

import argparse
import sys

from taglex._tags import Tag, parse_tag

PROG = "taglex"

# Exit statuses of every command.
OK = 0  # done
FAILED = 1  # not found, bad input, a file that cannot be read, opened or written
USAGE = 2  # the command line itself is wrong (argparse)


def error(message: str) -> None:
    """One line on standard error."""
    print(f"{PROG}: {message}", file=sys.stderr)


def tag_argument(text: str) -> Tag:
    """argparse type of a TAG argument."""
    try:
        return parse_tag(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
