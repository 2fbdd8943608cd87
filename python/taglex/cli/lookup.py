"""``taglex lookup TAG|KEYWORD [--creator TEXT] [--dict FILE]... [--json]``."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING

from taglex._tags import Tag, parse_tag

from ._common import (
    DICT_HELP,
    FAILED,
    OK,
    USAGE,
    error,
    is_panic,
    native_reports_silenced,
    open_dictionary,
    shown,
)

if TYPE_CHECKING:
    from taglex import Dictionary, Entry

DESCRIPTION = (
    "Look a tag or a keyword up in a dictionary (the bundled one unless --dict "
    "is given; several --dict files are layers, the first that knows the tag "
    "answers; the output's 'layer' says which). TAG is a keyword such as PatientName, "
    "(gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee; a private element "
    "in block form is written (gggg,xxee) or gggg,xxee. With --creator, a "
    "private element written with its block, such as (0029,1010), is found "
    "as the creator defines that element, else in block form; with a "
    "standard tag, the creator's own entry comes first, else the standard "
    "element. A private creator element, (gggg,0010) to (gggg,00ff) in an "
    "odd group, answers as itself."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "tag", metavar="TAG", type=tag_or_keyword, help="the tag, e.g. (0010,0010), or a keyword"
    )
    p.add_argument("--creator", metavar="TEXT", help="private creator of a private element")
    p.add_argument("--dict", metavar="FILE", action="append", help=DICT_HELP)
    p.add_argument(
        "--json",
        action="store_true",
        help="print the entry as one JSON object (the ten keys that taglex build reads)",
    )


def tag_or_keyword(text: str) -> Tag | str:
    """argparse type of TAG: a parsed tag, or a keyword as given."""
    try:
        return parse_tag(text)
    except ValueError as e:
        word = text.strip()
        if word.isidentifier() and word.isascii():
            return word
        raise argparse.ArgumentTypeError(f"{e}; nor is it a keyword") from None


def format_entry(entry: Entry, block: bool = False) -> str:
    """The readable form of an entry: its tag as asked (``block``: asked in
    block form, (gggg,xxee)), its fields and the layer that answered."""
    from taglex._tags import format_tag

    tag = entry.tag
    if block:
        shown_tag = format_tag(entry.group, entry.element, True)
    else:
        shown_tag = format_tag(tag >> 16, tag & 0xFFFF)
    rows = [
        ("tag", shown_tag),
        ("keyword", entry.keyword),
        ("name", entry.name),
        ("vr", entry.vr),
    ]
    if entry.creator:
        rows.append(("creator", entry.creator))
    rows += [
        ("retired", "yes" if entry.retired else "no"),
        ("description", entry.description),
        ("sources", ", ".join(entry.sources)),
        ("layer", entry.layer or "(none: what every private creator element is)"),
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
    if args.creator is not None and not _is_utf8(args.creator):
        error(f"--creator {shown(args.creator)} is not valid UTF-8")
        return USAGE
    d = open_dictionary(args.dict)
    if d is None:
        return FAILED
    where = ", ".join(d.paths)
    tag: Tag | str = args.tag
    try:
        with native_reports_silenced():
            entry = _answer(d, tag, args.creator)
    except BaseException as e:
        if not (is_panic(e) or isinstance(e, ValueError)):
            raise
        error(f"{where} is damaged: {e}")
        return FAILED
    if entry is None:
        asked = tag if isinstance(tag, str) else str(tag)
        message = d.miss_message(asked, args.creator, give="--creator")
        if message.startswith("no "):
            message += f" in {where}"
            close = d.suggest(tag, args.creator)[:3] if isinstance(tag, str) else []
            if close:
                message += f"; did you mean {or_list(close)}?"
        error(message)
        return FAILED
    if args.json:
        print(json.dumps(entry.as_dict()))
    else:
        print(format_entry(entry, block=isinstance(tag, Tag) and tag.block))
    return OK


def _answer(d: Dictionary, tag: Tag | str, creator: str | None) -> Entry | None:
    """The entry of a keyword or a tag, asked as Dictionary.get asks it."""
    return d.get(tag if isinstance(tag, str) else str(tag), creator)


def or_list(words: list[str]) -> str:
    """"A", "A or B", "A, B or C"."""
    return words[0] if len(words) == 1 else f"{', '.join(words[:-1])} or {words[-1]}"
