"""taglex: a fast, read-only DICOM data dictionary.

``taglex.open(path)`` maps a ``.tlex`` file and returns a ``Dict`` whose
``lookup(group, element, creator=None)`` answers tags straight from the file.
``taglex.open_default()`` opens the dictionary shipped with the package (DICOM
standard and well-known private tags), found at ``taglex.default_path()``.
"""

from taglex._default import default_path, open_default
from taglex._taglex import Dict, __version__, open

__all__ = ["Dict", "open", "__version__", "default_path", "open_default"]
