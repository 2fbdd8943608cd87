"""The ``taglex`` command line: look tags up, build and inspect ``.tlex`` files.

Usage::

    taglex lookup TAG|KEYWORD [--creator TEXT] [--dict FILE]... [--json]
    taglex find TEXT [--dict FILE]... [--limit N] [--json]
    taglex creators [TEXT] [--dict FILE]... [--json]
    taglex build INPUT OUTPUT [--allow-duplicates]
    taglex export FILE [-o OUTPUT]
    taglex diff OLD NEW [--json]
    taglex info FILE [--json]
    taglex dump FILE... [--json] [--private] [--dict FILE]... [--force]
    taglex uid TEXT [--json]
    taglex deid [--option NAME]... [--json] [--dict FILE]...

``--dict bundled`` is the bundled dictionary. Bare ``taglex`` prints the help.

Each command is a module of this package with ``DESCRIPTION``,
``add_arguments(parser)`` and ``run(args) -> exit status``; a new command is
one more module and one more line in :data:`COMMANDS`. Only the module of
the command that runs is imported, so that a command starts as fast as it
can.

Every failure is one line on standard error and one of the exit statuses in
:data:`taglex.cli._common.EXIT_STATUSES` (shown by ``taglex --help``).
"""

from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys
import threading
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._common import EXIT_STATUSES, FAILED, INTERRUPTED, OK, PROG, TERMINATED, USAGE, error

if TYPE_CHECKING:
    from types import FrameType

    from taglex._tags import Tag, format_tag, parse_tag

__all__ = ["COMMANDS", "Tag", "format_tag", "main", "make_parser", "parse_tag"]

# The commands, in the order of the help text: the name (also the name of its
# module) and the one-line help.
COMMANDS: tuple[tuple[str, str], ...] = (
    ("lookup", "look a tag or a keyword up"),
    ("find", "search entries by keyword or name"),
    ("creators", "list private creators"),
    ("build", "build a .tlex file from JSON Lines"),
    ("export", "write a .tlex file's records as JSON Lines"),
    ("diff", "compare two dictionaries"),
    ("info", "describe a .tlex file"),
    ("dump", "list the elements of DICOM files"),
    ("uid", "look a UID or a UID keyword up"),
    ("deid", "list the de-identification actions of the elements"),
)


def __getattr__(name: str) -> Any:
    # The tag helpers, kept importable from here without importing them for
    # every command.
    if name in ("Tag", "format_tag", "parse_tag"):
        from taglex import _tags

        return getattr(_tags, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _chosen(argv: Sequence[str]) -> str | None:
    """The command named on the command line: its first argument that is not
    an option (the top-level parser has no option that takes a value)."""
    for arg in argv:
        if arg == "--":
            return None
        if not arg.startswith("-"):
            return arg
    return None


def _version() -> str:
    import taglex

    return taglex.__version__


def make_parser(argv: Sequence[str] | None = None) -> argparse.ArgumentParser:
    """The parser of the command line; only the command that ``argv`` names
    (every command when ``argv`` is None) gets its arguments."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Look up DICOM tags and build or inspect .tlex dictionaries.",
        epilog="exit status:\n"
        + "\n".join(f"  {code:<3}  {meaning}" for code, meaning in EXIT_STATUSES),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    chosen = None if argv is None else _chosen(argv)
    for name, help_text in COMMANDS:
        if argv is not None and name != chosen:
            sub.add_parser(name, help=help_text)
            continue
        module = importlib.import_module(f"{__name__}.{name}")
        p = sub.add_parser(name, help=help_text, description=module.DESCRIPTION)
        module.add_arguments(p)
        p.set_defaults(run=module.run)
    return parser


class _Terminated(BaseException):
    """Raised in the main thread on SIGTERM, so that clean-up code runs."""


class _OnSigterm:
    """The SIGTERM handler while a command runs. A signal that lands inside
    the command unwinds it (raising _Terminated, once); one that lands in
    this module's own code, before the command starts or as it finishes, is
    only noted. Either way the exit status is 143, and only an unwound
    command says "terminated"."""

    def __init__(self) -> None:
        self.armed = True
        self.received = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        self.received = True
        if self.armed and (frame is None or frame.f_globals is not globals()):
            self.armed = False
            raise _Terminated


def _run(args: argparse.Namespace) -> int:
    """The command, with the failures any command can meet turned into their
    exit status."""
    try:
        status: int = args.run(args)
        return status
    except BrokenPipeError:
        # The reader went away (e.g. piped into head); nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return FAILED
    except KeyboardInterrupt:
        error("interrupted")
        return INTERRUPTED


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    parser = make_parser(argv)
    if not argv:
        parser.print_help()  # the bare command: what it can do
        return OK
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version and usage errors
        return e.code if isinstance(e.code, int) else USAGE
    if threading.current_thread() is not threading.main_thread():
        return _run(args)  # signals are the main thread's business
    # On SIGTERM, as on Ctrl-C, unwind instead of dying on the spot, so that
    # a half-written output file is removed.
    handler = _OnSigterm()
    previous = signal.signal(signal.SIGTERM, handler)
    try:
        status = _run(args)
    except _Terminated:
        error("terminated")
        status = TERMINATED
    handler.armed = False
    signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
    if handler.received:  # read once the handler is no longer ours
        status = TERMINATED
    return status
