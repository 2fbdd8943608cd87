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

Each section of the report comes from a workload registered in a module
``bench/workloads_<topic>.py`` (see ``harness.py``): this driver builds,
describes the setting, runs the workloads and puts their sections and
targets together. A new workload is a new module; nothing here changes.
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import shlex
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build-bench"
sys.path.insert(0, str(HERE))

import harness  # noqa: E402  (bench/ is on the path now)
from harness import Context, Runner, Section, verdict  # noqa: E402


# --- building ----------------------------------------------------------------


def run(cmd: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, check=True, **kw)


def build_native() -> tuple[Path, Path]:
    """Configures and builds bench/ into build-bench/; returns the C++
    benchmark and the folder of the floor extension."""
    import shutil

    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    run(
        ["cmake", "-S", str(HERE), "-B", str(BUILD), *gen,
         f"-DPython_EXECUTABLE={sys.executable}"],
        stdout=subprocess.DEVNULL,
    )  # fmt: skip
    run(["cmake", "--build", str(BUILD)], stdout=subprocess.DEVNULL)
    return BUILD / "cpp" / "taglex_bench_cpp", BUILD / "floor"


def install_taglex() -> None:
    run(
        [sys.executable, "-m", "pip", "install", "--quiet", str(ROOT),
         "-C", f"build-dir={BUILD / 'wheel'}"],
    )  # fmt: skip


# --- describing the setting ----------------------------------------------------


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


def setting(ctx: Context, command: str, started: str, loads: tuple[str, str], ext_file: str) -> list[str]:
    """The report's title and the description of the run's setting."""
    import numpy
    import pydicom

    import taglex

    args, m = ctx.args, machine()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    clock_name = "process CPU time (time.process_time)" if args.clock == "cpu" else "wall clock (time.perf_counter)"
    editable = not Path(ext_file).resolve().is_relative_to(Path(taglex.__file__).resolve().parent)
    return [
        "# taglex benchmarks",
        "",
        f"Command: `{command}` (from the repository root, with the venv's interpreter), run {started}.",
        "",
        f"- Interpreter: {platform.python_implementation()} {sys.version.split()[0]} "
        f"({'GIL enabled' if gil else 'free-threaded, GIL disabled'}), `{sys.executable}`",
        f"- Machine: {m['cpu']}; {m['memory']}; {m['os']}",
        f"- Load average (1/5/15 min) at start {loads[0]}, at end {loads[1]}: other work shared the "
        "machine, so absolute times are noisy; ratios compare workloads measured side by side.",
        f"- taglex package: `{Path(taglex.__file__).parent}`, extension `{ext_file}`"
        + (" (editable install)" if editable else ""),
        f"- taglex {taglex.__version__} (bundled dictionary: {len(ctx.dictionary):,} index entries, "
        f"{os.path.getsize(ctx.bundled):,} bytes); pydicom {pydicom.__version__}; numpy {numpy.__version__}; "
        f"DCMTK {deb_version('libdcmtk-dev')}; Google Benchmark {deb_version('libbenchmark-dev')}; "
        f"{tool_version(['c++', '--version'])}",
        f"- Clock: {clock_name}. Each workload: warm-up, then {ctx.runner.repeat} rounds of "
        f"~{ctx.runner.run_time:g} s, workloads of a group interleaved round by round; min and median per "
        "call. Targets are judged on the ratio of the minima (other processes only ever add time); the ratio "
        "of the medians is shown beside it.",
        "- Fresh processes run with byte-code caches kept, as an installed package has them (their "
        "environment leaves out PYTHONDONTWRITEBYTECODE"
        + (", which this run's has" if "PYTHONDONTWRITEBYTECODE" in os.environ else "")
        + ").",
        "",
    ]


# --- the run -----------------------------------------------------------------


def workload_modules() -> list:
    """Every bench/workloads_*.py, imported (which registers its workloads)."""
    return [importlib.import_module(p.stem) for p in sorted(HERE.glob("workloads_*.py"))]


def make_parser(modules: list) -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--output", help="also write the report to this file (e.g. docs/benchmarks.md)")
    ap.add_argument("--install", action="store_true", help="pip install the package first")
    ap.add_argument("--quick", action="store_true", help="fewer repeats, scale up to 10^5")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    ap.add_argument("--repeat", type=int, default=None, help="rounds per workload (default 15, quick 5)")
    ap.add_argument("--run-time", type=float, default=None, help="seconds per run (default 0.1)")
    ap.add_argument("--only", action="append", metavar="FUNCTION",
                    help="run only this workload (its function name; repeatable)")  # fmt: skip
    for module in modules:
        if hasattr(module, "add_arguments"):
            module.add_arguments(ap)
    return ap


def main() -> int:
    modules = workload_modules()
    args = make_parser(modules).parse_args()
    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731
    chosen = [w for w in harness.WORKLOADS if not args.only or w.run.__name__ in args.only]
    if args.only and len(chosen) != len(set(args.only)):
        names = ", ".join(sorted(w.run.__name__ for w in harness.WORKLOADS))
        sys.exit(f"--only takes one of: {names}")
    in_report = sorted(chosen, key=lambda w: w.order)

    command = "python bench/run.py" + "".join(f" {shlex.quote(a)}" for a in sys.argv[1:])
    load_start = load()
    started = time.strftime("%Y-%m-%d %H:%M %Z")

    if args.install:
        log("installing taglex ...")
        install_taglex()
    log("building bench/ into build-bench/ ...")
    cpp_exe, floor_dir = build_native()
    sys.path.insert(0, str(floor_dir))
    import _tlex_floor

    # Asked of a child, so that this process imports taglex only when a
    # workload needs it.
    probe = subprocess.run(
        [sys.executable, "-c",
         "import taglex, taglex._taglex as m; print(taglex.default_path()); print(m.__file__)"],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    bundled, ext_file = probe.stdout.splitlines()[:2]
    repeat = args.repeat or (5 if args.quick else 15)
    run_time = args.run_time or (0.05 if args.quick else 0.1)
    ctx = Context(
        args=args, runner=Runner(args.clock, repeat, run_time), log=log, bundled=bundled,
        floor_module=_tlex_floor, floor_dir=floor_dir, cpp_exe=cpp_exe, build_dir=BUILD,
    )  # fmt: skip

    sections: dict[str, Section | None] = {}
    for w in sorted(in_report, key=lambda w: not w.first):  # stable: otherwise in report order
        log(f"{w.title} ...")
        sections[w.title] = w.run(ctx)

    lines = setting(ctx, command, started, (load_start, load()), ext_file)
    targets: list[tuple[str, str, bool]] = []
    number = 0
    for w in in_report:
        section = sections[w.title]
        if section is None:
            continue
        number += 1
        lines += [f"## {number}. {w.title}", "", *section.lines]
        targets += section.targets
    lines += ["## Targets", "", "| Target | Measured | Result |", "|---|---|---|"]
    lines += [f"| {name} | {measured} | {verdict(ok)} |" for name, measured, ok in targets]
    lines.append("")

    report = "\n".join(lines)
    print(report)
    if args.output:
        Path(args.output).write_text(report)
        log(f"written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
