"""Type information for the extension module taglex._taglex."""

import os
from typing import Literal, TypedDict, final, type_check_only

__all__ = ["Dict", "open", "__version__"]

__version__: str

@type_check_only
class LookupResult(TypedDict):
    """The description of one data element, as returned by ``Dict.lookup``.

    Only a type: at run time a lookup returns a plain ``dict``.
    """

    group: int
    element: int
    creator: str
    keyword: str
    name: str
    vr: str
    description: str
    retired: bool
    block_offset: bool
    sources: list[str]

@final
class Dict:
    """Opaque handle holding an mmap'd dictionary."""

    def lookup(self, group: int, element: int, creator: str | None = None) -> LookupResult | None:
        """Look up a tag. Returns a dict or `None`.

        `element` is the low byte for private tags (the "xx" form).
        """

    def __len__(self) -> int: ...
    def __enter__(self) -> Dict:
        """Context-manager support (no-op - mmap is released on drop)."""

    def __exit__(
        self,
        _exc_type: object = None,
        _exc: object = None,
        _tb: object = None,
    ) -> Literal[False]: ...

def open(path: str | os.PathLike[str]) -> Dict:
    """Open a `.tlex` file. Raises `IOError` on missing file or corruption,
    `ValueError` on unsupported version."""
