"""The de-identification table, PS3.15 Table E.1-1, and the second extraction
it is checked against.

Every row names one element "(0008,0050)", a repeating group "(60xx,3000)"
or "(50xx,xxxx)", or, once, every private element: "(gggg,eeee) where gggg
is odd". Actions are kept as the table writes them ("X", "X/Z/U*").
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass

from .rows import Deidentification

ZERO_WIDTH_SPACE = "\u200b"
PRIVATE = "private"  # the tag of the private-attributes row

# The table's fifteen column heads, and the option each action column stands for.
E1_COLUMNS = (
    "Attribute Name", "Tag", "Retd. (from PS3.6)", "In Std. Comp. IOD (from PS3.3)",
    "Basic Prof.", "Rtn. Safe Priv. Opt.", "Rtn. UIDs Opt.", "Rtn. Dev. Id. Opt.",
    "Rtn. Inst. Id. Opt.", "Rtn. Pat. Chars. Opt.", "Rtn. Long. Full Dates Opt.",
    "Rtn. Long. Modif. Dates Opt.", "Clean Desc. Opt.", "Clean Struct. Cont. Opt.",
    "Clean Graph. Opt.",
)  # fmt: skip
OPTION_COLUMNS = 5  # the options follow Basic Prof., in merge.OPTION_NAMES order

_ACTION = re.compile(r"[XZDUKC](?:/[XZDUKC])*\*?")
_TAG = re.compile(r"\(([0-9A-Fa-fx]{4}),([0-9A-Fa-fx]{4})\)")


@dataclass(frozen=True)
class DeidRow:
    """One row: its line, name (U+200B removed), tag ("00080050", "60xx3000",
    or PRIVATE) and actions."""

    line: int
    name: str
    tag: str
    retired: bool
    action: Deidentification


def _tag(text: str) -> str:
    if text == "(gggg,eeee) where gggg is odd":
        return PRIVATE
    m = _TAG.fullmatch(text)
    if m is None:
        raise ValueError(f"bad tag {text!r}")
    return (m.group(1) + m.group(2)).upper().replace("X", "x")


def _action(text: str, column: str) -> str:
    if not _ACTION.fullmatch(text):
        raise ValueError(f"bad action {text!r} in {column}")
    return text


def parse_table_e1(lines: Iterable[str], options: tuple[str, ...]) -> list[DeidRow]:
    """Rows of table_e1-1.tsv, NEMA's fifteen columns; ``options`` names the
    ten option columns in order."""
    header = "\t".join(E1_COLUMNS)
    rows: list[DeidRow] = []
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line or line.startswith("#") or line == header:
            continue
        fields = line.split("\t")
        try:
            if len(fields) != len(E1_COLUMNS):
                raise ValueError(f"expected {len(E1_COLUMNS)} fields, got {len(fields)}")
            if fields[2] not in ("Y", "N"):
                raise ValueError(f"Retd. must be Y or N, not {fields[2]!r}")
            chosen = {
                name: _action(text, E1_COLUMNS[OPTION_COLUMNS + i])
                for i, (name, text) in enumerate(zip(options, fields[OPTION_COLUMNS:]))
                if text
            }
            rows.append(
                DeidRow(
                    number,
                    fields[0].replace(ZERO_WIDTH_SPACE, ""),
                    _tag(fields[1]),
                    fields[2] == "Y",
                    Deidentification(_action(fields[4], "Basic Prof."), chosen),
                )
            )
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


# cosyte's option columns, and the options of E1_COLUMNS each stands for
# (its RetainLongitudinalTemporal is the two longitudinal options in one).
COSYTE_OPTIONS = (
    ("RetainSafePrivate", ("retain_safe_private",)),
    ("RetainUIDs", ("retain_uids",)),
    ("RetainDeviceIdentity", ("retain_device_identity",)),
    ("RetainInstitutionIdentity", ("retain_institution_identity",)),
    ("RetainPatientCharacteristics", ("retain_patient_characteristics",)),
    ("RetainLongitudinalTemporal", ("retain_long_full_dates", "retain_long_modified_dates")),
    ("CleanDescriptors", ("clean_descriptors",)),
    ("CleanStructuredContent", ("clean_structured_content",)),
    ("CleanGraphics", ("clean_graphics",)),
)
COSYTE_HEADER = "table\ttag\tkeyword\tbasicProfile\t" + "\t".join(c for c, _ in COSYTE_OPTIONS)


@dataclass(frozen=True)
class ProfileRow:
    """One row of basic_profile.tsv: tag as in DeidRow, name, Basic Profile
    action, and cosyte's option columns by cosyte's name (where given)."""

    line: int
    tag: str
    name: str
    basic: str
    options: dict[str, str]


def parse_basic_profile(lines: Iterable[str]) -> list[ProfileRow]:
    """Rows of basic_profile.tsv: table, tag (8 digits or a pattern such as
    "60xx3000"), name, basicProfile and nine option columns."""
    rows: list[ProfileRow] = []
    columns = COSYTE_HEADER.count("\t") + 1
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line or line.startswith("#") or line == COSYTE_HEADER:
            continue
        fields = line.split("\t")
        try:
            if len(fields) != columns:
                raise ValueError(f"expected {columns} fields, got {len(fields)}")
            table, tag, name, basic = fields[:4]
            if table not in ("ANNEX_E", "ANNEX_E_REPEATING"):
                raise ValueError(f"unknown table {table!r}")
            if not re.fullmatch(r"[0-9A-Fa-fx]{8}", tag):
                raise ValueError(f"bad tag {tag!r}")
            options = {
                cosyte: _action(text, cosyte)
                for (cosyte, _), text in zip(COSYTE_OPTIONS, fields[4:])
                if text
            }
            rows.append(
                ProfileRow(
                    number,
                    tag.upper().replace("X", "x"),
                    name.replace(ZERO_WIDTH_SPACE, ""),
                    _action(basic, "basicProfile"),
                    options,
                )
            )
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


def cross_check(table: list[DeidRow], profile: list[ProfileRow]) -> list[str]:
    """Where the second extraction says otherwise than the table, one text each.

    Its RetainLongitudinalTemporal agrees when it is the table's full-dates
    action and the table's modified-dates action is "C" (the two come
    together, and cosyte keeps the first).
    """
    ours = {r.tag: r for r in table}
    theirs = {r.tag: r for r in profile}
    out: list[str] = []

    def where(tag: str) -> str:
        return "private attributes" if tag == PRIVATE else f"({tag[:4]},{tag[4:]})"

    for tag in sorted(set(ours) - set(theirs)):
        out.append(f"{where(tag)} {ours[tag].name}: only in the table")
    for tag in sorted(set(theirs) - set(ours)):
        out.append(f"{where(tag)} {theirs[tag].name}: only in basic_profile.tsv")
    for tag in sorted(set(ours) & set(theirs)):
        a, b = ours[tag], theirs[tag]
        said: list[str] = []
        if a.name != b.name:
            said.append(f"name {b.name!r}")
        if a.action.basic != b.basic:
            said.append(f"Basic Profile {b.basic}")
        for cosyte, names in COSYTE_OPTIONS:
            mine = a.action.options.get(names[0], "")
            if len(names) == 2 and a.action.options.get(names[1], "") not in ("", "C"):
                mine = f"{mine}+{a.action.options[names[1]]}"
            if b.options.get(cosyte, "") != mine:
                said.append(f"{cosyte} {b.options.get(cosyte) or '(none)'}")
        if said:
            out.append(f"{where(tag)} {a.name}: basic_profile.tsv says " + ", ".join(said))
    return out


def matcher(rows: Iterable[DeidRow]) -> tuple[dict[tuple[int, int], DeidRow], list[DeidRow]]:
    """The rows of single tags, by (group, element), and the masked ones."""
    exact: dict[tuple[int, int], DeidRow] = {}
    masked: list[DeidRow] = []
    for r in rows:
        if r.tag == PRIVATE:
            continue
        if "x" in r.tag:
            masked.append(r)
        else:
            exact[(int(r.tag[:4], 16), int(r.tag[4:], 16))] = r
    return exact, masked


def mask_matches(mask: str, group: int, element: int) -> bool:
    """Whether a masked tag stands for (group, element). A group "ggxx" is the
    repeating group: the even groups gg00..gg1E; an "x" elsewhere is any digit."""
    if mask[2:4] == "xx":
        if group >> 8 != int(mask[:2], 16) or group & 1 or group & 0xFF > 0x1E:
            return False
    elif int(mask[:4], 16) != group:
        return False
    return all(m in ("x", d) for m, d in zip(mask[4:], f"{element:04X}"))
