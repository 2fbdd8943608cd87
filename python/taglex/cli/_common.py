"""What the commands share: the program name, error lines, exit statuses,
opening dictionaries and writing files."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from taglex._tags import Tag, parse_tag

if TYPE_CHECKING:
    from taglex import Dictionary

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


# The name --dict takes for the dictionary bundled with the package.
BUNDLED = "bundled"
DICT_HELP = (
    f"a .tlex file ('{BUNDLED}': the one shipped with taglex) instead of the bundled "
    "one; repeat for layers, first wins"
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


def dictionary_files(paths: Sequence[str] | None) -> list[str] | None:
    """The files of the --dict options, BUNDLED standing for the bundled
    file; None for none given (the bundled dictionary)."""
    if not paths:
        return None
    from taglex import default_path

    return [default_path() if p == BUNDLED else p for p in paths]


def open_dictionary(paths: Sequence[str] | None) -> Dictionary | None:
    """The Dictionary of the --dict files (the bundled one if none); None,
    after an error line, if one does not open."""
    from taglex import Dictionary

    files = dictionary_files(paths)
    try:
        return Dictionary.default() if files is None else Dictionary(files)
    except (OSError, ValueError) as e:
        error(open_failure(_culprit(files, e), e))
        return None


def _culprit(files: list[str] | None, e: BaseException) -> str:
    """The file of ``files`` that made opening them all fail."""
    from taglex import Dictionary, default_path

    if files is None:
        return default_path()
    for path in files:
        try:
            Dictionary([path])
        except (OSError, ValueError):
            return path
    return ", ".join(files)


def open_failure(path: str, e: BaseException) -> str:
    """The line for a file that did not open as a dictionary. It depends on
    the file, not on the class of the exception the open raised: the
    system's reason for a file that cannot be read, "not a taglex
    dictionary" for one that is something else."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as oe:
        return f"cannot read {path}: {oe.strerror or oe}"
    try:
        kind = os.fstat(fd).st_mode
        magic = os.pread(fd, 4, 0) if stat.S_ISREG(kind) else b""
    except OSError as oe:
        return f"cannot read {path}: {oe.strerror or oe}"
    finally:
        os.close(fd)
    if stat.S_ISDIR(kind):
        return f"cannot read {path}: Is a directory"
    if not stat.S_ISREG(kind):
        return f"cannot read {path}: not a regular file"
    reason = str(e)
    if reason.startswith(f"{path} is "):
        return reason  # taglex.DamagedDictionaryError says it all
    for prefix in (f"cannot open {path}: ", f"{path}: "):
        if reason.startswith(prefix):
            reason = reason[len(prefix) :]
            break
    if magic != b"TLEX":
        return f"{path} is not a taglex dictionary: {reason}"
    return f"cannot open {path}: {reason}"


def cannot_write(path: str, e: OSError | ValueError) -> None:
    """The error line for an output file that was refused or not written."""
    reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
    error(f"cannot write {path or repr(path)}: {reason}")


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
