"""What the benchmark workloads share: timing, number formats, the tags asked,
the run's context, and the registry that bench/run.py reads the report from.

A workload is a function of the run's :class:`Context` that measures
something and returns a :class:`Section` of the report (or None when it has
nothing to show, e.g. a tool is missing). Register it with :func:`workload`
in a module ``bench/workloads_<topic>.py``; run.py imports every such module,
runs the workloads and assembles the report in their ``order``, numbering the
sections. A module may also define ``add_arguments(parser)`` for options of
its own::

    from harness import Context, Section, workload

    @workload("Keyword lookups from Python", order=15)
    def keyword_lookups(ctx: Context) -> Section:
        stats = ctx.runner.group({"taglex": ("d.get('PatientName')", {"d": ctx.dictionary})})
        section = Section(["Intro text.", "", "| Workload | min ns |", "|---|---:|"])
        section.lines.append(f"| taglex | {ns(stats['taglex'].min)} |")
        section.target("keyword lookup <= 2 us", f"{ns(stats['taglex'].min)} ns", stats["taglex"].min <= 2e-6)
        return section
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

# The tags of the lookup workloads (the same in Python, C++ and the peers).
STD = (0x0010, 0x0010)  # PatientName
PRIV_GROUP, PRIV_ELEMENT = 0x0029, 0x10  # (0029,xx10) of SIEMENS CSA HEADER
PRIV_FULL = (PRIV_GROUP << 16) | 0x1010  # the same element in block 0x10
CREATOR = "SIEMENS CSA HEADER"
CREATOR_OTHER = "  siemens   Csa header "  # another case and spacing, ASCII
MISS = (0x0010, 0x0003)  # no such standard element

# The environment of every fresh process the workloads start: byte-code
# caches are kept, as an installed package has them (pydicom's wheel comes
# compiled; with PYTHONDONTWRITEBYTECODE=1 every child would compile taglex's
# modules anew).
CHILD_ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


# --- measuring ---------------------------------------------------------------


@dataclass
class Stats:
    times: list[float] = field(default_factory=list)  # seconds per call

    @property
    def min(self) -> float:
        return min(self.times)

    @property
    def median(self) -> float:
        return statistics.median(self.times)


def clock_function(kind: str) -> Callable[[], float]:
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
        """Times each statement, the workloads of the group interleaved round
        by round; `per` operations per statement run."""
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


# --- the run ----------------------------------------------------------------


@dataclass
class Context:
    """What every workload may use. ``dictionary`` (the bundled file, opened)
    and ``floor`` (the C-API floor of its lookups) are made on first use, so
    that workloads of the ``first`` phase run before this process maps the
    file. ``results`` passes figures from one workload to a later one."""

    args: argparse.Namespace
    runner: Runner
    log: Callable[[str], None]
    bundled: str  # path of the bundled dictionary
    floor_module: Any  # _tlex_floor
    floor_dir: Path
    cpp_exe: Path
    build_dir: Path  # build-bench/, for scratch files too
    results: dict[str, Any] = field(default_factory=dict)
    _dictionary: Any = None
    _floor: Any = None

    @property
    def quick(self) -> bool:
        return bool(self.args.quick)

    @property
    def dictionary(self) -> Any:
        if self._dictionary is None:
            import taglex

            self._dictionary = taglex.open(self.bundled)
        return self._dictionary

    @property
    def floor(self) -> Any:
        """A Floor answering the standard and private lookup tags with the
        dicts taglex gives for them."""
        if self._floor is None:
            d = self.dictionary
            std = d.lookup(*STD)
            priv = d.lookup(PRIV_GROUP, PRIV_ELEMENT, CREATOR_OTHER)
            if std is None or priv is None or d.lookup(*MISS) is not None:
                raise SystemExit(f"the bundled dictionary {self.bundled} lacks the benchmark tags")
            self._floor = self.floor_module.Floor(std, priv)
            assert self._floor.lookup(*STD) == std
            assert self._floor.lookup(PRIV_GROUP, PRIV_ELEMENT, CREATOR_OTHER) == priv
            assert self._floor.lookup_keys_once(*STD) == std
            assert self._floor.lookup_keys_once(PRIV_GROUP, PRIV_ELEMENT, CREATOR_OTHER) == priv
        return self._floor


@dataclass
class Section:
    """A section of the report: its Markdown lines (after the heading) and
    the targets it judged, for the summary table at the end."""

    lines: list[str] = field(default_factory=list)
    targets: list[tuple[str, str, bool]] = field(default_factory=list)

    def add(self, *lines: str) -> None:
        self.lines.extend(lines)

    def target(self, name: str, measured: str, ok: bool) -> None:
        self.targets.append((name, measured, ok))


@dataclass(frozen=True)
class Workload:
    title: str
    order: int  # place of the section in the report
    run: Callable[[Context], Section | None]
    first: bool  # run before anything else, while the bundled file is unmapped


WORKLOADS: list[Workload] = []


def workload(
    title: str, *, order: int, first: bool = False
) -> Callable[[Callable[[Context], Section | None]], Callable[[Context], Section | None]]:
    """Register a workload whose section is headed ``title``."""

    def register(
        fn: Callable[[Context], Section | None],
    ) -> Callable[[Context], Section | None]:
        WORKLOADS.append(Workload(title, order, fn, first))
        return fn

    return register
