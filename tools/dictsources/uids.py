"""The UID sources: the registry's Tables A-1 and A-2, the keywords of two
toolkits, and the context groups (A-3) and templates (A-4), with the Part
column, of a third file; and how they become one table of UIDs.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass

from .rows import tsv_rows

_UID = re.compile(r"[0-9]+(?:\.[0-9]+)+")
RETIRED_SUFFIX = " (Retired)"

# The registry's UID types, as PS3.6 writes them in its UID Type column.
REGISTRY_TYPES = {
    "SOPClass": "SOP Class",
    "MetaSOPClass": "Meta SOP Class",
    "TransferSyntax": "Transfer Syntax",
    "WellKnownSOPInstance": "Well-known SOP Instance",
    "WellKnownFrameOfReference": "Well-known frame of reference",
    "CodingScheme": "Coding Scheme",
    "ServiceClass": "Service Class",
    "ApplicationContext": "Application Context Name",
    "Other": "",  # PS3.6's own type comes from the file with the Part column
}
CONTEXT_GROUP = "Context Group Name"
COLUMNS = ("uid", "keyword", "name", "type", "retired", "part", "info")


def _rows(lines: Iterable[str], header: str) -> Iterable[tuple[int, list[str]]]:
    for number, fields in tsv_rows(lines, header):
        if not _UID.fullmatch(fields[0]):
            raise ValueError(f"line {number}: bad UID {fields[0]!r}")
        yield number, fields


def _flag(text: str, number: int, allowed: dict[str, bool]) -> bool:
    if text not in allowed:
        raise ValueError(f"line {number}: retired must be one of {sorted(allowed)}, not {text!r}")
    return allowed[text]


def without_retired(name: str) -> tuple[str, bool]:
    """A name without the " (Retired)" some sources append, and whether it had it."""
    if name.endswith(RETIRED_SUFFIX):
        return name[: -len(RETIRED_SUFFIX)], True
    return name, False


@dataclass(frozen=True)
class RegistryUID:
    uid: str
    name: str
    type: str  # as the source writes it
    retired: bool


def parse_registry(lines: Iterable[str]) -> list[RegistryUID]:
    """Rows of uids.tsv: uid, name, type (SOPClass, ...), retired (0 or 1)."""
    out = []
    for number, (uid, name, kind, retired) in _rows(lines, "uid\tname\ttype\tretired"):
        if kind not in REGISTRY_TYPES:
            raise ValueError(f"line {number}: unknown type {kind!r}")
        out.append(RegistryUID(uid, name, kind, _flag(retired, number, {"0": False, "1": True})))
    return out


@dataclass(frozen=True)
class KeywordUID:
    """A UID as a keyword source gives it (name without " (Retired)")."""

    uid: str
    keyword: str
    name: str
    type: str
    info: str
    retired: bool


def parse_pydicom(lines: Iterable[str]) -> list[KeywordUID]:
    """Rows of pydicom_uids.tsv: uid, keyword, name, type, info, retired ("", "Retired")."""
    flags = {"": False, "Retired": True, "retired": True}
    return [
        KeywordUID(uid, keyword, name, kind, info, _flag(retired, number, flags))
        for number, (uid, keyword, name, kind, info, retired) in _rows(
            lines, "uid\tkeyword\tname\ttype\tinfo\tretired"
        )
    ]


def parse_dicom_rs(lines: Iterable[str]) -> list[KeywordUID]:
    """Rows of dicom-rs_uids.tsv: uid, keyword, name (retired ones end in
    " (Retired)"), type, retired (0 or 1), table."""
    out = []
    for number, (uid, keyword, name, kind, retired, _table) in _rows(
        lines, "uid\tkeyword\tname\ttype\tretired\ttable"
    ):
        bare, _ = without_retired(name)
        out.append(
            KeywordUID(uid, keyword, bare, kind, "", _flag(retired, number, {"0": False, "1": True}))
        )
    return out


@dataclass(frozen=True)
class ContextGroup:
    uid: str
    cid: str  # "CID 2"; "" where the UID is unassigned
    name: str  # without " (Retired)"
    retired: bool


def parse_context_groups(lines: Iterable[str]) -> list[ContextGroup]:
    """Rows of context_groups.tsv: uid, cid ("CID 2" or empty), name, retired."""
    out = []
    for number, (uid, cid, name, retired) in _rows(lines, "uid\tcid\tname\tretired"):
        if cid and not re.fullmatch(r"CID \d+", cid):
            raise ValueError(f"line {number}: bad CID {cid!r}")
        bare, suffixed = without_retired(name)
        flag = _flag(retired, number, {"0": False, "1": True})
        if suffixed != flag:
            raise ValueError(f"line {number}: retired is {retired} but the name says otherwise")
        out.append(ContextGroup(uid, cid, bare, flag))
    return out


@dataclass(frozen=True)
class PartUID:
    """A row of uid_values.tsv: name without " (Retired)" (the note after ": "
    kept in it), type, part, description, table."""

    uid: str
    name: str
    type: str
    part: str
    description: str
    table: str


def parse_uid_values(lines: Iterable[str]) -> list[PartUID]:
    """Rows of uid_values.tsv: uid, name, type, part, description, table (A-1 or A-2)."""
    out = []
    for number, (uid, name, kind, part, description, table) in _rows(
        lines, "uid\tname\ttype\tpart\tdescription\ttable"
    ):
        if table not in ("A-1", "A-2"):
            raise ValueError(f"line {number}: unknown table {table!r}")
        out.append(PartUID(uid, without_retired(name)[0], kind, part, description, table))
    return out


def _part(text: str) -> str:
    """The Part column where it names a part ("PS3.4", "PS 3.6" as "PS3.6",
    "DICOS"); "" where it holds something else (a normative reference)."""
    m = re.fullmatch(r"PS ?3\.(\d+)|([A-Z]+)", text)
    if m is None:
        return ""
    return f"PS3.{m.group(1)}" if m.group(1) else text


@dataclass(frozen=True)
class UID:
    uid: str
    keyword: str
    name: str
    type: str
    retired: bool
    part: str
    info: str


@dataclass
class Merged:
    uids: list[UID]
    keyword_disputes: list[str]  # "UID: pydicom A, dicom-rs B"
    no_keyword: list[UID]
    keyword_from: dict[str, int]  # how many keywords each source alone gave
    left_out: list[str]  # rows of the other files that are not 2026c UIDs


def merge_uids(
    registry: list[RegistryUID],
    pydicom: list[KeywordUID],
    dicom_rs: list[KeywordUID],
    groups: list[ContextGroup],
    parts: list[PartUID],
) -> Merged:
    """One UID per row of the registry, then the context groups and the templates.

    Name, type and retired flag are the registry's; the type in PS3.6's
    words (REGISTRY_TYPES), or, for its "Other", the type of the file with
    the Part column, else pydicom's. The keyword is pydicom's, else
    dicom-rs's. The part is the Part column where it names a part ("PS3.4");
    the info is pydicom's note, else the note the Part file appends after
    ": ", else its normative reference (the frames of reference of A-2).
    Context groups are "Context Group Name" UIDs of PS3.16 with their CID
    as info; the unassigned ones (no CID) are left out. Templates are the
    Part file's "... TemplateID" rows.
    """
    py = {u.uid: u for u in pydicom}
    rs = {u.uid: u for u in dicom_rs}
    a1 = {u.uid: u for u in parts if u.table == "A-1"}
    a2 = {u.uid: u for u in parts if u.table == "A-2"}
    out: list[UID] = []
    disputes: list[str] = []
    missing: list[UID] = []
    keyword_from = {"pydicom": 0, "dicom-rs": 0, "both": 0}
    known = {u.uid for u in registry}
    for r in registry:
        p, d, row = py.get(r.uid), rs.get(r.uid), a1.get(r.uid)
        keywords = [k for k in (p.keyword if p else "", d.keyword if d else "") if k]
        if len(set(keywords)) > 1:
            disputes.append(f"{r.uid}: pydicom {keywords[0]}, dicom-rs {keywords[1]}")
        keyword = keywords[0] if keywords else ""
        if p and p.keyword and d and d.keyword:
            keyword_from["both"] += 1
        elif p and p.keyword:
            keyword_from["pydicom"] += 1
        elif d and d.keyword:
            keyword_from["dicom-rs"] += 1
        kind = REGISTRY_TYPES[r.type] or (row.type if row and row.type else "") or (
            p.type if p else ""
        )
        part = _part(row.part) if row else ""
        info = p.info if p else ""
        if not info and row and row.name.startswith(r.name + ": "):
            info = row.name[len(r.name) + 2 :]
        if not info and r.uid in a2:
            info = a2[r.uid].description
        elif not info and row and row.part and not part:
            info = row.part  # a normative reference in the Part column
        uid = UID(r.uid, keyword, r.name, kind or r.type, r.retired, part, info)
        out.append(uid)
        if not keyword:
            missing.append(uid)
    left_out = [
        f"{u.uid} {u.name}"
        for u in parts
        if u.table == "A-1" and u.uid not in known and not u.type.endswith("TemplateID")
    ]
    for g in groups:
        if not g.cid:
            left_out.append(f"{g.uid} (unassigned context group)")
            continue
        out.append(UID(g.uid, "", g.name, CONTEXT_GROUP, g.retired, "PS3.16", g.cid))
    for u in parts:
        if u.type.endswith("TemplateID"):
            out.append(UID(u.uid, "", u.name, u.type, False, u.part, ""))
    seen: set[str] = set()
    for u in out:
        if u.uid in seen:
            raise ValueError(f"UID {u.uid} is listed twice")
        seen.add(u.uid)
    return Merged(out, disputes, missing, keyword_from, left_out)


def uids_tsv(merged: list[UID], header: str) -> str:
    """The table the package reads: a "#" header, the column names, one UID a line."""
    lines = [f"# {line}" if line else "#" for line in header.splitlines()]
    lines.append("\t".join(COLUMNS))
    for u in merged:
        fields = [u.uid, u.keyword, u.name, u.type, "1" if u.retired else "0", u.part, u.info]
        for text in fields:
            if "\t" in text or "\n" in text:
                raise ValueError(f"UID {u.uid}: a field holds a tab or a newline: {text!r}")
        lines.append("\t".join(fields))
    return "\n".join(lines) + "\n"
