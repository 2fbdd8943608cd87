"""The library alone in C++ (Google Benchmark), against DCMTK's dictionary."""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
from pathlib import Path

from harness import Context, Section, ns, verdict, workload


def add_arguments(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ benchmark")


def measure(exe: Path, dict_path: str, repetitions: int, min_time: float) -> dict[str, dict]:
    res = subprocess.run(
        [str(exe), f"--dict={dict_path}", "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}", f"--benchmark_min_time={min_time}"],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    data = json.loads(res.stdout)
    scale_ns = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    runs: dict[str, dict] = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        entry = runs.setdefault(b["run_name"], {"real": [], "cpu": [], "error": None, "counters": {}})
        if b.get("error_occurred"):
            entry["error"] = b.get("error_message", "error")
            continue
        k = scale_ns[b.get("time_unit", "ns")]
        entry["real"].append(b["real_time"] * k)
        entry["cpu"].append(b["cpu_time"] * k)
        for c in ("entries", "items_per_second"):
            if c in b:
                entry["counters"].setdefault(c, []).append(b[c])
    return {"runs": runs, "context": data.get("context", {})}


# (ratio, numerator, denominator, target text, test of the ratio of minima)
RATIOS = (
    ("DCMTK load (dicom.dic + private.dic) / TlexDict::open", "BM_Dcmtk_Load_Default", "BM_Tlex_Open",
     ">= 100x", lambda v: v >= 100),
    ("DCMTK load (dicom.dic + private.dic) / touching the bundled file's pages (the bound for any open that "
     "validates through a new mapping)", "BM_Dcmtk_Load_Default", "BM_Touch_Pages", "", None),
    ("TlexDict::open / touching the bundled file's pages", "BM_Tlex_Open", "BM_Touch_Pages", "", None),
    ("DCMTK load (dicom.dic alone) / TlexDict::open", "BM_Dcmtk_Load_DicomDic", "BM_Tlex_Open", "", None),
    ("standard: taglex lookup / DCMTK findEntry", "BM_Tlex_Lookup_Standard", "BM_Dcmtk_Find_Standard",
     "<= 3x", lambda v: v <= 3),
    ("standard: taglex lookup + all fields / DCMTK findEntry", "BM_Tlex_Lookup_Standard_Fields",
     "BM_Dcmtk_Find_Standard", "", None),
    ("private, creator in another spelling: taglex lookup / DCMTK findEntry (creator as stored)",
     "BM_Tlex_Lookup_Private", "BM_Dcmtk_Find_Private", "<= 1.0x", lambda v: v <= 1.0),
    ("private, creator as stored: taglex lookup / DCMTK findEntry", "BM_Tlex_Lookup_Private_ExactCreator",
     "BM_Dcmtk_Find_Private", "", None),
    ("private, 256 tags in turn: taglex lookup / DCMTK findEntry", "BM_Tlex_Lookup_Private_Mixed",
     "BM_Dcmtk_Find_Private_Mixed", "", None),
    ("miss: taglex lookup / DCMTK findEntry", "BM_Tlex_Lookup_Miss", "BM_Dcmtk_Find_Miss", "", None),
)  # fmt: skip


@workload("The library alone in C++ (Google Benchmark), against DCMTK", order=40)
def cpp(ctx: Context) -> Section | None:
    if ctx.args.no_cpp:
        return None
    reps, min_time = (5, 0.1) if ctx.quick else (10, 0.2)
    result = measure(ctx.cpp_exe, ctx.bundled, repetitions=reps, min_time=min_time)
    ctx.results["cpp"] = result  # the threads section shows its thread runs
    runs = result["runs"]
    build_type = result["context"].get("library_build_type", "?")
    out = Section()
    out.add(
        f"`build-bench/cpp/taglex_bench_cpp --dict=<bundled>` (`bench/cpp/bench_dict.cpp`; it and its copy of "
        f"taglex_core are built -O3 -g, the package's Release level), {reps} repetitions of at least "
        f"{min_time} s each; CPU time per iteration (Google Benchmark calls its own library "
        f"a {build_type} build: that is Debian's package and concerns only the harness). "
        "DCMTK load = `DcmDataDictionary(false, true)`: the external dictionaries DCMTK reads at first use "
        "(dicom.dic, private.dic); this Debian build has no built-in dictionary (`DcmDataDictionary(true, false)` "
        "holds only its 2 skeleton entries), so that variant is skipped. findEntry runs on a loaded "
        "`DcmDataDictionary` (no global lock). taglex lookups return a `TagView` (no field read) except "
        "`..._Fields`, which also reads every field as the extension does. `BM_Touch_Pages` maps the bundled "
        "file, reads one byte per page and unmaps: the floor of opening it.",
        "",
        "| Benchmark | min CPU ns | median CPU ns | min real ns | entries |",
        "|---|---:|---:|---:|---:|",
    )
    for name, e in runs.items():
        if e["error"] or not e["cpu"]:
            out.add(f"| {name} | skipped: {e['error']} | | | |")
            continue
        ent = e["counters"].get("entries")
        out.add(
            f"| {name} | {ns(min(e['cpu']) / 1e9)} | {ns(statistics.median(e['cpu']) / 1e9)} | "
            f"{ns(min(e['real']) / 1e9)} | {f'{int(ent[0]):,}' if ent else ''} |"
        )
    out.add("", "| Ratio | of minima | of medians | Target |", "|---|---:|---:|---|")

    for name, a, b, tgt, test in RATIOS:
        ra, rb = runs.get(a), runs.get(b)
        if not ra or not rb or not ra["cpu"] or not rb["cpu"]:
            out.add(f"| {name} | n/a | n/a | {tgt} |")
            continue
        v = (min(ra["cpu"]) / min(rb["cpu"]), statistics.median(ra["cpu"]) / statistics.median(rb["cpu"]))
        ok = test(v[0]) if test else None
        fmt = (lambda x: f"{x:,.0f}x") if v[0] >= 100 else (lambda x: f"{x:.2f}x")
        out.add(f"| {name} | {fmt(v[0])} | {fmt(v[1])} | {tgt + ' ' + verdict(ok) if ok is not None else '-'} |")
        if ok is not None:
            out.target(f"C++ {name} {tgt}", f"{fmt(v[0])} (min) / {fmt(v[1])} (median)", ok)
    out.add("")
    return out
