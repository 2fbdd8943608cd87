"""Instructions per call (callgrind): a cross-check that load on the machine
cannot disturb."""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from harness import CREATOR, CREATOR_OTHER, MISS, PRIV_ELEMENT, PRIV_FULL, PRIV_GROUP, STD, Context, Section, workload


def add_arguments(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")


SCRIPT = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[3])
    w, n = sys.argv[1], int(sys.argv[2])
    C, CO = {creator!r}, {creator_other!r}
    if w.startswith("pydicom"):
        from pydicom.datadict import get_private_entry, get_entry
        g = dict(get_private_entry=get_private_entry, get_entry=get_entry, C=C)
    else:
        import taglex, _tlex_floor
        d = taglex.open(sys.argv[4])
        f = _tlex_floor.Floor(d.lookup({sg}, {se}), d.lookup({pg}, {pe}, CO))
        g = dict(d=d, f=f, CO=CO)
    stmt = {{
        "taglex standard": "d.lookup({sg}, {se})",
        "floor standard": "f.lookup({sg}, {se})",
        "taglex private": "d.lookup({pg}, {pe}, CO)",
        "floor private": "f.lookup({pg}, {pe}, CO)",
        "floor keys once standard": "f.lookup_keys_once({sg}, {se})",
        "floor keys once private": "f.lookup_keys_once({pg}, {pe}, CO)",
        "taglex miss": "d.lookup({mg}, {me})",
        "floor miss": "f.none({mg}, {me})",
        "pydicom get_private_entry": "get_private_entry({pf}, C)",
        "pydicom get_entry": "get_entry({stag})",
    }}[w]
    g["n"] = n
    exec(compile("for _ in range(n): " + stmt, "<bench>", "exec"), g)
    """
).format(
    creator=CREATOR, creator_other=CREATOR_OTHER, sg=STD[0], se=STD[1], pg=PRIV_GROUP, pe=PRIV_ELEMENT,
    mg=MISS[0], me=MISS[1], pf=PRIV_FULL, stag=(STD[0] << 16) | STD[1],
)  # fmt: skip
WORKLOADS = (
    "taglex standard", "floor standard", "floor keys once standard", "taglex private", "floor private",
    "floor keys once private", "taglex miss", "floor miss", "pydicom get_private_entry", "pydicom get_entry",
)  # fmt: skip


def measure(floor_dir: Path, path: str, calls: int = 10_000) -> dict[str, float]:
    """Instructions per call, from two callgrind runs (1,000 and 1,000 + calls)."""

    def total(w: str, n: int) -> int:
        res = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", SCRIPT, w, str(n), str(floor_dir), path],
            capture_output=True, text=True, check=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},  # the same string hashes, run after run
        )  # fmt: skip
        m = re.search(r"Collected : (\d+)", res.stderr)
        if m is None:
            raise RuntimeError(f"no callgrind total for {w}: {res.stderr[-500:]}")
        return int(m.group(1))

    jobs = [(w, n) for w in WORKLOADS for n in (1000, 1000 + calls)]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        totals = dict(zip(jobs, pool.map(lambda job: total(*job), jobs)))
    return {w: (totals[w, 1000 + calls] - totals[w, 1000]) / calls for w in WORKLOADS}


@workload("Instructions per call (callgrind)", order=60)
def instructions(ctx: Context) -> Section | None:
    if ctx.args.no_callgrind or shutil.which("valgrind") is None:
        return None
    icount = measure(ctx.floor_dir, ctx.bundled)
    out = Section()
    out.add(
        "Executed instructions per Python-level call, loop included, from `valgrind --tool=callgrind` (two runs "
        "of 1,000 and 11,000 calls, subtracted; PYTHONHASHSEED=0). Not a time (memory latency does not show here: "
        "the binary search's chain of dependent loads costs more cycles than its instruction count suggests), but "
        "a figure that other processes on the machine cannot disturb.",
        "",
        "| Workload | instructions / call | taglex / floor | taglex / floor keys once |",
        "|---|---:|---:|---:|",
    )
    for w in WORKLOADS:
        kind = w.split()[-1]
        rel = once = ""
        if w.startswith("taglex"):
            rel = f"{icount[w] / icount['floor ' + kind]:.2f}x"
            if f"floor keys once {kind}" in icount:
                once = f"{icount[w] / icount['floor keys once ' + kind]:.2f}x"
        out.add(f"| {w} | {icount[w]:,.0f} | {rel} | {once} |")
    pd_vs_taglex = icount["pydicom get_private_entry"] / icount["taglex private"]
    out.add(f"| pydicom get_private_entry / taglex private | {pd_vs_taglex:.2f}x | | |", "")
    return out
