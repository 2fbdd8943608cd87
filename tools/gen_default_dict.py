#!/usr/bin/env python3
"""Generate the default dictionary, python/taglex/data/dicom.tlex, from the sources.

The sources are the public dictionary files in ../shared/dictdata/ (beside
the project root; TAGLEX_DICTDATA or --dictdata DIR to read them elsewhere):
the DICOM 2026c registry, DCMTK's standard and private dictionaries and 37
editions of its dicom.dic, dicom3tools, vtk-dicom, GDCM's two files, pydicom,
the safe private attributes and de-identification table of PS3.15, and the
UID tables (see SOURCES). How their rows become records is described in
docs/default-dictionary.md; the rules are in tools/dictsources/merge.py.

Besides the .tlex file the generator writes the UID table
python/taglex/data/uids.tsv (--uids FILE), the provenance table
docs/dictionary-sources.csv, the list of disputed VRs
docs/dictionary-disputed-vrs.csv, docs/editions.md, and the generated
blocks of docs/default-dictionary.md (between "<!-- generated: NAME -->" and
"<!-- end generated -->").

Usage:
    python tools/gen_default_dict.py            # regenerate the bundled file and docs
    python tools/gen_default_dict.py OUT.tlex   # write the .tlex somewhere else
    python tools/gen_default_dict.py --check    # exit 1 if any output is stale

The same sources give the same bytes. Needs the taglex package importable
(its writer and creator canonicalisation), nothing else.
"""

from __future__ import annotations

import argparse
import csv
import io
import os
import re
import sys
from collections import Counter
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

sys.path.insert(0, str(Path(__file__).resolve().parent))

from dictsources import deid, history, merge, private, standard, uids  # noqa: E402
from dictsources.rows import (  # noqa: E402
    Deidentification,
    History,
    PrivateRow,
    StandardRow,
    tag_text,
)

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = ROOT / "python" / "taglex" / "data" / "dicom.tlex"
DEFAULT_UIDS = ROOT / "python" / "taglex" / "data" / "uids.tsv"
# TAGLEX_DICTDATA names the folder where it is not beside the project (a git worktree).
DEFAULT_DICTDATA = Path(os.environ.get("TAGLEX_DICTDATA") or ROOT.parent / "shared" / "dictdata")
DOCS = ROOT / "docs"


@dataclass(frozen=True)
class Provenance:
    """One source file set: where it came from and under which license."""

    key: str
    label: str
    path: str  # under the sources folder
    repository: str
    repo_path: str
    commit: str
    date: str
    edition: str
    license: str
    license_files: str  # under the sources folder, ";"-separated


SOURCES = (
    Provenance(
        "registry", "DICOM 2026c", "standard/ps36-2026c/registry.tsv", "cosyte/dicom",
        "src/dictionary/generated/tags.ts", "b8f40e29", "2026-07-28",
        "DICOM 2026c (PS3.6 Tables 6-1, 7-1, 8-1, 9-1)", "MIT",
        "standard/ps36-2026c/LICENSE",
    ),
    Provenance(
        "2026d", "DICOM 2026d", "(one element, in tools/gen_default_dict.py)", "NEMA",
        "PS3.6 2026d", "", "2026", "DICOM 2026d: adds (3004,007F) only", "NEMA publication",
        "",
    ),
    Provenance(
        "commands", "DCMTK dicom.dic 2026-03-28 (DICOM 2026b)", "standard/dcmtk-2026b/dicom.dic",
        "DCMTK/dcmtk", "dcmdata/data/dicom.dic", "dacde7a1", "2026-03-28",
        "DICOM 2026b (PS3.6 and PS3.7)", "BSD-3-Clause", "standard/dcmtk-2026b/COPYRIGHT",
    ),
    Provenance(
        "dicom3tools", "dicom3tools 2024-12-20", "private/dicom3tools-20241220/*.tpl",
        "QIICR/dicom3tools", "libsrc/standard/elmdict/*.tpl", "f56a2237", "2024-12-20",
        "snapshot 2024-12-20", "BSD-3-Clause style", "private/dicom3tools-20241220/COPYRIGHT",
    ),
    Provenance(
        "dcmtk", "DCMTK 2026-03-02", "private/dcmtk-20260302/private.dic;diconde.dic",
        "DCMTK/dcmtk", "dcmdata/data/private.dic;diconde.dic", "213f586c", "2026-03-02",
        "2026-03-02", "BSD-3-Clause", "private/dcmtk-20260302/COPYRIGHT",
    ),
    Provenance(
        "gdcm", "GDCM 2025-10-31", "private/gdcm-20251031/privatedicts.xml", "malaterre/GDCM",
        "Source/DataDictionary/privatedicts.xml", "ad9bf3a9", "2025-10-31", "2025-10-31",
        "BSD-3-Clause", "private/gdcm-20251031/Copyright.txt;"
        "private/gdcm-20251031/COPYRIGHT.dicom3tools",
    ),
    Provenance(
        "pydicom", "pydicom 2024-09-16", "private/pydicom-20240916/private_dict.tsv",
        "pydicom/pydicom", "src/pydicom/_private_dict.py", "f123075c", "2024-09-16",
        "2024-09-16", "MIT", "private/pydicom-20240916/LICENSE",
    ),
    Provenance(
        "safe", "DICOM PS3.15 2026c safe private", "deidentification/ps315-2026c/safe_private.tsv",
        "cosyte/dicom", "vendor/nema/part15/part15.xml", "3712b00b", "2026-07-28",
        "DICOM 2026c PS3.15 Table E.3.10-1", "NEMA publication (credit: DICOM PS3.15 2026c, (c) NEMA)",
        "",
    ),
    Provenance(
        "gdcm-cxx", "GDCM 2026-06-10", "private/gdcm-20260610/gdcmPrivateDefaultDicts.cxx",
        "malaterre/GDCM", "Source/DataDictionary/gdcmPrivateDefaultDicts.cxx", "acae0a99",
        "2026-06-10", "2026-06-10", "BSD-3-Clause", "private/gdcm-20260610/Copyright.txt;"
        "private/gdcm-20260610/COPYRIGHT.dicom3tools",
    ),
    Provenance(
        "vtk-dicom", "vtk-dicom 2025-11-08", "private/vtk-dicom-20251108/vtkDICOMDictPrivate.cxx",
        "dgobbi/vtk-dicom", "Source/vtkDICOMDictPrivate.cxx", "2dd74234", "2026-02-08",
        "dicom3tools snapshot 2025-10-20, generated 2025-11-08, with errata", "BSD-3-Clause",
        "private/vtk-dicom-20251108/Copyright.txt;private/vtk-dicom-20251108/COPYRIGHT.dicom3tools",
    ),
    Provenance(
        "history", "DCMTK dicom.dic editions 2018c-2026b", "standard/history/dicom-*.dic;editions.tsv",
        "DCMTK/dcmtk", "dcmdata/data/dicom.dic", "5df0acf2..dacde7a1", "2018-07-16..2026-03-28",
        "DICOM 2018c to 2026b, 37 editions", "BSD-3-Clause", "standard/history/COPYRIGHT",
    ),
    Provenance(
        "deid", "DICOM PS3.15 2026c Table E.1-1", "deidentification/ps315-2026c/table_e1-1.tsv",
        "cosyte/dicom", "vendor/nema/part15/part15.xml", "3712b00b", "2026-07-28",
        "DICOM 2026c PS3.15 Table E.1-1", "NEMA publication (credit: DICOM PS3.15 2026c, (c) NEMA)",
        "",
    ),
    Provenance(
        "deid-check", "cosyte annex-e 2026c (check only)",
        "deidentification/ps315-2026c/basic_profile.tsv", "cosyte/dicom",
        "src/dictionary/generated/annex-e.ts", "442c60fe", "2026-07-28",
        "DICOM 2026c PS3.15 Table E.1-1", "MIT", "deidentification/ps315-2026c/LICENSE",
    ),
    Provenance(
        "uids", "DICOM 2026c UIDs", "uids/ps36-2026c/uids.tsv", "cosyte/dicom",
        "src/dictionary/generated/uids.ts", "c0fa3628", "2026-08-06",
        "DICOM 2026c (PS3.6 Tables A-1, A-2)", "MIT", "uids/ps36-2026c/LICENSE",
    ),
    Provenance(
        "uid-pydicom", "pydicom UIDs 2025-03-16", "uids/keywords/pydicom_uids.tsv",
        "pydicom/pydicom", "src/pydicom/_uid_dict.py", "3651ee1e", "2025-03-16",
        "DICOM 2024d", "MIT", "uids/keywords/LICENSE-pydicom",
    ),
    Provenance(
        "uid-dicom-rs", "dicom-rs UIDs 2025-10-02", "uids/keywords/dicom-rs_uids.tsv",
        "Enet4/dicom-rs", "dictionary-std/src/uids.rs", "8cb41b37", "2025-10-02",
        "about DICOM 2025c/d (Table A-1)", "MIT OR Apache-2.0",
        "uids/keywords/LICENSE-dicom-rs-MIT;uids/keywords/LICENSE-dicom-rs-APACHE",
    ),
    Provenance(
        "uid-nema", "vtk-dicom nemauids 2025e",
        "uids/context-groups/context_groups.tsv;uid_values.tsv", "dgobbi/vtk-dicom",
        "Utilities/nemauids.txt", "4d958813", "2025-11-20",
        "DICOM 2025e (PS3.6 Tables A-1 with Part, A-3, A-4)",
        "BSD-3-Clause; content NEMA (credit: DICOM PS3.6 2025e, (c) NEMA)",
        "uids/context-groups/Copyright.txt",
    ),
)  # fmt: skip
PROVENANCE = {p.key: p for p in SOURCES}

# The one element DICOM 2026d adds to 2026c (three independent sources agree).
ADDED_2026D = StandardRow(
    "3004007F", "DoseCalculationModelName", "Dose Calculation Model Name", ("LO",), "1", False
)

# Private sources in label and VR tie order. dicom3tools and vtk-dicom (made
# from a newer dicom3tools) are one lineage and one vote, as are GDCM's two
# files; the newer file speaks for the vote. pydicom is mostly a copy of
# GDCM's, so it does not vote.
PRIVATE_SOURCES = (
    merge.Source(PROVENANCE["dicom3tools"].label, "dicom3tools", vote="dicom3tools", rank=1),
    merge.Source(PROVENANCE["vtk-dicom"].label, "vtk-dicom", vote="dicom3tools", rank=0),
    merge.Source(PROVENANCE["dcmtk"].label, "DCMTK"),
    merge.Source(PROVENANCE["gdcm-cxx"].label, "GDCM", vote="GDCM", rank=0),
    merge.Source(PROVENANCE["gdcm"].label, "GDCM XML", vote="GDCM", rank=1),
    merge.Source(PROVENANCE["pydicom"].label, "pydicom", independent=False),
    merge.Source(PROVENANCE["safe"].label, "PS3.15", independent=False, table=True),
)
NAME_ORDER = tuple(
    PROVENANCE[k].label
    for k in ("dicom3tools", "gdcm-cxx", "gdcm", "pydicom", "safe", "dcmtk", "vtk-dicom")
)
KEYWORD_ORDER = tuple(PROVENANCE[k].label for k in ("vtk-dicom", "dicom3tools", "dcmtk"))
PRIVATE_KEYS = ("dicom3tools", "vtk-dicom", "dcmtk", "gdcm-cxx", "gdcm", "pydicom", "safe")


# --- reading -------------------------------------------------------------------------


# The versions of DCMTK's dicom.dic rows that are standard elements.
DCMTK_STANDARD_VERSIONS = frozenset({"DICOM", "DICOM/retired", "DICOM/DICONDE", "DICOM/DICOS"})
T = TypeVar("T")


@dataclass
class Loaded:
    registry: list[StandardRow]
    dcmtk_standard: list[StandardRow]
    private: dict[str, list[PrivateRow]]  # by source key
    editions: list[tuple[str, list[StandardRow]]]
    deid: list[deid.DeidRow]
    profile: list[deid.ProfileRow]
    uid_registry: list[uids.RegistryUID]
    uid_pydicom: list[uids.KeywordUID]
    uid_dicom_rs: list[uids.KeywordUID]
    uid_groups: list[uids.ContextGroup]
    uid_parts: list[uids.PartUID]


def _text(path: Path) -> str:
    """A source file's text; ValueError "line N: ..." where it is not UTF-8,
    empty, or cut short (every source ends with a newline)."""
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"line {data.count(b'\n', 0, e.start) + 1}: not UTF-8 ({e.reason})")
    if not text.strip():
        raise ValueError("line 1: the file is empty")
    if not text.endswith("\n"):
        raise ValueError(f"line {text.count(chr(10)) + 1}: cut short (the last line has no end)")
    return text


def _xml_error(e: ET.ParseError) -> ValueError:
    line, column = e.position
    return ValueError(f"line {line}: {str(e).split(':')[0]} (column {column + 1})")


def _lines(parse: Callable[[list[str]], list[Any]]) -> Callable[[str], list[Any]]:
    return lambda text: parse(text.splitlines())


def _private(key: str, parse: Callable[[list[str], str], list[PrivateRow]]) -> Callable[[str], list[Any]]:
    return lambda text: parse(text.splitlines(), PROVENANCE[key].label)


def _private_text(key: str, parse: Callable[[str, str], list[PrivateRow]]) -> Callable[[str], list[Any]]:
    return lambda text: parse(text, PROVENANCE[key].label)


_DCMTK_DIC = _lines(lambda t: standard.parse_dcmtk_dic(t, DCMTK_STANDARD_VERSIONS))
_D3T_DIR = "private/dicom3tools-20241220"

# Every source format: a file of it (under the sources folder) and its parser
# (text -> rows). load() reads each source with the parser of its format.
FORMATS: dict[str, tuple[str, Callable[[str], list[Any]]]] = {
    "registry": ("standard/ps36-2026c/registry.tsv", _lines(standard.parse_registry_tsv)),
    "dicom.dic": ("standard/dcmtk-2026b/dicom.dic", _DCMTK_DIC),
    "editions": ("standard/history/editions.tsv", _lines(history.parse_editions)),
    "tpl": (f"{_D3T_DIR}/philips.tpl", _private("dicom3tools", private.parse_dicom3tools)),
    "private.dic": (
        "private/dcmtk-20260302/private.dic", _private("dcmtk", private.parse_dcmtk_private)
    ),
    "gdcm-xml": (
        "private/gdcm-20251031/privatedicts.xml", _private_text("gdcm", private.parse_gdcm_xml)
    ),
    "gdcm-cxx": (
        "private/gdcm-20260610/gdcmPrivateDefaultDicts.cxx",
        _private_text("gdcm-cxx", private.parse_gdcm_cxx),
    ),
    "vtk-dicom-cxx": (
        "private/vtk-dicom-20251108/vtkDICOMDictPrivate.cxx",
        _private_text("vtk-dicom", private.parse_vtk_dicom_cxx),
    ),
    "pydicom": (
        "private/pydicom-20240916/private_dict.tsv", _private("pydicom", private.parse_pydicom_tsv)
    ),
    "safe": (
        "deidentification/ps315-2026c/safe_private.tsv",
        _private("safe", private.parse_safe_private),
    ),
    "table-e1-1": (
        "deidentification/ps315-2026c/table_e1-1.tsv",
        _lines(lambda t: deid.parse_table_e1(t, merge.OPTION_NAMES)),
    ),
    "basic-profile": (
        "deidentification/ps315-2026c/basic_profile.tsv", _lines(deid.parse_basic_profile)
    ),
    "uids": ("uids/ps36-2026c/uids.tsv", _lines(uids.parse_registry)),
    "uid-pydicom": ("uids/keywords/pydicom_uids.tsv", _lines(uids.parse_pydicom)),
    "uid-dicom-rs": ("uids/keywords/dicom-rs_uids.tsv", _lines(uids.parse_dicom_rs)),
    "context-groups": (
        "uids/context-groups/context_groups.tsv", _lines(uids.parse_context_groups)
    ),
    "uid-values": ("uids/context-groups/uid_values.tsv", _lines(uids.parse_uid_values)),
}  # fmt: skip


def read_source(
    sources: Path, rel: str | Path, parse: Callable[[str], list[T]], empty_ok: bool = False
) -> list[T]:
    """The rows of one source file; a missing, empty, cut short or malformed
    one exits with one line naming the file and the line."""
    path = sources / rel
    try:
        text = _text(path)
        try:
            rows = parse(text)
        except ET.ParseError as e:
            raise _xml_error(e) from None
        if not rows and not empty_ok:
            raise ValueError(f"line {text.count(chr(10))}: no rows (cut short?)")
        return rows
    except OSError as e:
        raise SystemExit(f"gen_default_dict: {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise SystemExit(f"gen_default_dict: {path}: {e}") from None


def load(sources: Path) -> Loaded:
    """Every source's rows; a missing or malformed file exits with one message
    naming it and the line."""
    if not sources.is_dir():
        raise SystemExit(f"gen_default_dict: no dictdata folder at {sources} (--dictdata DIR)")

    def read(name: str, rel: str | Path | None = None, empty_ok: bool = False) -> list[Any]:
        default, parse = FORMATS[name]
        return read_source(sources, rel or default, parse, empty_ok)

    registry = read("registry")
    tpls = sorted((sources / _D3T_DIR).glob("*.tpl"))
    if not tpls:
        raise SystemExit(f"gen_default_dict: no .tpl files in {sources / _D3T_DIR}")
    private_by_key = {
        # dicom3.tpl and a few others hold standard elements only
        "dicom3tools": [row for tpl in tpls for row in read("tpl", tpl, empty_ok=True)],
        "vtk-dicom": read("vtk-dicom-cxx"),
        "dcmtk": read("private.dic") + read("private.dic", "private/dcmtk-20260302/diconde.dic"),
        "gdcm-cxx": read("gdcm-cxx"),
        "gdcm": read("gdcm-xml"),
        "pydicom": read("pydicom"),
        "safe": read("safe"),
    }
    editions: list[tuple[str, list[StandardRow]]] = []
    for row in read("editions"):
        if row.file == "../ps36-2026c/registry.tsv":
            # The registry has no command elements (PS3.7): they go on as DCMTK had them.
            commands = [r for r in editions[-1][1] if r.tag.startswith("0000")] if editions else []
            editions.append((row.edition, registry + commands))
        else:
            editions.append((row.edition, read("dicom.dic", Path("standard/history") / row.file)))
    return Loaded(
        registry,
        read("dicom.dic"),
        private_by_key,
        editions,
        read("table-e1-1"),
        read("basic-profile"),
        read("uids"),
        read("uid-pydicom"),
        read("uid-dicom-rs"),
        read("context-groups"),
        read("uid-values"),
    )


# --- building -------------------------------------------------------------------------


@dataclass
class Built:
    data: bytes
    records: list[merge.Record]
    standard: list[merge.Record]
    registry_disputes: list[tuple[str, list[str]]]
    private: list[merge.PrivateKey]
    loaded: Loaded
    history: dict[str, History]
    changes: list[history.Changes]
    deid_rows: dict[int, int]  # line of each table row -> records it applies to
    uids: uids.Merged


def _mask_of(registry: Sequence[StandardRow]) -> dict[str, str]:
    """Every tag that is an instance of a registry mask, and not an element of
    its own, mapped to the mask ("00280410" -> "002804x0")."""
    own = {r.tag for r in registry}
    out: dict[str, str] = {}
    for r in registry:
        if "x" in r.tag:
            for group, element in merge.standard_tags(r.tag):
                tag = f"{group:04X}{element:04X}"
                if tag not in own:
                    out[tag] = r.tag
    return out


def build(sources: Path) -> Built:
    from taglex import writer
    from taglex._core import canonicalize_creator

    loaded = load(sources)
    if any(row.tag == ADDED_2026D.tag for row in loaded.registry):
        raise SystemExit("gen_default_dict: the registry has (3004,007F) now; drop ADDED_2026D")
    editions = [*loaded.editions, ("2026d", [*loaded.editions[-1][1], ADDED_2026D])]
    try:
        told, changes = history.editions_history(editions, _mask_of(loaded.registry))
    except history.EditionError as e:
        name = editions[e.index][0]
        rows = read_source(sources, FORMATS["editions"][0], FORMATS["editions"][1])
        file = next((r.file for r in rows if r.edition == name), FORMATS["registry"][0])
        path = Path(os.path.normpath(sources / "standard/history" / file))
        last = path.read_text(encoding="utf-8").count("\n") if path.is_file() else 0
        raise SystemExit(f"gen_default_dict: {path}: line {last}: {e}") from None

    exact, masked = deid.matcher(loaded.deid)
    private_row = next((r for r in loaded.deid if r.tag == deid.PRIVATE), None)
    used: Counter[int] = Counter()

    def deidentification(group: int, element: int) -> Deidentification | None:
        found = exact.get((group, element))
        if found is None:
            found = next((r for r in masked if deid.mask_matches(r.tag, group, element)), None)
        if found is None:
            return None
        used[found.line] += 1
        return found.action

    registry = [(row, PROVENANCE["registry"].label) for row in loaded.registry]
    registry.append((ADDED_2026D, PROVENANCE["2026d"].label))
    std, disputes = merge.standard_records(
        registry,
        loaded.dcmtk_standard,
        PROVENANCE["commands"].label,
        "DCMTK 2026b",
        told,
        deidentification,
    )
    keys = merge.private_records(
        (row for key in PRIVATE_KEYS for row in loaded.private[key]),
        PRIVATE_SOURCES,
        canonicalize_creator,
        NAME_ORDER,
        KEYWORD_ORDER,
        private_row.action if private_row else None,
    )
    if private_row:
        used[private_row.line] = len(keys)
    merged_uids = uids.merge_uids(
        loaded.uid_registry, loaded.uid_pydicom, loaded.uid_dicom_rs, loaded.uid_groups,
        loaded.uid_parts,
    )  # fmt: skip
    records = std + [k.record for k in keys]
    return Built(
        writer.build(records), records, std, disputes, keys, loaded, told, changes,
        {r.line: used[r.line] for r in loaded.deid}, merged_uids,
    )  # fmt: skip


# --- the documents ---------------------------------------------------------------------


def _csv(rows: Iterable[Sequence[str]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerows(rows)
    return out.getvalue()


def sources_csv() -> str:
    header = ["label", "path", "repository", "repository_path", "commit", "date", "edition",
              "license", "license_files"]  # fmt: skip
    return _csv(
        [header]
        + [
            [
                p.label,
                p.path,
                p.repository,
                p.repo_path,
                p.commit,
                p.date,
                p.edition,
                p.license,
                p.license_files,
            ]
            for p in SOURCES
        ]
    )


def _groups_text(groups: list[int]) -> str:
    """The groups as "gggg", as "gggg-hhhh odd" for every odd group between, or "gggg hhhh ..."."""
    if len(groups) > 2 and groups == list(range(groups[0], groups[-1] + 1, 2)):
        return f"{groups[0]:04X}-{groups[-1]:04X} odd"
    return " ".join(f"{g:04X}" for g in groups)


def disputed_csv(keys: Sequence[merge.PrivateKey]) -> tuple[str, int]:
    """The disputed VRs, one line per element (a group range on one line)."""
    shorts = [s.short for s in PRIVATE_SOURCES]
    lines: dict[tuple[int, str, str, str, tuple[str, ...]], list[int]] = {}
    for k in keys:
        if not k.verdict.disputed:
            continue
        r = k.record
        said = tuple(k.verdict.said.get(s, "") for s in shorts)
        line = (r["element"], r["creator"], r["vr"], k.verdict.rule, said)
        lines.setdefault(line, []).append(r["group"])
    rows = [["group", "element", "creator", "vr", "rule", *shorts]]
    for (element, creator, vr, rule, vrs), groups in sorted(
        lines.items(), key=lambda item: (item[1][0], item[0][0], item[0][1])
    ):
        rows.append([_groups_text(groups), f"xx{element:02X}", creator, vr, rule, *vrs])
    return _csv(rows), len(rows) - 1


def _n(value: int) -> str:
    return f"{value:,}"


def report_blocks(built: Built, csv_lines: int) -> dict[str, str]:
    """The generated blocks of docs/default-dictionary.md, by name."""
    from taglex._core import canonicalize_creator

    loaded = built.loaded
    std = built.standard
    by_label = Counter(label for r in std for label in r["sources"])
    masks = [r for r in loaded.registry if "x" in r.tag]
    counts = [
        "| | rows | records |",
        "|---|---:|---:|",
        f"| {PROVENANCE['registry'].label} registry | {_n(len(loaded.registry))} "
        f"({_n(len(masks))} masks) | {_n(by_label[PROVENANCE['registry'].label])} |",
        f"| {PROVENANCE['2026d'].label} | 1 | {_n(by_label[PROVENANCE['2026d'].label])} |",
        f"| {PROVENANCE['commands'].label}, group 0000 | "
        f"{_n(sum(1 for r in loaded.dcmtk_standard if r.tag.startswith('0000')))} | "
        f"{_n(by_label[PROVENANCE['commands'].label])} |",
        f"| standard, all | | {_n(len(std))} |",
    ]

    alone: Counter[str] = Counter()
    keys_of: Counter[str] = Counter()
    for k in built.private:
        for label in k.labels:
            keys_of[label] += 1
        if len(k.labels) == 1:
            alone[k.labels[0]] += 1
    private_rows = [
        "| source | rows | creators | keys | keys no other source has |",
        "|---|---:|---:|---:|---:|",
    ]
    for s in PRIVATE_SOURCES:
        key = next(p.key for p in SOURCES if p.label == s.label)
        rows = loaded.private[key]
        creators = {canonicalize_creator(r.creator) for r in rows}
        private_rows.append(
            f"| {s.label} | {_n(len(rows))} | {_n(len(creators))} | {_n(keys_of[s.label])} "
            f"| {_n(alone[s.label])} |"
        )
    union_creators = {canonicalize_creator(k.record["creator"]) for k in built.private}
    disputed = sum(1 for k in built.private if k.verdict.disputed)
    rules = Counter(k.verdict.rule.split(" ")[0].rstrip(":") for k in built.private)
    safe = PROVENANCE["safe"].label
    safe_keys = [k for k in built.private if safe in k.labels]
    safe_only = sum(1 for k in safe_keys if k.labels == [safe])
    private_rows += [
        f"| **union** | | {_n(len(union_creators))} | {_n(len(built.private))} | |",
        "",
        f"Keys whose sources disagree on the VR: {_n(disputed)} "
        f"({_n(csv_lines)} lines in [dictionary-disputed-vrs.csv](dictionary-disputed-vrs.csv)). "
        "How the VRs of all private keys were chosen: "
        + ", ".join(f"{rule} {_n(n)}" for rule, n in sorted(rules.items()))
        + ".",
        "",
        f"Safe private attributes: {_n(len(loaded.private['safe']))} rows, "
        f"{_n(len(safe_keys) - safe_only)} of them in at least one dictionary, "
        f"{_n(safe_only)} added from the table alone.",
    ]
    total = [
        f"| entries | {_n(len(built.records))} ({_n(len(std))} standard, "
        f"{_n(len(built.private))} private) |",
        f"| file size | {_n(len(built.data))} bytes |",
    ]
    reg_lines = ["| tag | DCMTK 2026b says |", "|---|---|"] + [
        f"| {tag_text(tag[:4], tag[4:])} | {', '.join(said)} |"
        for tag, said in built.registry_disputes
    ]
    if not built.registry_disputes:
        reg_lines = ["None: the two registries agree on every element both have."]
    reg_lines += ["", *registry_presence(loaded)]
    return {
        "totals": "\n".join(total),
        "standard": "\n".join(counts),
        "private": "\n".join(private_rows),
        "registries": "\n".join(reg_lines),
    }


def registry_presence(loaded: Loaded) -> list[str]:
    """What one registry lists and the other does not (group 0000 aside)."""
    first = {r.tag: r for r in loaded.registry}
    second = {r.tag for r in loaded.dcmtk_standard if not r.tag.startswith("0000")}
    masked = {
        tag: r.tag for r in loaded.registry if "x" in r.tag for tag in merge.standard_tags(r.tag)
    }

    def text(tag: str) -> str:
        return tag_text(tag[:4], tag[4:])

    def first_only(tag: str) -> str:
        row = first[tag]
        return f"{text(tag)} {row.keyword or '(no keyword)'}{', retired' if row.retired else ''}"

    def second_only(tag: str) -> str:
        mask = None if "x" in tag else masked.get((int(tag[:4], 16), int(tag[4:], 16)))
        return f"{text(tag)}{f' (in {text(mask)})' if mask else ''}"

    only_first = sorted(set(first) - second)
    only_second = sorted(second - set(first))
    return [
        f"Only in the {PROVENANCE['registry'].label} registry ({len(only_first)}): "
        + "; ".join(first_only(t) for t in only_first) + ".",
        "",
        f"Only in DCMTK's dicom.dic, group 0000 aside ({len(only_second)}): "
        + ", ".join(second_only(t) for t in only_second) + ".",
    ]  # fmt: skip


_BLOCK = re.compile(r"(<!-- generated: (\w+) -->\n)(.*?)(<!-- end generated -->)", re.S)


def fill_report(text: str, blocks: dict[str, str]) -> str:
    """The report with every generated block replaced; each must be there once."""
    seen: list[str] = []

    def replace(m: re.Match[str]) -> str:
        name = m.group(2)
        if name not in blocks:
            raise SystemExit(f"gen_default_dict: unknown generated block {name!r}")
        seen.append(name)
        return f"{m.group(1)}{blocks[name]}\n{m.group(4)}"

    out = _BLOCK.sub(replace, text)
    missing = sorted(set(blocks) - set(seen))
    if missing or len(seen) != len(set(seen)):
        raise SystemExit(f"gen_default_dict: report blocks missing or repeated: {missing or seen}")
    return out


def _tags(pairs: Iterable[tuple[str, str]]) -> str:
    return ", ".join(f"{tag_text(t[:4], t[4:])} {k}" for t, k in pairs)


def more_blocks(built: Built) -> dict[str, str]:
    """The blocks on the votes, block-specific entries, history, de-identification and UIDs."""
    keys = built.private
    by_voter = {s.label: s.voter for s in PRIVATE_SOURCES}
    votes_alone: Counter[str] = Counter()
    for k in keys:
        voters = {by_voter[label] for label in k.labels}
        if len(voters) == 1:
            votes_alone[voters.pop()] += 1
    newer = {"GDCM": ("gdcm-cxx", "gdcm"), "dicom3tools": ("vtk-dicom", "dicom3tools")}
    votes = [
        "| vote | its sources | keys only this vote has | keys its newer file adds to the older |",
        "|---|---|---:|---:|",
    ]
    for voter in dict.fromkeys(s.voter for s in PRIVATE_SOURCES if s.independent):
        members = [s.label for s in PRIVATE_SOURCES if s.voter == voter]
        added = ""
        if voter in newer:
            new, old = (PROVENANCE[k].label for k in newer[voter])
            added = _n(sum(1 for k in keys if new in k.labels and old not in k.labels))
        votes.append(f"| {voter} | {', '.join(members)} | {_n(votes_alone[voter])} | {added} |")

    exact = [k for k in keys if not k.record["block_offset"]]
    block_form = {
        (k.record["group"], k.record["element"], k.record["creator"].upper()): k.record
        for k in keys
        if k.record["block_offset"]
    }
    beside = [
        (k.record, block_form.get((k.record["group"], k.record["element"] & 0xFF, k.record["creator"].upper())))
        for k in exact
    ]
    with_form = [(r, b) for r, b in beside if b is not None]
    differ = [(r, b) for r, b in with_form if b["keyword"] != r["keyword"]]
    labels = Counter(label for k in exact for label in k.labels)
    blocks = [
        f"Block-specific entries: {_n(len(exact))} under {_n(len({r['creator'] for r, _ in beside}))} "
        "creators ("
        + ", ".join(f"{label} {_n(n)}" for label, n in sorted(labels.items()))
        + f"). {_n(len(with_form))} of them have a block-form entry of the same key beside them, "
        f"{_n(len(differ))} of which define another element, for example "
        + "; ".join(
            f"({r['group']:04X},{r['element']:04X}) {r['creator']} {r['keyword'] or '(unnamed)'} where the block "
            f"form (xx{b['element']:02X}) is {b['keyword'] or '(unnamed)'}"
            for r, b in differ[:3]
        )
        + "."
    ]

    formerly = {t: h for t, h in built.history.items() if h.formerly}
    since = Counter(h.since for h in built.history.values() if h.since)
    no_history = [r for r in built.loaded.registry if not r.keyword]
    hist = [
        f"Editions read: {len(built.loaded.editions)}, {built.loaded.editions[0][0]} to "
        f"{built.loaded.editions[-1][0]} (the last the registry), and 2026d. Elements followed: {_n(len(built.history))}; "
        f"{_n(sum(since.values()))} of them appeared after {built.loaded.editions[0][0]} "
        f"(\"since\"), {len(formerly)} were renamed (\"formerly\"): "
        + "; ".join(
            f"{tag_text(t[:4], t[4:])} {', '.join(h.formerly)}" for t, h in sorted(formerly.items())
        )
        + f". Registry rows without a keyword, which no DCMTK edition lists and which are "
        f"not followed: {len(no_history)}.",
    ]

    loaded = built.loaded
    attached = sum(1 for n in built.deid_rows.values() if n)
    deid_records = sum(1 for r in built.records if "de-identification " in r["description"])
    checks = deid.cross_check(loaded.deid, loaded.profile)
    deid_lines = [
        f"Table E.1-1: {_n(len(loaded.deid))} rows, {_n(attached)} of them attached to at least "
        f"one entry; {_n(deid_records)} entries carry a de-identification part "
        f"({_n(len(keys))} of them private, from the private-attributes row).",
        "",
        f"Against the second extraction (`basic_profile.tsv`, {_n(len(loaded.profile))} rows; "
        "U+200B removed from the names of both, and its RetainLongitudinalTemporal read as the two "
        f"longitudinal options): {len(checks)} disagreement{'s' if len(checks) != 1 else ''}"
        + (": " + "; ".join(checks) + "." if checks else "."),
    ]

    merged = built.uids
    kinds = Counter(u.type for u in merged.uids)
    uid_lines = [
        f"UIDs: {_n(len(merged.uids))} ("
        + ", ".join(f"{kind} {_n(n)}" for kind, n in sorted(kinds.items(), key=lambda kv: (-kv[1], kv[0])))
        + f"), {_n(sum(1 for u in merged.uids if u.retired))} retired.",
        "",
        f"Keywords of the {_n(len(loaded.uid_registry))} registry UIDs: from both keyword sources "
        f"{_n(merged.keyword_from['both'])}, from pydicom alone {_n(merged.keyword_from['pydicom'])}, "
        f"from dicom-rs alone {_n(merged.keyword_from['dicom-rs'])}; the two disagree on "
        f"{len(merged.keyword_disputes)}"
        + (" (" + "; ".join(merged.keyword_disputes) + ")" if merged.keyword_disputes else "")
        + f"; no keyword in either: {len(merged.no_keyword)} ("
        + "; ".join(f"{u.uid} {u.name}" for u in merged.no_keyword)
        + ").",
        "",
        f"Rows of the 2025e file left out ({len(merged.left_out)}): "
        + "; ".join(merged.left_out) + ".",
        "",
        f"Without a Part: {sum(1 for u in merged.uids if not u.part)}: "
        f"{sum(1 for u in merged.uids if not u.part and u.type == 'Well-known frame of reference')} "
        "frames of reference, whose normative reference is their info, and "
        + "; ".join(
            f"{u.uid} {u.name}"
            for u in merged.uids
            if not u.part and u.type != "Well-known frame of reference"
        )
        + ".",
    ]  # fmt: skip
    return {
        "votes": "\n".join(votes),
        "blocks": "\n".join(blocks),
        "history": "\n".join(hist),
        "deidentification": "\n".join(deid_lines),
        "uids": "\n".join(uid_lines),
    }


def editions_md(built: Built) -> str:
    """docs/editions.md: per edition, the elements added, retired, un-retired and renamed."""
    first = built.loaded.editions[0][0]
    out = [
        "# Editions of the DICOM registry, 2018c to 2026d",
        "",
        "Generated by `tools/gen_default_dict.py` (`--check` tells whether it is stale) from",
        "DCMTK's `dicom.dic` as it stood after each of its \"Updated data dictionary for",
        "DICOM 20xxy.\" commits, the DICOM 2026c registry and the one element 2026d adds",
        "(see [default-dictionary.md](default-dictionary.md)). DCMTK made no such commit for",
        "2019c, 2020b or 2023d: their changes are counted in the next edition. Tags are",
        "written as the 2026c registry writes them (a mask such as (0028,04x0) for the",
        "instances DCMTK lists one by one); elements without a keyword, which DCMTK does",
        "not list, are not followed; group 0000 goes on from 2026b, the registry having",
        "no command elements.",
        "",
        "| edition | elements | added | retired | un-retired | renamed |",
        "|---|---:|---:|---:|---:|---:|",
        f"| {first} | {_n(len(history._normalised(built.loaded.editions[0][1], _mask_of(built.loaded.registry))))}"
        " | | | | |",
    ]
    for c in built.changes:
        out.append(
            f"| {c.edition} | {_n(c.count)} | {len(c.added)} | {len(c.retired)} | "
            f"{len(c.unretired)} | {len(c.renamed)} |"
        )
    for c in built.changes:
        out += ["", f"## {c.edition}", ""]
        if not (c.added or c.retired or c.unretired or c.renamed):
            out.append("No change.")
        for what, pairs in (("Added", c.added), ("Retired", c.retired), ("Un-retired", c.unretired)):
            if pairs:
                out.append(f"- {what} ({len(pairs)}): {_tags(pairs)}.")
        if c.renamed:
            out.append(
                f"- Renamed ({len(c.renamed)}): "
                + ", ".join(f"{tag_text(t[:4], t[4:])} {a} to {b}" for t, a, b in c.renamed)
                + "."
            )
    return "\n".join(out) + "\n"


UIDS_HEADER = """The UIDs of DICOM 2026c: PS3.6 Tables A-1 and A-2, the context groups of Table
A-3 and the templates of Table A-4. Generated by tools/gen_default_dict.py; do not
edit. Sources and licenses: THIRD_PARTY_NOTICES.md. One UID a line, tab-separated;
retired is 0 or 1."""


def outputs(built: Built, output: Path, docs: Path, uid_file: Path) -> dict[Path, bytes]:
    disputed, csv_lines = disputed_csv(built.private)
    report = docs / "default-dictionary.md"
    try:
        current = report.read_text(encoding="utf-8")
    except OSError as e:
        raise SystemExit(f"gen_default_dict: {e}") from None
    blocks = {**report_blocks(built, csv_lines), **more_blocks(built)}
    return {
        output: built.data,
        uid_file: uids.uids_tsv(built.uids.uids, UIDS_HEADER).encode(),
        docs / "dictionary-sources.csv": sources_csv().encode(),
        docs / "dictionary-disputed-vrs.csv": disputed.encode(),
        docs / "editions.md": editions_md(built).encode(),
        report: fill_report(current, blocks).encode(),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("output", nargs="?", default=str(DEFAULT_OUTPUT))
    parser.add_argument(
        "--dictdata", default=str(DEFAULT_DICTDATA), help="the folder of the source files"
    )
    parser.add_argument("--docs", default=str(DOCS), help="where the report and CSV files are")
    parser.add_argument(
        "--uids", default=str(DEFAULT_UIDS), help="where the UID table goes (%(default)s)"
    )
    parser.add_argument("--check", action="store_true", help="exit 1 if any output is stale")
    args = parser.parse_args(argv)

    built = build(Path(args.dictdata))
    files = outputs(built, Path(args.output), Path(args.docs), Path(args.uids))
    summary = (
        f"{len(built.records)} entries ({len(built.standard)} standard, "
        f"{len(built.private)} private), {len(built.data)} bytes"
    )
    if args.check:
        stale = []
        for path, data in files.items():
            try:
                same = path.read_bytes() == data
            except OSError:
                same = False
            if not same:
                stale.append(str(path))
        if stale:
            print(f"gen_default_dict: out of date: {', '.join(stale)} ({summary})", file=sys.stderr)
            return 1
        print(f"up to date: {summary}")
        return 0

    from taglex import _atomic

    for path, data in files.items():
        path.parent.mkdir(parents=True, exist_ok=True)
        _atomic.write_bytes(path, data)
    print(f"wrote {args.output}: {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
