"""Private elements typed and named in pydicom datasets.

``fix_private_vrs(ds)`` gives every private element that pydicom read as
``UN`` (an Implicit VR file, or a writer that stored it as UN) the VR the
taglex dictionary gives it, found through the block's creator spelt in any
case or spacing, and decodes its value with pydicom's own machinery, exactly
as pydicom decodes an element of that VR read from the same file.
``describe(ds)`` names every element of a dataset, nested ones with their
path.

This module needs pydicom 3 (``pip install 'taglex[pydicom]'``); importing
``taglex`` alone never imports pydicom.
"""

from __future__ import annotations

from collections.abc import Iterator, MutableSequence
from typing import Any, NamedTuple, Protocol

try:
    import pydicom as _pydicom
except ImportError as _error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "taglex.pydicom needs pydicom 3; install it with: pip install 'taglex[pydicom]'"
    ) from _error

if int(_pydicom.__version__.split(".")[0]) < 3:  # pragma: no cover
    raise ImportError(
        f"taglex.pydicom needs pydicom 3, not {_pydicom.__version__}; "
        "install it with: pip install 'taglex[pydicom]'"
    )

from pydicom.charset import convert_encodings, default_encoding
from pydicom.datadict import dictionary_VR
from pydicom.dataelem import DataElement, RawDataElement, convert_raw_data_element
from pydicom.dataset import Dataset
from pydicom.hooks import hooks
from pydicom.multival import MultiValue
from pydicom.tag import BaseTag
from pydicom.values import converters

__all__ = ["Described", "describe", "fix_private_vrs"]

_UN = "UN"
_SQ = "SQ"
_CHARSET = 0x00080005
_PIXEL_REPRESENTATION = 0x00280103
_PIXEL_DATA = 0x7FE00010


class _Entry(Protocol):
    """What this module reads of a dictionary entry."""

    @property
    def vr(self) -> str: ...

    @property
    def vrs(self) -> tuple[str, ...]: ...

    @property
    def name(self) -> str: ...


class _Dictionary(Protocol):
    """What this module asks of a dictionary (``taglex.Dictionary`` has it)."""

    def get(self, tag: int, creator: str | None = None) -> _Entry | None: ...


class Described(NamedTuple):
    """One element of a dataset, as ``describe`` yields it.

    ``path`` holds the (sequence tag, item index) pairs that lead from the
    top dataset to the item holding the element; it is empty at the top.
    ``creator`` is the private creator of a private data element (None for
    standard elements, creator elements and elements of a block without a
    creator); ``entry`` is the dictionary's entry, or None.
    """

    path: tuple[tuple[int, int], ...]
    tag: int
    creator: str | None
    entry: Any
    element: DataElement


# --- the dictionary -------------------------------------------------------------


def _default_dictionary() -> _Dictionary:
    from taglex import Dictionary

    return Dictionary.default()


def _entry(dictionary: _Dictionary, tag: int, creator: str | None) -> _Entry | None:
    """The dictionary's entry for a tag (a private one with its creator)."""
    return dictionary.get(tag, creator)


# --- tags -----------------------------------------------------------------------


def _is_private_data(tag: int) -> bool:
    """A private data element (gggg,bbee): odd group above 0007, block 10-FF."""
    group = tag >> 16
    return group & 1 == 1 and group > 0x0007 and tag & 0xFF00 != 0


def _is_private_creator(tag: int) -> bool:
    group = tag >> 16
    return group & 1 == 1 and group > 0x0007 and 0x10 <= tag & 0xFFFF <= 0xFF


def _creator_tag(tag: int) -> int:
    return (tag & 0xFFFF0000) | ((tag >> 8) & 0xFF)


# --- one dataset at a time ------------------------------------------------------


class _Level:
    """What decoding an element of one dataset needs: its character set, its
    byte order and VR encoding (for values already turned into UN bytes), its
    ancestors, and the creators of its blocks, read once."""

    __slots__ = ("ds", "ancestors", "encoding", "implicit", "little", "_creators")

    def __init__(
        self,
        ds: Dataset,
        ancestors: tuple[Dataset, ...],
        encoding: str | MutableSequence[str],
        implicit: bool,
        little: bool,
    ) -> None:
        self.ds = ds
        self.ancestors = ancestors
        read_implicit, read_little = ds.original_encoding
        self.implicit = implicit if read_implicit is None else read_implicit
        self.little = little if read_little is None else read_little
        own = ds.original_character_set
        if not own and _CHARSET in ds:
            own = convert_encodings(ds[_CHARSET].value)
        self.encoding = own or encoding
        self._creators: dict[int, str | None] = {}

    def child(self, item: Dataset) -> _Level:
        return _Level(item, (self.ds, *self.ancestors), self.encoding, self.implicit, self.little)

    def creator(self, tag: int) -> str | None:
        """The creator text of the block of a private data element, or None."""
        key = _creator_tag(tag)
        try:
            return self._creators[key]
        except KeyError:
            pass
        text = self._read_creator(key)
        self._creators[key] = text
        return text

    def _read_creator(self, key: int) -> str | None:
        if key not in self.ds:
            return None
        try:
            value: Any = self.ds[key].value
            if isinstance(value, bytes):  # kept as UN by a reader that was told to
                raw = RawDataElement(
                    BaseTag(key), "LO", len(value), value, 0, self.implicit, self.little
                )
                value = convert_raw_data_element(raw, encoding=self.encoding).value
        except Exception:
            return None
        if isinstance(value, MultiValue):
            value = "\\".join(str(v) for v in value)
        if not isinstance(value, str) or not value.strip():
            return None
        return value

    def pixel_representation(self) -> int | None:
        """The pixel representation pydicom would use for a US or SS element."""
        for ds in (self.ds, *self.ancestors):
            if _PIXEL_REPRESENTATION in ds:
                value = ds[_PIXEL_REPRESENTATION].value
                if isinstance(value, int):
                    return value
        if _PIXEL_DATA not in self.ds:
            return 0  # no pixels: pydicom takes US
        return None


def _chosen_vr(entry: _Entry, level: _Level) -> str | None:
    """The single VR for an entry, alternatives resolved as pydicom resolves
    them for the standard's ambiguous elements, or None to leave it alone."""
    vrs: tuple[str, ...] = tuple(entry.vrs) or (entry.vr,)
    if len(vrs) == 1:
        vr = vrs[0]
    elif set(vrs) == {"OB", "OW"}:
        # Implicit VR data is always OW; an explicit writer chose for itself.
        vr = "OW" if level.implicit else ""
    elif set(vrs) == {"US", "SS"}:
        rep = level.pixel_representation()
        vr = "" if rep is None else ("US" if rep == 0 else "SS")
    else:
        vr = ""
    if not vr or vr == _UN or vr not in converters:
        return None
    return vr


def _pydicom_vr(item: RawDataElement, level: _Level) -> str:
    """The VR pydicom gives a raw element when it decodes it: its own, or
    the one its dictionaries give (a private one's under its creator, spelt
    exactly), or UN."""
    data: dict[str, Any] = {}
    hooks.raw_element_vr(item, data, encoding=level.encoding, ds=level.ds, **hooks.raw_element_kwargs)
    return str(data["VR"])


def _is_un(item: DataElement | RawDataElement, level: _Level) -> bool:
    """Whether pydicom reads (or has read) the element as UN."""
    if isinstance(item, DataElement):
        return item.VR == _UN and isinstance(item.value, (bytes, type(None)))
    if item.VR is not None and item.VR != _UN:
        return False
    return _pydicom_vr(item, level) == _UN


def _is_sequence(tag: int, item: DataElement | RawDataElement, level: _Level) -> bool:
    """Whether the element is a sequence as pydicom decodes it. A private one
    without a VR is one if pydicom's private dictionary says so under its
    creator spelt exactly (one it reads as UN was left to _fix_one)."""
    if item.VR is not None:
        return item.VR == _SQ
    if tag >> 16 & 1:
        assert isinstance(item, RawDataElement)
        return _pydicom_vr(item, level) == _SQ
    try:
        return bool(dictionary_VR(tag) == _SQ)
    except KeyError:
        return False


def _fix_one(tag: int, item: DataElement | RawDataElement, level: _Level, dictionary: _Dictionary) -> DataElement | None:
    """The element with its dictionary VR, or None to leave it as it is."""
    if _is_private_creator(tag):
        vr: str | None = "LO"
    else:
        creator = level.creator(tag)
        if creator is None:
            return None
        entry = _entry(dictionary, tag, creator)
        if entry is None:
            return None
        vr = _chosen_vr(entry, level)
    if vr is None:
        return None
    undefined = False
    if isinstance(item, RawDataElement):
        raw = item._replace(VR=vr)
    else:
        value = item.value if item.value is not None else b""
        assert isinstance(value, bytes)
        undefined = item.is_undefined_length
        raw = RawDataElement(
            BaseTag(tag), vr, len(value), value, item.file_tell or 0, level.implicit, level.little
        )
    try:
        fixed = convert_raw_data_element(raw, encoding=level.encoding, ds=level.ds)
    except Exception:
        return None  # bytes that do not decode as the dictionary's VR
    if fixed.VR != vr:
        return None  # pydicom's value hook gave up on it
    if undefined:
        fixed.is_undefined_length = True
    return fixed


def _fix(level: _Level, dictionary: _Dictionary) -> int:
    ds = level.ds
    changed = 0
    sequences = []
    for tag in list(ds.keys()):
        item = ds.get_item(tag)
        if item is None:
            continue
        if tag >> 16 & 1 and (_is_private_data(tag) or _is_private_creator(tag)):
            if _is_un(item, level):
                if isinstance(item, RawDataElement) and item.value is None and item.length:
                    item = ds[tag]  # a deferred value: read it now
                fixed = _fix_one(tag, item, level, dictionary)
                if fixed is not None:
                    ds[tag] = fixed
                    changed += 1
                    item = fixed
        if _is_sequence(tag, item, level):
            sequences.append(tag)
    for tag in sequences:
        for child in ds[tag].value:
            changed += _fix(level.child(child), dictionary)
    return changed


def _top(ds: Dataset) -> _Level:
    implicit, little = ds.original_encoding
    return _Level(
        ds,
        (),
        default_encoding,
        True if implicit is None else implicit,
        True if little is None else little,
    )


# --- the public functions -------------------------------------------------------


def fix_private_vrs(ds: Dataset, dictionary: Any = None) -> int:
    """Type the private elements of ``ds`` that pydicom read as UN.

    Every private element of VR UN, in nested sequences too, whose block has
    a creator element and which ``dictionary`` (a ``taglex.Dictionary``; the
    bundled one by default) knows under that creator, in any spelling, is
    replaced by an element of the dictionary's VR whose value pydicom decodes
    from the same bytes, byte order and character set. A private sequence so
    decoded is fixed in turn. Creator elements read as UN become LO.

    Where the dictionary gives alternatives, "OB or OW" becomes OW in
    Implicit VR data and "US or SS" follows the pixel representation, as
    pydicom decides for the standard's elements; other alternatives, elements
    without a creator, elements the dictionary does not know and bytes that
    do not decode as the VR are left untouched. Returns how many elements
    were changed.
    """
    d = _checked("fix_private_vrs", ds, dictionary)
    return _fix(_top(ds), d)


def describe(ds: Dataset, dictionary: Any = None) -> Iterator[Described]:
    """Yield every element of ``ds``, nested ones after their sequence, with
    its path, its private creator and the dictionary's entry (or None)."""
    d = _checked("describe", ds, dictionary)
    return _describe(_top(ds), (), d)


def _checked(function: str, ds: object, dictionary: Any) -> _Dictionary:
    """The dictionary to use, after a TypeError for arguments of the wrong kind."""
    if not isinstance(ds, Dataset):
        raise TypeError(f"{function} needs a pydicom Dataset, not {type(ds).__name__}")
    if dictionary is None:
        return _default_dictionary()
    if not callable(getattr(dictionary, "get", None)):
        raise TypeError(
            f"{function}: dictionary must be a taglex.Dictionary (or None for the bundled "
            f"one), not {type(dictionary).__name__}"
        )
    d: _Dictionary = dictionary
    return d


def _describe(level: _Level, path: tuple[tuple[int, int], ...], d: _Dictionary) -> Iterator[Described]:
    for element in level.ds:
        tag = int(element.tag)
        creator: str | None = None
        if _is_private_data(tag):
            creator = level.creator(tag)
            entry = None if creator is None else _entry(d, tag, creator)
        elif _is_private_creator(tag) or tag >> 16 & 1:
            entry = None
        else:
            entry = _entry(d, tag, None)
        yield Described(path, tag, creator, entry, element)
        if element.VR == _SQ and element.value is not None:
            for index, item in enumerate(element.value):
                yield from _describe(level.child(item), (*path, (tag, index)), d)
