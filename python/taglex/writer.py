"""Writing ``.tlex`` dictionary files.

A ``.tlex`` file is what :func:`taglex.open` maps and answers lookups from.
This module turns data-element records into such a file::

    from taglex import writer

    writer.write("tags.tlex", [
        {"group": 0x0010, "element": 0x0010, "keyword": "PatientName",
         "name": "Patient's Name", "vr": "PN", "sources": ["x", "y"]},
        {"group": 0x0029, "element": 0x10, "creator": "ACME 1.0",
         "keyword": "AcmeFlags", "name": "Acme Flags", "vr": "UL",
         "block_offset": True},
    ])

Each record is a mapping with the keys of a lookup result (:data:`FIELDS`):

``group``, ``element`` (required)
    Tag numbers, ``int`` in 0..65535 (``bool`` is refused). For a private
    data element in block form (``block_offset`` true) ``element`` is the low
    byte of the element number, 0..255 (the "xx" form).
``keyword``, ``name`` (required)
    ``str``, at most 65,535 bytes in UTF-8.
``vr`` (required)
    One of :data:`VR_CODES`.
``creator`` (default ``""``)
    The private creator, at most 65,535 UTF-8 bytes; ``""`` means none.
    It is stored as given, and indexed under the hash of its canonical form,
    so lookups find it in any spacing and letter case.
``description`` (default ``""``)
    ``str``, at most 4,294,967,295 UTF-8 bytes.
``retired``, ``block_offset`` (default ``False``)
    ``bool``.
``sources`` (default ``[]``)
    A list (or tuple) of non-empty ``str`` labels, none containing ``"|"``.

``keyword`` is ``""`` or a keyword: ASCII letters, digits and ``_``, not
starting with a digit and not reading as a tag (``ABCDEF12``). A block-form
element (``block_offset`` true) needs a creator.

Any other key is refused. A record that breaks rules raises
:class:`ValueError` naming the record by its zero-based position in the input
("record 3: ...") and every rule it breaks, joined by "; " (numbers in
decimal). Two records with the same key (group,
element and hash of the canonical creator) are refused unless
``allow_duplicates=True``; then both are stored and a lookup finds the later
one.

The output holds the index sorted by key (records with equal keys keep their
input order), the records in input order and each distinct text once; the
layout is described in :mod:`taglex._format`.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Any

from taglex import _atomic, _format
from taglex._format import FIELDS, VR_CODES

__all__ = ["FIELDS", "VR_CODES", "build", "write"]


class _Strings:
    """The strings table under construction; identical texts share bytes."""

    def __init__(self) -> None:
        self.parts: list[bytes] = []
        self.size = 0
        self._seen: dict[bytes, int] = {}

    def add(self, data: bytes, where: str) -> int:
        if not data:
            return self.size
        offset = self._seen.get(data)
        if offset is None:
            if self.size + len(data) > _format.MAX_STRINGS:
                raise ValueError(
                    f"{where}: the strings table would grow to "
                    f"{self.size + len(data)} bytes, more than {_format.MAX_STRINGS}"
                )
            offset = self.size
            self._seen[data] = offset
            self.parts.append(data)
            self.size += len(data)
        return offset


def build(records: Iterable[Mapping[str, Any]], *, allow_duplicates: bool = False) -> bytes:
    """Return the bytes of a ``.tlex`` file holding ``records``.

    Records are stored in input order and indexed by (group, element, hash of
    the canonical creator). Raises :class:`ValueError` for the first record
    that breaks a rule, naming it as ``"record N"`` (zero-based).
    """
    strings = _Strings()
    packed: list[bytes] = []
    keys: list[tuple[int, int, int, int]] = []  # (group, element, hash, record)
    duplicates = _format.Duplicates()

    for i, rec in enumerate(records):
        where = f"record {i}"
        try:
            r = _format.check_record(rec)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from None
        earlier = duplicates.earlier(r, i)
        if earlier is not None and not allow_duplicates:
            raise ValueError(
                f"{where}: duplicate key (group {r.group}, element {r.element}, creator "
                f"{r.creator!r}, in any case and spacing) already used by record {earlier}; "
                f"pass allow_duplicates=True to keep both"
            )

        keyword_off = strings.add(r.keyword, where)
        name_off = strings.add(r.name, where)
        creator_off = strings.add(r.creator_utf8, where) if r.creator_utf8 else 0
        description_off = strings.add(r.description, where)
        sources_off = strings.add(r.sources, where)
        packed.append(
            _format.RECORD.pack(
                keyword_off, name_off, creator_off, description_off, len(r.description),
                sources_off, len(r.sources),
                r.group, r.element, len(r.keyword), len(r.name), len(r.creator_utf8), 0,
                r.vr, r.block_offset, r.retired,
            )
        )  # fmt: skip
        keys.append((r.group, r.element, r.creator_hash, i))

    n = len(packed)
    keys.sort()  # the record number keeps equal keys in input order
    records_pos = _format.INDEX_ENTRY_SIZE * n
    strings_pos = records_pos + _format.RECORD_SIZE * n
    padding = -(strings_pos + strings.size) % _format.ALIGN
    root_pos = strings_pos + strings.size + padding
    if root_pos > _format.MAX_ROOT_POSITION:
        raise ValueError(
            f"the dictionary is too large: its root would lie {root_pos} bytes into "
            f"the body, more than {_format.MAX_ROOT_POSITION}"
        )

    out = bytearray(_format.HEADER.pack(_format.MAGIC, _format.VERSION))
    for group, element, chash, i in keys:
        out += _format.INDEX_ENTRY.pack(chash, i, group, element)
    out += b"".join(packed)
    out += b"".join(strings.parts)
    out += bytes(padding)
    out += _format.ROOT.pack(
        0 - root_pos, n,
        records_pos - (root_pos + 8), n,
        strings_pos - (root_pos + 16), strings.size,
    )  # fmt: skip
    return bytes(out)


def write(
    path: str | os.PathLike[str],
    records: Iterable[Mapping[str, Any]],
    *,
    allow_duplicates: bool = False,
) -> None:
    """Build a ``.tlex`` file from ``records`` (see :func:`build`) and store it at ``path``.

    The file is written under a temporary name in the target's folder, synced
    to disk and then renamed over ``path``, so the target changes in one step:
    readers see either the old file or the new one, and a process that has
    the old file open or mapped keeps reading the old bytes. An existing
    target keeps its permission bits. If anything fails, including an
    interruption (``KeyboardInterrupt``, SIGTERM, or another exception raised
    by a signal handler), the temporary file is removed and the old target is
    left as it was. A symbolic link at ``path`` is followed and kept; the
    regular file it points to is replaced. Every command that writes a file
    follows the same rules (``taglex._atomic``).

    Raises :class:`ValueError` for an empty ``path`` and
    :class:`FileExistsError` when ``path`` names something other than a
    regular file (a device such as ``/dev/null``, a FIFO, a socket, a
    folder), which is left alone.
    """
    _atomic.check(path)  # refused before the work of building
    _atomic.write_bytes(path, build(records, allow_duplicates=allow_duplicates))
