"""Parsers of the standard registries: the PS3.6 TSV and DCMTK's dicom.dic."""

from __future__ import annotations

import re
from collections.abc import Iterable

from .rows import StandardRow, name_from_keyword, parse_vrs

def _mask(tag: str) -> str:
    if len(tag) != 8 or not re.fullmatch(r"[0-9A-Fa-fxX]{8}", tag):
        raise ValueError(f"bad tag {tag!r}")
    return tag.upper().replace("X", "x")


def parse_registry_tsv(lines: Iterable[str]) -> list[StandardRow]:
    """Rows of the PS3.6 registry TSV: tag, keyword, name, vr, vm, retired, mask.

    Lines starting with "#" and the header line are skipped. VR alternatives
    are separated by spaces ("OB OW"); the tag has "x" where a mask stands.
    """
    rows: list[StandardRow] = []
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line or line.startswith("#") or line.startswith("tag\t"):
            continue
        fields = line.split("\t")
        if len(fields) != 7:
            raise ValueError(f"line {number}: expected 7 fields, got {len(fields)}")
        tag, keyword, name, vr, vm, retired, _mask_flag = fields
        if retired not in ("0", "1"):
            raise ValueError(f"line {number}: retired must be 0 or 1, not {retired!r}")
        try:
            rows.append(
                StandardRow(_mask(tag), keyword, name, parse_vrs(vr), vm, retired == "1")
            )
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


def _range_mask(text: str) -> str:
    """DCMTK's "6000-60FF" (a group range) or "3100-31FF" as "60xx" / "31xx"."""
    if "-" not in text:
        if not re.fullmatch(r"[0-9A-Fa-f]{4}", text):
            raise ValueError(f"bad tag part {text!r}")
        return text.upper()
    first, sep, last = text.partition("-")
    if sep and re.fullmatch(r"[0-9A-Fa-f]{2}00", first) and last.upper() == first[:2].upper() + "FF":
        return first[:2].upper() + "xx"
    raise ValueError(f"unsupported range {text!r}")


def dcmtk_tag(text: str) -> str:
    """A DCMTK standard tag "(gggg,eeee)" or "(6000-60FF,3000)" as a mask."""
    m = re.fullmatch(r"\(([^,]+),([^,]+)\)", text)
    if not m:
        raise ValueError(f"bad tag {text!r}")
    return _range_mask(m.group(1)) + _range_mask(m.group(2))


def parse_dcmtk_dic(lines: Iterable[str], versions: frozenset[str]) -> list[StandardRow]:
    """Rows of a DCMTK dictionary whose version field is one of ``versions``.

    Fields: tag, VR, keyword, VM, version, tab-separated; "#" starts a
    comment line. A keyword "RETIRED_X" or a version ending "/retired" marks
    the element retired (keyword X). DCMTK has no display names: the name is
    made from the keyword (rows.name_from_keyword).
    """
    rows: list[StandardRow] = []
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 5:
            raise ValueError(f"line {number}: expected 5 fields, got {len(fields)}")
        tag, vr, keyword, vm, version = fields
        if version not in versions:
            continue
        retired = version.endswith("/retired") or keyword.startswith("RETIRED_")
        keyword = keyword.removeprefix("RETIRED_")
        try:
            rows.append(
                StandardRow(
                    dcmtk_tag(tag), keyword, name_from_keyword(keyword), parse_vrs(vr), vm, retired
                )
            )
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows
