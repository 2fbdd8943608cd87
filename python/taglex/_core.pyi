"""Type information for the extension module taglex._core."""

import os
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, TypeAlias, final

from typing_extensions import disjoint_base

__version__: str

class PanicException(BaseException): ...

@final
class Deidentification(tuple[str, Mapping[str, str]]):
    """The de-identification actions of one element (PS3.15 Table E.1-1)."""

    n_fields: int
    n_sequence_fields: int
    n_unnamed_fields: int
    __match_args__: tuple[str, str]
    def __replace__(self, **changes: Any) -> Deidentification: ...
    @property
    def basic(self) -> str: ...
    @property
    def options(self) -> Mapping[str, str]: ...

@final
class Entry:
    """One data element of a dictionary: the fields of its record, the tag
    as asked, and what its description says (VM, VRs, history,
    de-identification). Immutable; made by taglex.Dictionary."""

    @property
    def group(self) -> int: ...
    @property
    def element(self) -> int: ...
    @property
    def creator(self) -> str: ...
    @property
    def keyword(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def vr(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def retired(self) -> bool: ...
    @property
    def block_offset(self) -> bool: ...
    @property
    def sources(self) -> list[str]: ...
    @property
    def tag(self) -> int: ...
    @property
    def vm(self) -> str | None: ...
    @property
    def vm_min(self) -> int | None: ...
    @property
    def vm_max(self) -> int | None: ...
    @property
    def vm_step(self) -> int: ...
    @property
    def vrs(self) -> tuple[str, ...]: ...
    @property
    def layer(self) -> str | None: ...
    @property
    def since(self) -> str | None: ...
    @property
    def former_keywords(self) -> tuple[str, ...]: ...
    @property
    def deidentification(self) -> Deidentification | None: ...
    @property
    def safe_private(self) -> bool: ...
    def as_dict(self) -> dict[str, Any]:
        """The ten stored fields as a new dict, as Dict.lookup gives them."""
    def __copy__(self) -> Entry: ...
    def __deepcopy__(self, memo: object, /) -> Entry: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Layer:
    """One open dictionary file of a Dictionary."""

@final
class EntriesIterator(Iterator[Entry]):
    def __next__(self) -> Entry: ...

_TagLike: TypeAlias = int | tuple[int, int] | str
_Paths: TypeAlias = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]

@disjoint_base
class Dictionary:
    """One or more .tlex files, searched in order."""

    def __new__(cls, paths: _Paths) -> Dictionary: ...
    @property
    def paths(self) -> tuple[str, ...]:
        """The paths of the layers, in order."""
    def get(self, tag: _TagLike, creator: str | None = None) -> Entry | None: ...
    def keyword_for_tag(self, tag: _TagLike, creator: str | None = None) -> str | None: ...
    def tag_for_keyword(self, keyword: str, creator: str | None = None) -> int | None: ...
    def keywords(self, creator: str | None = None) -> list[str]: ...
    def creators(self) -> list[str]: ...
    def has_creator(self, creator: str) -> bool: ...
    def elements(self, creator: str) -> list[Entry]: ...
    def private_entries(self, tag: _TagLike) -> list[Entry]: ...
    def matching(self, name: str, keyword: str) -> list[Entry]: ...
    def repeaters(self) -> list[tuple[str, str]]: ...
    def stats(self) -> list[dict[str, Any]]: ...
    def records(self, layer: int = 0) -> list[dict[str, Any]]: ...
    def __getitem__(self, key: _TagLike | tuple[_TagLike, str | None], /) -> Entry: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[Entry]: ...

def creator_hash(text: str) -> int:
    """The hash a private creator is indexed under: FNV-1a 32 of its canonical form."""

def canonicalize_creator(text: str) -> str:
    """The canonical form of a private creator: split at white space, joined with
    one space, upper-cased (Unicode 17.0 full mapping)."""

def parse_tag(text: str) -> tuple[int, int, bool]:
    """(group, element, block) of a tag written (gggg,eeee), gggg,eeee, ggggeeee,
    0xggggeeee or (gggg,xxee); ValueError for anything else."""

def format_tag(group: int, element: int, block: object = False) -> str:
    """(GGGG,EEEE), or (GGGG,xxEE) for a block-form private element."""

def parse_description(text: str) -> dict[str, Any]:
    """What a description says: vm, vr, vrs, repeating, since, formerly,
    deidentification ((basic, {option: action}) or None) and also."""

def compose_description(
    vm: str | None = None,
    vrs: Iterable[str] | None = None,
    repeating: str | None = None,
    since: str | None = None,
    formerly: Iterable[str] = (),
    deidentification: str | None = None,
    options: Mapping[str, str] | Iterable[tuple[str, str]] = (),
    differences: Iterable[tuple[str, Iterable[str]]] = (),
    listed: str | None = None,
    disputed: Mapping[str, str] | Iterable[tuple[str, str]] = (),
    also: Iterable[tuple[str, str, bool]] = (),
    notes: Iterable[str] = (),
) -> str:
    """The description text of these parts, in the grammar parse_description reads;
    ValueError for a part that cannot be written."""

def datadict_entry(dictionary: Dictionary, tag: int) -> tuple[str, str, str, str, str] | None:
    """(VR, VM, name, 'Retired' or '', keyword) of a standard element as pydicom's
    datadict gives it, repeating groups included; None if unknown."""

def datadict_has_tag(dictionary: Dictionary, tag: int) -> bool:
    """Whether the tag is a standard element that is not a repeating group's."""

def datadict_private_entry(
    dictionary: Dictionary, tag: int, creator: str
) -> tuple[str, str, str, str] | None:
    """(VR, VM, name, 'Retired' or '') of a private element of a creator; None if unknown."""
