"""``taglex dump FILE... [--json] [--private] [--dict FILE] [--force]``.

Every element of each file, one a line: tag, VR, name, VM and a short value,
nested sequences indented under their items. Files are read with pydicom;
private elements that it read as UN are first given their VR through
:func:`taglex.pydicom.fix_private_vrs`, and are named through their block's
creator in whatever spelling the file holds it.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import stat
import sys
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

from ._common import DICT_HELP, FAILED, OK, error, is_panic, native_reports_silenced

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
    "and the exit status 1; the other files are still listed. A file cut short "
    "is listed as far as it goes, with one line saying where it ends, and also "
    "gives the exit status 1. Needs pydicom "
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
        help='print each file as one JSON object a line, {"file": FILE, "dataset": MODEL}, '
        "MODEL being the DICOM JSON model with a Name for every element",
    )
    p.add_argument("--private", action="store_true", help="private elements only")
    p.add_argument("--dict", metavar="FILE", action="append", default=[], help=DICT_HELP)
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
    if kind is Shortened:
        if isinstance(value.shown, (bytes, bytearray)):
            return f"({value.size} bytes)"
        shown = _text(value.shown, vr)  # more follows, always
        return shown if shown.endswith("...") else shown[: VALUE_WIDTH - 3] + "..."
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
    return _cut(text)


def _text(value: Any, vr: str) -> str:
    """A converted value as one line of at most VALUE_WIDTH characters."""
    from pydicom.multival import MultiValue

    if isinstance(value, (list, tuple, MultiValue)):
        return _cut("\\".join([_one(v, vr) for v in value]))
    return _cut(_one(value, vr))


def _cut(text: str) -> str:
    if not text.isprintable():
        text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
    if len(text) > VALUE_WIDTH:
        text = text[: VALUE_WIDTH - 3] + "..."
    return text


def value_multiplicity(elem: DataElement) -> int:
    """The VM the listing shows (pydicom's, or that of a whole long value)."""
    value = elem.value
    if type(value) is Shortened:
        return value.vm
    return int(elem.VM)


# --- long values ------------------------------------------------------------------
#
# A value longer than LONG bytes is never decoded whole for the listing, which
# shows VALUE_WIDTH characters of it: only its first PREFIX bytes are, and
# its VM is worked out from its length (or, for text, by counting its
# separators). At the top level pydicom is told to leave such values in the
# file, and only those bytes are read.

LONG = 4096
PREFIX = 1024
# The size of one value of each binary VR.
_FIXED = {"AT": 4, "FL": 4, "FD": 8, "SL": 4, "SS": 2, "SV": 8, "UL": 4, "US": 2, "UV": 8}
# Text VRs that hold one value whatever it contains.
_SINGLE = frozenset(("LT", "ST", "UT", "UR"))
_BYTES = frozenset(("OB", "OD", "OF", "OL", "OV", "OW", "UN"))


class Shortened:
    """The value of a long element as the listing keeps it: the first values
    (or bytes), the VM and the size of the whole value."""

    __slots__ = ("shown", "vm", "size")

    def __init__(self, shown: Any, vm: int, size: int) -> None:
        self.shown = shown
        self.vm = vm
        self.size = size


class _Outside(NamedTuple):
    """A value left in the file: where it is and its size."""

    source: Any
    position: int
    size: int

    def count(self, byte: bytes) -> int:
        n, left = 0, self.size
        self.source.seek(self.position)
        while left > 0:
            chunk = self.source.read(min(left, 1 << 20))
            if not chunk:
                break
            n += chunk.count(byte)
            left -= len(chunk)
        return n


def _prefix(value: bytes, vr: str) -> bytes:
    """The first bytes of a long value, ending where a value or character
    ends when it is text."""
    head = value[:PREFIX]
    if vr in _FIXED or vr in _BYTES:
        return head
    cut = head.rfind(b"\\")
    if cut > 0:
        return head[:cut]
    end = len(head)
    while end > len(head) - 4 and end > 0 and head[end - 1] >= 0x80:
        end -= 1  # no character cut in two
    return head[:end]


class _LongValues:
    """The pydicom hook that converts values, decoding long ones in part;
    ``outside`` holds the values left in the file, by (tag, position)."""

    def __init__(self, original: Any) -> None:
        self.original = original
        self.outside: dict[tuple[int, int], _Outside] = {}

    def __call__(self, raw: Any, data: dict[str, Any], **kwargs: Any) -> None:
        value, vr = raw.value, data["VR"]
        if vr == "SQ" or not isinstance(value, bytes):
            return self.original(raw, data, **kwargs)  # type: ignore[no-any-return]
        outside = self.outside.get((int(raw.tag), raw.value_tell))
        if outside is None and len(value) <= LONG:
            return self.original(raw, data, **kwargs)  # type: ignore[no-any-return]
        size = len(value) if outside is None else outside.size
        head = _prefix(value, vr)
        part: dict[str, Any] = {"VR": vr}
        self.original(raw._replace(value=head, length=len(head)), part, **kwargs)
        vr = part["VR"]
        if vr in _FIXED:
            vm = size // _FIXED[vr]
        elif vr in _BYTES or vr in _SINGLE or isinstance(part["value"], bytes):
            vm = 1
        else:
            separators = value.count(b"\\") if outside is None else outside.count(b"\\")
            vm = separators + 1
        data["VR"] = vr
        data["value"] = Shortened(part["value"], vm, size)


def _leave_long_values(ds: Dataset, source: Any, size: int, hook: _LongValues) -> None:
    """Give the values pydicom left in the file (longer than LONG) their first
    bytes, noting where the rest is; a sequence is read whole."""
    from pydicom.datadict import dictionary_VR
    from pydicom.dataelem import RawDataElement

    from ._dicomfile import undefined_length_end

    for tag in list(ds.keys()):
        raw = ds.get_item(tag, keep_deferred=True)
        if not isinstance(raw, RawDataElement) or raw.value is not None or not raw.length:
            continue
        source.seek(raw.value_tell)
        if raw.length != 0xFFFFFFFF:
            first = source.read(4)
            sequence = raw.VR == "SQ" or (
                raw.VR in (None, "UN") and first in (b"\xfe\xff\x00\xe0", b"\xff\xfe\xe0\x00")
            )
            if raw.VR is None and not sequence and not tag >> 16 & 1:
                try:
                    sequence = dictionary_VR(tag) == "SQ"
                except KeyError:
                    pass
            if sequence:
                source.seek(raw.value_tell)
                _keep_raw(ds, raw._replace(value=source.read(raw.length)))
                continue
            length = raw.length
        else:  # fragments, up to the sequence delimiter
            length = undefined_length_end(source, raw.value_tell, raw.is_little_endian, size) - 8
            length -= raw.value_tell
        source.seek(raw.value_tell)
        _keep_raw(ds, raw._replace(value=source.read(min(length, PREFIX))))
        hook.outside[(int(tag), raw.value_tell)] = _Outside(source, raw.value_tell, length)


def _keep_raw(ds: Dataset, raw: Any) -> None:
    """Put ``raw`` back into ``ds`` undecoded (assigning a private element
    through ``ds[tag]`` would decode it)."""
    ds._dict[raw.tag] = raw


@contextlib.contextmanager
def _long_values_in_part() -> Iterator[_LongValues]:
    """pydicom's value conversion, long values decoded in part, for the duration."""
    from pydicom.hooks import hooks

    original = hooks.raw_element_value
    hook = _LongValues(original)
    hooks.raw_element_value = hook
    try:
        yield hook
    finally:
        hooks.raw_element_value = original


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
                out.append((depth, left, str(value_multiplicity(elem)), short_value(elem)))
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


class DamagedDictionary(Exception):
    """A lookup met a dictionary file broken in a way opening it did not
    show; every file would meet it, so the command stops."""


def dump_file(
    path: str, dictionary: Any, args: argparse.Namespace
) -> tuple[list[str] | None, bool]:
    """The lines of one file and whether all of it was read. A file that
    cannot be read gives no lines; one cut short gives what it holds. Either
    gets one error line; what pydicom warned about follows on standard error."""
    from ._dicomfile import Repaired, find_cut

    try:
        kind = os.stat(path).st_mode
        if not stat.S_ISREG(kind):
            # A FIFO or a device would keep the reader waiting.
            error(f"{path}: {'Is a directory' if stat.S_ISDIR(kind) else 'not a regular file'}")
            return None, False
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            cut = find_cut(f, size, args.force)
            f.seek(0)
            if cut is None:
                lines = _read(path, f, size, dictionary, args)
            else:
                lines = _read(path, Repaired(f, cut), cut.keep + len(cut.tail), dictionary, args)
    except OSError as e:
        error(_reason(path, e))
        return None, False
    if lines is not None and cut is not None:
        error(f"{path}: truncated: {cut.reason}")
    return lines, lines is not None and cut is None


def _read(path: str, source: Any, size: int, dictionary: Any, args: argparse.Namespace) -> list[str] | None:
    """The lines of the file that ``source`` reads, or None after an error line."""
    import pydicom

    from taglex.pydicom import fix_private_vrs

    messages: list[str] = []
    try:
        with contextlib.ExitStack() as stack:
            stack.enter_context(native_reports_silenced())
            caught = stack.enter_context(warnings.catch_warnings(record=True))
            warnings.simplefilter("always")
            if args.json:
                ds = pydicom.dcmread(source, force=args.force)
                fix_private_vrs(ds, dictionary)
                model = json_model(ds, dictionary, args.private)
                text = json.dumps({"file": path, "dataset": model}, ensure_ascii=not _utf())
                lines = [text]
            else:
                hook = stack.enter_context(_long_values_in_part())
                ds = pydicom.dcmread(source, force=args.force, defer_size=LONG)
                _leave_long_values(ds, source, size, hook)
                fix_private_vrs(ds, dictionary)
                lines = [f"# {path}", *listing(ds, dictionary, args.private)]
        for w in caught:
            message = _first_sentence(str(w.message))
            if message and message not in messages:
                messages.append(message)
    except Exception as e:  # pydicom raises many kinds for damaged files
        error(_reason(path, e))
        return None
    except BaseException as e:
        if not is_panic(e):
            raise
        raise DamagedDictionary(str(e)) from None
    for message in messages:
        error(f"{path}: warning: {message}")
    return lines


def run(args: argparse.Namespace) -> int:
    try:
        import taglex.pydicom  # noqa: F401
    except ImportError:
        error(INSTALL)
        return FAILED
    from ._common import open_dictionary

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

