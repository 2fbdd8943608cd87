#!/usr/bin/env python3
"""Benchmark rows of taglex.pydicom and ``taglex dump``, side by side with pydicom.

Two sections of the report of bench/run.py, or alone:

    python bench/workloads_pydicom.py [--quick] [--clock cpu|wall] [--rounds N]

1. ``fix_private_vrs`` on an Implicit VR dataset of 1,000 private elements
   whose creators are re-spelt (so pydicom reads every one as UN), beside
   pydicom reading the same file with the creators as its own private
   dictionary spells them (so it decodes every one itself). Each statement
   parses the file from memory; the parse alone is timed too, and the cost
   per element is given with and without it.
2. ``taglex dump FILE`` beside ``python -c "import pydicom;
   print(pydicom.dcmread(f))"`` on pydicom's CT and MR test files, each in a
   fresh process (CPU time of the child, or wall time), and the same work in
   one process.
3. ``taglex dump`` beside the same pydicom print of a file holding one US
   element of 50 million values: wall time and peak memory of each child.

Every workload of a group runs once in turn in each round, so that load from
other processes hits them alike; minima and medians are reported, ratios of
both, targets judged on the minima. Needs pydicom and the taglex package
installed in the interpreter that runs it.
"""

from __future__ import annotations

import argparse
import io
import os
import subprocess
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

from harness import CHILD_ENV, Context, Section, Stats, ms, ratio, verdict, workload

DUMP_FILES = ("CT_small.dcm", "MR_small.dcm")
PRIVATE_ELEMENTS = 1000

# One value for each VR the private dataset uses.
VALUES: dict[str, object] = {
    "US": 7, "SS": -7, "UL": 70000, "SL": -70000, "FL": 1.5, "FD": -2.25,
    "DS": "1.5", "IS": "42", "LO": "long string", "SH": "short", "CS": "CODE",
    "LT": "long text", "ST": "short text", "UT": "unlimited text", "AE": "STATION",
    "DA": "20240101", "TM": "120000", "DT": "20240101120000", "PN": "Doe^John",
    "UI": "1.2.3.4", "AS": "042Y", "OB": b"\x01\x02", "OW": b"\x01\x02",
}  # fmt: skip


# --- measuring ----------------------------------------------------------------------


def rounds(cases: dict[str, Callable[[], object]], n: int, clock: Callable[[], float]) -> dict[str, Stats]:
    """Times each case n times, the cases in turn; one warm-up call each."""
    for fn in cases.values():
        fn()
    out = {name: Stats() for name in cases}
    for _ in range(n):
        for name, fn in cases.items():
            start = clock()
            fn()
            out[name].times.append(clock() - start)
    return out


def child_time(argv: list[str], clock: str) -> float:
    """Runs argv to completion: its CPU time (user + system) or wall time."""
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        p = subprocess.Popen(argv, stdout=null, stderr=subprocess.DEVNULL, env=CHILD_ENV)
        _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv} failed")
    return usage.ru_utime + usage.ru_stime if clock == "cpu" else wall


def fresh_rounds(cases: dict[str, list[str]], n: int, clock: str) -> dict[str, Stats]:
    for argv in cases.values():
        child_time(argv, clock)
    out = {name: Stats() for name in cases}
    for _ in range(n):
        for name, argv in cases.items():
            out[name].times.append(child_time(argv, clock))
    return out


def us(s: float) -> str:
    return f"{s * 1e6:,.2f}"


def test_files() -> str:
    import pydicom

    return os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")


# --- 1. fix_private_vrs -----------------------------------------------------------


def private_elements(n: int) -> list[tuple[str, int, int, str]]:
    """n private elements that pydicom's private dictionary and the bundled
    taglex dictionary both know with the same single VR: (creator, group,
    element low byte, VR), several creators, each in a block of its own."""
    from pydicom.datadict import private_dictionaries

    import taglex

    d = taglex.Dictionary.default()
    out: list[tuple[str, int, int, str]] = []
    for creator in sorted(private_dictionaries):
        table = private_dictionaries[creator]
        # Entries for one full tag (no "xx") come first in pydicom's lookup.
        full = {(k[:4].upper(), k[6:].upper()) for k in table if "xx" not in k}
        for key, (vr, _vm, _name, _retired) in sorted(table.items()):
            if key[4:6] != "xx" or not all(c in "0123456789abcdefABCDEF" for c in key[:4] + key[6:]):
                continue
            if (key[:4].upper(), key[6:].upper()) in full:
                continue
            group, low = int(key[:4], 16), int(key[6:], 16)
            if not group & 1 or group < 0x0009:
                continue  # not a private group
            entry = d.get((group << 16) | 0x1000 | low, creator)
            if vr not in VALUES or entry is None or tuple(entry.vrs) != (vr,):
                continue
            out.append((creator, group, low, vr))
            if len(out) == n:
                return out
    raise RuntimeError(f"only {len(out)} private elements fit")


def private_file(elements: list[tuple[str, int, int, str]], respelt: bool) -> bytes:
    """The elements in an Implicit VR Little Endian file, each creator in a
    block of its group; with ``respelt`` the creators in other letter case
    and spacing, as pydicom's dictionary does not spell them."""
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ImplicitVRLittleEndian

    ds = Dataset()
    ds.PatientName = "Private^Elements"
    blocks: dict[tuple[str, int], int] = {}
    used: dict[int, int] = {}
    for creator, group, low, vr in elements:
        block = blocks.get((creator, group))
        if block is None:
            block = blocks[(creator, group)] = used.get(group, 0x10)
            used[group] = block + 1
            text = " " + creator.lower().replace(" ", "  ") if respelt else creator
            ds.add_new((group << 16) | block, "LO", text)
        ds.add_new((group << 16) | (block << 8) | low, vr, VALUES[vr])
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.3"
    ds.file_meta.MediaStorageSOPInstanceUID = "1.2.3.4"
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds.save_as(buf, implicit_vr=True, little_endian=True, enforce_file_format=True)
    return buf.getvalue()


def fix_section(n_rounds: int, clock: Callable[[], float]) -> Section:
    import pydicom

    import taglex
    from taglex.pydicom import fix_private_vrs

    elements = private_elements(PRIVATE_ELEMENTS)
    exact, respelt = private_file(elements, False), private_file(elements, True)
    n = len(elements)
    dictionary = taglex.Dictionary.default()

    def pydicom_reads() -> Any:
        ds = pydicom.dcmread(io.BytesIO(exact))
        for _ in ds:  # decodes every element with its dictionary's VR
            pass
        return ds

    def taglex_fixes() -> Any:
        ds = pydicom.dcmread(io.BytesIO(respelt))
        fix_private_vrs(ds, dictionary)
        return ds

    def parse_only() -> Any:
        return pydicom.dcmread(io.BytesIO(respelt))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # Both give the same elements, VR and value; pydicom alone, none.
        a, b = pydicom_reads(), taglex_fixes()
        same = sum(
            1 for e in a if e.tag.is_private and not e.tag.is_private_creator
            and b[e.tag].VR == e.VR and b[e.tag].value == e.value
        )  # fmt: skip
        unknown = sum(1 for e in pydicom.dcmread(io.BytesIO(respelt)) if e.VR == "UN")
        if same != n or unknown < n:
            raise RuntimeError(f"{same} of {n} elements agree; {unknown} read as UN")
        s = rounds(
            {"pydicom": pydicom_reads, "taglex": taglex_fixes, "parse": parse_only}, n_rounds, clock
        )

    p_min, t_min = s["pydicom"].min - s["parse"].min, s["taglex"].min - s["parse"].min
    p_med, t_med = s["pydicom"].median - s["parse"].median, s["taglex"].median - s["parse"].median
    out = Section()
    out.add(
        f"An Implicit VR file of {n:,} private elements of {len({e[0] for e in elements})} "
        "creators that pydicom's private dictionary and taglex's give the same VR. pydicom "
        "reads it with the creators as its dictionary spells them and decodes every element; "
        "taglex reads it with every creator re-spelt (pydicom leaves every element UN) and "
        "runs `fix_private_vrs`, which gives each the same VR and value as pydicom's reading. "
        f"Both parse the file from memory; the parse alone is the third row. {n_rounds} rounds.",
        "",
        "| Workload | µs per element (min) | (median) |",
        "|---|---:|---:|",
        f"| pydicom: read and decode, its dictionary matching | {us(s['pydicom'].min / n)} | {us(s['pydicom'].median / n)} |",
        f"| taglex: read, then `fix_private_vrs`, creators re-spelt | {us(s['taglex'].min / n)} | {us(s['taglex'].median / n)} |",
        f"| parse only (no element decoded) | {us(s['parse'].min / n)} | {us(s['parse'].median / n)} |",
        "",
        "| Ratio taglex / pydicom | min | median |",
        "|---|---:|---:|",
        f"| whole (parse included) | {ratio(s['taglex'].min, s['pydicom'].min)} | {ratio(s['taglex'].median, s['pydicom'].median)} |",
        f"| beyond the parse: `fix_private_vrs` {us(t_min / n)} µs vs pydicom's decoding {us(p_min / n)} µs per element | {ratio(t_min, p_min)} | {ratio(t_med, p_med)} |",
        "",
    )  # fmt: skip
    out.target(
        "fix_private_vrs per element within 2x of pydicom decoding the same elements",
        f"{us(t_min / n)} vs {us(p_min / n)} µs ({ratio(t_min, p_min)})",
        t_min <= 2 * p_min,
    )
    return out


# --- 2. taglex dump -------------------------------------------------------------------

PYDICOM_PRINT = "import pydicom, sys; print(pydicom.dcmread(sys.argv[1]))"
IMPORTS = "import pydicom, taglex.cli, taglex.pydicom"


def dump_section(n_rounds: int, clock_kind: str, clock: Callable[[], float]) -> Section:
    import pydicom

    import taglex
    from taglex.cli.dump import dump_file

    py = sys.executable
    out = Section()
    out.add(
        f'`python -m taglex dump FILE` beside `python -c "{PYDICOM_PRINT}" FILE`, each in a fresh '
        f"process ({clock_kind} time of the child; the imports alone for scale: `import pydicom`, "
        f"and `{IMPORTS}`, what `taglex dump` imports), then the same work in one process (the "
        f"dump's lines of one file beside `str(pydicom.dcmread(f))`). {n_rounds} rounds; "
        f"{n_rounds * 5} in process.",
        "",
        "| File | Workload | ms (min) | (median) | ratio to pydicom (min) | (median) |",
        "|---|---|---:|---:|---:|---:|",
    )
    args = argparse.Namespace(force=False, json=False, private=False)
    dictionary = taglex.Dictionary.default()
    worst = 0.0
    for name in DUMP_FILES:
        path = os.path.join(test_files(), name)
        fresh = fresh_rounds(
            {
                "taglex dump": [py, "-m", "taglex", "dump", path],
                "pydicom print": [py, "-c", PYDICOM_PRINT, path],
                "import pydicom": [py, "-c", "import pydicom"],
                IMPORTS: [py, "-c", IMPORTS],
            },
            n_rounds,
            clock_kind,
        )

        def ours(path: str = path) -> object:
            return "\n".join(dump_file(path, dictionary, args)[0] or ())

        def theirs(path: str = path) -> object:
            return str(pydicom.dcmread(path))

        inproc = rounds({"taglex dump": ours, "pydicom print": theirs}, n_rounds * 5, clock)
        worst = max(worst, fresh["taglex dump"].min / fresh["pydicom print"].min)
        for label, s in (("fresh process", fresh), ("in process", inproc)):
            base = s["pydicom print"]
            for workload_name, st in s.items():
                r = ("", "") if workload_name.startswith("import") else (
                    ratio(st.min, base.min), ratio(st.median, base.median))  # fmt: skip
                out.add(
                    f"| {name} | {label}: {workload_name} | {ms(st.min)} | {ms(st.median)} | {r[0]} | {r[1]} |"
                )
    out.add("")
    out.target(
        "taglex dump of a CT or MR file no slower than printing pydicom.dcmread (fresh process)",
        f"{worst:.2f}x",
        worst <= 1.0,
    )
    return out


# --- 3. taglex dump of one long value ------------------------------------------------

LONG_VALUES = 50_000_000  # US values: 100 MB


def long_value_file(folder: str) -> str:
    """An Implicit VR file holding one US element of LONG_VALUES values
    (zeros, in a sparse file) between two short ones."""
    import struct

    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ImplicitVRLittleEndian

    ds = Dataset()
    ds.SOPClassUID = "1.2.3"
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.3"
    ds.file_meta.MediaStorageSOPInstanceUID = "1.2.3.4"
    buf = io.BytesIO()
    ds.save_as(buf, implicit_vr=True, little_endian=True, enforce_file_format=True)
    path = os.path.join(folder, "long-value.dcm")
    with open(path, "wb") as f:
        f.write(buf.getvalue())
        f.write(struct.pack("<HHI", 0x0008, 0x0306, 2 * LONG_VALUES))
        f.seek(2 * LONG_VALUES, os.SEEK_CUR)
        f.write(struct.pack("<HHI", 0x0010, 0x0010, 8) + b"Long^Val")
    return path


def child_cost(argv: list[str]) -> tuple[float, int]:
    """(wall seconds, peak resident KiB) of a child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{argv} exited with {proc.returncode}")
    return time.perf_counter() - start, usage.ru_maxrss


def long_value_section(n_rounds: int) -> Section:
    import tempfile

    py = sys.executable
    out = Section()
    with tempfile.TemporaryDirectory() as folder:
        path = long_value_file(folder)
        cases = {
            "taglex dump": [py, "-m", "taglex", "dump", path],
            "pydicom print": [py, "-c", PYDICOM_PRINT, path],
        }
        cost: dict[str, list[tuple[float, int]]] = {name: [] for name in cases}
        for _ in range(n_rounds):
            for name, argv in cases.items():
                cost[name].append(child_cost(argv))
    t = {name: min(c[0] for c in runs) for name, runs in cost.items()}
    kib = {name: min(c[1] for c in runs) for name, runs in cost.items()}
    out.add(
        f"A file of one US element of {LONG_VALUES:,} values ({2 * LONG_VALUES // 10**6} MB) "
        f"between two short ones, each command in a fresh process (wall time and peak "
        f"resident memory of the child, minima of {n_rounds} rounds).",
        "",
        "| Workload | s (min) | peak KiB (min) | time ratio to pydicom | memory ratio to pydicom |",
        "|---|---:|---:|---:|---:|",
    )
    for name in cases:
        out.add(
            f"| {name} | {t[name]:.2f} | {kib[name]:,} | {ratio(t[name], t['pydicom print'])} "
            f"| {ratio(kib[name], kib['pydicom print'])} |"
        )
    out.add("")
    worse = max(t["taglex dump"] / t["pydicom print"], kib["taglex dump"] / kib["pydicom print"])
    out.target(
        "taglex dump of a file with a 50-million-value element: time and peak memory at most "
        "those of printing pydicom.dcmread",
        f"{t['taglex dump'] / t['pydicom print']:.2f}x time, "
        f"{kib['taglex dump'] / kib['pydicom print']:.2f}x memory",
        worse <= 1.0,
    )
    return out


# --- the report -----------------------------------------------------------------------


def _rounds(ctx: Context) -> int:
    return int(ctx.runner.repeat)


@workload("fix_private_vrs on 1,000 private UN elements, against pydicom", order=70)
def fix_private_vrs_rows(ctx: Context) -> Section:
    return fix_section(_rounds(ctx) * 3, ctx.runner.timer)


@workload("taglex dump of a CT and an MR file, against printing pydicom.dcmread", order=75)
def dump_rows(ctx: Context) -> Section:
    return dump_section(_rounds(ctx), ctx.runner.clock, ctx.runner.timer)


@workload("taglex dump of a file with one long value, against printing pydicom.dcmread", order=76)
def long_value_rows(ctx: Context) -> Section:
    return long_value_section(3)


def main(argv: list[str] | None = None) -> int:
    import pydicom

    import taglex

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    args = parser.parse_args(argv)
    n = args.rounds or (5 if args.quick else 15)
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    lines = [
        f"taglex {taglex.__version__}, pydicom {pydicom.__version__}, "
        f"Python {sys.version.split()[0]}, {args.clock} clock, "
        f"load average {' / '.join(f'{x:.2f}' for x in os.getloadavg())}.",
        "",
    ]
    targets = []
    for title, section in (
        ("fix_private_vrs on 1,000 private UN elements", fix_section(n * 3, clock)),
        ("taglex dump of a CT and an MR file", dump_section(n, args.clock, clock)),
        ("taglex dump of a file with one long value", long_value_section(3)),
    ):
        lines += [f"## {title}", "", *section.lines]
        targets += section.targets
    lines += ["| Target | Measured | |", "|---|---|---|"]
    lines += [f"| {name} | {measured} | {verdict(ok)} |" for name, measured, ok in targets]
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
