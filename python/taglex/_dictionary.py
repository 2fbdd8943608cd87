"""``taglex.Dictionary``: the questions people ask of a DICOM dictionary.

A :class:`Dictionary` is one or more ``.tlex`` files searched in order (the
first hit wins). ``get`` answers a tag in any of the forms people write it;
the reverse questions (keyword to tag, search by name, the elements of one
creator, iteration) are answered from a keyword index, prebuilt for the
bundled file and built on first use for any other.

Entries are :class:`Entry` objects: thin wrappers over the ``dict`` that
``taglex._taglex.Dict.lookup`` returns, which read its fields on access and
parse the VM and the VR alternatives from the description only when asked.
"""

from __future__ import annotations

import os

from taglex._taglex import Dict, open as _open

# typing and collections.abc are left unimported at run time: importing them
# would double the cost of "import taglex".
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any, ClassVar, TypeAlias, overload

    from taglex import _format
    from taglex._index import KeywordIndex
    from taglex._taglex import LookupResult

    TagLike: TypeAlias = int | tuple[int, int] | str
    PathLike: TypeAlias = str | os.PathLike[str]

__all__ = ["Dictionary", "Entry", "parse_vm", "parse_vrs"]

# The first block of private elements: the tag an entry in block form shows
# when it was not reached through a full private tag.
FIRST_BLOCK = 0x10


def parse_vm(description: str) -> str | None:
    """The VM a description starts with ("VM 1-n" gives "1-n"), or None."""
    if not description.startswith("VM "):
        return None
    vm = description[3:].partition(";")[0].strip()
    return vm or None


def _vm_bounds(vm: str | None) -> tuple[int | None, int | None, int]:
    """(min, max, step) of a VM text: "1" (1, 1, 1), "1-3" (1, 3, 1),
    "1-n" (1, None, 1), "2-2n" (2, None, 2); (None, None, 1) if unreadable."""
    if vm is None:
        return None, None, 1
    low, dash, high = vm.partition("-")
    if not low.isdigit():
        return None, None, 1
    lo = int(low)
    if not dash:
        return lo, lo, 1
    if high.isdigit():
        return lo, int(high), 1
    if high == "n":
        return lo, None, 1
    if high.endswith("n") and high[:-1].isdigit():
        return lo, None, int(high[:-1])
    return lo, None, 1


def _is_vr_token(token: str) -> bool:
    return (
        len(token) >= 2
        and token.isascii()
        and token.isupper()
        and token.replace("_", "").isalpha()
    )


def vr_text(description: str) -> str | None:
    """The VR text noted after the VM ("VM 1; VR OB or OW" gives "OB or OW"),
    or None when the description notes no VR alternatives."""
    parts = description.split("; ", 2)
    if len(parts) < 2 or not parts[0].startswith("VM ") or not parts[1].startswith("VR "):
        return None
    text = parts[1][3:]
    if all(_is_vr_token(t) for t in text.split(" or ")):
        return text
    return None


def parse_vrs(description: str, vr: str) -> tuple[str, ...]:
    """The VR alternatives of an entry: those the description lists after its
    VM ("VM 1; VR US or SS or OW"), else the stored VR alone."""
    text = vr_text(description)
    if text is None:
        return (vr,)
    out: list[str] = []
    for token in text.split(" or "):
        out.extend(token.split("_") if token == "OB_OW" else (token,))
    return tuple(out)


class Entry:
    """One data element of a dictionary.

    The ten fields of a ``Dict.lookup`` result (``group``, ``element``,
    ``creator``, ``keyword``, ``name``, ``vr``, ``description``, ``retired``,
    ``block_offset``, ``sources``), plus ``tag`` (the full tag, see below),
    ``vm`` (e.g. "1-n", or None when the description states none) with its
    bounds ``vm_min``, ``vm_max`` (None: no upper bound) and ``vm_step``, the
    VR alternatives ``vrs`` (e.g. ("OB", "OW")) and ``layer``, the path of the
    file that answered (None for the built-in "Private Creator" answer).

    ``tag`` is ``group << 16 | element`` for a standard element. For a private
    element in block form (``block_offset`` true, ``element`` the low byte) it
    is the full tag that was asked for, such as 0x00291010, or, when the entry
    was reached without one (a keyword, iteration, ``"(0029,xx10)"``), the tag
    in the first private block, 0xGGGG10EE.
    """

    __slots__ = ("_r", "_tag")
    layer: ClassVar[str | None] = None
    _r: LookupResult
    _tag: int

    def __init__(self, result: LookupResult) -> None:
        self._r = result

    # The ten stored fields.
    @property
    def group(self) -> int:
        return self._r["group"]

    @property
    def element(self) -> int:
        return self._r["element"]

    @property
    def creator(self) -> str:
        return self._r["creator"]

    @property
    def keyword(self) -> str:
        return self._r["keyword"]

    @property
    def name(self) -> str:
        return self._r["name"]

    @property
    def vr(self) -> str:
        return self._r["vr"]

    @property
    def description(self) -> str:
        return self._r["description"]

    @property
    def retired(self) -> bool:
        return self._r["retired"]

    @property
    def block_offset(self) -> bool:
        return self._r["block_offset"]

    @property
    def sources(self) -> list[str]:
        return self._r["sources"]

    # Derived fields.
    @property
    def tag(self) -> int:
        try:
            return self._tag
        except AttributeError:
            r = self._r
            if r["block_offset"]:
                return r["group"] << 16 | FIRST_BLOCK << 8 | r["element"]
            return r["group"] << 16 | r["element"]

    @property
    def vm(self) -> str | None:
        return parse_vm(self._r["description"])

    @property
    def vm_min(self) -> int | None:
        return _vm_bounds(self.vm)[0]

    @property
    def vm_max(self) -> int | None:
        return _vm_bounds(self.vm)[1]

    @property
    def vm_step(self) -> int:
        return _vm_bounds(self.vm)[2]

    @property
    def vrs(self) -> tuple[str, ...]:
        return parse_vrs(self._r["description"], self._r["vr"])

    def as_dict(self) -> dict[str, Any]:
        """The ten stored fields as a new ``dict``, as ``Dict.lookup`` gives them."""
        r: dict[str, Any] = {**self._r}
        r["sources"] = list(self._r["sources"])
        return r

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Entry):
            return NotImplemented
        return self._r == other._r and self.tag == other.tag

    def __hash__(self) -> int:
        r = self._r
        return hash((self.tag, r["creator"], r["keyword"], r["name"], r["description"]))

    def __repr__(self) -> str:
        r = self._r
        g, e = self.tag >> 16, self.tag & 0xFFFF
        creator = f" creator={r['creator']!r}" if r["creator"] else ""
        return f"<taglex.Entry ({g:04X},{e:04X}) {r['keyword'] or r['name']!r} {r['vr']}{creator}>"


def _private_creator(group: int, element: int, creator: str | None) -> Entry:
    """The answer for a private creator element no layer describes."""
    from taglex._tags import private_creator_entry

    return Entry(private_creator_entry(group, element, creator))


def _layer_class(path: str) -> type[Entry]:
    # One subclass per layer tells entries where they came from at no cost
    # per lookup.
    return type("Entry", (Entry,), {"__slots__": (), "layer": path, "__module__": "taglex"})


def _bad_tag(tag: object, why: str) -> ValueError:
    return ValueError(f"ill-formed tag {tag!r}: {why}")


class Dictionary:
    """One or more ``.tlex`` files, searched in order: the first hit wins.

    ``Dictionary.default()`` is the dictionary bundled with the package;
    ``Dictionary(paths)`` opens the given file or files (a site or vendor file
    first, then e.g. ``taglex.default_path()``).
    """

    _default: ClassVar[Dictionary | None] = None

    def __init__(self, paths: PathLike | Iterable[PathLike]) -> None:
        if isinstance(paths, (str, os.PathLike)):
            paths = [paths]
        self.paths: tuple[str, ...] = tuple(os.fspath(p) for p in paths)
        if not self.paths:
            raise ValueError("a Dictionary needs at least one .tlex file")
        self._dicts: tuple[Dict, ...] = tuple(_open(p) for p in self.paths)
        self._layers: tuple[tuple[Any, type[Entry]], ...] = tuple(
            (d.lookup, _layer_class(p)) for d, p in zip(self._dicts, self.paths)
        )
        self._lookup = self._dicts[0].lookup
        self._cls = self._layers[0][1]
        self._index_cache: tuple[KeywordIndex, ...] | None = None
        self._keywords: dict[str, int] | _LazyKeywords = _LazyKeywords(self)
        self._private_tables: dict[str, dict[str, int]] = {}

    @classmethod
    def default(cls) -> Dictionary:
        """The bundled dictionary (opened once, then shared)."""
        d = cls._default
        if d is None:
            from taglex._default import default_path

            d = cls._default = cls(default_path())
        return d

    def __repr__(self) -> str:
        return f"<taglex.Dictionary {list(self.paths)!r}>"

    # --- by tag -------------------------------------------------------------

    def get(self, tag: TagLike, creator: str | None = None) -> Entry | None:
        """The entry of ``tag`` (with ``creator`` for a private element), or None.

        ``tag`` is an int 0xGGGGEEEE, a (group, element) pair, a text such as
        "(0010,0010)", "0010,0010", "00100010", "0x00100010" or "(0029,xx10)",
        or a keyword. A private element written with its block (0x00291010)
        is found through its block form; a private creator element
        (gggg,0010-00FF) that no layer describes answers as "Private Creator",
        LO. Raises ValueError for an ill-formed tag, TypeError for a value
        that is no tag at all.
        """
        if type(tag) is int:
            # The common cases, kept to a few operations: the first layer
            # answers a standard tag, or a private one through its block form.
            try:
                if creator is None:
                    r = self._lookup(tag >> 16, tag & 0xFFFF)
                    if r is not None:
                        return self._cls(r)
                elif tag & 0x10000 and tag & 0xFF00:
                    r = self._lookup(tag >> 16, tag & 0xFF, creator)
                    if r is not None and r["block_offset"]:
                        e = self._cls(r)
                        e._tag = tag
                        return e
            except OverflowError:
                raise _bad_tag(tag, "not in 0..0xFFFFFFFF") from None
            except TypeError:
                if not isinstance(creator, str):
                    raise TypeError(
                        f"creator must be a str or None, not {type(creator).__name__}"
                    ) from None
                raise
        return self._get(tag, creator)

    def _get(self, tag: object, creator: str | None) -> Entry | None:
        if isinstance(tag, str):
            parsed = self._parse_text(tag, creator)
            if parsed is None:
                return None
            group, element, block = parsed
        else:
            group, element = _tag_numbers(tag)
            block = False
        if creator is not None and not isinstance(creator, str):
            raise TypeError(f"creator must be a str or None, not {type(creator).__name__}")
        return self._find(group, element, block, creator)

    def _parse_text(self, text: str, creator: str | None) -> tuple[int, int, bool] | None:
        from taglex._tags import parse_tag

        try:
            t = parse_tag(text)
        except ValueError:
            word = text.strip()
            if word.isidentifier() and word.isascii():
                tag = self.tag_for_keyword(word, creator if isinstance(creator, str) else None)
                if tag is None:
                    return None
                return tag >> 16, tag & 0xFFFF, False
            raise
        return t.group, t.element, t.block

    def _find(self, group: int, element: int, block: bool, creator: str | None) -> Entry | None:
        if not group & 1 and creator is not None:
            # Standard elements have no creator, so a creator given with one
            # is ignored; but a few private dictionaries list elements of
            # even groups, which the creator finds first.
            return self._find_in_layers(group, element, block, creator) or (
                self._find_in_layers(group, element, block, None)
            )
        found = self._find_in_layers(group, element, block, creator)
        if found is None and group & 1 and 0x10 <= element <= 0xFF and not block:
            return _private_creator(group, element, creator)
        return found

    def _find_in_layers(
        self, group: int, element: int, block: bool, creator: str | None
    ) -> Entry | None:
        for lookup, cls in self._layers:
            if block:
                r = lookup(group, element, creator)
                if r is None or not r["block_offset"]:
                    continue
                return cls(r)
            if creator is not None and element > 0xFF:
                # A private element as it stands in a file: its block form
                # first, then an entry for that exact element.
                r = lookup(group, element & 0xFF, creator)
                if r is not None and r["block_offset"]:
                    e = cls(r)
                    e._tag = group << 16 | element
                    return e
            r = lookup(group, element, creator)
            if r is not None and not r["block_offset"]:
                return cls(r)
        return None

    if TYPE_CHECKING:

        @overload
        def __getitem__(self, key: TagLike) -> Entry: ...
        @overload
        def __getitem__(self, key: tuple[TagLike, str | None]) -> Entry: ...

    def __getitem__(self, key: object) -> Entry:
        creator = None
        if isinstance(key, tuple) and len(key) == 2 and (key[1] is None or isinstance(key[1], str)):
            key, creator = key
        entry = self.get(key, creator)  # type: ignore[arg-type]
        if entry is None:
            with_creator = "" if creator is None else f" with creator {creator!r}"
            raise KeyError(f"no entry for {key!r}{with_creator}")
        return entry

    def __contains__(self, key: object) -> bool:
        try:
            self[key]  # type: ignore[call-overload]
        except (KeyError, ValueError, TypeError):
            return False
        return True

    # --- by keyword, name and creator ---------------------------------------

    def tag_for_keyword(self, keyword: str, creator: str | None = None) -> int | None:
        """The tag of a keyword, or None. Without ``creator`` only elements
        without a creator (the standard ones) are searched; with one, that
        creator's private elements, in any spelling of the creator. A private
        element in block form answers with its tag in the first block
        (0xGGGG10EE)."""
        if creator is None:
            return self._keywords.get(keyword)
        return self._private_keywords(creator).get(keyword)

    def keyword_for_tag(self, tag: TagLike, creator: str | None = None) -> str | None:
        """The keyword of a tag, or None when no entry has the tag."""
        entry = self.get(tag, creator)
        return None if entry is None else entry.keyword

    def suggest(self, keyword: str, creator: str | None = None, n: int = 5) -> list[str]:
        """Keywords close to a misspelt one, best first ("did you mean")."""
        import difflib

        if creator is None:
            known: Iterable[str] = self._standard_keywords()
        else:
            known = self._private_keywords(creator)
        by_lower: dict[str, str] = {}
        for k in known:
            by_lower.setdefault(k.lower(), k)
        word = keyword.strip().lower()
        if word in by_lower:
            return [by_lower[word]]
        close = difflib.get_close_matches(word, list(by_lower), n=n, cutoff=0.6)
        return [by_lower[k] for k in close]

    def find(self, text: str, limit: int | None = None) -> list[Entry]:
        """Entries whose keyword or name contains ``text`` (any case), best
        matches first: exact keyword, keyword start, word start in the name,
        anywhere; current before retired; then by tag."""
        needle = " ".join(text.lower().split())
        if not needle:
            return []
        squeezed = needle.replace(" ", "")

        def matching(reader: _format.Reader) -> set[int]:
            # Only the keyword and name columns are read for every record.
            keywords, names = reader.column("keyword"), reader.column("name")
            return {
                i
                for i, (k, nm) in enumerate(zip(keywords, names))
                if squeezed in k.lower() or needle in nm.lower()
            }

        ranked: list[tuple[int, bool, int, str, Entry]] = []
        for entry in self._entries(matching):
            keyword = entry.keyword.lower()
            name = entry.name.lower()
            if keyword == squeezed or name == needle:
                rank = 0
            elif keyword.startswith(squeezed) or name.startswith(needle):
                rank = 1
            elif f" {needle}" in f" {name}":
                rank = 2
            elif squeezed in keyword or needle in name:
                rank = 3
            else:
                continue
            ranked.append((rank, entry.retired, entry.tag, entry.creator, entry))
        ranked.sort(key=lambda t: t[:4])
        found = [t[4] for t in ranked]
        return found if limit is None else found[:limit]

    def creators(self) -> list[str]:
        """The private creators of the dictionary, one spelling each (as the
        first layer holding the creator stores it), sorted case-insensitively."""
        spelling: dict[str, str] = {}
        for index in self._indexes():
            for canon, rows in index.by_creator.items():
                spelling.setdefault(canon, rows[0][1])
        return sorted(spelling.values(), key=lambda s: (s.casefold(), s))

    def _has_creator(self, creator: str) -> bool:
        from taglex._canonical import canonicalize_creator

        canon = canonicalize_creator(creator)
        return any(canon in index.by_creator for index in self._indexes())

    def elements(self, creator: str) -> list[Entry]:
        """The entries of one private creator (given in any case and spacing),
        sorted by group and element."""
        from taglex._canonical import canonicalize_creator

        canon = canonicalize_creator(creator)
        keys: dict[tuple[int, int, bool], None] = {}
        for index in self._indexes():
            for row in index.by_creator.get(canon, ()):
                keys.setdefault((row[3], row[4], row[5]), None)
        out: list[Entry] = []
        for group, element, block in sorted(keys, key=lambda k: (k[0], k[1], not k[2])):
            entry = self._find(group, element, block, creator)
            if entry is not None and entry.layer is not None:
                out.append(entry)
        return out

    def __iter__(self) -> Iterator[Entry]:
        """Every entry, layer by layer in index order (group, element); an
        entry that an earlier layer overrides is left out."""
        return self._entries(None)

    def _entries(self, wanted: Callable[[_format.Reader], set[int]] | None) -> Iterator[Entry]:
        """The entries of iteration; with ``wanted``, only those whose record
        number is in ``wanted(reader)`` of their layer get read and built."""
        from taglex import _format

        seen: set[tuple[int, int, int]] = set()
        last = len(self._layers) - 1
        for n, (path, (_lookup, cls)) in enumerate(zip(self.paths, self._layers)):
            with _format.Reader.open(path) as reader:
                chosen = None if wanted is None else wanted(reader)
                keys: list[tuple[int, int, int]] = []
                entries = list(reader.index())
                for k, (group, element, chash, record) in enumerate(entries):
                    key = (group, element, chash)
                    if key in seen or (k + 1 < len(entries) and entries[k + 1][:3] == key):
                        continue  # overridden by an earlier layer or a later duplicate
                    if n < last:
                        keys.append(key)
                    if chosen is None or record in chosen:
                        yield cls(reader.record(record))  # type: ignore[arg-type]
                seen.update(keys)

    # --- the keyword indexes --------------------------------------------------

    def _indexes(self) -> tuple[KeywordIndex, ...]:
        cache = self._index_cache
        if cache is None:
            from taglex._index import load

            cache = self._index_cache = tuple(load(p) for p in self.paths)
        return cache

    def _standard_keywords(self) -> dict[str, int]:
        indexes = self._indexes()
        if len(indexes) == 1:
            table = indexes[0].standard
        else:
            table = {}
            for index in reversed(indexes):
                table.update(index.standard)
        self._keywords = table  # later calls go straight to the dict
        return table

    def _private_keywords(self, creator: str) -> dict[str, int]:
        from taglex._canonical import canonicalize_creator
        from taglex._index import private_tag

        canon = canonicalize_creator(creator)
        table = self._private_tables.get(canon)
        if table is None:
            table = {}
            for index in self._indexes():
                for _c, _s, keyword, group, element, block in index.by_creator.get(canon, ()):
                    if keyword:
                        table.setdefault(keyword, private_tag(group, element, block))
            self._private_tables[canon] = table
        return table


class _LazyKeywords:
    """Stands in for a Dictionary's keyword table until the first question."""

    __slots__ = ("_owner",)

    def __init__(self, owner: Dictionary) -> None:
        self._owner = owner

    def get(self, keyword: str) -> int | None:
        return self._owner._standard_keywords().get(keyword)


def _tag_numbers(tag: object) -> tuple[int, int]:
    """(group, element) of an int tag or a (group, element) pair."""
    if isinstance(tag, bool):
        raise TypeError(f"a tag cannot be a bool: {tag!r}")
    if isinstance(tag, int):
        if not 0 <= tag <= 0xFFFFFFFF:
            raise _bad_tag(tag, "not in 0..0xFFFFFFFF")
        return int(tag) >> 16, int(tag) & 0xFFFF
    if isinstance(tag, tuple) and len(tag) == 2:
        group, element = tag
        for part in (group, element):
            if isinstance(part, bool) or not isinstance(part, int):
                raise TypeError(f"a (group, element) pair holds two ints, not {tag!r}")
            if not 0 <= part <= 0xFFFF:
                raise _bad_tag(tag, "group and element must be in 0..0xFFFF")
        return int(group), int(element)
    raise TypeError(
        f"a tag is an int, a (group, element) pair or a text, not {type(tag).__name__}"
    )
