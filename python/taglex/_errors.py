"""The exceptions of the package (the extension modules raise them too)."""

from __future__ import annotations

__all__ = ["DamagedDictionaryError"]


class DamagedDictionaryError(OSError):
    """A file that is not a taglex dictionary, or a damaged one, or one of a
    version this taglex cannot read.

    The message says what is wrong in words and ``filename`` names the file;
    the library's own account of the failure is the exception's note.
    """

    __module__ = "taglex"

    def __str__(self) -> str:
        # The message alone: OSError would show "[Errno None] None: FILE".
        if len(self.args) == 1:
            return str(self.args[0])
        return super().__str__()
