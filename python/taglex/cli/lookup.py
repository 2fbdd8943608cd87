"""``taglex lookup TAG [--creator TEXT] [--dict FILE] [--json]``."""

from __future__ import annotations

import argparse
import json
from collections.abc import Mapping
from typing import Any

from taglex._tags import Tag, format_tag, lookup

from ._common import FAILED, OK, USAGE, error, is_panic, native_reports_silenced, shown, tag_argument

HELP = "look a tag up"
DESCRIPTION = (
    "Look a tag up in a dictionary (the bundled one unless --dict is given). "
    "TAG is (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee; a private element "
    "in block form is written (gggg,xxee) or gggg,xxee. With --creator, a "
    "private element written with its block, such as (0029,1010), is also "
    "looked up in block form. A private creator element, (gggg,0010) to "
    "(gggg,00ff) in an odd group, answers as itself."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("tag", metavar="TAG", type=tag_argument, help="the tag, e.g. (0010,0010)")
    p.add_argument("--creator", metavar="TEXT", help="private creator of a private element")
    p.add_argument("--dict", metavar="FILE", help="a .tlex file instead of the bundled one")
    p.add_argument("--json", action="store_true", help="print the entry as one JSON object")


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


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def run(args: argparse.Namespace) -> int:
    from taglex import _taglex
    from taglex._default import default_path

    if args.creator is not None and not _is_utf8(args.creator):
        error(f"--creator {shown(args.creator)} is not valid UTF-8")
        return USAGE
    path = args.dict if args.dict is not None else default_path()
    try:
        d = _taglex.open(path)
    except (OSError, ValueError) as e:
        error(str(e))
        return FAILED
    tag: Tag = args.tag
    try:
        with native_reports_silenced():
            entry = lookup(d, tag.group, tag.element, args.creator, block=tag.block)
    except BaseException as e:
        if not is_panic(e):
            raise
        error(f"{path} is damaged: {e}")
        return FAILED
    if entry is None:
        with_creator = "" if args.creator is None else f" with creator {args.creator!r}"
        error(f"no entry for {tag}{with_creator} in {path}")
        return FAILED
    if args.json:
        print(json.dumps(entry))
    else:
        print(format_entry(entry))
    return OK
