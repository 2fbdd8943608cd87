"""The dictionary shipped with the package: DICOM standard and private tags."""

from __future__ import annotations

import atexit
import contextlib
import os
from importlib import resources

__all__ = ["default_path", "open_default"]

_RESOURCE = ("data", "dicom.tlex")
_extracted: str | None = None


def default_path() -> str:
    """Return the file-system path of the bundled ``dicom.tlex``.

    For a package installed from a zip archive the file is extracted once to
    a temporary file that lives until the interpreter exits.
    """
    global _extracted
    resource = resources.files("taglex").joinpath(*_RESOURCE)
    if isinstance(resource, os.PathLike):
        return os.fspath(resource)
    if _extracted is None:
        stack = contextlib.ExitStack()
        atexit.register(stack.close)
        _extracted = os.fspath(stack.enter_context(resources.as_file(resource)))
    return _extracted


def open_default():
    """Open the bundled dictionary and return a ``taglex.Dict``."""
    from taglex._taglex import open as _open

    return _open(default_path())
