"""Parsers of the private dictionaries and of the safe private attributes.

Every parser returns PrivateRow objects keyed as lookups are: the groups,
the low byte of the element and the creator as written. Placeholder names
and keywords ("Unknown", "?", "") become "". A row that describes the
creator element of a block, written (gggg,bbxx), is skipped: a creator
element is always "Private Creator", LO, and is not looked up by creator.
"""

from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from collections.abc import Iterable
from dataclasses import replace

from . import csource
from .rows import PrivateRow, is_placeholder, name_from_keyword, parse_vrs, tag_text, tsv_rows

_HEX2 = re.compile(r"[0-9A-Fa-f]{2}")
_HEX4 = re.compile(r"[0-9A-Fa-f]{4}")


def private_tag(group: str, element: str) -> tuple[tuple[int, ...], int, str] | None:
    """The groups, element low byte and "listed" note of a private tag.

    ``group`` is "gggg" or "ggxx" (every odd group gg01..ggFF: private data
    elements live in odd groups); ``element`` is "xxee", "00ee" (the low
    byte, as dicom3tools and GDCM write it) or "bbee" (one fixed block bb,
    noted as listed: the tag as written). "bbxx", the creator element of
    block bb, gives None.
    Anything else raises ValueError.
    """
    g, e = group.lower(), element.lower()
    if _HEX4.fullmatch(g):
        groups: tuple[int, ...] = (int(g, 16),)
    elif g[2:] == "xx" and _HEX2.fullmatch(g[:2]):
        base = int(g[:2], 16) << 8
        groups = tuple(range(base + 1, base + 0x100, 2))
    else:
        raise ValueError(f"unsupported private group {group!r}")
    if len(e) == 4 and e[2:] == "xx" and _HEX2.fullmatch(e[:2]):
        return None
    if len(e) != 4 or not _HEX2.fullmatch(e[2:]):
        raise ValueError(f"unsupported private element {element!r}")
    block = e[:2]
    if block in ("xx", "00"):
        return groups, int(e[2:], 16), ""
    if not _HEX2.fullmatch(block):
        raise ValueError(f"unsupported private element {element!r}")
    return groups, int(e[2:], 16), tag_text(group, element)


def _clean(text: str) -> str:
    text = " ".join(text.split())
    return "" if is_placeholder(text) else text


def _row(
    source: str,
    creator: str,
    group: str,
    element: str,
    vr: str,
    vm: str,
    keyword: str,
    name: str,
) -> PrivateRow | None:
    tag = private_tag(group, element)
    if tag is None:
        return None
    groups, low, listed = tag
    keyword = _clean(keyword)
    if keyword and not re.fullmatch(r"[A-Za-z][A-Za-z0-9_]*", keyword):
        keyword = ""  # not an identifier: derived from the name instead
    return PrivateRow(
        source, creator, groups, low, parse_vrs(vr), vm.strip(), keyword, _clean(name), listed
    )


def _checked(rows: list[PrivateRow], row: PrivateRow | None) -> None:
    if row is not None:
        rows.append(row)


_TPL_LINE = re.compile(r"\(([0-9A-Fa-fxX]{4}),([0-9A-Fa-fxX]{4})\)\s+(.*)")
_TPL_ATTR = re.compile(r'(\w+)="([^"]*)"')


def parse_dicom3tools(lines: Iterable[str], source: str) -> list[PrivateRow]:
    """Private rows of a dicom3tools template (.tpl).

    A line is "(gggg,eeee)" and attributes Name="value", tab-separated;
    only lines with an Owner (the creator) are private. The element's high
    byte is 00 for the usual form; "ggxx" groups repeat over odd groups.
    A ``PrivateBlock="00bb"`` attribute makes the line a block-specific
    definition: it holds in block bb only (the row's ``block``).
    """
    rows: list[PrivateRow] = []
    for number, line in enumerate(lines, 1):
        m = _TPL_LINE.match(line)
        if not m:
            continue
        attrs = dict(_TPL_ATTR.findall(m.group(3)))
        creator = attrs.get("Owner")
        if creator is None:
            continue
        try:
            row = _row(
                source, creator, m.group(1), m.group(2), attrs.get("VR", ""),
                attrs.get("VM", ""), attrs.get("Keyword", ""), attrs.get("Name", ""),
            )  # fmt: skip
            block = attrs.get("PrivateBlock")
            if row is not None and block is not None:
                if not (_HEX4.fullmatch(block) and m.group(2)[:2] == "00"):
                    raise ValueError(f"unsupported PrivateBlock {block!r} for {m.group(0)[:11]}")
                row = _in_block(row, int(block, 16))
            _checked(rows, row)
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


def _in_block(row: PrivateRow, block: int) -> PrivateRow:
    """``row`` as the definition of one block (0x10..0xFF) only."""
    if not 0x10 <= block <= 0xFF:
        raise ValueError(f"block {block:#x} is not a private block (0x10..0xff)")
    return replace(row, block=block, listed="")


def parse_gdcm_xml(text: str, source: str) -> list[PrivateRow]:
    """Rows of GDCM's privatedicts.xml: <entry owner group element vr vm name/>."""
    rows: list[PrivateRow] = []
    for entry in ET.fromstring(text).iter("entry"):
        a = entry.attrib
        try:
            _checked(
                rows,
                _row(
                    source, a["owner"], a["group"], a["element"], a.get("vr", ""),
                    a.get("vm", ""), "", a.get("name", ""),
                ),
            )  # fmt: skip
        except (KeyError, ValueError) as e:
            raise ValueError(f"entry {a}: {e}") from None
    return rows


_DCMTK_TAG = re.compile(
    r'\(([0-9A-Fa-f]{4})(?:-o-([0-9A-Fa-f]{4}))?,"([^"]*)",([0-9A-Fa-f]{2}|[0-9A-Fa-f]{4})\)'
)


def parse_dcmtk_private(lines: Iterable[str], source: str) -> list[PrivateRow]:
    """Private rows of a DCMTK dictionary (private.dic, diconde.dic).

    Fields: tag, VR, keyword, VM and an optional version, tab-separated. A
    private tag is (gggg,"creator",ee), (gggg,"creator",bbee) for one fixed
    block, or (gggg-o-hhhh,"creator",ee) for the odd groups gggg..hhhh.
    Rows without a creator (standard elements that diconde.dic redefines)
    are skipped. DCMTK has keywords only; names are made from them.
    """
    rows: list[PrivateRow] = []
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) not in (4, 5):
            raise ValueError(f"line {number}: expected 4 or 5 fields, got {len(fields)}")
        tag, vr, keyword, vm = fields[:4]
        m = _DCMTK_TAG.fullmatch(tag)
        if m is None:
            if re.fullmatch(r"\([0-9A-Fa-f]{4},[0-9A-Fa-f]{4}\)", tag):
                continue  # a standard element
            raise ValueError(f"line {number}: bad private tag {tag!r}")
        first, last, creator, element = m.groups()
        element = element.rjust(4, "x")
        try:
            row = _row(source, creator, first, element, vr, vm, keyword, "")
            if row is None:
                continue
            groups = row.groups
            if last is not None:  # the odd groups first..last
                lo, hi = int(first, 16), int(last, 16)
                if lo % 2 == 0 or lo > hi:
                    raise ValueError(f"bad odd group range {tag!r}")
                groups = tuple(range(lo, hi + 1, 2))
            rows.append(
                PrivateRow(
                    row.source, row.creator, groups, row.element, row.vrs, row.vm,
                    row.keyword, name_from_keyword(row.keyword), row.listed,
                )
            )  # fmt: skip
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


def parse_pydicom_tsv(lines: Iterable[str], source: str) -> list[PrivateRow]:
    """Rows of pydicom's private dictionary: creator, tag (8 digits), vr, vm, name, retired."""
    rows: list[PrivateRow] = []
    for number, (creator, tag, vr, vm, name, _retired) in tsv_rows(
        lines, "creator\ttag\tvr\tvm\tname\tretired"
    ):
        try:
            if len(tag) != 8:
                raise ValueError(f"bad tag {tag!r}")
            _checked(rows, _row(source, creator, tag[:4], tag[4:], vr, vm, "", name))
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


def parse_safe_private(lines: Iterable[str], source: str) -> list[PrivateRow]:
    """Rows of the safe private attributes table: tag "(gggg,xxee)", creator, vr, vm, meaning."""
    rows: list[PrivateRow] = []
    for number, (tag, creator, vr, vm, meaning) in tsv_rows(
        lines, "tag\tcreator\tvr\tvm\tmeaning"
    ):
        m = re.fullmatch(r"\(([0-9A-Fa-f]{4}),([0-9A-Fa-fxX]{4})\)", tag.strip())
        try:
            if m is None:
                raise ValueError(f"bad tag {tag!r}")
            _checked(rows, _row(source, creator, m.group(1), m.group(2), vr, vm, "", meaning))
        except ValueError as e:
            raise ValueError(f"line {number}: {e}") from None
    return rows


_GDCM_ARRAY = re.compile(r"\bDICT_ENTRY\s+DICOMV3DataDict\s*\[\s*\]\s*=\s*\{")
_C_STRING = r'"(?:[^"\\\n]|\\.)*"'
_GDCM_ENTRY = re.compile(
    r"\{\s*0x([0-9A-Fa-f]{4})\s*,\s*0x([0-9A-Fa-f]{4})\s*,\s*(" + _C_STRING + r")\s*,"
    r"\s*VR::(\w+)\s*,\s*VM::(\w+)\s*,\s*(" + _C_STRING + r"|nullptr)\s*,\s*(?:true|false)\s*\}"
)


def parse_gdcm_cxx(text: str, source: str) -> list[PrivateRow]:
    """Rows of GDCM's compiled-in private dictionary, gdcmPrivateDefaultDicts.cxx.

    The array DICOMV3DataDict holds ``{0xgggg,0xeeee,"owner",VR::XX,VM::VMa_b,
    "name",retired}``: the element is its low byte (GDCM asserts it is at most
    0xff), ``VM::VM1_n`` is "1-n" and ``VR::US_SS`` "US or SS". Comments are
    stripped first: commented-out entries are none, and live ones carry
    inline notes (``VR::DS /* TM*/``). The two 0xffff sentinel rows that end
    the array are skipped.
    """
    code = csource.strip_comments(text)
    start, end = csource.array_body(code, _GDCM_ARRAY, "DICOMV3DataDict array")
    rows: list[PrivateRow] = []
    spans: list[tuple[int, int]] = []
    for m in _GDCM_ENTRY.finditer(code, start, end):
        spans.append(m.span())
        group, element, owner, vr, vm, name = m.groups()
        if group.lower() == element.lower() == "ffff":
            continue
        try:
            if not vm.startswith("VM") or vm == "VM0":
                raise ValueError(f"unsupported VM {vm!r}")
            if name == "nullptr":
                raise ValueError("an entry without a name before the sentinels")
            if int(element, 16) > 0xFF:
                raise ValueError(f"element 0x{element} is more than its low byte")
            _checked(
                rows,
                _row(
                    source, csource.c_string(owner), group, element, vr,
                    vm[2:].replace("_", "-"), "", csource.c_string(name),
                ),
            )  # fmt: skip
        except ValueError as e:
            raise ValueError(f"line {csource.line_of(code, m.start())}: {e}") from None
    csource.check_gaps(code, start, spans, end, "DICOMV3DataDict entry")
    return rows


_VTK_CONTENTS = re.compile(r"\bDictEntry\s+Dict(\d+)Contents\s*\[\s*\]\s*=\s*\{")
_VTK_DICT = re.compile(r"\bvtkDICOMDictionary::Dict\s+Dict(\d+)Data\s*=\s*\{\s*(" + _C_STRING + ")")
_VTK_ENTRY = re.compile(
    r"\{\s*0x([0-9A-Fa-f]{4})\s*,\s*0x([0-9A-Fa-f]{4})\s*,\s*\d+\s*,"
    r"\s*VR::(\w+)\s*,\s*VM::(\w+)\s*,\s*(" + _C_STRING + r")\s*\}"
)


def _vtk_vm(vm: str) -> str:
    """vtk-dicom's VM names: M1 "1", M1TN "1-n", M2T2N "2-2n", M1T16 "1-16"."""
    m = re.fullmatch(r"M(\d+)(?:T(\d*N|\d+))?", vm)
    if m is None:
        raise ValueError(f"unsupported VM {vm!r}")
    return m.group(1) + (f"-{m.group(2).lower()}" if m.group(2) else "")


def parse_vtk_dicom_cxx(text: str, source: str) -> list[PrivateRow]:
    """Rows of vtk-dicom's private dictionary, vtkDICOMDictPrivate.cxx.

    One table per creator: ``DictNNNContents[]`` holds ``{0xgggg, 0xeeee,
    flags, VR::XX, VM::Mab, "Keyword"}`` and the creator is the first field of
    the ``DictNNNData`` struct that follows (not the "// ----- X -----"
    comment above the table). vtk-dicom gives keywords only: names are made
    from them. An element above 0xFF (0x10ee, 0x11ee, ...) is a
    block-specific definition of block 0x10, 0x11, ... The header comment,
    with its "Errata" block of corrections in diff form (already applied to
    the tables), is stripped with the other comments.
    """
    code = csource.strip_comments(text)
    creators = {m.group(1): m.group(2) for m in _VTK_DICT.finditer(code)}
    rows: list[PrivateRow] = []
    tables = list(_VTK_CONTENTS.finditer(code))
    if not tables:
        raise ValueError(f"line {csource.line_of(code, len(code))}: no DictNNNContents table")
    for table in tables:
        number = table.group(1)
        start = table.end()
        end = code.find("};", start)
        if end < 0:
            raise ValueError(f"line {csource.line_of(code, start)}: Dict{number}Contents not closed")
        if number not in creators:
            raise ValueError(f"line {csource.line_of(code, start)}: no Dict{number}Data (its creator)")
        creator = csource.c_string(creators[number])
        spans: list[tuple[int, int]] = []
        for m in _VTK_ENTRY.finditer(code, start, end):
            spans.append(m.span())
            group, element, vr, vm, keyword = m.groups()
            try:
                full = int(element, 16)
                word = csource.c_string(keyword)
                row = _row(
                    source, creator, group, f"00{full & 0xFF:02x}", vr, _vtk_vm(vm), word, ""
                )
                if row is None:
                    continue
                name = name_from_keyword(row.keyword) if row.keyword else _clean(word)
                row = replace(row, name=name)
                if full > 0xFF:
                    row = _in_block(row, full >> 8)
                rows.append(row)
            except ValueError as e:
                raise ValueError(f"line {csource.line_of(code, m.start())}: {e}") from None
        csource.check_gaps(code, start, spans, end, f"Dict{number}Contents entry")
    return rows
