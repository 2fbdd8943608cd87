"""The ``taglex`` command line: look tags up, build and inspect ``.tlex`` files.

Usage::

    taglex lookup TAG|KEYWORD [--creator TEXT] [--dict FILE]... [--json]
    taglex find TEXT [--dict FILE]... [--limit N] [--json]
    taglex creators [TEXT] [--dict FILE]...
    taglex build INPUT OUTPUT [--allow-duplicates]
    taglex export FILE [-o OUTPUT]
    taglex diff OLD NEW [--json]
    taglex info FILE

Each command is a module of this package with ``HELP``, ``DESCRIPTION``,
``add_arguments(parser)`` and ``run(args) -> exit status``; a new command is
one more module and one more line in :data:`COMMANDS`.

Exit status: 0 when the command did what it was asked, 1 when it failed (one
line on standard error says why: not found, bad input, a file that cannot be
read, opened or written), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from types import ModuleType

from taglex._tags import Tag, format_tag, parse_tag

from . import build, creators, diff, export, find, info, lookup
from ._common import FAILED, PROG, USAGE

__all__ = ["COMMANDS", "Tag", "format_tag", "main", "make_parser", "parse_tag"]

# The commands, in the order of the help text: name and module.
COMMANDS: tuple[tuple[str, ModuleType], ...] = (
    ("lookup", lookup),
    ("find", find),
    ("creators", creators),
    ("build", build),
    ("export", export),
    ("diff", diff),
    ("info", info),
)


def _version() -> str:
    import taglex

    return taglex.__version__


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look up DICOM tags and build or inspect .tlex dictionaries."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, module in COMMANDS:
        p = sub.add_parser(name, help=module.HELP, description=module.DESCRIPTION)
        module.add_arguments(p)
        p.set_defaults(run=module.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version and usage errors
        return e.code if isinstance(e.code, int) else USAGE
    try:
        status: int = args.run(args)
        return status
    except BrokenPipeError:
        # The reader went away (e.g. piped into head); nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return FAILED
