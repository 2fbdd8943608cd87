#!/usr/bin/env python3
"""Generate the default dictionary, python/taglex/data/dicom.tlex, from the sources.

The sources are the public dictionary files in ../shared/dictdata/ (beside
the project root; --dictdata DIR to read them elsewhere): the DICOM 2026c
registry, DCMTK's standard and private dictionaries, dicom3tools, GDCM,
pydicom and the safe private attributes of PS3.15 (see SOURCES). How their
rows become records is described in docs/default-dictionary.md; the rules
are in tools/dictsources/merge.py.

Besides the .tlex file the generator writes the provenance table
docs/dictionary-sources.csv, the list of disputed VRs
docs/dictionary-disputed-vrs.csv, and the generated blocks of
docs/default-dictionary.md (between "<!-- generated: NAME -->" and
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
from typing import TypeVar

sys.path.insert(0, str(Path(__file__).resolve().parent))

from dictsources import merge, private, standard  # noqa: E402
from dictsources.rows import PrivateRow, StandardRow, tag_text  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = ROOT / "python" / "taglex" / "data" / "dicom.tlex"
DEFAULT_DICTDATA = ROOT.parent / "shared" / "dictdata"
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
)  # fmt: skip
PROVENANCE = {p.key: p for p in SOURCES}

# The one element DICOM 2026d adds to 2026c (three independent sources agree).
ADDED_2026D = StandardRow(
    "3004007F", "DoseCalculationModelName", "Dose Calculation Model Name", ("LO",), "1", False
)

# Private sources in VR tie order; pydicom is mostly a copy of GDCM's, so it
# does not vote.
PRIVATE_SOURCES = (
    merge.Source(PROVENANCE["dicom3tools"].label, "dicom3tools"),
    merge.Source(PROVENANCE["dcmtk"].label, "DCMTK"),
    merge.Source(PROVENANCE["gdcm"].label, "GDCM"),
    merge.Source(PROVENANCE["pydicom"].label, "pydicom", independent=False),
    merge.Source(PROVENANCE["safe"].label, "PS3.15", independent=False, table=True),
)
NAME_ORDER = tuple(PROVENANCE[k].label for k in ("dicom3tools", "gdcm", "pydicom", "safe", "dcmtk"))
KEYWORD_ORDER = tuple(PROVENANCE[k].label for k in ("dicom3tools", "dcmtk"))


# --- reading -------------------------------------------------------------------------


# The versions of DCMTK's dicom.dic rows that are standard elements.
DCMTK_STANDARD_VERSIONS = frozenset({"DICOM", "DICOM/retired", "DICOM/DICONDE", "DICOM/DICOS"})
T = TypeVar("T")


@dataclass
class Loaded:
    registry: list[StandardRow]
    dcmtk_standard: list[StandardRow]
    private: dict[str, list[PrivateRow]]  # by source key


def load(sources: Path) -> Loaded:
    """Every source's rows; a missing or malformed file exits with one message naming it."""
    if not sources.is_dir():
        raise SystemExit(f"gen_default_dict: no dictdata folder at {sources} (--dictdata DIR)")

    def read(rel: str | Path, parse: Callable[[str], list[T]]) -> list[T]:
        path = sources / rel
        try:
            return parse(path.read_text(encoding="utf-8"))
        except (OSError, UnicodeDecodeError, ValueError, ET.ParseError) as e:
            raise SystemExit(f"gen_default_dict: {path}: {e}") from None

    registry = read(
        "standard/ps36-2026c/registry.tsv", lambda t: standard.parse_registry_tsv(t.splitlines())
    )
    dcmtk_standard = read(
        "standard/dcmtk-2026b/dicom.dic",
        lambda t: standard.parse_dcmtk_dic(t.splitlines(), DCMTK_STANDARD_VERSIONS),
    )
    d3t_dir = sources / "private/dicom3tools-20241220"
    tpls = sorted(d3t_dir.glob("*.tpl"))
    if not tpls:
        raise SystemExit(f"gen_default_dict: no .tpl files in {d3t_dir}")

    def private_rows(
        key: str, rel: str | Path, parse: Callable[[list[str], str], list[PrivateRow]]
    ) -> list[PrivateRow]:
        return read(rel, lambda t: parse(t.splitlines(), PROVENANCE[key].label))

    d3t = [
        row for tpl in tpls for row in private_rows("dicom3tools", tpl, private.parse_dicom3tools)
    ]
    dcmtk = [
        row
        for rel in ("private/dcmtk-20260302/private.dic", "private/dcmtk-20260302/diconde.dic")
        for row in private_rows("dcmtk", rel, private.parse_dcmtk_private)
    ]
    gdcm = read(
        "private/gdcm-20251031/privatedicts.xml",
        lambda t: private.parse_gdcm_xml(t, PROVENANCE["gdcm"].label),
    )
    pydicom = private_rows(
        "pydicom", "private/pydicom-20240916/private_dict.tsv", private.parse_pydicom_tsv
    )
    safe = private_rows(
        "safe", "deidentification/ps315-2026c/safe_private.tsv", private.parse_safe_private
    )
    return Loaded(
        registry,
        dcmtk_standard,
        {"dicom3tools": d3t, "dcmtk": dcmtk, "gdcm": gdcm, "pydicom": pydicom, "safe": safe},
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


def build(sources: Path) -> Built:
    from taglex import writer
    from taglex._canonical import canonicalize_creator

    loaded = load(sources)
    if any(row.tag == ADDED_2026D.tag for row in loaded.registry):
        raise SystemExit("gen_default_dict: the registry has (3004,007F) now; drop ADDED_2026D")
    registry = [(row, PROVENANCE["registry"].label) for row in loaded.registry]
    registry.append((ADDED_2026D, PROVENANCE["2026d"].label))
    std, disputes = merge.standard_records(
        registry, loaded.dcmtk_standard, PROVENANCE["commands"].label, "DCMTK 2026b"
    )
    keys = merge.private_records(
        (row for rows in loaded.private.values() for row in rows),
        PRIVATE_SOURCES,
        canonicalize_creator,
        NAME_ORDER,
        KEYWORD_ORDER,
    )
    records = std + [k.record for k in keys]
    return Built(writer.build(records), records, std, disputes, keys, loaded)


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
    from taglex._canonical import canonicalize_creator

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
        mask = masked.get((int(tag[:4], 16), int(tag[4:], 16)))
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


def outputs(built: Built, output: Path, docs: Path) -> dict[Path, bytes]:
    disputed, csv_lines = disputed_csv(built.private)
    report = docs / "default-dictionary.md"
    try:
        current = report.read_text(encoding="utf-8")
    except OSError as e:
        raise SystemExit(f"gen_default_dict: {e}") from None
    return {
        output: built.data,
        docs / "dictionary-sources.csv": sources_csv().encode(),
        docs / "dictionary-disputed-vrs.csv": disputed.encode(),
        report: fill_report(current, report_blocks(built, csv_lines)).encode(),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("output", nargs="?", default=str(DEFAULT_OUTPUT))
    parser.add_argument(
        "--dictdata", default=str(DEFAULT_DICTDATA), help="the folder of the source files"
    )
    parser.add_argument("--docs", default=str(DOCS), help="where the report and CSV files are")
    parser.add_argument("--check", action="store_true", help="exit 1 if any output is stale")
    args = parser.parse_args(argv)

    built = build(Path(args.dictdata))
    files = outputs(built, Path(args.output), Path(args.docs))
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
