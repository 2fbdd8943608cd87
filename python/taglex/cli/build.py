"""``taglex build INPUT OUTPUT [--allow-duplicates]``: JSON Lines to a ``.tlex`` file."""

from __future__ import annotations

import argparse
import json
import re
import sys
from collections.abc import Iterable, Sequence
from typing import Any

from ._common import FAILED, OK, cannot_write, error

DESCRIPTION = (
    "Build a .tlex file from JSON Lines (INPUT, or - for standard input): one "
    "JSON object per line with exactly the ten keys of a lookup result (what "
    "'taglex lookup --json' and 'taglex export' print), described below. Blank "
    "lines are skipped. If any line is bad, every bad line is reported, with "
    "every problem it has, and OUTPUT is left as it was; otherwise OUTPUT is "
    "replaced in one step."
)

# The input format, field by field: build's --help shows it.
FORMAT = """\
keys (all ten are required; no other key is allowed):
  group         integer 0..65535 (0x0000..0xFFFF)
  element       integer 0..65535; with block_offset true, 0..255: the low byte
                ee of a private element (gggg,xxee)
  creator       string, at most 65535 bytes in UTF-8; "" for none. Required
                (not empty) with block_offset true. Looked up in any case and
                spacing
  keyword       string: "" (no keyword), or ASCII letters, digits and _, not
                starting with a digit and not reading as a tag (such as
                ABCDEF12), at most 65535 bytes
  name          string, at most 65535 bytes in UTF-8
  vr            string, one of: AE AS AT CS DA DS DT FL FD IS LO LT OB OD OF OL
                OV OW PN SH SL SQ SS ST SV TM UC UI UL UN UR US UT UV ??
  description   string, at most 4294967295 bytes in UTF-8: free text; one
                that starts "VM 1-n" gives Entry.vm, and "VM 1; VR OB or OW"
                Entry.vrs
  retired       true or false
  block_offset  true or false: true for a private element in block form
  sources       array of strings, each not empty and without "|"
two lines with the same group, element and creator (in any case and spacing)
are refused unless --allow-duplicates is given; numbers in the messages are
written in decimal, as in the input.

example:
  {"group": 41, "element": 16, "creator": "ACME 1.0", "keyword": "AcmeFlags",
   "name": "Acme Flags", "vr": "UL", "description": "VM 1", "retired": false,
   "block_offset": true, "sources": ["site"]}
"""


class _Formatter(argparse.HelpFormatter):
    """Wraps the description as usual, and shows FORMAT as it is written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if text is FORMAT:
            return text
        return super()._fill_text(text, width, indent)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.epilog = FORMAT
    p.formatter_class = _Formatter
    p.add_argument("input", metavar="INPUT", help="JSON Lines file, or - for standard input")
    p.add_argument("output", metavar="OUTPUT", help="the .tlex file to write")
    p.add_argument(
        "--allow-duplicates",
        action="store_true",
        help="keep records with equal keys (a lookup finds the later one)",
    )


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


class _DuplicateKey(ValueError):
    pass


def _object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object that names each key once."""
    value = dict(pairs)
    if len(value) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise _DuplicateKey(f"duplicate key {key!r} in an object")
            seen.add(key)
    return value


def _decode(text: str) -> Any:
    """json.loads, with every failure a ValueError that says what is wrong."""
    try:
        return json.loads(text, object_pairs_hook=_object)
    except json.JSONDecodeError as e:
        raise ValueError(f"invalid JSON: {e.msg} at column {e.colno}") from None
    except _DuplicateKey as e:
        raise ValueError(f"invalid JSON: {e}") from None
    except RecursionError:
        raise ValueError("invalid JSON: nested too deeply") from None
    except ValueError as e:
        if "integer string conversion" not in str(e):
            raise ValueError(f"invalid JSON: {e}") from None
        # int() refuses numbers too long to convert (sys.get_int_max_str_digits).
        limit = sys.get_int_max_str_digits()
        raise ValueError(f"invalid JSON: a number of more than {limit} digits") from None


def check_line(text: str, fields: Sequence[str]) -> tuple[dict[str, Any] | None, str | None]:
    """Decode one JSON Lines record and check it: its keys and value types
    (in JSON's words), then the writer's rules on the values of the right
    type. Returns (record, None), or (None, every reason, joined by "; ").
    """
    from taglex import _format

    try:
        value = _decode(text)
    except ValueError as e:
        return None, str(e)
    if not isinstance(value, dict):
        return None, f"expected a JSON object, got {_json_type(value)}"
    problems = []
    missing = [k for k in fields if k not in value]
    unknown = [k for k in value if k not in fields]
    settled = {*missing, *unknown}  # fields whose problem is said already
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
            settled.add(key)
    try:
        _format.check_record(value)
    except _format.RecordError as e:
        problems += [reason for field, reason in e.problems if field not in settled]
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
    from taglex import _format

    errors: list[tuple[int, str]] = []
    duplicates = _format.Duplicates()
    for rec, line in zip(records, lines):
        try:
            checked = _format.check_record(rec)
        except ValueError as e:
            errors.append((line, str(e)))
            continue
        earlier = duplicates.earlier(checked, line)
        if earlier is not None and not allow_duplicates:
            errors.append(
                (
                    line,
                    f"duplicate key (group {checked.group}, element {checked.element}, "
                    f"creator {checked.creator!r}) already used by line {earlier}; pass "
                    f"--allow-duplicates to keep both",
                )
            )
    return errors


def run(args: argparse.Namespace) -> int:
    from taglex import _atomic, writer

    # The output is refused before any work if writing it would destroy
    # something: a device or a FIFO, or the very file the records come from.
    inputs = [] if args.input == "-" else [args.input]
    try:
        _atomic.check(args.output, inputs=inputs, stdin=True)
    except (OSError, ValueError) as e:
        cannot_write(args.output, e)
        return FAILED
    try:
        if args.input == "-":
            records, lines, errors = read_records(sys.stdin.buffer, writer.FIELDS)
        else:
            with open(args.input, "rb") as f:
                records, lines, errors = read_records(f, writer.FIELDS)
    except OSError as e:
        error(f"cannot read {args.input}: {e.strerror or e}")
        return FAILED

    errors += check_records(records, lines, args.allow_duplicates)
    if errors:
        for line, reason in sorted(errors):
            error(f"{args.input}: line {line}: {reason}")
        n = len(errors)
        error(f"{n} bad line{'s' if n != 1 else ''}; {args.output} not written")
        return FAILED

    try:
        data = writer.build(records, allow_duplicates=args.allow_duplicates)
    except ValueError as e:
        error(f"{args.input}: {_to_lines(str(e), lines)}; {args.output} not written")
        return FAILED
    try:
        _atomic.write_bytes(args.output, data, inputs=inputs, stdin=True)
    except OSError as e:
        cannot_write(args.output, e)
        return FAILED
    n = len(records)
    print(f"wrote {n} {'entry' if n == 1 else 'entries'} to {args.output} ({len(data)} bytes)")
    return OK
