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
from typing import Any

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from harness import (  # noqa: E402
    CREATOR,
    CREATOR_OTHER,
    PRIV_FULL,
    Context,
    Runner,
    Section,
    Stats,
    child_env,
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


def _ratio_row(label: str, a: Stats, b: Stats, limit: float, above: bool = False) -> Row:
    value = a.min / b.min
    shown = f"{ratio(a.min, b.min)} ({ns(a.min)} / {ns(b.min)} ns; medians {ratio(a.median, b.median)})"
    ok = value >= limit if above else value <= limit
    return label, shown, f"{'at least' if above else 'within'} {limit}x", ok


_FIRST_CALL = """
import time
t0 = time.process_time()
{imports}
t1 = time.process_time()
{call}
t2 = time.process_time()
print(t1 - t0, t2 - t1)
"""


def _child(imports: str, call: str) -> tuple[float, float]:
    code = _FIRST_CALL.format(imports=imports, call=call)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=child_env())
    a, b = out.stdout.split()
    return float(a), float(b)


def fresh_processes(rounds: int) -> dict[str, list[tuple[float, float]]]:
    """(import, first call) seconds of process CPU time inside fresh
    processes, taken in turn."""
    cases = {
        "taglex": ("import taglex", f"taglex.Dictionary.default().tag_for_keyword({KEYWORD!r})"),
        "taglex.datadict": (
            "from taglex import datadict",
            f"datadict.tag_for_keyword({KEYWORD!r})",
        ),
        "pydicom": ("import pydicom.datadict", f"pydicom.datadict.tag_for_keyword({KEYWORD!r})"),
    }
    out: dict[str, list[tuple[float, float]]] = {k: [] for k in cases}
    for imports, call in cases.values():  # warm-up: byte-code caches, page cache
        _child(imports, call)
    for _ in range(rounds):
        for k, (imports, call) in cases.items():
            out[k].append(_child(imports, call))
    return out


_LIGHT_IMPORT = """
import sys, taglex
taglex.open_default().lookup(0x0010, 0x0010)
print(",".join(sorted(m for m in sys.modules if m.startswith(("pydicom", "taglex._core")))))
"""


def light_import() -> list[str]:
    """What of pydicom and taglex._core a fresh `import taglex` and a lookup load."""
    out = subprocess.run([sys.executable, "-c", _LIGHT_IMPORT], capture_output=True, text=True,
                         check=True, env=child_env())
    return [m for m in out.stdout.strip().split(",") if m]


# --- memory of worker processes --------------------------------------------

_WORKER = """
import os, sys
def pss():
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
before = pss()
work = sys.argv[1]
if work == "taglex":
    import taglex
    d = taglex.Dictionary.default()
    for t in (0x00100010, 0x00100020, 0x00080016, 0x7FE00010):
        d.get(t)
    d.get(0x00291010, "siemens csa header")
    d.tag_for_keyword("PatientName"); d.tag_for_keyword("StudyInstanceUID")
elif work == "lookup":
    import taglex
    raw = taglex.open_default()
    for g, e in ((0x0010, 0x0010), (0x0010, 0x0020), (0x0008, 0x0016), (0x7FE0, 0x0010)):
        raw.lookup(g, e)
elif work == "pydicom":
    import pydicom.datadict as dd
    for t in (0x00100010, 0x00100020, 0x00080016, 0x7FE00010):
        dd.get_entry(t)
    dd.get_private_entry(0x00291010, "SIEMENS CSA HEADER")
    dd.tag_for_keyword("PatientName"); dd.tag_for_keyword("StudyInstanceUID")
sys.stdout.write("ready\\n"); sys.stdout.flush()
sys.stdin.readline()  # every worker has done its work: the shared pages are shared
print(pss() - before, flush=True)
sys.stdin.readline()  # every worker has measured: none leaves before (its pages would stop being shared)
"""


def worker_memory(workers: int, rounds: int) -> dict[str, list[float]]:
    """Added PSS per process (KiB) of `workers` processes doing the same
    work at once, read after all of them have done it (so that the pages
    they share are divided among them), from a baseline taken at the
    start of each, before anything of taglex or pydicom is imported."""
    out: dict[str, list[float]] = {"taglex": [], "lookup": [], "pydicom": []}
    for work in out:  # warm-up: byte-code caches, page cache
        subprocess.run([sys.executable, "-c", _WORKER, work], input="\n\n", capture_output=True,
                       text=True, check=True, env=child_env())
    for _ in range(rounds):
        for work in out:
            procs = [
                subprocess.Popen([sys.executable, "-c", _WORKER, work], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=child_env())
                for _ in range(workers)
            ]  # fmt: skip
            for p in procs:
                assert p.stdout is not None and p.stdout.readline().strip() == "ready"
            for p in procs:
                assert p.stdin is not None
                p.stdin.write("\n")
                p.stdin.flush()
            added = [int(p.stdout.readline()) for p in procs if p.stdout is not None]
            for p in procs:
                assert p.stdin is not None
                p.stdin.write("\n")
                p.stdin.close()
                p.wait()
            out[work].append(statistics.mean(added))
    return out


# --- every standard tag in turn ---------------------------------------------


def _cycled_cases(td: Any, pd: Any) -> tuple[dict[str, tuple[str, dict]], dict[str, int]]:
    """Statements that ask a datadict function about every standard tag (or
    keyword, or private tag with its creator) once, for taglex and pydicom,
    with the number of questions each asks. Only what both hold is asked,
    so that neither side pays for exceptions the other does not raise."""
    from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary
    from pydicom._private_dict import private_dictionaries

    tags = []
    for tag in sorted(DicomDictionary):
        try:
            td.get_entry(tag)
        except KeyError:
            continue
        tags.append(tag)
    keywords = [k for k in pd.keyword_dict if td.tag_for_keyword(k) is not None]
    masks = [int(m.replace("x", "0"), 16) for m in RepeatersDictionary]
    repeater_keywords = [v[4] for v in RepeatersDictionary.values() if v[4]]
    private: list[tuple[int, str]] = []
    for creator, entries in sorted(private_dictionaries.items()):
        for key in sorted(entries):
            tag = int(key.replace("x", "1"), 16)
            try:
                pd.get_private_entry(tag, creator)
                td.get_private_entry(tag, creator)
            except (KeyError, ValueError):
                continue
            private.append((tag, creator))
    g = {"td": td, "pd": pd, "TAGS": tags, "KW": keywords, "MASKS": masks,
         "RK": repeater_keywords, "PRIV": private}  # fmt: skip
    cases: dict[str, tuple[str, dict]] = {}
    per: dict[str, int] = {}
    standard = ["get_entry", "dictionary_VR", "dictionary_VM", "dictionary_description",
                "dictionary_keyword", "dictionary_is_retired", "dictionary_has_tag",
                "keyword_for_tag", "repeater_has_tag", "mask_match"]  # fmt: skip
    for fn in standard:
        for who in ("td", "pd"):
            cases[f"{fn}/{who}"] = (f"for t in TAGS: {who}.{fn}(t)", g)
        per[fn] = len(tags)
    for fn, items in (("tag_for_keyword", "KW"), ("repeater_has_keyword", "RK")):
        for who in ("td", "pd"):
            cases[f"{fn}/{who}"] = (f"for k in {items}: {who}.{fn}(k)", g)
        per[fn] = len(g[items])
    for fn in ("get_private_entry", "private_dictionary_VR", "private_dictionary_VM",
               "private_dictionary_description"):  # fmt: skip
        for who in ("td", "pd"):
            cases[f"{fn}/{who}"] = (f"for t, c in PRIV: {who}.{fn}(t, c)", g)
        per[fn] = len(private)
    return cases, per


def rows(
    r: Runner, log=lambda msg: None, fresh_rounds: int = 15, count_instructions: bool = True,
    workers: int = 8, memory_rounds: int = 3,
) -> list[Row]:
    import pydicom.datadict as pd
    from pydicom.tag import BaseTag

    import taglex
    import taglex.datadict as td

    bundled = taglex.default_path()
    raw = taglex.open(bundled)
    one = taglex.Dictionary(bundled)
    out: list[Row] = []
    with tempfile.TemporaryDirectory() as folder:
        site = _site_file(folder)
        two = taglex.Dictionary([site, bundled])
        g = {
            "raw": raw, "one": one, "two": two, "td": td, "pd": pd,
            "C": CREATOR, "CO": CREATOR_OTHER, "PF": PRIV_FULL, "T": STD_TAG, "T2": SECOND_TAG,
            "K": KEYWORD, "BT": BaseTag(STD_TAG), "MISS": 0x00100003,
        }  # fmt: skip
        one.tag_for_keyword(KEYWORD), td.tag_for_keyword(KEYWORD)  # indexes built
        log("dictionary: against pydicom ...")
        get = r.group({
            "get": ("one.get(T)", g),
            "get_entry": ("pd.get_entry(T)", g),
            "get keyword": ("one.get(K)", g),
            "get_entry keyword": ("pd.get_entry(K)", g),
            "get private": ("one.get(PF, CO)", g),
            "get_private_entry": ("pd.get_private_entry(PF, C)", g),
            "get miss": ("one.get(MISS)", g),
            "lookup miss": ("raw.lookup(0x0010, 0x0003)", g),
            "get BaseTag": ("one.get(BT)", g),
            "lookup": ("raw.lookup(0x0010, 0x0010)", g),
        })  # fmt: skip
        out.append(_ratio_row("Dictionary.get(int) / pydicom get_entry(int)",
                              get["get"], get["get_entry"], 0.5))  # fmt: skip
        out.append(_ratio_row('Dictionary.get("PatientName") / pydicom get_entry("PatientName")',
                              get["get keyword"], get["get_entry keyword"], 0.5))  # fmt: skip
        out.append(_ratio_row(
            "Dictionary.get(full private tag, creator in another spelling) / pydicom "
            "get_private_entry(the same tag, the creator as pydicom spells it)",
            get["get private"], get["get_private_entry"], 0.4,
        ))  # fmt: skip
        out.append(_ratio_row("Dictionary.get of a missing tag / Dict.lookup's miss",
                              get["get miss"], get["lookup miss"], 2))  # fmt: skip
        label, figure, _, _ = _ratio_row("Dictionary.get(BaseTag) / Dictionary.get(int)",
                                         get["get BaseTag"], get["get"], 1)  # fmt: skip
        out.append((label, figure, "(no target)", None))
        label, figure, _, _ = _ratio_row("Dictionary.get(int) / Dict.lookup",
                                         get["get"], get["lookup"], 1)  # fmt: skip
        out.append((label, figure, "(no target)", None))
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

    log("dictionary: every datadict function over every tag ...")
    cases, per = _cycled_cases(td, pd)
    for fn, n in per.items():
        times = r.group({who: cases[f"{fn}/{who}"] for who in ("td", "pd")}, per=n)
        out.append(_ratio_row(f"datadict.{fn} / pydicom's, over {n:,} questions in turn",
                              times["td"], times["pd"], 1.0))  # fmt: skip

    log("dictionary: fresh processes ...")
    fresh = fresh_processes(fresh_rounds)

    def best(k: str, part: int | None) -> float:
        times = [t[0] + t[1] if part is None else t[part] for t in fresh[k]]
        return min(times)

    def median(k: str) -> float:
        return statistics.median(t[0] + t[1] for t in fresh[k])

    first = best("taglex", 1)
    out.append((
        "first tag_for_keyword in a fresh process, above import taglex (process CPU time)",
        f"{ms(first)} ms (median {ms(statistics.median(t[1] for t in fresh['taglex']))} ms)",
        "at most 3 ms", first <= 0.003,
    ))  # fmt: skip
    for name in ("taglex", "taglex.datadict"):
        mine, theirs = best(name, None), best("pydicom", None)
        out.append((
            f"import pydicom.datadict + first call / import {name} + first call",
            f"{ratio(theirs, mine)} ({ms(theirs)} / {ms(mine)} ms; medians "
            f"{ratio(median('pydicom'), median(name))})",
            "at least 10x", theirs / mine >= 10,
        ))  # fmt: skip
    loaded = light_import()
    out.append((
        "import taglex and a Dict.lookup load neither pydicom nor taglex._core",
        ", ".join(loaded) if loaded else "neither loaded", "nothing loaded", not loaded,
    ))  # fmt: skip

    log(f"dictionary: memory of {workers} workers ...")
    memory = worker_memory(workers, memory_rounds)
    kib = {k: min(v) for k, v in memory.items()}
    out.append((
        f"PSS added per process, {workers} workers using Dictionary.get and tag_for_keyword",
        f"{kib['taglex'] / 1024:.2f} MiB (Dict.lookup alone {kib['lookup'] / 1024:.2f} MiB; "
        f"pydicom.datadict {kib['pydicom'] / 1024:.2f} MiB)",
        "at most 1.5 MB", kib["taglex"] * 1024 <= 1.5e6,
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
         "(no target)", None),
        ("instructions: Dictionary.get(full private tag, creator) / Dict.lookup",
         f"{counts['get private'] / counts['lookup private']:.2f}x "
         f"({counts['get private']:,.0f} / {counts['lookup private']:,.0f})",
         "(no target)", None),
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
        memory_rounds=1 if ctx.quick else 3,
    )
    out = Section()
    out.add(
        "`taglex.Dictionary` and `taglex.datadict` against pydicom 3.0.2 and the lookup they are built "
        "on, layers against one file, each group side by side; ratios of the minima. Every datadict "
        "function is asked about every standard tag (keyword, private tag with its creator) that both "
        "hold, in turn, so that no per-tag cache serves either side. Fresh-process figures are measured "
        "inside the child with its CPU clock (import, then the first call), best of the rounds. Memory: "
        "worker processes started together, each doing the same questions; the added PSS "
        "(`/proc/self/smaps_rollup`, from the start of the process, before anything of taglex or pydicom "
        "is imported) is read once all have done them, so that the pages they share are divided among "
        "them; the mean over the workers, best of the rounds. Instruction counts (callgrind) are given "
        "where times on a shared machine scatter.",
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
