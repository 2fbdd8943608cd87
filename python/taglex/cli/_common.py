"""What the commands share: the program name, error lines, exit statuses."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator

from taglex._tags import Tag, parse_tag

PROG = "taglex"

# Exit statuses of every command.
OK = 0
FAILED = 1
USAGE = 2
INTERRUPTED = 128 + 2  # SIGINT, as a shell reports it
TERMINATED = 128 + 15  # SIGTERM
EXIT_STATUSES = (
    (OK, "done"),
    (FAILED, "failed: not found, bad input, a file unreadable, damaged or not written"),
    (USAGE, "the command line itself is wrong"),
    (INTERRUPTED, "interrupted (Ctrl-C); nothing left half-written"),
    (TERMINATED, "terminated (SIGTERM); nothing left half-written"),
)


def error(message: str) -> None:
    """One line on standard error."""
    print(f"{PROG}: {message}", file=sys.stderr)


def tag_argument(text: str) -> Tag:
    """argparse type of a TAG argument."""
    try:
        return parse_tag(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def shown(text: str) -> str:
    """A command-line argument as it was typed: its bytes when it holds
    undecodable ones (which Python keeps as lone surrogates)."""
    try:
        return repr(os.fsencode(text))
    except UnicodeEncodeError:
        return ascii(text)


def is_panic(e: BaseException) -> bool:
    """Whether ``e`` is the extension's internal-error exception, which a
    damaged dictionary can raise (it derives from BaseException and lives in
    no module's namespace)."""
    kind = type(e)
    return kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"


@contextlib.contextmanager
def native_reports_silenced() -> Iterator[None]:
    """Send file descriptor 2 to the null device for the duration, so that
    the report the extension writes there before raising its internal-error
    exception does not add lines to the command's one-line error."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


@contextlib.contextmanager
def damage_as_value_error() -> Iterator[None]:
    """While reading a dictionary's records: the internal-error exception of
    a damaged file becomes a ValueError with its message, and the report
    the extension writes to file descriptor 2 is silenced."""
    with native_reports_silenced():
        try:
            yield
        except BaseException as e:
            if is_panic(e):
                raise ValueError(str(e)) from None
            raise
