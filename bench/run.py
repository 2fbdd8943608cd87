#!/usr/bin/env python3
"""taglex benchmarks: one command, one Markdown report.

    .venv/bin/python bench/run.py [--output docs/benchmarks.md] [--quick]

Builds what it needs into build-bench/ (the C++ benchmark against DCMTK and
the C-API floor extension, with CMake), makes the scale files in a temporary
folder, runs every workload side by side in the same process or run, and
prints a Markdown report of times and ratios, with the interpreter and the
machine named. The taglex package must be installed in the interpreter that
runs this script (``pip install .``; ``--install`` does that first, building
in build-bench/wheel). pydicom and numpy are needed too (bench only).

Times are per call. In-process Python workloads use timeit: one warm-up run,
then ``--repeat`` rounds in which every workload of a group runs once in turn
(so that load from other processes hits them alike); each run lasts about
``--run-time`` seconds. The clock is the process's CPU time by default
(``--clock cpu``), which leaves out time spent waiting for a core on a shared
machine; ``--clock wall`` uses the wall clock. Fresh-process timings use the
child's CPU time from wait4 (or the wall clock). Ratios are given of the
minima and of the medians; targets are judged on the minima. Last, when
valgrind is installed, instructions per call are counted with callgrind, a
figure that load on the machine cannot disturb (``--no-callgrind`` skips it).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import random
import shlex
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build-bench"

# The tags of the lookup workloads (the same in Python, C++ and the peers).
STD = (0x0010, 0x0010)  # PatientName
PRIV_GROUP, PRIV_ELEMENT = 0x0029, 0x10  # (0029,xx10) of SIEMENS CSA HEADER
PRIV_FULL = (PRIV_GROUP << 16) | 0x1010  # the same element in block 0x10
CREATOR = "SIEMENS CSA HEADER"
CREATOR_OTHER = "  siemens   Csa header "  # another case and spacing, ASCII
MISS = (0x0010, 0x0011)  # no such standard element


# ---------------------------------------------------------------------------
# Measuring


@dataclass
class Stats:
    times: list[float] = field(default_factory=list)  # seconds per call

    @property
    def min(self) -> float:
        return min(self.times)

    @property
    def median(self) -> float:
        return statistics.median(self.times)


def clock_function(kind: str):
    return time.process_time if kind == "cpu" else time.perf_counter


class Runner:
    def __init__(self, clock: str, repeat: int, run_time: float):
        self.clock = clock
        self.timer = clock_function(clock)
        self.repeat = repeat
        self.run_time = run_time

    def calibrate(self, t: timeit.Timer) -> int:
        number = 1
        while True:
            elapsed = t.timeit(number)
            if elapsed >= self.run_time / 5 or number >= 1 << 30:
                break
            number *= 10 if elapsed < self.run_time / 50 else 2
        return max(1, int(number * self.run_time / max(elapsed, 1e-9)))

    def group(self, cases: dict[str, tuple[str, dict]], per: int = 1) -> dict[str, Stats]:
        """Times each statement; `per` operations per statement run."""
        timers = {
            name: timeit.Timer(stmt, globals=g, timer=self.timer) for name, (stmt, g) in cases.items()
        }
        numbers = {name: self.calibrate(t) for name, t in timers.items()}  # also the warm-up
        out = {name: Stats() for name in cases}
        for _ in range(self.repeat):
            for name, t in timers.items():
                out[name].times.append(t.timeit(numbers[name]) / numbers[name] / per)
        return out


def ns(s: float) -> str:
    v = s * 1e9
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def ms(s: float) -> str:
    return f"{s * 1e3:,.3f}" if s < 0.01 else f"{s * 1e3:,.1f}"


def ratio(a: float, b: float) -> str:
    r = a / b
    return f"{r:,.0f}x" if r >= 100 else f"{r:.2f}x"


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


# ---------------------------------------------------------------------------
# Building


def run(cmd: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, check=True, **kw)


def build_native() -> tuple[Path, Path]:
    """Configures and builds bench/ into build-bench/; returns the C++
    benchmark and the folder of the floor extension."""
    gen = ["-G", "Ninja"] if shutil_which("ninja") else []
    run(
        ["cmake", "-S", str(HERE), "-B", str(BUILD), *gen,
         f"-DPython_EXECUTABLE={sys.executable}"],
        stdout=subprocess.DEVNULL,
    )  # fmt: skip
    run(["cmake", "--build", str(BUILD)], stdout=subprocess.DEVNULL)
    return BUILD / "cpp" / "taglex_bench_cpp", BUILD / "floor"


def shutil_which(name: str) -> str | None:
    import shutil

    return shutil.which(name)


def install_taglex() -> None:
    run(
        [sys.executable, "-m", "pip", "install", "--quiet", str(ROOT),
         "-C", f"build-dir={BUILD / 'wheel'}"],
    )  # fmt: skip


# ---------------------------------------------------------------------------
# Describing the setting


def machine() -> dict[str, str]:
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = "?"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
    except OSError:
        pass
    return {
        "cpu": f"{cpu}, {os.cpu_count()} logical cores",
        "memory": mem,
        "os": f"{platform.system()} {platform.release()} ({platform.machine()})",
    }


def load() -> str:
    return " / ".join(f"{x:.2f}" for x in os.getloadavg())


def tool_version(cmd: list[str]) -> str:
    try:
        out = subprocess.run(cmd, capture_output=True, text=True).stdout
        return out.splitlines()[0].strip() if out else "?"
    except OSError:
        return "?"


def deb_version(package: str) -> str:
    try:
        out = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True
        ).stdout
        return out.strip() or "?"
    except OSError:
        return "?"


# ---------------------------------------------------------------------------
# 1. Lookups from Python


def pydicom_peers():
    from pydicom.datadict import get_entry, get_private_entry

    def pydicom_standard(group, element):
        vr, _vm, name, retired, keyword = get_entry((group << 16) | element)
        return {
            "group": group, "element": element, "creator": "", "keyword": keyword,
            "name": name, "vr": vr, "description": "", "retired": retired == "Retired",
            "block_offset": False, "sources": [],
        }  # fmt: skip

    def pydicom_private(tag, creator):
        vr, _vm, name, retired = get_private_entry(tag, creator)
        return {
            "group": tag >> 16, "element": tag & 0xFF, "creator": creator, "keyword": "",
            "name": name, "vr": vr, "description": "", "retired": retired == "Retired",
            "block_offset": True, "sources": [],
        }  # fmt: skip

    def pydicom_miss(tag):
        try:
            return get_entry(tag)
        except KeyError:
            return None

    return get_entry, get_private_entry, pydicom_standard, pydicom_private, pydicom_miss


def bench_lookups(r: Runner, d, floor) -> dict[str, Stats]:
    get_entry, get_private_entry, pd_std, pd_priv, pd_miss = pydicom_peers()
    g = {
        "d": d, "f": floor, "get_entry": get_entry, "get_private_entry": get_private_entry,
        "pd_std": pd_std, "pd_priv": pd_priv, "pd_miss": pd_miss,
        "C": CREATOR, "CO": CREATOR_OTHER, "PF": PRIV_FULL,
        "STD_TAG": (STD[0] << 16) | STD[1], "MISS_TAG": (MISS[0] << 16) | MISS[1],
    }  # fmt: skip
    s, m = STD, MISS
    std = r.group({
        "taglex": (f"d.lookup({s[0]:#06x}, {s[1]:#06x})", g),
        "floor": (f"f.lookup({s[0]:#06x}, {s[1]:#06x})", g),
        "pydicom dict": (f"pd_std({s[0]:#06x}, {s[1]:#06x})", g),
        "pydicom get_entry": ("get_entry(STD_TAG)", g),
    })  # fmt: skip
    priv = r.group({
        "taglex": (f"d.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, CO)", g),
        "taglex exact": (f"d.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, C)", g),
        "floor": (f"f.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, CO)", g),
        "pydicom get_private_entry": ("get_private_entry(PF, C)", g),
        "pydicom dict": ("pd_priv(PF, C)", g),
    })  # fmt: skip
    miss = r.group({
        "taglex": (f"d.lookup({m[0]:#06x}, {m[1]:#06x})", g),
        "floor": (f"f.none({m[0]:#06x}, {m[1]:#06x})", g),
        "pydicom": ("pd_miss(MISS_TAG)", g),
    })  # fmt: skip
    out = {}
    for prefix, res in (("std", std), ("priv", priv), ("miss", miss)):
        for k, v in res.items():
            out[f"{prefix}/{k}"] = v
    return out


# ---------------------------------------------------------------------------
# 2. Opening


PRIVATE_MEMORY = textwrap.dedent(
    """
    def private_bytes():
        total = 0
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    total += int(line.split()[1]) * 1024
        return total
    def split():
        out = {}
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith(("Rss:", "Private_Clean:", "Private_Dirty:")):
                    out[line.split(":")[0]] = int(line.split()[1]) * 1024
        return out
    """
)


def child_time(argv: list[str], clock: str) -> float:
    """Runs argv to completion; its CPU time (user + system) or wall time."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        p = subprocess.Popen(argv, stdout=null)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    if p.returncode != 0:
        raise RuntimeError(f"{argv} exited with {p.returncode}")
    return usage.ru_utime + usage.ru_stime if clock == "cpu" else wall


def bench_fresh_processes(r: Runner, path: str, rounds: int) -> dict[str, Stats]:
    py = sys.executable
    cases = {
        "bare interpreter": [py, "-c", "pass"],
        "import taglex; taglex.open(bundled)": [py, "-c", f"import taglex; taglex.open({path!r})"],
        "import pydicom.datadict": [py, "-c", "import pydicom.datadict"],
    }
    out = {k: Stats() for k in cases}
    for argv in cases.values():  # warm-up: byte-code caches, page cache
        child_time(argv, r.clock)
    for _ in range(rounds):
        for k, argv in cases.items():
            out[k].times.append(child_time(argv, r.clock))
    return out


def memory_added(path: str, rounds: int) -> dict[str, dict[str, int]]:
    scripts = {
        "taglex.open(bundled) + 1 lookup": PRIVATE_MEMORY + textwrap.dedent(
            f"""
            import json, taglex
            a = split()
            d = taglex.open({path!r}); d.lookup(0x0010, 0x0010)
            b = split()
            print(json.dumps({{k: b[k] - a[k] for k in a}}))
            """
        ),
        "import taglex + taglex.open(bundled) + 1 lookup": PRIVATE_MEMORY + textwrap.dedent(
            f"""
            import json
            a = split()
            import taglex
            d = taglex.open({path!r}); d.lookup(0x0010, 0x0010)
            b = split()
            print(json.dumps({{k: b[k] - a[k] for k in a}}))
            """
        ),
        "import pydicom.datadict + 1 get_entry": PRIVATE_MEMORY + textwrap.dedent(
            """
            import json
            a = split()
            import pydicom.datadict
            pydicom.datadict.get_entry(0x00100010)
            b = split()
            print(json.dumps({k: b[k] - a[k] for k in a}))
            """
        ),
    }
    out = {}
    for name, script in scripts.items():
        samples = []
        for _ in range(rounds):
            res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
            samples.append(json.loads(res.stdout))
        total = sorted(samples, key=lambda s: s["Private_Clean"] + s["Private_Dirty"])
        out[name] = total[len(total) // 2]  # the median sample
    return out


# ---------------------------------------------------------------------------
# 3. Scale


def sha256_file(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def make_scale_files(folder: Path, sizes: list[int], writer_max: int, log) -> dict[int, dict]:
    import scale
    from taglex import writer

    files = {}
    for n in sizes:
        path = folder / f"scale-{n}.tlex"
        info: dict = {"path": path}
        if n <= writer_max:
            t = time.perf_counter()
            writer.write(path, scale.records(n))
            info["made"] = "writer"
            info["make_s"] = time.perf_counter() - t
            # The fast generator must give the writer's bytes exactly.
            fast = scale.build_fast(n)
            info["fast_matches_writer"] = hashlib.sha256(fast).hexdigest() == sha256_file(path)
            del fast
        else:
            t = time.perf_counter()
            scale.write_fast(str(path), n)
            info["made"] = "numpy generator"
            info["make_s"] = time.perf_counter() - t
        info["bytes"] = path.stat().st_size
        log(f"  {n:>10,} entries: {info['bytes'] / 1e6:,.1f} MB by the {info['made']} in {info['make_s']:.1f} s")
        files[n] = info
    return files


def bench_scale(r: Runner, files: dict[int, dict], floor_mod, big_repeat: int) -> dict[int, dict]:
    """Per size: open against touch, side by side. Then the lookups of all
    sizes, side by side (all files open at once, one group per workload)."""
    import taglex
    import scale

    out: dict[int, dict] = {}
    for n, info in files.items():
        path = str(info["path"])
        g = {"taglex": taglex, "touch": floor_mod.touch_pages, "p": path}
        # Large files: fewer rounds.
        rr = Runner(r.clock, big_repeat if info["bytes"] > 100e6 else r.repeat, r.run_time)
        out[n] = rr.group({
            "open": ("taglex.open(p)", g), "touch": ("touch(p)", g), "touch_lines": ("touch(p, 64)", g),
        })  # fmt: skip

    rng = random.Random(20240607)
    cases: dict[str, dict[str, tuple[str, dict]]] = {w: {} for w in ("standard", "private", "miss", "random")}
    for n, info in files.items():
        d = taglex.open(str(info["path"]))
        si = scale.standard_index(n, n // 2)
        pi = scale.private_index(n, n // 3)
        sg, se = scale.tag_of(n, si)
        pg, pe = scale.tag_of(n, pi)
        creator = "  " + scale.creator_of(pi).lower().replace(" ", "   ") + " "
        mg, me = scale.tag_of(n, n // 2)
        me += 1  # between two records: a miss
        keys = []
        while len(keys) < 4096:
            i = rng.randrange(n)
            if not scale.creator_of(i):
                keys.append(scale.tag_of(n, i))
        assert d.lookup(sg, se)["keyword"] == f"K{si:08X}"
        assert d.lookup(pg, pe, creator)["creator"] == scale.creator_of(pi)
        assert d.lookup(mg, me) is None
        lg = {"d": d, "lk": d.lookup, "keys": keys, "c": creator}
        cases["standard"][str(n)] = (f"d.lookup({sg}, {se})", lg)
        cases["private"][str(n)] = (f"d.lookup({pg}, {pe}, c)", lg)
        cases["miss"][str(n)] = (f"d.lookup({mg}, {me})", lg)
        cases["random"][str(n)] = ("for g, e in keys: lk(g, e)", lg)
    for w, group in cases.items():
        res = r.group(group, per=4096 if w == "random" else 1)
        for n_text, stats in res.items():
            out[int(n_text)][w] = stats
    return out


# ---------------------------------------------------------------------------
# Instruction counts (callgrind): a cross-check that load on the machine
# cannot disturb.

CALLGRIND_SCRIPT = textwrap.dedent(
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
)
CALLGRIND_WORKLOADS = (
    "taglex standard", "floor standard", "taglex private", "floor private", "taglex miss", "floor miss",
    "pydicom get_private_entry", "pydicom get_entry",
)


def callgrind_instructions(floor_dir: Path, path: str, calls: int = 10_000) -> dict[str, float] | None:
    """Instructions per call, from two callgrind runs (1,000 and 1,000 + calls)."""
    import re
    import shutil

    if shutil.which("valgrind") is None:
        return None

    def total(w: str, n: int) -> int:
        res = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", CALLGRIND_SCRIPT, w, str(n), str(floor_dir), path],
            capture_output=True, text=True, check=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},  # the same string hashes, run after run
        )  # fmt: skip
        m = re.search(r"Collected : (\d+)", res.stderr)
        if m is None:
            raise RuntimeError(f"no callgrind total for {w}: {res.stderr[-500:]}")
        return int(m.group(1))

    from concurrent.futures import ThreadPoolExecutor

    jobs = [(w, n) for w in CALLGRIND_WORKLOADS for n in (1000, 1000 + calls)]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        totals = dict(zip(jobs, pool.map(lambda job: total(*job), jobs)))
    return {w: (totals[w, 1000 + calls] - totals[w, 1000]) / calls for w in CALLGRIND_WORKLOADS}


# ---------------------------------------------------------------------------
# 4. C++


def bench_cpp(exe: Path, dict_path: str, repetitions: int, min_time: float) -> dict[str, dict]:
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


# ---------------------------------------------------------------------------
# 5. Threads


def bench_threads(d, per_thread: int, rounds: int) -> dict[int, float]:
    """Lookups per second (wall clock) of 1 and 2 threads sharing one Dict."""

    def work(barrier):
        lk = d.lookup
        barrier.wait()
        for _ in range(per_thread):
            lk(0x0010, 0x0010)

    best: dict[int, float] = {}
    for _ in range(rounds):
        for k in (1, 2):
            barrier = threading.Barrier(k + 1)
            threads = [threading.Thread(target=work, args=(barrier,)) for _ in range(k)]
            for t in threads:
                t.start()
            barrier.wait()
            start = time.perf_counter()
            for t in threads:
                t.join()
            rate = k * per_thread / (time.perf_counter() - start)
            best[k] = max(best.get(k, 0.0), rate)
    return best


# ---------------------------------------------------------------------------
# Report


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--output", help="also write the report to this file (e.g. docs/benchmarks.md)")
    ap.add_argument("--install", action="store_true", help="pip install the package first")
    ap.add_argument("--quick", action="store_true", help="fewer repeats, scale up to 10^5")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    ap.add_argument("--repeat", type=int, default=None, help="rounds per workload (default 15, quick 5)")
    ap.add_argument("--run-time", type=float, default=None, help="seconds per run (default 0.1)")
    ap.add_argument("--sizes", default=None, help="scale sizes, e.g. 1e3,1e5,1e6,1e7")
    ap.add_argument("--writer-max", type=float, default=1e6,
                    help="largest size made with taglex.writer; larger ones use the numpy generator")
    ap.add_argument("--scale-dir", default=None, help="folder for the scale files (default: a temporary one)")
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ benchmark")
    ap.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    args = ap.parse_args()

    repeat = args.repeat or (5 if args.quick else 15)
    run_time = args.run_time or (0.05 if args.quick else 0.1)
    sizes = [int(float(x)) for x in (args.sizes or ("1e3,1e5" if args.quick else "1e3,1e5,1e6,1e7")).split(",")]
    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731

    command = "python bench/run.py" + "".join(f" {shlex.quote(a)}" for a in sys.argv[1:])
    load_start = load()
    started = time.strftime("%Y-%m-%d %H:%M %Z")

    if args.install:
        log("installing taglex ...")
        install_taglex()
    log("building bench/ into build-bench/ ...")
    cpp_exe, floor_dir = build_native()
    sys.path.insert(0, str(floor_dir))
    sys.path.insert(0, str(HERE))
    import _tlex_floor
    import numpy
    import pydicom

    r = Runner(args.clock, repeat, run_time)

    # Fresh processes first, while this process has neither imported taglex
    # nor mapped the dictionary (a page mapped by two processes counts as
    # shared, not private, in the memory figures).
    probe = subprocess.run(
        [sys.executable, "-c",
         "import taglex, taglex._taglex as m; print(taglex.default_path()); print(m.__file__)"],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    bundled, ext_file = probe.stdout.splitlines()[:2]
    log("2. opening: fresh processes and memory ...")
    fresh = bench_fresh_processes(r, bundled, rounds=max(10, repeat * 2))
    memory = memory_added(bundled, rounds=5)

    import taglex

    d = taglex.open(bundled)
    std_result = d.lookup(*STD)
    priv_result = d.lookup(PRIV_GROUP, PRIV_ELEMENT, CREATOR_OTHER)
    if std_result is None or priv_result is None or d.lookup(*MISS) is not None:
        sys.exit(f"the bundled dictionary {bundled} lacks the benchmark tags")
    floor = _tlex_floor.Floor(std_result, priv_result)
    assert floor.lookup(*STD) == std_result
    assert floor.lookup(PRIV_GROUP, PRIV_ELEMENT, CREATOR_OTHER) == priv_result

    log("1. lookups from Python ...")
    lookups = bench_lookups(r, d, floor)

    log("2. opening in process ...")
    og = {"taglex": taglex, "touch": _tlex_floor.touch_pages, "p": bundled}
    opened = r.group({"open": ("taglex.open(p)", og), "touch": ("touch(p)", og)})
    open_inproc, touch_bundled = opened["open"], opened["touch"]

    log("3. scale ...")
    tmp = None
    if args.scale_dir:
        scale_dir = Path(args.scale_dir)
        scale_dir.mkdir(parents=True, exist_ok=True)
    else:
        BUILD.mkdir(exist_ok=True)
        tmp = tempfile.TemporaryDirectory(prefix="scale-", dir=BUILD)
        scale_dir = Path(tmp.name)
    files = make_scale_files(scale_dir, sizes, int(args.writer_max), log)
    scale_res = bench_scale(r, files, _tlex_floor, big_repeat=max(5, repeat // 2))

    cpp = None
    if not args.no_cpp:
        log("4. C++ (Google Benchmark) ...")
        cpp = bench_cpp(cpp_exe, bundled, repetitions=5 if args.quick else 10, min_time=0.1 if args.quick else 0.2)

    log("5. threads ...")
    threads = bench_threads(d, per_thread=100_000 if not args.quick else 20_000, rounds=3)

    log("7. Dictionary and datadict ...")
    import workloads_dictionary

    dictionary_rows = workloads_dictionary.rows(
        r, log, fresh_rounds=max(10, repeat), count_instructions=not args.no_callgrind
    )

    icount = None
    if not args.no_callgrind:
        log("6. instruction counts (callgrind) ...")
        icount = callgrind_instructions(floor_dir, bundled)

    if tmp is not None:
        tmp.cleanup()
    load_end = load()

    # ---- report -----------------------------------------------------------
    L: list[str] = []
    add = L.append
    m = machine()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    clock_name = "process CPU time (time.process_time)" if args.clock == "cpu" else "wall clock (time.perf_counter)"
    add("# taglex benchmarks")
    add("")
    add(f"Command: `{command}` (from the repository root, with the venv's interpreter), run {started}.")
    add("")
    add(f"- Interpreter: {platform.python_implementation()} {sys.version.split()[0]} "
        f"({'GIL enabled' if gil else 'free-threaded, GIL disabled'}), `{sys.executable}`")
    add(f"- Machine: {m['cpu']}; {m['memory']}; {m['os']}")
    add(f"- Load average (1/5/15 min) at start {load_start}, at end {load_end}: other work shared the "
        "machine, so absolute times are noisy; ratios compare workloads measured side by side.")
    editable = not Path(ext_file).resolve().is_relative_to(Path(taglex.__file__).resolve().parent)
    add(f"- taglex package: `{Path(taglex.__file__).parent}`, extension `{ext_file}`"
        + (" (editable install)" if editable else ""))
    add(f"- taglex {taglex.__version__} (bundled dictionary: {len(d):,} index entries, "
        f"{os.path.getsize(bundled):,} bytes); pydicom {pydicom.__version__}; numpy {numpy.__version__}; "
        f"DCMTK {deb_version('libdcmtk-dev')}; Google Benchmark {deb_version('libbenchmark-dev')}; "
        f"{tool_version(['c++', '--version'])}")
    add(f"- Clock: {clock_name}. Each workload: warm-up, then {repeat} rounds of ~{run_time:g} s, "
        "workloads of a group interleaved round by round; min and median per call. Targets are judged on "
        "the ratio of the minima (other processes only ever add time); the ratio of the medians is shown "
        "beside it.")
    add("")

    # 1.
    add("## 1. Lookup from Python (bundled dictionary)")
    add("")
    add(f"Standard tag ({STD[0]:04X},{STD[1]:04X}); private tag ({PRIV_GROUP:04X},xx{PRIV_ELEMENT:02X}) "
        f"of creator `{CREATOR}`, asked of taglex and the floor as `{CREATOR_OTHER!r}` (another case and "
        f"spacing) and of pydicom exactly (pydicom matches creators exactly, with the full element "
        f"{PRIV_FULL & 0xFFFF:04X}); miss ({MISS[0]:04X},{MISS[1]:04X}). `floor` is `bench/floor`: the same "
        "call convention and the same ten-key dict built from constant C data with the same C-API calls "
        "(for the miss: the same call returning None).")
    add("")
    add("| Workload | Call | min ns | median ns |")
    add("|---|---|---:|---:|")
    calls = {
        "std/taglex": "`d.lookup(0x0010, 0x0010)`",
        "std/floor": "`floor.lookup(0x0010, 0x0010)`",
        "std/pydicom dict": "`get_entry(0x00100010)` + the ten-key dict",
        "std/pydicom get_entry": "`get_entry(0x00100010)`",
        "priv/taglex": f"`d.lookup(0x0029, 0x10, {CREATOR_OTHER!r})`",
        "priv/taglex exact": f"`d.lookup(0x0029, 0x10, {CREATOR!r})`",
        "priv/floor": f"`floor.lookup(0x0029, 0x10, {CREATOR_OTHER!r})`",
        "priv/pydicom get_private_entry": f"`get_private_entry(0x00291010, {CREATOR!r})`",
        "priv/pydicom dict": "`get_private_entry(...)` + the ten-key dict",
        "miss/taglex": "`d.lookup(0x0010, 0x0011)` -> None",
        "miss/floor": "`floor.none(0x0010, 0x0011)` -> None",
        "miss/pydicom": "`get_entry(0x00100011)` -> KeyError caught",
    }
    label = {"std": "standard", "priv": "private", "miss": "miss"}
    for key, call in calls.items():
        s = lookups[key]
        kind, who = key.split("/", 1)
        add(f"| {label[kind]}: {who} | {call} | {ns(s.min)} | {ns(s.median)} |")
    add("")

    targets: list[tuple[str, str, bool]] = []

    def lk_ratio(a, b):
        return lookups[a].min / lookups[b].min, lookups[a].median / lookups[b].median

    add("| Ratio | of minima | of medians | Target |")
    add("|---|---:|---:|---|")
    std_r = lk_ratio("std/taglex", "std/floor")
    priv_r = lk_ratio("priv/taglex", "priv/floor")
    pd_r = lk_ratio("priv/pydicom get_private_entry", "priv/taglex")
    rows = [
        ("standard: taglex / floor", std_r, "<= 1.25x", std_r[0] <= 1.25),
        ("private: taglex / floor", priv_r, "<= 1.6x", priv_r[0] <= 1.6),
        ("private: pydicom get_private_entry / taglex", pd_r, ">= 3x", pd_r[0] >= 3),
        ("private: pydicom get_private_entry / floor (the most any lookup could reach)",
         lk_ratio("priv/pydicom get_private_entry", "priv/floor"), "", None),
        ("private: pydicom get_private_entry + dict / taglex", lk_ratio("priv/pydicom dict", "priv/taglex"), "", None),
        ("standard: pydicom get_entry + dict / taglex", lk_ratio("std/pydicom dict", "std/taglex"), "", None),
        ("miss: taglex / floor (None)", lk_ratio("miss/taglex", "miss/floor"), "", None),
    ]
    for name, (a, b), tgt, ok in rows:
        add(f"| {name} | {a:.2f}x | {b:.2f}x | {tgt + ' ' + verdict(ok) if ok is not None else '-'} |")
        if ok is not None:
            targets.append((f"Python {name} {tgt}", f"{a:.2f}x (min) / {b:.2f}x (median)", ok))
    add("")

    # 2.
    add("## 2. Opening the bundled dictionary")
    add("")
    bare = fresh["bare interpreter"]
    tlx = fresh["import taglex; taglex.open(bundled)"]
    pyd = fresh["import pydicom.datadict"]
    pyd_min, pyd_med = pyd.min - bare.min, pyd.median - bare.median
    tlx_min, tlx_med = tlx.min - bare.min, tlx.median - bare.median
    clock_child = "CPU time (user + system, from wait4)" if args.clock == "cpu" else "wall time"
    add(f"In-process: `taglex.open(path)` and the release of the result (close, unmap). Fresh processes: "
        f"`{Path(sys.executable).name} -c ...`, {len(bare.times)} runs each, interleaved, child {clock_child}; "
        "the bare interpreter start is subtracted.")
    add("")
    add("| What | min ms | median ms |")
    add("|---|---:|---:|")
    add(f"| taglex.open(bundled), in process | {ms(open_inproc.min)} | {ms(open_inproc.median)} |")
    add(f"| touch every page of the bundled file once, in process (`_tlex_floor.touch_pages`) | "
        f"{ms(touch_bundled.min)} | {ms(touch_bundled.median)} |")
    add(f"| fresh process: `pass` (bare interpreter) | {ms(bare.min)} | {ms(bare.median)} |")
    add(f"| fresh process: `import taglex; taglex.open(bundled)` | {ms(tlx.min)} | {ms(tlx.median)} |")
    add(f"| fresh process: `import pydicom.datadict` | {ms(pyd.min)} | {ms(pyd.median)} |")
    add(f"| import taglex + open, minus bare start | {ms(tlx_min)} | {ms(tlx_med)} |")
    add(f"| import pydicom.datadict, minus bare start | {ms(pyd_min)} | {ms(pyd_med)} |")
    add("")
    open_ratio = (pyd_min / open_inproc.min, pyd_med / open_inproc.median)
    fresh_ratio = (pyd_min / tlx_min if tlx_min > 0 else float("inf"), pyd_med / tlx_med if tlx_med > 0 else float("inf"))
    add("| Ratio | of minima | of medians | Target |")
    add("|---|---:|---:|---|")
    ok = open_ratio[0] >= 100
    add(f"| pydicom import / taglex.open | {open_ratio[0]:,.0f}x | {open_ratio[1]:,.0f}x | >= 100x {verdict(ok)} |")
    add(f"| pydicom import / (import taglex + open), both fresh | {fresh_ratio[0]:,.1f}x | {fresh_ratio[1]:,.1f}x | - |")
    add("")
    targets.append(("open bundled >= 100x faster than a fresh import of pydicom.datadict",
                    f"{open_ratio[0]:,.0f}x (min) / {open_ratio[1]:,.0f}x (median)", ok))

    add("Resident private memory added (`/proc/self/smaps_rollup`, Private_Clean + Private_Dirty; median of 5 "
        "fresh processes). Private_Clean of taglex is the dictionary file's pages that validation and the "
        "lookup read through the shared read-only mapping (page cache, counted as private while no other "
        "process maps the file); Private_Dirty is heap.")
    add("")
    add("| Process does | private KiB added | Private_Clean | Private_Dirty | Rss added |")
    add("|---|---:|---:|---:|---:|")
    for name, mm in memory.items():
        add(f"| {name} | {(mm['Private_Clean'] + mm['Private_Dirty']) / 1024:,.0f} | "
            f"{mm['Private_Clean'] / 1024:,.0f} | {mm['Private_Dirty'] / 1024:,.0f} | {mm['Rss'] / 1024:,.0f} |")
    add("")
    def priv_mem(k):
        return memory[k]["Private_Clean"] + memory[k]["Private_Dirty"]

    t_mem = priv_mem("taglex.open(bundled) + 1 lookup")
    ti_mem = priv_mem("import taglex + taglex.open(bundled) + 1 lookup")
    p_mem = priv_mem("import pydicom.datadict + 1 get_entry")
    ok = ti_mem < p_mem
    targets.append(("open adds less resident private memory than importing pydicom.datadict",
                    f"{ti_mem / 1024:,.0f} KiB (import + open; open alone {t_mem / 1024:,.0f}) vs {p_mem / 1024:,.0f} KiB", ok))

    # 3.
    add("## 3. Scale")
    add("")
    add("Synthetic dictionaries (`bench/scale.py`: keys spread over the tag space, every 8th entry private "
        "with one of four creators, unique keywords). Sizes up to "
        f"{int(args.writer_max):,} entries are made with `taglex.writer`; larger ones with the bench-only numpy "
        "generator `scale.build_fast`, which produces the writer's format byte for byte (checked on every "
        "writer-made size below). The files are in the page cache (just written).")
    add("")
    add("Opening: `taglex.open(path)` (map, validate, then release) against `_tlex_floor.touch_pages(path)` "
        "(the same read-only shared mapping, one byte read per 4 KiB page, unmap) and `touch_pages(path, 64)` "
        "(one byte per 64-byte cache line: the floor of anything that reads every record, as validation must: "
        "the records array is 44/56 of the file below the strings), measured side by side per size.")
    add("")
    add("| Entries | File MB | Made by (s) | open ms min / med | touch pages ms min / med | "
        "touch lines ms min / med | open / touch pages | open / touch lines |")
    add("|---:|---:|---|---:|---:|---:|---:|---:|")
    for n, res in scale_res.items():
        info = files[n]
        made = info["made"] + f" ({info['make_s']:.1f})"
        if "fast_matches_writer" in info:
            made += ", generator identical" if info["fast_matches_writer"] else ", GENERATOR DIFFERS"
        add(f"| {n:,} | {info['bytes'] / 1e6:,.1f} | {made} | {ms(res['open'].min)} / {ms(res['open'].median)} | "
            f"{ms(res['touch'].min)} / {ms(res['touch'].median)} | "
            f"{ms(res['touch_lines'].min)} / {ms(res['touch_lines'].median)} | "
            f"{ratio(res['open'].min, res['touch'].min)} | {ratio(res['open'].min, res['touch_lines'].min)} |")
    add("")
    add("Lookups: a standard tag, a private tag (creator in lower case with extra spaces), a miss, and 4,096 "
        "random standard tags in turn (per lookup, loop included). The lookups of all sizes are measured side "
        "by side, all files open at once. ns per lookup, min / median:")
    add("")
    add("| Entries | standard | private | miss | random |")
    add("|---:|---:|---:|---:|---:|")
    for n, res in scale_res.items():
        add(f"| {n:,} | " + " | ".join(f"{ns(res[w].min)} / {ns(res[w].median)}"
                                       for w in ("standard", "private", "miss", "random")) + " |")
    add("")
    if 10**6 in scale_res:
        res = scale_res[10**6]
        a, b = res["open"].min / res["touch"].min, res["open"].median / res["touch"].median
        targets.append(("open 10^6 entries within 2x of touching its pages", f"{a:.2f}x (min) / {b:.2f}x (median)",
                        a <= 2))
    lo, hi = min(scale_res), max(scale_res)
    if lo != hi:
        add(f"| Lookup at {hi:,} / at {lo:,} | of minima | of medians |")
        add("|---|---:|---:|")
        for w in ("standard", "private", "miss", "random"):
            a = scale_res[hi][w].min / scale_res[lo][w].min
            b = scale_res[hi][w].median / scale_res[lo][w].median
            add(f"| {w} | {a:.2f}x | {b:.2f}x |")
            if hi == 10**7 and lo == 10**3 and w in ("standard", "private", "random"):
                targets.append((f"lookup ({w}) at 10^7 within 2x of 10^3", f"{a:.2f}x (min) / {b:.2f}x (median)",
                                a <= 2))
        add("")

    # 4.
    if cpp is not None:
        add("## 4. The library alone in C++ (Google Benchmark), against DCMTK")
        add("")
        ctx = cpp["context"]
        reps = 5 if args.quick else 10
        add(f"`build-bench/cpp/taglex_bench_cpp --dict=<bundled>` (`bench/cpp/bench_dict.cpp`; it and its copy of "
            f"taglex_core are built -O3 -g, the package's Release level), {reps} repetitions of at least "
            f"{0.1 if args.quick else 0.2} s each; CPU time per iteration (Google Benchmark calls its own library "
            f"a {ctx.get('library_build_type', '?')} build: that is Debian's package and concerns only the harness). "
            "DCMTK load = `DcmDataDictionary(false, true)`: the external dictionaries DCMTK reads at first use "
            "(dicom.dic, private.dic); this Debian build has no built-in dictionary (`DcmDataDictionary(true, false)` "
            "holds only its 2 skeleton entries), so that variant is skipped. findEntry runs on a loaded "
            "`DcmDataDictionary` (no global lock). taglex lookups return a `TagView` (no field read) except "
            "`..._Fields`, which also reads every field as the extension does. `BM_Touch_Pages` maps the bundled "
            "file, reads one byte per page and unmaps: the floor of opening it.")
        add("")
        add("| Benchmark | min CPU ns | median CPU ns | min real ns | entries |")
        add("|---|---:|---:|---:|---:|")
        runs = cpp["runs"]
        for name, e in runs.items():
            if e["error"] or not e["cpu"]:
                add(f"| {name} | skipped: {e['error']} | | | |")
                continue
            ent = e["counters"].get("entries")
            add(f"| {name} | {ns(min(e['cpu']) / 1e9)} | {ns(statistics.median(e['cpu']) / 1e9)} | "
                f"{ns(min(e['real']) / 1e9)} | {f'{int(ent[0]):,}' if ent else ''} |")
        add("")

        def cr(a, b):
            ra, rb = runs.get(a), runs.get(b)
            if not ra or not rb or not ra["cpu"] or not rb["cpu"]:
                return None
            return min(ra["cpu"]) / min(rb["cpu"]), statistics.median(ra["cpu"]) / statistics.median(rb["cpu"])

        add("| Ratio | of minima | of medians | Target |")
        add("|---|---:|---:|---|")
        crow = [
            ("DCMTK load (dicom.dic + private.dic) / TlexDict::open", cr("BM_Dcmtk_Load_Default", "BM_Tlex_Open"), ">= 100x", lambda v: v[0] >= 100),
            ("DCMTK load (dicom.dic + private.dic) / touching the bundled file's pages (the bound for any open that validates through a new mapping)",
             cr("BM_Dcmtk_Load_Default", "BM_Touch_Pages"), "", None),
            ("TlexDict::open / touching the bundled file's pages", cr("BM_Tlex_Open", "BM_Touch_Pages"), "", None),
            ("DCMTK load (dicom.dic alone) / TlexDict::open", cr("BM_Dcmtk_Load_DicomDic", "BM_Tlex_Open"), "", None),
            ("standard: taglex lookup / DCMTK findEntry", cr("BM_Tlex_Lookup_Standard", "BM_Dcmtk_Find_Standard"), "<= 3x", lambda v: v[0] <= 3),
            ("standard: taglex lookup + all fields / DCMTK findEntry", cr("BM_Tlex_Lookup_Standard_Fields", "BM_Dcmtk_Find_Standard"), "", None),
            ("private: taglex lookup / DCMTK findEntry", cr("BM_Tlex_Lookup_Private", "BM_Dcmtk_Find_Private"), "", None),
            ("miss: taglex lookup / DCMTK findEntry", cr("BM_Tlex_Lookup_Miss", "BM_Dcmtk_Find_Miss"), "", None),
        ]
        for name, v, tgt, test in crow:
            if v is None:
                add(f"| {name} | n/a | n/a | {tgt} |")
                continue
            ok = test(v) if test else None
            fmt = (lambda x: f"{x:,.0f}x") if v[0] >= 100 else (lambda x: f"{x:.2f}x")
            add(f"| {name} | {fmt(v[0])} | {fmt(v[1])} | {tgt + ' ' + verdict(ok) if ok is not None else '-'} |")
            if ok is not None:
                targets.append((f"C++ {name} {tgt}", f"{fmt(v[0])} (min) / {fmt(v[1])} (median)", ok))
        add("")

    # 5.
    add("## 5. Threads")
    add("")
    add(f"One `Dict`, `d.lookup(0x0010, 0x0010)` in a loop, wall clock, best of 3 rounds. This interpreter "
        f"{'has the GIL enabled' if gil else 'runs without the GIL'}: the module declares that it does not need "
        "the GIL, but on a GIL build two threads take turns. A free-threaded CPython 3.13 (3.13t) could not be "
        "installed here: Debian 12 does not package one, and only PyPI and Debian are reachable (PyPI does not "
        "distribute interpreters).")
    add("")
    add("| Threads | lookups/s (all threads) | vs 1 thread |")
    add("|---:|---:|---:|")
    for k, rate in threads.items():
        add(f"| {k} | {rate:,.0f} | {rate / threads[1]:.2f}x |")
    if cpp is not None:
        th = {k: v for k, v in cpp["runs"].items() if k.startswith("BM_Tlex_Lookup_Threads")}
        if th:
            add("")
            add("The library alone (C++, `BM_Tlex_Lookup_Threads`, real time, best repetition):")
            add("")
            add("| Benchmark | lookups/s (all threads) |")
            add("|---|---:|")
            for k, e in th.items():
                ips = e["counters"].get("items_per_second")
                add(f"| {k} | {max(ips):,.0f} |" if ips else f"| {k} | n/a |")
    add("")

    if icount is not None:
        add("## 6. Instructions per call (callgrind)")
        add("")
        add("Executed instructions per Python-level call, loop included, from `valgrind --tool=callgrind` (two runs "
            "of 1,000 and 11,000 calls, subtracted; PYTHONHASHSEED=0). Not a time (memory latency does not show here: the binary "
            "search's chain of dependent loads costs more cycles than its instruction count suggests), but a "
            "figure that other processes on the machine cannot disturb.")
        add("")
        add("| Workload | instructions / call | taglex / floor |")
        add("|---|---:|---:|")
        for w in CALLGRIND_WORKLOADS:
            kind = w.split()[-1]
            rel = ""
            if w.startswith("taglex"):
                rel = f"{icount[w] / icount['floor ' + kind]:.2f}x"
            add(f"| {w} | {icount[w]:,.0f} | {rel} |")
        add(f"| pydicom get_private_entry / taglex private | {icount['pydicom get_private_entry'] / icount['taglex private']:.2f}x | |")
        add("")

    add("## 7. taglex.Dictionary and taglex.datadict")
    add("")
    add("Side by side in one group each (see bench/workloads_dictionary.py); ratios of the minima.")
    add("")
    add(workloads_dictionary.table(dictionary_rows))
    add("")
    targets += [(f"{label}: {target}", figure, ok) for label, figure, target, ok in dictionary_rows if ok is not None]

    add("## Targets")
    add("")
    add("| Target | Measured | Result |")
    add("|---|---|---|")
    for name, measured, ok in targets:
        add(f"| {name} | {measured} | {verdict(ok)} |")
    add("")

    report = "\n".join(L)
    print(report)
    if args.output:
        Path(args.output).write_text(report)
        log(f"written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
