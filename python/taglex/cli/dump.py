"""``taglex dump FILE... [--json] [--private] [--dict FILE] [--force]``.

Every element of each file, one a line: tag, VR, name, VM and a short value,
nested sequences indented under their items. Files are read with pydicom;
private elements that it read as UN are first given their VR through
:func:`taglex.pydicom.fix_private_vrs`, and are named through their block's
creator in whatever spelling the file holds it.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
import warnings
from typing import TYPE_CHECKING, Any

from ._common import FAILED, OK, error, is_panic, native_reports_silenced

if TYPE_CHECKING:
    from pydicom.dataelem import DataElement
    from pydicom.dataset import Dataset

    from taglex.pydicom import Described

__all__ = ["add_arguments", "dump_file", "element_name", "plain_name", "run", "short_value"]

DESCRIPTION = (
    "List every element of each DICOM FILE: tag, VR, name, VM and a short "
    "value, with nested sequences indented. Private elements read as UN get "
    "the VR of the dictionary and are named through their creator, however "
    "it is spelt. A file that cannot be read gets one line on standard error "
    "and the exit status 1; the other files are still listed. Needs pydicom "
    "(pip install 'taglex[pydicom]')."
)

INSTALL = "taglex dump needs pydicom 3; install it with: pip install 'taglex[pydicom]'"

# A value is cut to this many characters in the listing.
VALUE_WIDTH = 64
# Bytes values up to this length are shown in hex, longer ones by their length.
HEX_BYTES = 16
# An error's reason is cut to this many characters.
REASON_WIDTH = 160
# The name column ends at most this far from the left.
NAME_COLUMN = 72


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", metavar="FILE", nargs="+", help="a DICOM file")
    p.add_argument(
        "--json",
        action="store_true",
        help="print each file as the DICOM JSON model, with a Name for every element "
        "(one JSON object a line)",
    )
    p.add_argument("--private", action="store_true", help="private elements only")
    p.add_argument(
        "--dict",
        metavar="FILE",
        action="append",
        default=[],
        help="a .tlex file instead of the bundled one; repeat for layers, first wins",
    )
    p.add_argument(
        "--force",
        action="store_true",
        help="read files without the DICM prefix and file meta information too",
    )


# --- names ------------------------------------------------------------------------


def plain_name(d: Described) -> str:
    """The dictionary's name of an element, or what the tag says it is."""
    group, element = d.tag >> 16, d.tag & 0xFFFF
    if d.entry is not None:
        return str(d.entry.name)
    if element == 0:
        return "Group Length"
    if group & 1 and group > 7:
        if 0x10 <= element <= 0xFF:
            return "Private Creator"
        if element > 0xFF and d.creator is None:
            return "Private element without a creator"
    return "Unknown"


def element_name(d: Described) -> str:
    """The name of an element, with the creator of a private data element in
    front, such as "[SIEMENS CSA HEADER] CSA Image Header Type"."""
    name = plain_name(d)
    if d.creator is None:
        return name
    creator = d.creator.strip()
    if not creator.isprintable():
        creator = "".join(c if c.isprintable() else repr(c)[1:-1] for c in creator)
    return f"[{creator}] {name}"


# --- values -----------------------------------------------------------------------


def tag_text(tag: int) -> str:
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def _one(value: Any, vr: str) -> str:
    if vr == "AT" and isinstance(value, int):
        return tag_text(value)
    if vr == "UI" and isinstance(value, str):
        from pydicom.uid import UID

        name = UID(value).name
        return value if name == value else f"{value} ({name})"
    return str(value)


def short_value(elem: DataElement) -> str:
    """The value as the listing shows it: text cut to a line, bytes in hex or
    by their length, sequences by their number of items."""
    from pydicom.multival import MultiValue

    vr = elem.VR
    value = elem.value
    if vr == "SQ":
        n = len(value) if value is not None else 0
        return f"{n} item" if n == 1 else f"{n} items"
    kind = type(value)
    if kind is str and value and vr != "UI":
        text: str = value  # the common case, first
    elif value is None or value == "" or value == b"":
        return "(no value)"
    elif kind is bytes or kind is bytearray:
        if len(value) <= HEX_BYTES:
            return " ".join(f"{b:02x}" for b in value)
        return f"({len(value)} bytes)"
    elif kind is MultiValue or kind is list or kind is tuple:
        if not value:
            return "(no value)"
        text = "\\".join([_one(v, vr) for v in value])
    else:
        text = _one(value, vr)
    if not text.isprintable():
        text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
    if len(text) > VALUE_WIDTH:
        text = text[: VALUE_WIDTH - 3] + "..."
    return text


# --- the listing ------------------------------------------------------------------


def _is_private(tag: int) -> bool:
    return bool(tag >> 16 & 1) and tag >> 16 > 7


# One line of the listing: its depth, its left column (tag, VR and name, or
# the item it opens) and, for an element, its VM and value.
_Row = tuple[int, str, str | None, str]
_Path = tuple[tuple[int, int], ...]


def _rows(described: list[Described], private_only: bool) -> list[_Row]:
    """The rows of the elements ``describe`` yielded, each sequence followed by
    its items; with ``private_only``, the private elements (all that nests in
    them too) and the sequences and items that lead to one."""
    children: dict[_Path, list[Described]] = {}
    for d in described:
        children.setdefault(d.path, []).append(d)

    def rows(path: _Path, inside_private: bool) -> list[_Row]:
        out: list[_Row] = []
        depth = len(path)
        for d in children.get(path, ()):
            elem = d.element
            private = inside_private or _is_private(d.tag)
            nested: list[_Row] = []
            if elem.VR == "SQ" and elem.value is not None:
                n = len(elem.value)
                for i in range(n):
                    item = rows((*path, (d.tag, i)), private)
                    if item or private or not private_only:
                        nested.append((depth + 1, f"item {i + 1} of {n}", None, ""))
                        nested.extend(item)
            if private or nested or not private_only:
                left = f"{tag_text(d.tag)} {elem.VR} {element_name(d)}"
                out.append((depth, left, str(elem.VM), short_value(elem)))
                out.extend(nested)
        return out

    return rows((), False)


def listing(ds: Dataset, dictionary: Any, private_only: bool) -> list[str]:
    """The lines of one dataset (its file meta information first)."""
    from taglex.pydicom import describe

    described: list[Described] = []
    meta = getattr(ds, "file_meta", None)
    if meta is not None and not private_only:
        described.extend(describe(meta, dictionary))
    described.extend(describe(ds, dictionary))
    rows = _rows(described, private_only)
    lefts = ["  " * depth + left for depth, left, _, _ in rows]
    width = min(max((len(s) for s in lefts), default=0), NAME_COLUMN)
    lines = []
    for left, (_, _, vm, value) in zip(lefts, rows):
        if vm is None:
            lines.append(left)  # an item
        else:
            lines.append(f"{left:<{width}} {vm:>3}  {value}".rstrip())
    return lines


# --- JSON -------------------------------------------------------------------------


def json_model(ds: Dataset, dictionary: Any, private_only: bool) -> dict[str, Any]:
    """The DICOM JSON model of ``ds``, with a "Name" for every element and a
    "PrivateCreator" for private data elements whose block has one."""
    from taglex.pydicom import describe

    top: dict[str, Any] = {}
    # The object of each item reached so far, by the path to it.
    objects: dict[tuple[tuple[int, int], ...], dict[str, Any]] = {(): top}
    for d in describe(ds, dictionary):
        elem = d.element
        if (
            private_only
            and elem.VR != "SQ"  # a sequence may lead to private elements
            and not _is_private(d.tag)
            and not any(_is_private(t) for t, _ in d.path)
        ):
            continue
        parent = objects[d.path]
        obj: dict[str, Any] = {"vr": elem.VR, "Name": plain_name(d)}
        if d.creator is not None:
            obj["PrivateCreator"] = d.creator.strip()
        if elem.VR == "SQ":
            items: list[dict[str, Any]] = []
            for i, _ in enumerate(elem.value or ()):
                item: dict[str, Any] = {}
                items.append(item)
                objects[(*d.path, (d.tag, i))] = item
            if items:
                obj["Value"] = items
        else:
            for key, value in elem.to_json_dict(None, 0).items():
                if key != "vr":
                    obj[key] = value
        parent[f"{d.tag:08X}"] = obj
    if private_only:
        _prune(top)
    return top


def _prune(obj: dict[str, Any]) -> bool:
    """Drop standard sequences that hold no private element; True if ``obj``
    keeps anything."""
    for key in list(obj):
        element = obj[key]
        tag = int(key, 16)
        if element["vr"] == "SQ" and not _is_private(tag):
            kept = [_prune(item) for item in element.get("Value", [])]  # every item
            if not any(kept):
                del obj[key]
    return bool(obj)


# --- reading ----------------------------------------------------------------------


def _first_sentence(message: str) -> str:
    """A message of pydicom's as one short line: its first line, without the
    pointer to the standard, control characters escaped, cut to length (some
    messages quote whole values)."""
    line = message.splitlines()[0] if message else ""
    line = line.split(" Please see ")[0]
    if not line.isprintable():
        line = "".join(c if c.isprintable() else repr(c)[1:-1] for c in line)
    if len(line) > REASON_WIDTH:
        line = line[: REASON_WIDTH - 3] + "..."
    return line


def _reason(path: str, e: BaseException) -> str:
    from pydicom.errors import InvalidDicomError

    if isinstance(e, InvalidDicomError):
        return f"{path}: not a DICOM file (no 'DICM' prefix; --force reads one without it)"
    if isinstance(e, OSError):
        return f"{path}: {e.strerror or e}"
    first = _first_sentence(str(e))
    return f"{path}: cannot be read: {type(e).__name__}" + (f": {first}" if first else "")


def cut_short(ds: Dataset) -> str | None:
    """Why a dataset read from a truncated file is incomplete: its first
    element whose value holds fewer bytes than its length says, or None."""
    from pydicom.dataelem import RawDataElement

    for part in (getattr(ds, "file_meta", None), ds):
        if part is None:
            continue
        for tag in part.keys():
            raw = part.get_item(tag)
            if (
                isinstance(raw, RawDataElement)
                and isinstance(raw.value, bytes)
                and raw.length != 0xFFFFFFFF
                and len(raw.value) < raw.length
            ):
                return f"{tag_text(tag)} holds {len(raw.value)} of its {raw.length} bytes"
    return None


class DamagedDictionary(Exception):
    """A lookup met a dictionary file broken in a way opening it did not
    show; every file would meet it, so the command stops."""


def dump_file(
    path: str, dictionary: Any, args: argparse.Namespace
) -> tuple[list[str] | None, bool]:
    """The lines of one file and whether all of it was read. A file that
    cannot be read gives no lines; a truncated one gives what it holds. Either
    gets one error line; what pydicom warned about follows on standard error."""
    import pydicom

    from taglex.pydicom import fix_private_vrs

    try:
        kind = os.stat(path).st_mode
    except OSError as e:
        error(_reason(path, e))
        return None, False
    if not stat.S_ISREG(kind):
        # A FIFO or a device would keep the reader waiting.
        error(f"{path}: {'Is a directory' if stat.S_ISDIR(kind) else 'not a regular file'}")
        return None, False
    messages: list[str] = []
    try:
        with native_reports_silenced(), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            ds = pydicom.dcmread(path, force=args.force)
            short = cut_short(ds)
            fix_private_vrs(ds, dictionary)
            if args.json:
                text = json.dumps(json_model(ds, dictionary, args.private), ensure_ascii=not _utf())
                lines = [text]
            else:
                lines = [f"# {path}", *listing(ds, dictionary, args.private)]
        for w in caught:
            text = _first_sentence(str(w.message))
            if text and text not in messages:
                messages.append(text)
    except Exception as e:  # pydicom raises many kinds for damaged files
        error(_reason(path, e))
        return None, False
    except BaseException as e:
        if not is_panic(e):
            raise
        raise DamagedDictionary(str(e)) from None
    for message in messages:
        error(f"{path}: warning: {message}")
    if short is not None:
        error(f"{path}: truncated: {short}")
    return lines, short is None


def run(args: argparse.Namespace) -> int:
    try:
        import taglex.pydicom  # noqa: F401
    except ImportError:
        error(INSTALL)
        return FAILED
    from .lookup import open_dictionary

    dictionary = open_dictionary(args.dict)
    if dictionary is None:
        return FAILED
    status = OK
    dumped = 0
    for path in args.files:
        try:
            lines, whole = dump_file(path, dictionary, args)
        except DamagedDictionary as e:
            paths = getattr(dictionary, "paths", ())
            error(f"{' + '.join(paths) or 'the dictionary'} is damaged: {e}")
            return FAILED
        if not whole:
            status = FAILED
        if lines is None:
            continue
        if dumped and not args.json:
            print()  # a blank line between files
        _print("\n".join(lines))
        dumped += 1
    return status


def _utf() -> bool:
    """Whether standard output takes any text (JSON is escaped otherwise)."""
    return (sys.stdout.encoding or "").lower().replace("-", "").replace("_", "") == "utf8"


def _print(text: str) -> None:
    """Print, escaping what the output's encoding cannot hold."""
    try:
        print(text)
    except UnicodeEncodeError:
        encoding = sys.stdout.encoding or "utf-8"
        print(text.encode(encoding, "backslashreplace").decode(encoding))

