"""taglex: a fast, read-only DICOM data dictionary.

``taglex.open(path)`` maps a ``.tlex`` file and returns a ``Dict`` whose
``lookup(group, element, creator=None)`` answers tags straight from the file.
"""

from taglex._taglex import Dict, __version__, open

__all__ = ["Dict", "open", "__version__"]
