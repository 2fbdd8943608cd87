"""Replacing a file in one step: the rules every writer of a file follows.

``taglex.writer.write``, the commands that write a file (``taglex build``,
``taglex export -o``) and the generators in ``tools/`` all write through
:func:`replacing` (or :func:`write_bytes` / :func:`write_text`):

- a target that exists must be a regular file: a device, a FIFO, a socket or
  a folder is refused and left alone, and so is the file a command reads
  (one of ``inputs``) or the regular file on its standard input;
- a symbolic link is followed, and the regular file it points to replaced;
- the new file is written under a temporary name in the target's folder,
  synced to disk and renamed over the target, which keeps its permission
  bits; a new file gets ``0o666`` less the umask;
- if anything fails, Ctrl-C and SIGTERM included, the temporary file is
  removed and the target is left as it was.

Refusals raise :class:`FileExistsError` whose ``strerror`` says why; an
empty path raises :class:`ValueError`.

The module uses the standard library alone, so that the generators can load
it from the source tree (``python/taglex`` on ``sys.path``) without the
compiled extension.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import signal
import stat
import sys
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator
    from typing import IO, Any

__all__ = ["check", "replacing", "write_bytes", "write_text"]

_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def _refuse(path: str, why: str) -> FileExistsError:
    return FileExistsError(errno.EEXIST, f"{why}; refusing to replace it", path)


def _target(path: str) -> tuple[str, os.stat_result | None]:
    """The file that writing ``path`` replaces (links followed) and what it is
    now (None if nothing), after refusing anything but a regular file."""
    target = os.path.realpath(path)
    try:
        info = os.stat(target)
    except FileNotFoundError:
        return target, None
    if not stat.S_ISREG(info.st_mode):
        kind = next((name for test, name in _KINDS if test(info.st_mode)), "not a regular file")
        raise _refuse(path, f"not a regular file ({kind})")
    return target, info


def _same(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def check(
    path: str | os.PathLike[str],
    *,
    inputs: Iterable[str | os.PathLike[str]] = (),
    stdin: bool = False,
) -> str:
    """Refuse ``path`` as a target if writing it would destroy something;
    return the file that a write replaces (``path`` with links followed).

    ``inputs`` are files the caller reads (a target that is one of them is
    refused); with ``stdin``, so is the regular file on standard input.
    """
    name = os.fspath(path)
    if not name:
        raise ValueError("the output path is empty")
    target, info = _target(name)
    if info is None:
        return target
    for source in inputs:
        try:
            same = _same(os.stat(source), info)
        except (OSError, ValueError):
            continue  # an input that is not there is no file to protect
        if same:
            raise _refuse(name, f"the same file as the input {os.fspath(source)}")
    if stdin:
        try:
            fd = sys.stdin.fileno() if sys.stdin is not None else 0
            on_stdin = os.fstat(fd)
        except (OSError, ValueError):
            pass  # no standard input
        else:
            if stat.S_ISREG(on_stdin.st_mode) and _same(on_stdin, info):
                raise _refuse(name, "the same file as standard input")
    return target


class _Terminated(BaseException):
    """SIGTERM arrived while a temporary file existed (and nobody else
    handles SIGTERM): the file is removed, then the process ends by the
    signal as it would have."""


def _raise_terminated(signum: int, frame: object) -> None:
    raise _Terminated


# The signals whose Python handler may raise between two statements; they
# are held while a temporary file is made and named, and while it is removed.
_HELD = {signal.SIGINT, signal.SIGTERM}


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _fsync_dir(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # a folder we cannot open for reading: nothing more we can do
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


def _unlink(path: str) -> None:
    with _signals_held():
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


@contextlib.contextmanager
def replacing(
    path: str | os.PathLike[str],
    *,
    inputs: Iterable[str | os.PathLike[str]] = (),
    stdin: bool = False,
    text: bool = False,
) -> Iterator[IO[Any]]:
    """A file to write the new contents of ``path`` to; when the block ends
    without an exception the file is synced and renamed over ``path``,
    otherwise removed. ``text`` gives a UTF-8 text file with ``\\n`` line
    ends, else a binary one. See :func:`check` for ``inputs`` and ``stdin``.
    """
    name = os.fspath(path)
    inputs = list(inputs)
    target = check(name, inputs=inputs, stdin=stdin)
    folder, base = os.path.split(target)

    # Unless the program handles SIGTERM itself, it would end the process
    # with the temporary file left behind: clean up first, then end.
    own_sigterm = (
        threading.current_thread() is threading.main_thread()
        and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
    )
    if own_sigterm:
        signal.signal(signal.SIGTERM, _raise_terminated)
    tmp: str | None = None
    fd = -1
    try:
        while tmp is None:
            candidate = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
            with _signals_held():  # the file exists only once its name is kept
                try:
                    fd = os.open(
                        candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666
                    )
                except FileExistsError:
                    continue
                tmp = candidate
        f = os.fdopen(fd, "w", encoding="utf-8", newline="\n") if text else os.fdopen(fd, "wb")
        fd = -1  # f owns it now
        with f:
            info = _target(name)[1]
            if info is not None:
                os.fchmod(f.fileno(), stat.S_IMODE(info.st_mode))
            yield f
            f.flush()
            os.fsync(f.fileno())
        check(name, inputs=inputs, stdin=stdin)  # nothing else took its place meanwhile
        os.replace(tmp, target)
        tmp = None
        _fsync_dir(folder)
    except BaseException as e:
        if fd >= 0:
            os.close(fd)
        if tmp is not None:
            _unlink(tmp)
        if isinstance(e, _Terminated):
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGTERM)
        raise
    finally:
        if own_sigterm and signal.getsignal(signal.SIGTERM) == _raise_terminated:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


def write_bytes(
    path: str | os.PathLike[str],
    data: bytes,
    *,
    inputs: Iterable[str | os.PathLike[str]] = (),
    stdin: bool = False,
) -> None:
    """Replace ``path`` with ``data`` in one step (see :func:`replacing`)."""
    with replacing(path, inputs=inputs, stdin=stdin) as f:
        f.write(data)


def write_text(
    path: str | os.PathLike[str],
    text: str,
    *,
    inputs: Iterable[str | os.PathLike[str]] = (),
    stdin: bool = False,
) -> None:
    """Replace ``path`` with ``text`` in UTF-8 in one step (see :func:`replacing`)."""
    with replacing(path, inputs=inputs, stdin=stdin, text=True) as f:
        f.write(text)
