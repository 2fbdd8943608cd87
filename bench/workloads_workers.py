"""Worker processes: the proportional memory (PSS) that answering from the
bundled dictionary adds to each of 8 processes running at once, against
pydicom's datadict doing the same work and Dict.lookup alone."""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import textwrap

from harness import (
    CHILD_ENV, CREATOR, CREATOR_OTHER, PRIV_ELEMENT, PRIV_FULL, PRIV_GROUP, Context, Section, verdict, workload,
)  # fmt: skip

WORKERS = 8
LIMIT = 1.5e6  # bytes of PSS added per process, at most
FIELDS = ("Pss", "Pss_Anon", "Pss_File", "Rss")

# A worker: reads its memory at three points, each after every worker has
# reached it (the parent says "go" when all have said "ready"), so that the
# pages the workers share are divided among all of them at every reading.
WORKER = textwrap.dedent(
    """
    import json, sys

    def memory():
        out = {{}}
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in {fields!r}:
                    out[key] = int(value.split()[0]) * 1024
        return out

    def together():
        sys.stdout.write("ready\\n")
        sys.stdout.flush()
        sys.stdin.readline()

    def reading():
        together()  # every worker has done the step
        m = memory()
        together()  # every worker has read its memory
        return m

    before = reading()
    {imports}
    imported = reading()
    {work}
    done = reading()
    print(json.dumps([before, imported, done]))
    """
)

CASES = {
    "taglex.Dictionary: get and tag_for_keyword": (
        "import taglex",
        "d = taglex.Dictionary.default(); d.get(0x00100010); d.get('PatientName'); "
        f"d.get({PRIV_FULL:#010x}, {CREATOR_OTHER!r}); d.tag_for_keyword('PatientName')",
    ),
    "taglex.datadict: get_entry and tag_for_keyword": (
        "import taglex",
        "from taglex import datadict; datadict.get_entry(0x00100010); datadict.get_entry('PatientName'); "
        f"datadict.get_private_entry({PRIV_FULL:#010x}, {CREATOR!r}); datadict.tag_for_keyword('PatientName')",
    ),
    "taglex.Dictionary: get by tag only (no keyword index built)": (
        "import taglex",
        f"d = taglex.Dictionary.default(); d.get(0x00100010); d.get({PRIV_FULL:#010x}, {CREATOR_OTHER!r})",
    ),
    "Dict.lookup alone": (
        "import taglex",
        "d = taglex.open_default(); d.lookup(0x0010, 0x0010); "
        f"d.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, {CREATOR_OTHER!r})",
    ),
    "pydicom.datadict: get_entry and tag_for_keyword": (
        "import pydicom.datadict as datadict",
        "datadict.get_entry(0x00100010); datadict.get_entry('PatientName'); "
        f"datadict.get_private_entry({PRIV_FULL:#010x}, {CREATOR!r}); datadict.tag_for_keyword('PatientName')",
    ),
}  # fmt: skip
TARGET_CASE = "taglex.Dictionary: get and tag_for_keyword"


def run_workers(imports: str, work: str, n: int) -> list[list[dict[str, int]]]:
    """n workers at once; each one's three readings (before the import, after
    it, after the work)."""
    script = WORKER.format(fields=FIELDS, imports=imports, work=work)
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True, env=CHILD_ENV,
        )  # fmt: skip
        for _ in range(n)
    ]
    try:
        for _ in range(6):  # three readings, two meeting points each
            for p in procs:
                assert p.stdout is not None
                if p.stdout.readline() != "ready\n":
                    raise RuntimeError(f"a worker failed: {imports}; {work}")
            for p in procs:
                assert p.stdin is not None
                p.stdin.write("go\n")
                p.stdin.flush()
        out = []
        for p in procs:
            stdout, _ = p.communicate(timeout=60)
            if p.returncode != 0:
                raise RuntimeError(f"a worker exited with {p.returncode}")
            out.append(json.loads(stdout))
        return out
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()


def mb(b: float) -> str:
    return f"{b / 1e6:,.2f}"


@workload("Worker processes: memory added per process", order=22, first=True)
def workers(ctx: Context) -> Section:
    rounds = 3
    found: dict[str, dict[str, float]] = {}
    for name, (imports, work) in CASES.items():
        ctx.log(f"workers: {name} ...")
        per_round = []
        for _ in range(rounds):
            readings = run_workers(imports, work, WORKERS)
            per_round.append({
                "total": statistics.mean(r[2]["Pss"] - r[0]["Pss"] for r in readings),
                "import": statistics.mean(r[1]["Pss"] - r[0]["Pss"] for r in readings),
                "work": statistics.mean(r[2]["Pss"] - r[1]["Pss"] for r in readings),
                "anon": statistics.mean(r[2]["Pss_Anon"] - r[0]["Pss_Anon"] for r in readings),
                "file": statistics.mean(r[2]["Pss_File"] - r[0]["Pss_File"] for r in readings),
                "rss": statistics.mean(r[2]["Rss"] - r[0]["Rss"] for r in readings),
                "spread": max(r[2]["Pss"] - r[0]["Pss"] for r in readings)
                - min(r[2]["Pss"] - r[0]["Pss"] for r in readings),
            })  # fmt: skip
        per_round.sort(key=lambda x: x["total"])
        found[name] = per_round[len(per_round) // 2]  # the median round
    out = Section()
    out.add(
        f"{WORKERS} fresh interpreters at once (`{sys.executable.rsplit('/', 1)[-1]} -c`, started by this "
        "process, so they share only what the operating system shares: the interpreter, the extension "
        "modules, the pages of the dictionary file). Each reads `Pss`, `Pss_Anon`, `Pss_File` and `Rss` "
        "of `/proc/self/smaps_rollup` three times, every worker at the same point each time: before the "
        "import (the interpreter with nothing of taglex or pydicom imported), after the import, and after "
        "the work. **Added** is the reading after the work minus the reading before the import (the "
        "import included); the mean over the workers, the median of "
        f"{rounds} rounds. MB are 10^6 bytes. The work:",
        "",
    )
    for name, (imports, work) in CASES.items():
        out.add(f"- {name}: `{imports}`, then `{work}`")
    out.add(
        "",
        "| Workers do | PSS added per process, MB | of it by the import | by the work | Pss_Anon | "
        "Pss_File | Rss added | spread over workers |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    )
    for name, f in found.items():
        out.add(
            f"| {name} | {mb(f['total'])} | {mb(f['import'])} | {mb(f['work'])} | {mb(f['anon'])} | "
            f"{mb(f['file'])} | {mb(f['rss'])} | {mb(f['spread'])} |"
        )
    mine, theirs = found[TARGET_CASE], found["pydicom.datadict: get_entry and tag_for_keyword"]
    ok = mine["total"] <= LIMIT
    out.add(
        "",
        f"Per process: taglex.Dictionary {mb(mine['total'])} MB, pydicom's datadict {mb(theirs['total'])} MB "
        f"({theirs['total'] / mine['total']:.1f}x taglex's); target <= {mb(LIMIT)} MB: {verdict(ok)}.",
        "",
    )
    out.target(
        f"{WORKERS} workers using Dictionary.get and tag_for_keyword: PSS added per process "
        f"(import included) <= {mb(LIMIT)} MB",
        f"{mb(mine['total'])} MB (above import taglex {mb(mine['work'])} MB; "
        f"Dict.lookup alone {mb(found['Dict.lookup alone']['total'])} MB; pydicom {mb(theirs['total'])} MB)",
        ok,
    )
    return out
