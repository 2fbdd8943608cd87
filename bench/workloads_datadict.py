"""taglex.datadict against pydicom.datadict, function by function, every tag
in turn: every standard element (and one tag of each repeating mask), every
keyword, every private element with its creator. No answer is asked twice
in a row, so no per-tag cache can serve one side."""

from __future__ import annotations

import random
from collections.abc import Callable
from typing import Any

from harness import Context, Runner, Section, Stats, ns, ratio, verdict, workload

# (function, what it is asked: "tags", "keywords" or "private")
FUNCTIONS = (
    ("get_entry", "tags"),
    ("dictionary_VR", "tags"),
    ("dictionary_VM", "tags"),
    ("dictionary_description", "tags"),
    ("dictionary_is_retired", "tags"),
    ("dictionary_keyword", "tags"),
    ("dictionary_has_tag", "tags"),
    ("keyword_for_tag", "tags"),
    ("mask_match", "tags"),
    ("repeater_has_tag", "tags"),
    ("tag_for_keyword", "keywords"),
    ("repeater_has_keyword", "keywords"),
    ("get_private_entry", "private"),
    ("private_dictionary_VR", "private"),
    ("private_dictionary_VM", "private"),
    ("private_dictionary_description", "private"),
)
LIMIT = 1.0  # taglex / pydicom, at most
SEED = 20261208  # the order the inputs are asked in, the same on both sides


def _answers(f: Callable[..., Any], *args: Any) -> Any:
    try:
        return f(*args)
    except KeyError:
        return KeyError


def inputs() -> dict[str, list[tuple[Any, ...]]]:
    """What both datadicts are asked, as argument tuples, in one shuffled
    order: the standard tags and keywords and the private (tag, creator)
    pairs that both know."""
    import pydicom.datadict as pd

    import taglex.datadict as td

    tags = [t for t in pd.DicomDictionary if _answers(td.get_entry, t) is not KeyError]
    # One tag of each repeating mask, e.g. (6000,3000) for 60xx3000.
    tags += [m for m, _ in pd.masks.values() if _answers(td.get_entry, m) is not KeyError]
    keywords = [k for k in pd.keyword_dict if td.tag_for_keyword(k) is not None]
    keywords += [k for k in pd.REPEATER_KEYWORDS if k]
    private: list[tuple[int, str]] = []
    for creator, table in pd.private_dictionaries.items():
        for key in table:
            group, element = key[:4], key[4:]
            if not all(c in "0123456789abcdefABCDEF" for c in group + element[2:]):
                continue
            if element[:2] == "xx":
                low = int(element[2:], 16)
                tag = int(group, 16) << 16 | 0x1000 | low  # in block 0x10, as a dataset has it
            elif all(c in "0123456789abcdefABCDEF" for c in element):
                tag = int(group + element, 16)
            else:
                continue
            pair = (tag, creator)
            if _answers(pd.get_private_entry, *pair) is not KeyError and _answers(
                td.get_private_entry, *pair
            ) is not KeyError:
                private.append(pair)
    rng = random.Random(SEED)
    out = {"tags": [(t,) for t in tags], "keywords": [(k,) for k in keywords], "private": private}
    for v in out.values():
        rng.shuffle(v)
    return out


def measure(r: Runner, asked: dict[str, list[tuple[Any, ...]]], log) -> list[dict[str, Any]]:
    """Per function: the two times per call and how many answers agree."""
    from collections import deque

    import pydicom.datadict as pd

    import taglex.datadict as td

    columns = {kind: [list(c) for c in zip(*args)] for kind, args in asked.items()}
    found = []
    for name, kind in FUNCTIONS:
        ours, theirs = getattr(td, name), getattr(pd, name)
        args = asked[kind]
        same = sum(1 for a in args if _answers(ours, *a) == _answers(theirs, *a))
        cols = columns[kind]
        star = ", ".join(f"A{i}" for i in range(len(cols)))
        g: dict[str, Any] = {"deque": deque, "ours": ours, "theirs": theirs}
        g.update({f"A{i}": col for i, col in enumerate(cols)})
        log(f"datadict: {name} over {len(args):,} inputs ...")
        timed = r.group(
            {"taglex": (f"deque(map(ours, {star}), 0)", g), "pydicom": (f"deque(map(theirs, {star}), 0)", g)},
            per=len(args),
        )
        found.append({"name": name, "kind": kind, "n": len(args), "same": same, **timed})
    return found


def dictionary_rows(r: Runner, asked: dict[str, list[tuple[Any, ...]]]) -> dict[str, dict[str, Stats]]:
    """taglex.Dictionary over the same inputs, beside pydicom's answers."""
    from collections import deque

    import pydicom.datadict as pd

    import taglex

    d = taglex.Dictionary.default()
    tags = [a[0] for a in asked["tags"]]
    words = [a[0] for a in asked["keywords"] if pd.tag_for_keyword(a[0]) is not None]
    ptags, pcreators = (list(c) for c in zip(*asked["private"]))
    g = {"deque": deque, "d": d, "pd": pd, "T": tags, "K": words, "PT": ptags, "PC": pcreators}
    out = {}
    for label, ours, theirs, n in (
        ("get(int)", "deque(map(d.get, T), 0)", "deque(map(pd.get_entry, T), 0)", len(tags)),
        ("get(keyword)", "deque(map(d.get, K), 0)", "deque(map(pd.get_entry, K), 0)", len(words)),
        ("get(private tag, creator)", "deque(map(d.get, PT, PC), 0)",
         "deque(map(pd.get_private_entry, PT, PC), 0)", len(ptags)),
        ("tag_for_keyword", "deque(map(d.tag_for_keyword, K), 0)",
         "deque(map(pd.tag_for_keyword, K), 0)", len(words)),
    ):  # fmt: skip
        out[label] = r.group({"taglex": (ours, g), "pydicom": (theirs, g)}, per=n)
        out[label]["n"] = n  # type: ignore[assignment]
    return out


@workload("taglex.datadict against pydicom.datadict, every tag in turn", order=27)
def datadict_every_tag(ctx: Context) -> Section:
    asked = inputs()
    found = measure(ctx.runner, asked, ctx.log)
    whole = dictionary_rows(ctx.runner, asked)
    out = Section()
    what = {
        "tags": f"{len(asked['tags']):,} standard tags (every element of pydicom's dictionary that taglex "
        "holds too, and one tag of each repeating mask)",
        "keywords": f"{len(asked['keywords']):,} keywords (every standard keyword both hold, and pydicom's "
        "repeater keywords)",
        "private": f"{len(asked['private']):,} private elements with their creators as pydicom spells them "
        "(every entry of pydicom's private dictionary that taglex answers too; a block-form element "
        "asked in block 0x10)",
    }
    out.add(
        "Each function of `taglex.datadict` beside the same function of `pydicom.datadict`, over every "
        f"input in turn: {what['tags']}; {what['keywords']}; {what['private']}. The inputs are shuffled "
        f"once (seed {SEED}) and asked in the same order of both, `deque(map(f, inputs), 0)` per run, "
        "so that no answer is asked twice in a row and no per-tag cache serves either side. Time per "
        "call, the loop included. `equal` counts the inputs whose answers (or KeyError) are the same on "
        "both sides (editions differ, so a few do not).",
        "",
        "| Function | inputs | equal | taglex ns (min / median) | pydicom ns (min / median) | "
        "taglex / pydicom (min) | (median) | Target |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    )
    for row in found:
        a, b = row["taglex"], row["pydicom"]
        ok = a.min / b.min <= LIMIT
        out.add(
            f"| `{row['name']}` | {row['n']:,} {row['kind']} | {row['same']:,} | {ns(a.min)} / {ns(a.median)} | "
            f"{ns(b.min)} / {ns(b.median)} | {ratio(a.min, b.min)} | {ratio(a.median, b.median)} | "
            f"<= {LIMIT}x {verdict(ok)} |"
        )
        out.target(
            f"datadict.{row['name']} over every {row['kind'][:-1] if row['kind'] != 'private' else 'private tag'}"
            f" <= {LIMIT}x pydicom's",
            f"{ratio(a.min, b.min)} ({ns(a.min)} / {ns(b.min)} ns; medians {ratio(a.median, b.median)})",
            ok,
        )
    out.add(
        "",
        "`taglex.Dictionary` over the same inputs, beside pydicom's answer to the same question (no target):",
        "",
        "| taglex | pydicom | inputs | taglex ns (min / median) | pydicom ns (min / median) | "
        "taglex / pydicom (min) | (median) |",
        "|---|---|---:|---:|---:|---:|---:|",
    )
    peer = {
        "get(int)": "get_entry(int)", "get(keyword)": "get_entry(keyword)",
        "get(private tag, creator)": "get_private_entry(int, creator)", "tag_for_keyword": "tag_for_keyword",
    }  # fmt: skip
    for label, s in whole.items():
        a, b = s["taglex"], s["pydicom"]
        out.add(
            f"| `Dictionary.{label}` | `{peer[label]}` | {s['n']:,} | {ns(a.min)} / {ns(a.median)} | "
            f"{ns(b.min)} / {ns(b.median)} | {ratio(a.min, b.min)} | {ratio(a.median, b.median)} |"
        )
    out.add("")
    return out
