#!/usr/bin/env python3
"""Workloads of taglex.Dictionary and taglex.datadict, side by side with
Dict.lookup and pydicom in one run.

    python bench/workloads_dictionary.py [--repeat N] [--run-time S] [--clock cpu|wall]

prints a Markdown table of the rows and their ratios; bench/run.py puts
the same table in its report. Each ratio divides times measured in the same
group, every workload of a group running once per round in turn.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from harness import (  # noqa: E402
    CHILD_ENV,
    CREATOR,
    CREATOR_OTHER,
    MISS,
    PRIV_FULL,
    Context,
    Runner,
    Section,
    Stats,
    ms,
    ns,
    ratio,
    verdict,
    workload,
)

STD_TAG = 0x00100010  # PatientName: in the site layer of the layer workloads
SECOND_TAG = 0x00100020  # PatientID: only in the bundled layer
KEYWORD = "PatientName"

# A row: (workload, figure, target, met or None when there is no target).
Row = tuple[str, str, str, bool | None]


def _site_file(folder: str) -> str:
    from taglex import writer

    path = os.path.join(folder, "site.tlex")
    writer.write(
        path,
        [
            {"group": 0x0010, "element": 0x0010, "creator": "", "keyword": "PatientName",
             "name": "Patient's Name (site)", "vr": "PN", "description": "VM 1",
             "retired": False, "block_offset": False, "sources": ["site"]},
            {"group": 0x0041, "element": 0x01, "creator": "SITE 1", "keyword": "SiteCode",
             "name": "Site Code", "vr": "LO", "description": "VM 1",
             "retired": False, "block_offset": True, "sources": ["site"]},
        ],
    )  # fmt: skip
    return path


def _ratio_row(label: str, a: Stats, b: Stats, limit: float | None, above: bool = False) -> Row:
    """A row of a / b; with no limit, a figure without a target."""
    value = a.min / b.min
    shown = f"{ratio(a.min, b.min)} ({ns(a.min)} / {ns(b.min)} ns; medians {ratio(a.median, b.median)})"
    if limit is None:
        return label, shown, "-", None
    ok = value >= limit if above else value <= limit
    return label, shown, f"{'at least' if above else 'within'} {limit}x", ok


# Timed inside the child with its process clock (CPU time): the import, then
# the first call, then, for scale, the same call again.
_FIRST_CALL = """
import time
clock = time.process_time
t0 = clock()
{imports}
t1 = clock()
{call}
t2 = clock()
{call}
t3 = clock()
print(t1 - t0, t2 - t1, t3 - t2)
"""


def _child(imports: str, call: str) -> tuple[float, float, float]:
    code = _FIRST_CALL.format(imports=imports, call=call)
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=CHILD_ENV
    )
    a, b, c = out.stdout.split()
    return float(a), float(b), float(c)


FRESH = {
    "taglex": ("import taglex", f"taglex.Dictionary.default().tag_for_keyword({KEYWORD!r})"),
    "taglex, open only": ("import taglex", "taglex.Dictionary.default()"),
    "taglex.datadict": ("import taglex", f"from taglex import datadict; datadict.tag_for_keyword({KEYWORD!r})"),
    "pydicom": ("import pydicom.datadict", f"pydicom.datadict.tag_for_keyword({KEYWORD!r})"),
}  # fmt: skip


def fresh_processes(rounds: int) -> dict[str, list[tuple[float, float, float]]]:
    """(import, first call, second call) CPU seconds inside fresh processes,
    the cases taken in turn."""
    out: dict[str, list[tuple[float, float, float]]] = {k: [] for k in FRESH}
    for imports, call in FRESH.values():  # warm-up: byte-code caches, page cache
        _child(imports, call)
    for _ in range(rounds):
        for k, (imports, call) in FRESH.items():
            out[k].append(_child(imports, call))
    return out


def rows(
    r: Runner, log=lambda msg: None, fresh_rounds: int = 15, count_instructions: bool = True
) -> list[Row]:
    import pydicom.datadict as pd

    import taglex
    import taglex.datadict as td

    bundled = taglex.default_path()
    raw = taglex.open(bundled)
    one = taglex.Dictionary(bundled)
    out: list[Row] = []
    with tempfile.TemporaryDirectory() as folder:
        site = _site_file(folder)
        two = taglex.Dictionary([site, bundled])
        two_raw = taglex.open(site)
        from pydicom.tag import BaseTag

        g = {
            "raw": raw, "one": one, "two": two, "site": two_raw, "td": td, "pd": pd,
            "C": CREATOR, "CO": CREATOR_OTHER, "PF": PRIV_FULL, "T": STD_TAG, "T2": SECOND_TAG,
            "K": KEYWORD, "BT": BaseTag(STD_TAG), "M": MISS[0] << 16 | MISS[1], "MG": MISS[0],
            "ME": MISS[1],
        }  # fmt: skip
        # The same answers on both sides, before anything is timed.
        pd_std, pd_priv = pd.get_entry(STD_TAG), pd.get_private_entry(PRIV_FULL, CREATOR)
        assert one.get(STD_TAG).keyword == one.get(KEYWORD).keyword == pd_std[4] == KEYWORD
        assert one.get(BaseTag(STD_TAG)) == one.get(STD_TAG)
        assert one.get(PRIV_FULL, CREATOR_OTHER).name == pd_priv[2]
        assert one.get(g["M"]) is None and raw.lookup(*MISS) is None
        log("dictionary: against pydicom ...")
        peers = r.group({
            "get(int)": ("one.get(T)", g),
            "pydicom get_entry(int)": ("pd.get_entry(T)", g),
            "get(keyword)": ("one.get(K)", g),
            "pydicom get_entry(keyword)": ("pd.get_entry(K)", g),
            "get(private, other spelling)": ("one.get(PF, CO)", g),
            "pydicom get_private_entry": ("pd.get_private_entry(PF, C)", g),
            "get(miss)": ("one.get(M)", g),
            "lookup(miss)": ("raw.lookup(MG, ME)", g),
            "get(BaseTag)": ("one.get(BT)", g),
            "get(int).vr": ("one.get(T).vr", g),
            "pydicom get_entry(int)[0]": ("pd.get_entry(T)[0]", g),
            "keyword_for_tag": ("one.keyword_for_tag(T)", g),
            "pydicom keyword_for_tag": ("pd.keyword_for_tag(T)", g),
        })  # fmt: skip
        out.append(_ratio_row("Dictionary.get(0x00100010) / pydicom get_entry(0x00100010)",
                              peers["get(int)"], peers["pydicom get_entry(int)"], 0.5))  # fmt: skip
        out.append(_ratio_row("Dictionary.get('PatientName') / pydicom get_entry('PatientName')",
                              peers["get(keyword)"], peers["pydicom get_entry(keyword)"], 0.5))  # fmt: skip
        out.append(_ratio_row(
            f"Dictionary.get(0x{PRIV_FULL:08X}, {CREATOR_OTHER!r}) / pydicom "
            f"get_private_entry(0x{PRIV_FULL:08X}, {CREATOR!r})",
            peers["get(private, other spelling)"], peers["pydicom get_private_entry"], 0.4,
        ))  # fmt: skip
        out.append(_ratio_row("Dictionary.get of a missing tag / Dict.lookup of it",
                              peers["get(miss)"], peers["lookup(miss)"], 2))  # fmt: skip
        out.append(_ratio_row("Dictionary.get(BaseTag(0x00100010)) / Dictionary.get(0x00100010)",
                              peers["get(BaseTag)"], peers["get(int)"], None))  # fmt: skip
        out.append(_ratio_row(
            "Dictionary.get(0x00100010).vr / pydicom get_entry(0x00100010)[0] (an Entry reads its "
            "fields when asked)", peers["get(int).vr"], peers["pydicom get_entry(int)[0]"], None,
        ))  # fmt: skip
        out.append(_ratio_row("Dictionary.keyword_for_tag / pydicom keyword_for_tag",
                              peers["keyword_for_tag"], peers["pydicom keyword_for_tag"], None))  # fmt: skip
        log("dictionary: get by tag ...")
        get = r.group({
            "lookup": ("raw.lookup(0x0010, 0x0010)", g),
            "get": ("one.get(T)", g),
            "lookup private": ("raw.lookup(0x0029, 0x10, C)", g),
            "get private": ("one.get(PF, C)", g),
        })  # fmt: skip
        out.append(_ratio_row("Dictionary.get(int) / Dict.lookup", get["get"], get["lookup"], 1.3))
        out.append(_ratio_row(
            "Dictionary.get(full private tag, creator) / Dict.lookup(group, low byte, creator)",
            get["get private"], get["lookup private"], 1.4,
        ))  # fmt: skip
        log("dictionary: opening layers ...")
        g.update(taglex=taglex, SITE=site, BUNDLED=bundled)
        opening = r.group({
            "open each": ("taglex.open(SITE); taglex.open(BUNDLED)", g),
            "Dictionary": ("taglex.Dictionary([SITE, BUNDLED])", g),
        })  # fmt: skip
        out.append(_ratio_row("Dictionary([site, bundled]) / opening each file",
                              opening["Dictionary"], opening["open each"], 1.1))  # fmt: skip
        log("dictionary: layers ...")
        layers = r.group({
            "one, second's tag": ("one.get(T2)", g),
            "two, answered by the second": ("two.get(T2)", g),
            "one": ("one.get(T)", g),
            "two, answered by the first": ("two.get(T)", g),
        })  # fmt: skip
        out.append(_ratio_row(
            "two layers, answered by the second / one layer",
            layers["two, answered by the second"], layers["one, second's tag"], 2.2,
        ))  # fmt: skip
        out.append(_ratio_row(
            "two layers, answered by the first / one layer",
            layers["two, answered by the first"], layers["one"], 1.1,
        ))  # fmt: skip
        log("dictionary: keywords and datadict ...")
        words = r.group({
            "taglex": ("one.tag_for_keyword(K)", g),
            "taglex.datadict": ("td.tag_for_keyword(K)", g),
            "pydicom": ("pd.tag_for_keyword(K)", g),
            "taglex VR": ("td.dictionary_VR(T)", g),
            "pydicom VR": ("pd.dictionary_VR(T)", g),
        })  # fmt: skip
        out.append(_ratio_row("Dictionary.tag_for_keyword / pydicom tag_for_keyword",
                              words["taglex"], words["pydicom"], 2))  # fmt: skip
        out.append(_ratio_row("datadict.tag_for_keyword / pydicom tag_for_keyword",
                              words["taglex.datadict"], words["pydicom"], 2))  # fmt: skip
        out.append(_ratio_row("datadict.dictionary_VR / pydicom dictionary_VR",
                              words["taglex VR"], words["pydicom VR"], 2))  # fmt: skip

    log("dictionary: fresh processes ...")
    fresh = fresh_processes(fresh_rounds)

    def first(k: str) -> list[float]:
        return [t[1] for t in fresh[k]]

    def total(k: str) -> list[float]:
        return [t[0] + t[1] for t in fresh[k]]

    def shown(times: list[float]) -> str:
        return f"{ms(min(times))} ms (median {ms(statistics.median(times))} ms)"

    kw = first("taglex")
    ok = statistics.median(kw) <= 0.003
    out.append((
        "first tag_for_keyword in a fresh process, above import taglex "
        "(Dictionary.default() and the question; CPU time inside the child)",
        shown(kw), "at most 3 ms (median)", ok,
    ))  # fmt: skip
    out.append(("  of which Dictionary.default() alone", shown(first("taglex, open only")), "-", None))
    out.append(("  the same statement again, in the same process", shown([t[2] for t in fresh["taglex"]]),
                "-", None))  # fmt: skip
    out.append(("first datadict.tag_for_keyword in a fresh process, above import taglex "
                "(the import of taglex.datadict and the question)", shown(first("taglex.datadict")),
                "-", None))  # fmt: skip
    out.append(("first pydicom tag_for_keyword, above import pydicom.datadict", shown(first("pydicom")),
                "-", None))  # fmt: skip
    for name in ("taglex", "taglex.datadict"):
        mine, theirs = min(total(name)), min(total("pydicom"))
        out.append((
            f"import pydicom.datadict + first call / import {name} + first call",
            f"{ratio(theirs, mine)} ({ms(theirs)} / {ms(mine)} ms; medians "
            f"{ratio(statistics.median(total('pydicom')), statistics.median(total(name)))})",
            "at least 10x", theirs / mine >= 10,
        ))  # fmt: skip
    if count_instructions:
        log("dictionary: instruction counts (callgrind) ...")
        counts = instructions()
        if counts is not None:
            out += instruction_rows(counts)
    return out


_COUNTED = """
import sys, taglex
d = taglex.Dictionary.default(); raw = taglex.open_default()
C = {creator!r}
calls = {{
    "lookup": lambda: raw.lookup(0x0010, 0x0010),
    "get": lambda: d.get(0x00100010),
    "lookup private": lambda: raw.lookup(0x0029, 0x10, C),
    "get private": lambda: d.get({full:#x}, C),
}}
f = calls[sys.argv[1]]
for _ in range(int(sys.argv[2])):
    f()
"""


def instructions() -> dict[str, float] | None:
    """Instructions per call counted by callgrind (runs of 1,000 and 11,000
    calls, subtracted), or None without valgrind."""
    import shutil

    if shutil.which("valgrind") is None:
        return None
    code = _COUNTED.format(creator=CREATOR, full=PRIV_FULL)
    env = dict(os.environ, PYTHONHASHSEED="0")

    def total(workload: str, n: int) -> int:
        p = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", code, workload, str(n)],
            capture_output=True, text=True, check=True, env=env,
        )  # fmt: skip
        line = next(x for x in p.stderr.splitlines() if "refs:" in x)
        return int(line.split("refs:")[1].replace(",", ""))

    return {w: (total(w, 11_000) - total(w, 1_000)) / 10_000 for w in
            ("lookup", "get", "lookup private", "get private")}  # fmt: skip


def instruction_rows(counts: dict[str, float]) -> list[Row]:
    return [
        ("instructions: Dictionary.get(int) / Dict.lookup",
         f"{counts['get'] / counts['lookup']:.2f}x ({counts['get']:,.0f} / {counts['lookup']:,.0f})",
         "(within 1.3x by time)", None),
        ("instructions: Dictionary.get(full private tag, creator) / Dict.lookup",
         f"{counts['get private'] / counts['lookup private']:.2f}x "
         f"({counts['get private']:,.0f} / {counts['lookup private']:,.0f})",
         "(within 1.4x by time)", None),
    ]  # fmt: skip


def table(found: list[Row]) -> str:
    lines = ["| workload | ratio (times) | target | |", "|---|---|---|---|"]
    for label, figure, target, ok in found:
        lines.append(f"| {label} | {figure} | {target} | {'' if ok is None else verdict(ok)} |")
    return "\n".join(lines)


@workload("taglex.Dictionary and taglex.datadict", order=25)
def dictionary(ctx: Context) -> Section:
    found = rows(
        ctx.runner,
        ctx.log,
        fresh_rounds=max(10, ctx.runner.repeat),
        count_instructions=not ctx.args.no_callgrind,
    )
    out = Section()
    out.add(
        "`taglex.Dictionary` against pydicom 3.0.2's `datadict` and against the lookup it is built beside "
        "(`Dict.lookup`), layers against one file, and the reverse and `datadict` questions, one tag "
        "asked again and again (the next section asks every tag in turn); each group side by side, ratios of "
        "the minima. pydicom's `BaseTag` is the int subclass a pydicom dataset holds its tags in. "
        "Fresh-process figures are measured inside the child with its process clock (CPU time): the "
        "import, then the first call, then the same call again; min and median of the rounds, the "
        "target judged on the median. Instruction counts (callgrind) are given where times on a "
        "shared machine scatter.",
        "",
        table(found),
        "",
    )
    for label, figure, target, ok in found:
        if ok is not None:
            out.target(f"{label}: {target}", figure, ok)
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    ap.add_argument("--repeat", type=int, default=15, help="rounds per workload")
    ap.add_argument("--run-time", type=float, default=0.1, help="seconds per run")
    ap.add_argument("--fresh-rounds", type=int, default=15, help="fresh processes per case")
    ap.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    args = ap.parse_args()
    r = Runner(args.clock, args.repeat, args.run_time)
    log = lambda m: print(m, file=sys.stderr, flush=True)  # noqa: E731
    print(table(rows(r, log, args.fresh_rounds, not args.no_callgrind)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
