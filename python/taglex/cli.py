"""The ``taglex`` command line: look tags up, build and inspect ``.tlex`` files.

Usage::

    taglex lookup TAG [--creator TEXT] [--dict FILE] [--json]
    taglex build INPUT OUTPUT [--allow-duplicates]
    taglex info FILE
"""

from __future__ import annotations

import argparse
import json
import os
import re
import struct
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

PROG = "taglex"

_HEX4 = re.compile(r"[0-9A-Fa-f]{4}")
_BLOCK = re.compile(r"[xX]{2}([0-9A-Fa-f]{2})")


class Tag:
    """A parsed TAG argument: group, element and whether it is in block form."""

    __slots__ = ("group", "element", "block")

    def __init__(self, group: int, element: int, block: bool) -> None:
        self.group = group
        self.element = element
        self.block = block

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tag):
            return NotImplemented
        return (self.group, self.element, self.block) == (other.group, other.element, other.block)

    def __repr__(self) -> str:
        return f"Tag(0x{self.group:04x}, 0x{self.element:04x}, block={self.block})"

    def __str__(self) -> str:
        return format_tag(self.group, self.element, self.block)


def format_tag(group: int, element: int, block: bool) -> str:
    if block:
        return f"({group:04X},xx{element:02X})"
    return f"({group:04X},{element:04X})"


def parse_tag(text: str) -> Tag:
    """Parse a tag written as (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee.

    The element may be written xxee, as in (0029,xx10): a private element in
    block form, whose element number is the low byte ee. Hex digits and the
    x's may be in either case. Raises ValueError for anything else.
    """
    s = text.strip()
    if s.startswith("(") and s.endswith(")"):
        inner = s[1:-1]
        if "," not in inner:
            raise ValueError(f"malformed tag {text!r}: expected (gggg,eeee)")
        s = inner
    if "," in s:
        group_text, _, element_text = s.partition(",")
        group_text, element_text = group_text.strip(), element_text.strip()
    else:
        if s[:2].lower() == "0x":
            s = s[2:]
        if len(s) != 8:
            raise ValueError(
                f"malformed tag {text!r}: expected 8 hex digits, (gggg,eeee) or gggg,eeee"
            )
        group_text, element_text = s[:4], s[4:]
    if not _HEX4.fullmatch(group_text):
        raise ValueError(f"malformed tag {text!r}: group {group_text!r} is not 4 hex digits")
    block = _BLOCK.fullmatch(element_text)
    if block:
        return Tag(int(group_text, 16), int(block.group(1), 16), True)
    if not _HEX4.fullmatch(element_text):
        raise ValueError(
            f"malformed tag {text!r}: element {element_text!r} is not 4 hex digits or xxee"
        )
    return Tag(int(group_text, 16), int(element_text, 16), False)


def _tag_argument(text: str) -> Tag:
    try:
        return parse_tag(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _error(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


# --- lookup ---------------------------------------------------------------------


def format_entry(entry: Mapping[str, Any]) -> str:
    """The readable form of a lookup result."""
    rows = [
        ("tag", format_tag(entry["group"], entry["element"], entry["block_offset"])),
        ("keyword", entry["keyword"]),
        ("name", entry["name"]),
        ("vr", entry["vr"]),
    ]
    if entry["creator"]:
        rows.append(("creator", entry["creator"]))
    rows += [
        ("retired", "yes" if entry["retired"] else "no"),
        ("description", entry["description"]),
        ("sources", ", ".join(entry["sources"])),
    ]
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k}:{' ' * (width - len(k) + 1)}{v}".rstrip() for k, v in rows)


def _cmd_lookup(args: argparse.Namespace) -> int:
    from taglex import _taglex
    from taglex._default import default_path

    path = args.dict if args.dict is not None else default_path()
    try:
        d = _taglex.open(path)
    except (OSError, ValueError) as e:
        _error(str(e))
        return 1
    tag: Tag = args.tag
    entry = d.lookup(tag.group, tag.element, args.creator)
    if (
        entry is None
        and args.creator is not None
        and not tag.block
        and tag.group % 2 == 1
        and tag.element > 0xFF
    ):
        # A private element written with its block, e.g. (0029,1010): the
        # dictionary holds it in block form, under the low byte. Only a
        # block-form entry answers for it (not a creator element (gggg,00ee)).
        entry = d.lookup(tag.group, tag.element & 0xFF, args.creator)
        if entry is not None and not entry["block_offset"]:
            entry = None
    if entry is None:
        with_creator = "" if args.creator is None else f" with creator {args.creator!r}"
        _error(f"no entry for {tag}{with_creator} in {path}")
        return 1
    if args.json:
        print(json.dumps(entry))
    else:
        print(format_entry(entry))
    return 0


# --- build ----------------------------------------------------------------------

_TYPES: dict[str, tuple[type, str]] = {
    "group": (int, "an integer"),
    "element": (int, "an integer"),
    "creator": (str, "a string"),
    "keyword": (str, "a string"),
    "name": (str, "a string"),
    "vr": (str, "a string"),
    "description": (str, "a string"),
    "retired": (bool, "true or false"),
    "block_offset": (bool, "true or false"),
    "sources": (list, "a list of strings"),
}

_RECORD_REF = re.compile(r"\brecord (\d+)\b")
_RECORD_PREFIX = re.compile(r"^record \d+: ")


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def check_line(text: str, fields: Sequence[str]) -> tuple[dict[str, Any] | None, str | None]:
    """Decode one JSON Lines record and check its keys and value types.

    Returns (record, None), or (None, reason).
    """
    try:
        value = json.loads(text)
    except json.JSONDecodeError as e:
        return None, f"invalid JSON: {e.msg} at column {e.colno}"
    if not isinstance(value, dict):
        return None, f"expected a JSON object, got {_json_type(value)}"
    problems = []
    missing = [k for k in fields if k not in value]
    unknown = [k for k in value if k not in fields]
    if missing:
        problems.append("missing " + ", ".join(repr(k) for k in missing))
    if unknown:
        problems.append("unknown " + ", ".join(repr(k) for k in unknown))
    for key in fields:
        if key not in value or key not in _TYPES:
            continue
        want, described = _TYPES[key]
        got = value[key]
        ok = isinstance(got, want) and (want is not int or not isinstance(got, bool))
        if ok and want is list:
            ok = all(isinstance(x, str) for x in got)
        if not ok:
            problems.append(f"{key} must be {described}, not {_json_type(got)}")
    if problems:
        return None, "; ".join(problems)
    return value, None


def read_records(
    stream: Iterable[bytes], fields: Sequence[str]
) -> tuple[list[dict[str, Any]], list[int], list[tuple[int, str]]]:
    """Read JSON Lines records; blank lines are skipped.

    Returns the good records, the line number of each, and (line, reason)
    for every bad line.
    """
    records: list[dict[str, Any]] = []
    lines: list[int] = []
    errors: list[tuple[int, str]] = []
    for number, raw in enumerate(stream, 1):
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            errors.append((number, f"not valid UTF-8 (byte {e.start + 1})"))
            continue
        if not text.strip():
            continue
        record, reason = check_line(text, fields)
        if record is None:
            errors.append((number, reason or "bad record"))
            continue
        records.append(record)
        lines.append(number)
    return records, lines, errors


def _to_lines(message: str, lines: Sequence[int]) -> str:
    """Rewrite the writer's "record N" references as input line numbers."""

    def repl(m: re.Match[str]) -> str:
        n = int(m.group(1))
        return f"line {lines[n]}" if n < len(lines) else m.group(0)

    return _RECORD_REF.sub(repl, message)


def check_records(
    records: Sequence[dict[str, Any]], lines: Sequence[int], allow_duplicates: bool
) -> list[tuple[int, str]]:
    """Apply the writer's rules to each record on its own, then look for
    duplicate keys; return (line, reason) for every bad record."""
    from taglex import writer
    from taglex._canonical import creator_hash

    errors: list[tuple[int, str]] = []
    first_line: dict[tuple[int, int, int], int] = {}
    for rec, line in zip(records, lines):
        try:
            writer.build([rec])
        except ValueError as e:
            errors.append((line, _RECORD_PREFIX.sub("", str(e), count=1)))
            continue
        creator = rec["creator"]
        key = (rec["group"], rec["element"], creator_hash(creator) if creator else 0)
        earlier = first_line.setdefault(key, line)
        if earlier != line and not allow_duplicates:
            errors.append(
                (
                    line,
                    f"duplicate key (group 0x{key[0]:04x}, element 0x{key[1]:04x}, "
                    f"creator {creator!r}) already used by line {earlier}; "
                    f"pass --allow-duplicates to keep both",
                )
            )
    return errors


def _cmd_build(args: argparse.Namespace) -> int:
    from taglex import writer

    try:
        if args.input == "-":
            records, lines, errors = read_records(sys.stdin.buffer, writer.FIELDS)
        else:
            with open(args.input, "rb") as f:
                records, lines, errors = read_records(f, writer.FIELDS)
    except OSError as e:
        _error(f"cannot read {args.input}: {e.strerror or e}")
        return 1

    errors += check_records(records, lines, args.allow_duplicates)
    if errors:
        for line, reason in sorted(errors):
            _error(f"{args.input}: line {line}: {reason}")
        n = len(errors)
        _error(f"{n} bad line{'s' if n != 1 else ''}; {args.output} not written")
        return 1

    try:
        writer.write(args.output, records, allow_duplicates=args.allow_duplicates)
    except ValueError as e:
        _error(f"{args.input}: {_to_lines(str(e), lines)}; {args.output} not written")
        return 1
    except OSError as e:
        _error(f"cannot write {args.output}: {e.strerror or e}")
        return 1
    print(f"wrote {len(records)} entries to {args.output} ({os.path.getsize(args.output)} bytes)")
    return 0


# --- info -----------------------------------------------------------------------

_HEADER_SIZE = 32
_ROOT_SIZE = 24


def _cmd_info(args: argparse.Namespace) -> int:
    from taglex import _taglex

    path = args.file
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            records: int | None = None
            if size >= _HEADER_SIZE + _ROOT_SIZE:
                f.seek(size - 12)
                (records,) = struct.unpack("<I", f.read(4))
    except OSError as e:
        _error(f"cannot read {path}: {e.strerror or e}")
        return 1

    try:
        entries: int | None = len(_taglex.open(path))
        failure = None
    except (OSError, ValueError) as e:
        entries, failure = None, str(e)

    rows = [
        ("file", path),
        ("size", f"{size} bytes"),
        ("opens", "yes" if failure is None else f"no: {failure}"),
        ("entries", "n/a" if entries is None else str(entries)),
        ("records", "n/a" if records is None else str(records)),
    ]
    for key, value in rows:
        print(f"{key}:{' ' * (8 - len(key))}{value}")
    return 0 if failure is None else 1


# --- main -----------------------------------------------------------------------


def _version() -> str:
    import taglex

    return taglex.__version__


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look up DICOM tags and build or inspect .tlex dictionaries."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "lookup",
        help="look a tag up",
        description=(
            "Look a tag up in a dictionary (the bundled one unless --dict is given). "
            "TAG is (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee; a private element "
            "in block form is written (gggg,xxee) or gggg,xxee. With --creator, a "
            "private element written with its block, such as (0029,1010), is also "
            "looked up in block form."
        ),
    )
    p.add_argument("tag", metavar="TAG", type=_tag_argument, help="the tag, e.g. (0010,0010)")
    p.add_argument("--creator", metavar="TEXT", help="private creator of a private element")
    p.add_argument("--dict", metavar="FILE", help="a .tlex file instead of the bundled one")
    p.add_argument("--json", action="store_true", help="print the entry as one JSON object")
    p.set_defaults(run=_cmd_lookup)

    p = sub.add_parser(
        "build",
        help="build a .tlex file from JSON Lines",
        description=(
            "Build a .tlex file from JSON Lines (INPUT, or - for standard input): one "
            "JSON object per line with exactly the keys of a lookup result: group, "
            "element, creator, keyword, name, vr, description, retired, block_offset, "
            "sources. Blank lines are skipped. If any line is bad, every bad line is "
            "reported and OUTPUT is left as it was; otherwise OUTPUT is replaced in "
            "one step."
        ),
    )
    p.add_argument("input", metavar="INPUT", help="JSON Lines file, or - for standard input")
    p.add_argument("output", metavar="OUTPUT", help="the .tlex file to write")
    p.add_argument(
        "--allow-duplicates",
        action="store_true",
        help="keep records with equal keys (a lookup finds the later one)",
    )
    p.set_defaults(run=_cmd_build)

    p = sub.add_parser(
        "info",
        help="describe a .tlex file",
        description=(
            "Print a .tlex file's size, whether it opens (exit status 1 if not), its "
            "number of index entries and its number of records."
        ),
    )
    p.add_argument("file", metavar="FILE")
    p.set_defaults(run=_cmd_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version and usage errors
        return e.code if isinstance(e.code, int) else 2
    try:
        status: int = args.run(args)
        return status
    except BrokenPipeError:
        # The reader went away (e.g. piped into head); nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
