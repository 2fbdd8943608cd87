"""Threads: one Dict shared by one and by two threads."""

from __future__ import annotations

import sys
import threading
import time

from harness import Context, Section, workload


def measure(d, per_thread: int, rounds: int) -> dict[int, float]:
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


@workload("Threads", order=50)
def threads(ctx: Context) -> Section:
    rates = measure(ctx.dictionary, per_thread=20_000 if ctx.quick else 100_000, rounds=3)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    out = Section()
    out.add(
        f"One `Dict`, `d.lookup(0x0010, 0x0010)` in a loop, wall clock, best of 3 rounds. This interpreter "
        f"{'has the GIL enabled' if gil else 'runs without the GIL'}: the module declares that it does not need "
        "the GIL, but on a GIL build two threads take turns. A free-threaded CPython 3.13 (3.13t) could not be "
        "installed here: Debian 12 does not package one, and only PyPI and Debian are reachable (PyPI does not "
        "distribute interpreters).",
        "",
        "| Threads | lookups/s (all threads) | vs 1 thread |",
        "|---:|---:|---:|",
    )
    for k, rate in rates.items():
        out.add(f"| {k} | {rate:,.0f} | {rate / rates[1]:.2f}x |")
    cpp = ctx.results.get("cpp")
    th = {k: v for k, v in cpp["runs"].items() if k.startswith("BM_Tlex_Lookup_Threads")} if cpp else {}
    if th:
        out.add(
            "",
            "The library alone (C++, `BM_Tlex_Lookup_Threads`, real time, best repetition):",
            "",
            "| Benchmark | lookups/s (all threads) |",
            "|---|---:|",
        )
        for k, e in th.items():
            ips = e["counters"].get("items_per_second")
            out.add(f"| {k} | {max(ips):,.0f} |" if ips else f"| {k} | n/a |")
    out.add("")
    return out
