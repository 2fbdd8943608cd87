"""UIDs: the first answer of taglex.uids in a fresh process, and a repeated
answer side by side with pydicom's ``UID(text).name``."""

from __future__ import annotations

import sys

from harness import CHILD_ENV, Context, Section, Stats, ms, ns, ratio, verdict, workload
from workloads_open import child_time

ASKED = "1.2.840.10008.1.2.4.50"  # JPEG Baseline (Process 1)


def fresh(clock: str, rounds: int) -> dict[str, Stats]:
    py = sys.executable
    cases = {
        "import taglex": [py, "-c", "import taglex"],
        "import taglex; first UID answer": [
            py, "-c", f"import taglex; import taglex.uids; taglex.uids.get({ASKED!r}).name",
        ],
    }  # fmt: skip
    out = {k: Stats() for k in cases}
    for argv in cases.values():  # warm-up: byte-code caches, page cache
        child_time(argv, clock, CHILD_ENV)
    for _ in range(rounds):
        for k, argv in cases.items():
            out[k].times.append(child_time(argv, clock, CHILD_ENV))
    return out


@workload("UIDs", order=70)
def uid_answers(ctx: Context) -> Section:
    r = ctx.runner
    starts = fresh(r.clock, rounds=max(10, r.repeat * 2))
    base, first = starts["import taglex"], starts["import taglex; first UID answer"]
    added = (first.min - base.min, first.median - base.median)

    from pydicom.uid import UID

    from taglex import uids

    g = {"uids": uids, "UID": UID, "t": ASKED}
    assert uids.get(ASKED).name == UID(ASKED).name
    timed = r.group(
        {"taglex": ("uids.get(t).name", g), "pydicom": ("UID(t).name", g)}
    )
    mine, theirs = timed["taglex"], timed["pydicom"]
    out = Section()
    out.add(
        f"Fresh processes, {len(base.times)} runs each, interleaved, byte-code caches kept; "
        f"the UID asked is {ASKED}. "
        "In process: the same UID asked again and again, its name read.",
        "",
        "| What | min | median |",
        "|---|---:|---:|",
        f"| fresh process: `import taglex` | {ms(base.min)} ms | {ms(base.median)} ms |",
        f"| fresh process: `import taglex`, then the first `taglex.uids.get(...)` | "
        f"{ms(first.min)} ms | {ms(first.median)} ms |",
        f"| the first UID answer, above `import taglex` | {ms(added[0])} ms | {ms(added[1])} ms |",
        f"| repeated: `taglex.uids.get(t).name` | {ns(mine.min)} ns | {ns(mine.median)} ns |",
        f"| repeated: pydicom `UID(t).name` | {ns(theirs.min)} ns | {ns(theirs.median)} ns |",
        f"| pydicom / taglex, repeated | {ratio(theirs.min, mine.min)} | "
        f"{ratio(theirs.median, mine.median)} |",
        "",
    )
    ok_first = added[1] <= 0.005
    out.target(
        "first UID answer costs <= 5 ms above import taglex (median)",
        f"{ms(added[1])} ms (min {ms(added[0])} ms) {verdict(ok_first)}",
        ok_first,
    )
    ok_repeat = mine.median <= theirs.median
    out.target(
        "a repeated UID answer is no slower than pydicom's UID(text).name",
        f"{ratio(theirs.median, mine.median)} faster (median)",
        ok_repeat,
    )
    return out
