"""The dictionary shipped with the package: DICOM standard and private tags."""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from taglex._taglex import Dict

__all__ = ["default_path", "open_default"]

_RESOURCE = ("data", "dicom.tlex")
_extracted: str | None = None


def default_path() -> str:
    """Return the file-system path of the bundled ``dicom.tlex``.

    For a package installed from a zip archive the file is extracted once to
    a temporary file that lives until the interpreter exits.
    """
    # The usual case, an installed package on disk, needs no importlib
    # machinery (importing importlib.resources costs more than opening the
    # dictionary itself).
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), *_RESOURCE)
    if os.path.isfile(beside):
        return beside
    return _from_resources()


def _from_resources() -> str:
    import atexit
    import contextlib
    from importlib import resources

    global _extracted
    resource = resources.files("taglex").joinpath(*_RESOURCE)
    if isinstance(resource, os.PathLike):
        return str(os.fspath(resource))
    if _extracted is None:
        stack = contextlib.ExitStack()
        atexit.register(stack.close)
        _extracted = os.fspath(stack.enter_context(resources.as_file(resource)))
    return _extracted


def open_default() -> Dict:
    """Open the bundled dictionary and return a ``taglex.Dict``."""
    from taglex._taglex import open as _open

    return _open(default_path())
