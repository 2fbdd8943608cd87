"""taglex: a fast, read-only DICOM data dictionary.

``taglex.open(path)`` maps a ``.tlex`` file and returns a ``Dict`` whose
``lookup(group, element, creator=None)`` answers tags straight from the file.
``taglex.open_default()`` opens the dictionary shipped with the package (DICOM
standard and well-known private tags), found at ``taglex.default_path()``.

``taglex.Dictionary.default()`` answers the wider questions: a tag in any
written form or a keyword, keyword to tag, search by name, the elements of
one private creator, and layers of site or vendor files in front of the
bundled one. ``taglex.datadict`` is a drop-in for ``pydicom.datadict``.
"""

from taglex._default import default_path, open_default
from taglex._dictionary import Dictionary, Entry
from taglex._taglex import Dict, __version__, open

__all__ = ["Dict", "Dictionary", "Entry", "open", "__version__", "default_path", "open_default"]
