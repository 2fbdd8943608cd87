"""Scale: opening and lookups of synthetic dictionaries from 10^3 to 10^7 entries."""

from __future__ import annotations

import argparse
import hashlib
import random
import tempfile
import time
from pathlib import Path

from harness import Context, Runner, Section, ms, ns, ratio, workload

WORKLOADS = ("standard", "private", "miss", "random")


def add_arguments(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("--sizes", default=None, help="scale sizes, e.g. 1e3,1e5,1e6,1e7")
    ap.add_argument("--writer-max", type=float, default=1e6,
                    help="largest size made with taglex.writer; larger ones use the numpy generator")
    ap.add_argument("--scale-dir", default=None, help="folder for the scale files (default: a temporary one)")  # fmt: skip


def sha256_file(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def make_files(folder: Path, sizes: list[int], writer_max: int, log) -> dict[int, dict]:
    import scale
    from taglex import writer

    files = {}
    for n in sizes:
        path = folder / f"scale-{n}.tlex"
        info: dict = {"path": path}
        t = time.perf_counter()
        if n <= writer_max:
            writer.write(path, scale.records(n))
            info["made"] = "writer"
            info["make_s"] = time.perf_counter() - t
            # The fast generator must give the writer's bytes exactly.
            fast = scale.build_fast(n)
            info["fast_matches_writer"] = hashlib.sha256(fast).hexdigest() == sha256_file(path)
            del fast
        else:
            scale.write_fast(str(path), n)
            info["made"] = "numpy generator"
            info["make_s"] = time.perf_counter() - t
        info["bytes"] = path.stat().st_size
        log(f"  {n:>10,} entries: {info['bytes'] / 1e6:,.1f} MB by the {info['made']} in {info['make_s']:.1f} s")
        files[n] = info
    return files


def measure_open(r: Runner, files: dict[int, dict], floor_mod, big_repeat: int) -> dict[int, dict]:
    """Per size: open against touching pages and cache lines, side by side."""
    import taglex

    out: dict[int, dict] = {}
    for n, info in files.items():
        g = {"taglex": taglex, "touch": floor_mod.touch_pages, "p": str(info["path"])}
        # Large files: fewer rounds.
        rr = Runner(r.clock, big_repeat if info["bytes"] > 100e6 else r.repeat, r.run_time)
        out[n] = rr.group({
            "open": ("taglex.open(p)", g), "touch": ("touch(p)", g), "touch_lines": ("touch(p, 64)", g),
        })  # fmt: skip
    return out


def measure_lookups(r: Runner, files: dict[int, dict], out: dict[int, dict]) -> None:
    """The lookups of all sizes, side by side (all files open at once, one
    group per workload), into out[size][workload]."""
    import scale
    import taglex

    rng = random.Random(20240607)
    cases: dict[str, dict[str, tuple[str, dict]]] = {w: {} for w in WORKLOADS}
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


@workload("Scale", order=30)
def scaling(ctx: Context) -> Section:
    args = ctx.args
    sizes = [int(float(x)) for x in (args.sizes or ("1e3,1e5" if ctx.quick else "1e3,1e5,1e6,1e7")).split(",")]
    writer_max = int(args.writer_max)
    with tempfile.TemporaryDirectory(prefix="scale-", dir=ctx.build_dir) as tmp:
        folder = Path(args.scale_dir or tmp)
        folder.mkdir(parents=True, exist_ok=True)
        files = make_files(folder, sizes, writer_max, ctx.log)
        res = measure_open(ctx.runner, files, ctx.floor_module, big_repeat=max(5, ctx.runner.repeat // 2))
        measure_lookups(ctx.runner, files, res)

    out = Section()
    out.add(
        "Synthetic dictionaries (`bench/scale.py`: keys spread over the tag space, every 8th entry private "
        "with one of four creators, unique keywords). Sizes up to "
        f"{writer_max:,} entries are made with `taglex.writer`; larger ones with the bench-only numpy "
        "generator `scale.build_fast`, which produces the writer's format byte for byte (checked on every "
        "writer-made size below). The files are in the page cache (just written).",
        "",
        "Opening: `taglex.open(path)` (map, validate, then release) against `_tlex_floor.touch_pages(path)` "
        "(the same read-only shared mapping, one byte read per 4 KiB page, unmap) and `touch_pages(path, 64)` "
        "(one byte per 64-byte cache line: the floor of anything that reads every record, as validation must: "
        "the records array is 44/56 of the file below the strings), measured side by side per size.",
        "",
        "| Entries | File MB | Made by (s) | open ms min / med | touch pages ms min / med | "
        "touch lines ms min / med | open / touch pages | open / touch lines |",
        "|---:|---:|---|---:|---:|---:|---:|---:|",
    )
    for n, row in res.items():
        info = files[n]
        made = info["made"] + f" ({info['make_s']:.1f})"
        if "fast_matches_writer" in info:
            made += ", generator identical" if info["fast_matches_writer"] else ", GENERATOR DIFFERS"
        out.add(
            f"| {n:,} | {info['bytes'] / 1e6:,.1f} | {made} | {ms(row['open'].min)} / {ms(row['open'].median)} | "
            f"{ms(row['touch'].min)} / {ms(row['touch'].median)} | "
            f"{ms(row['touch_lines'].min)} / {ms(row['touch_lines'].median)} | "
            f"{ratio(row['open'].min, row['touch'].min)} | {ratio(row['open'].min, row['touch_lines'].min)} |"
        )
    out.add(
        "",
        "Lookups: a standard tag, a private tag (creator in lower case with extra spaces), a miss, and 4,096 "
        "random standard tags in turn (per lookup, loop included). The lookups of all sizes are measured side "
        "by side, all files open at once. ns per lookup, min / median:",
        "",
        "| Entries | standard | private | miss | random |",
        "|---:|---:|---:|---:|---:|",
    )
    for n, row in res.items():
        out.add(f"| {n:,} | " + " | ".join(f"{ns(row[w].min)} / {ns(row[w].median)}" for w in WORKLOADS) + " |")
    out.add("")
    if 10**6 in res:
        row = res[10**6]
        a, b = row["open"].min / row["touch"].min, row["open"].median / row["touch"].median
        out.target("open 10^6 entries within 2x of touching its pages", f"{a:.2f}x (min) / {b:.2f}x (median)", a <= 2)
    lo, hi = min(res), max(res)
    if lo != hi:
        out.add(f"| Lookup at {hi:,} / at {lo:,} | of minima | of medians |", "|---|---:|---:|")
        for w in WORKLOADS:
            a = res[hi][w].min / res[lo][w].min
            b = res[hi][w].median / res[lo][w].median
            out.add(f"| {w} | {a:.2f}x | {b:.2f}x |")
            if hi == 10**7 and lo == 10**3 and w != "miss":
                out.target(f"lookup ({w}) at 10^7 within 2x of 10^3", f"{a:.2f}x (min) / {b:.2f}x (median)", a <= 2)
        out.add("")
    return out
