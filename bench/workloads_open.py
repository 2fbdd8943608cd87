"""Opening the bundled dictionary: in process, in fresh processes, and the
resident memory it adds."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from harness import CHILD_ENV, Context, Section, Stats, ms, verdict, workload

PRIVATE_MEMORY = textwrap.dedent(
    """
    def split():
        out = {}
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith(("Rss:", "Private_Clean:", "Private_Dirty:")):
                    out[line.split(":")[0]] = int(line.split()[1]) * 1024
        return out
    """
)


def child_time(argv: list[str], clock: str, env: dict[str, str] = CHILD_ENV) -> float:
    """Runs argv to completion in ``env``; its CPU time (user + system) or
    wall time."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        p = subprocess.Popen(argv, stdout=null, env=env)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    if p.returncode != 0:
        raise RuntimeError(f"{argv} exited with {p.returncode}")
    return usage.ru_utime + usage.ru_stime if clock == "cpu" else wall


def fresh_processes(clock: str, path: str, rounds: int) -> dict[str, Stats]:
    py = sys.executable
    cases = {
        "bare interpreter": [py, "-c", "pass"],
        "import taglex; taglex.open(bundled)": [py, "-c", f"import taglex; taglex.open({path!r})"],
        "import pydicom.datadict": [py, "-c", "import pydicom.datadict"],
    }
    out = {k: Stats() for k in cases}
    for argv in cases.values():  # warm-up: byte-code caches, page cache
        child_time(argv, clock)
    for _ in range(rounds):
        for k, argv in cases.items():
            out[k].times.append(child_time(argv, clock))
    return out


IMPORTED = textwrap.dedent(
    """
    import json, sys

    def loaded():
        return sorted(m for m in sys.modules if m == "taglex._core" or m.split(".")[0] == "pydicom")

    import taglex
    after_import = loaded()
    taglex.open_default().lookup(0x0010, 0x0010)
    after_lookup = loaded()
    taglex.Dictionary.default().get(0x00100010)
    after_get = loaded()
    print(json.dumps([after_import, after_lookup, after_get]))
    """
)


def imported_modules() -> list[list[str]]:
    """In a fresh process: the modules of pydicom and taglex._core loaded
    after ``import taglex``, after a Dict lookup, and after Dictionary.get."""
    res = subprocess.run(
        [sys.executable, "-c", IMPORTED], capture_output=True, text=True, check=True, env=CHILD_ENV
    )
    return json.loads(res.stdout)


def _memory_script(setup: str, action: str) -> str:
    """A script printing what ``setup`` + ``action`` add to the process's
    Rss, Private_Clean and Private_Dirty, as JSON."""
    return PRIVATE_MEMORY + textwrap.dedent(
        f"""
        import json
        {setup}
        a = split()
        {action}
        b = split()
        print(json.dumps({{k: b[k] - a[k] for k in a}}))
        """
    )


def memory_added(path: str, rounds: int) -> dict[str, dict[str, int]]:
    open_and_look = f"d = taglex.open({path!r}); d.lookup(0x0010, 0x0010)"
    scripts = {
        "taglex.open(bundled) + 1 lookup": _memory_script("import taglex", open_and_look),
        "import taglex + taglex.open(bundled) + 1 lookup": _memory_script(
            "pass", "import taglex; " + open_and_look
        ),
        "import pydicom.datadict + 1 get_entry": _memory_script(
            "pass", "import pydicom.datadict; pydicom.datadict.get_entry(0x00100010)"
        ),
    }
    out = {}
    for name, script in scripts.items():
        samples = []
        for _ in range(rounds):
            res = subprocess.run(
                [sys.executable, "-c", script], capture_output=True, text=True, check=True,
                env=CHILD_ENV,
            )
            samples.append(json.loads(res.stdout))
        total = sorted(samples, key=lambda s: s["Private_Clean"] + s["Private_Dirty"])
        out[name] = total[len(total) // 2]  # the median sample
    return out


# Fresh processes first, while this process has not mapped the dictionary (a
# page mapped by two processes counts as shared, not private, in the memory
# figures).
@workload("Opening the bundled dictionary", order=20, first=True)
def opening(ctx: Context) -> Section:
    r, bundled = ctx.runner, ctx.bundled
    fresh = fresh_processes(r.clock, bundled, rounds=max(10, r.repeat * 2))
    memory = memory_added(bundled, rounds=5)

    import taglex

    og = {"taglex": taglex, "touch": ctx.floor_module.touch_pages, "p": bundled}
    opened = r.group({"open": ("taglex.open(p)", og), "touch": ("touch(p)", og)})
    open_inproc, touch_bundled = opened["open"], opened["touch"]

    out = Section()
    bare = fresh["bare interpreter"]
    tlx = fresh["import taglex; taglex.open(bundled)"]
    pyd = fresh["import pydicom.datadict"]
    pyd_min, pyd_med = pyd.min - bare.min, pyd.median - bare.median
    tlx_min, tlx_med = tlx.min - bare.min, tlx.median - bare.median
    clock_child = "CPU time (user + system, from wait4)" if r.clock == "cpu" else "wall time"
    out.add(
        f"In-process: `taglex.open(path)` and the release of the result (close, unmap). Fresh processes: "
        f"`{Path(sys.executable).name} -c ...`, {len(bare.times)} runs each, interleaved, child {clock_child}; "
        "the bare interpreter start is subtracted.",
        "",
        "| What | min ms | median ms |",
        "|---|---:|---:|",
        f"| taglex.open(bundled), in process | {ms(open_inproc.min)} | {ms(open_inproc.median)} |",
        f"| touch every page of the bundled file once, in process (`_tlex_floor.touch_pages`) | "
        f"{ms(touch_bundled.min)} | {ms(touch_bundled.median)} |",
        f"| fresh process: `pass` (bare interpreter) | {ms(bare.min)} | {ms(bare.median)} |",
        f"| fresh process: `import taglex; taglex.open(bundled)` | {ms(tlx.min)} | {ms(tlx.median)} |",
        f"| fresh process: `import pydicom.datadict` | {ms(pyd.min)} | {ms(pyd.median)} |",
        f"| import taglex + open, minus bare start | {ms(tlx_min)} | {ms(tlx_med)} |",
        f"| import pydicom.datadict, minus bare start | {ms(pyd_min)} | {ms(pyd_med)} |",
        "",
    )
    open_ratio = (pyd_min / open_inproc.min, pyd_med / open_inproc.median)
    fresh_ratio = (
        pyd_min / tlx_min if tlx_min > 0 else float("inf"),
        pyd_med / tlx_med if tlx_med > 0 else float("inf"),
    )
    ok = open_ratio[0] >= 400
    out.add(
        "| Ratio | of minima | of medians | Target |",
        "|---|---:|---:|---|",
        f"| pydicom import / taglex.open | {open_ratio[0]:,.0f}x | {open_ratio[1]:,.0f}x | >= 400x {verdict(ok)} |",
        f"| pydicom import / (import taglex + open), both fresh | {fresh_ratio[0]:,.1f}x | "
        f"{fresh_ratio[1]:,.1f}x | - |",
        "",
    )
    out.target(
        "open bundled >= 400x faster than a fresh import of pydicom.datadict",
        f"{open_ratio[0]:,.0f}x (min) / {open_ratio[1]:,.0f}x (median)",
        ok,
    )

    after_import, after_lookup, after_get = imported_modules()

    def listed(names: list[str]) -> str:
        return ", ".join(f"`{n}`" for n in names) if names else "none"

    # The check must be able to see the module: Dictionary loads it.
    light = not after_import and not after_lookup and after_get == ["taglex._core"]
    out.add(
        "Modules of pydicom and `taglex._core` in `sys.modules` of a fresh process:",
        "",
        "| After | loaded |",
        "|---|---|",
        f"| `import taglex` | {listed(after_import)} |",
        f"| then `taglex.open_default().lookup(0x0010, 0x0010)` | {listed(after_lookup)} |",
        f"| then `taglex.Dictionary.default().get(0x00100010)` | {listed(after_get)} |",
        "",
    )
    out.target(
        "import taglex imports neither pydicom nor taglex._core until used",
        f"after import: {listed(after_import)}; after Dictionary.get: {listed(after_get)}",
        light,
    )

    out.add(
        "Resident private memory added (`/proc/self/smaps_rollup`, Private_Clean + Private_Dirty; median of 5 "
        "fresh processes). Private_Clean of taglex is the dictionary file's pages that validation and the "
        "lookup read through the shared read-only mapping (page cache, counted as private while no other "
        "process maps the file); Private_Dirty is heap.",
        "",
        "| Process does | private KiB added | Private_Clean | Private_Dirty | Rss added |",
        "|---|---:|---:|---:|---:|",
    )
    for name, mm in memory.items():
        out.add(
            f"| {name} | {(mm['Private_Clean'] + mm['Private_Dirty']) / 1024:,.0f} | "
            f"{mm['Private_Clean'] / 1024:,.0f} | {mm['Private_Dirty'] / 1024:,.0f} | {mm['Rss'] / 1024:,.0f} |"
        )
    out.add("")

    def private(k: str) -> int:
        return memory[k]["Private_Clean"] + memory[k]["Private_Dirty"]

    t_mem = private("taglex.open(bundled) + 1 lookup")
    ti_mem = private("import taglex + taglex.open(bundled) + 1 lookup")
    p_mem = private("import pydicom.datadict + 1 get_entry")
    out.target(
        "open adds less resident private memory than importing pydicom.datadict",
        f"{ti_mem / 1024:,.0f} KiB (import + open; open alone {t_mem / 1024:,.0f}) vs {p_mem / 1024:,.0f} KiB",
        ti_mem < p_mem,
    )
    return out
