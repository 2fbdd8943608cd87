"""taglex: a fast, read-only DICOM data dictionary.

``taglex.Dictionary.default()`` answers what people ask of a DICOM
dictionary: a tag in any written form or a keyword, keyword to tag, search
by name, the elements of one private creator, and layers of site or vendor
files in front of the bundled one. ``taglex.datadict`` is a drop-in for
``pydicom.datadict``; ``taglex.uids`` answers UIDs.

``taglex.open(path)`` maps a ``.tlex`` file and returns a ``Dict`` whose
``lookup(group, element, creator=None)`` answers tags straight from the file.
``taglex.open_default()`` opens the dictionary shipped with the package (DICOM
standard and well-known private tags), found at ``taglex.default_path()``.
"""

from __future__ import annotations

from taglex._default import default_path, open_default
from taglex._errors import DamagedDictionaryError
from taglex._taglex import Dict, __version__, open

# typing stays unimported at run time: it would cost more than the rest of
# "import taglex".
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from taglex._core import Deidentification, Entry
    from taglex._dictionary import Dictionary

__all__ = [
    "DamagedDictionaryError",
    "Deidentification",
    "Dict",
    "Dictionary",
    "Entry",
    "open",
    "__version__",
    "default_path",
    "open_default",
]


def __getattr__(name: str) -> Any:
    # The native core under Dictionary is loaded on first use, so that
    # "import taglex" stays as light as opening one file.
    if name == "Dictionary":
        from taglex._dictionary import Dictionary

        return Dictionary
    if name in ("Entry", "Deidentification"):
        from taglex import _core

        return getattr(_core, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
