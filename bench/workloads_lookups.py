"""Lookups from Python: taglex against the C-API floor and pydicom."""

from __future__ import annotations

from harness import (
    CREATOR, CREATOR_OTHER, MISS, PRIV_ELEMENT, PRIV_FULL, PRIV_GROUP, STD,
    Context, Runner, Section, Stats, ns, verdict, workload,
)  # fmt: skip


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


def measure(r: Runner, d, floor) -> dict[str, Stats]:
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
        "floor keys once": (f"f.lookup_keys_once({s[0]:#06x}, {s[1]:#06x})", g),
        "pydicom dict": (f"pd_std({s[0]:#06x}, {s[1]:#06x})", g),
        "pydicom get_entry": ("get_entry(STD_TAG)", g),
    })  # fmt: skip
    priv = r.group({
        "taglex": (f"d.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, CO)", g),
        "taglex exact": (f"d.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, C)", g),
        "floor": (f"f.lookup({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, CO)", g),
        "floor keys once": (f"f.lookup_keys_once({PRIV_GROUP:#06x}, {PRIV_ELEMENT:#04x}, CO)", g),
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


CALLS = {
    "std/taglex": "`d.lookup(0x0010, 0x0010)`",
    "std/floor": "`floor.lookup(0x0010, 0x0010)`",
    "std/floor keys once": "`floor.lookup_keys_once(0x0010, 0x0010)`",
    "std/pydicom dict": "`get_entry(0x00100010)` + the ten-key dict",
    "std/pydicom get_entry": "`get_entry(0x00100010)`",
    "priv/taglex": f"`d.lookup(0x0029, 0x10, {CREATOR_OTHER!r})`",
    "priv/taglex exact": f"`d.lookup(0x0029, 0x10, {CREATOR!r})`",
    "priv/floor": f"`floor.lookup(0x0029, 0x10, {CREATOR_OTHER!r})`",
    "priv/floor keys once": f"`floor.lookup_keys_once(0x0029, 0x10, {CREATOR_OTHER!r})`",
    "priv/pydicom get_private_entry": f"`get_private_entry(0x00291010, {CREATOR!r})`",
    "priv/pydicom dict": "`get_private_entry(...)` + the ten-key dict",
    "miss/taglex": "`d.lookup(0x0010, 0x0003)` -> None",
    "miss/floor": "`floor.none(0x0010, 0x0003)` -> None",
    "miss/pydicom": "`get_entry(0x00100003)` -> KeyError caught",
}
LABEL = {"std": "standard", "priv": "private", "miss": "miss"}


@workload("Lookup from Python (bundled dictionary)", order=10)
def python_lookups(ctx: Context) -> Section:
    lookups = measure(ctx.runner, ctx.dictionary, ctx.floor)
    out = Section()
    out.add(
        f"Standard tag ({STD[0]:04X},{STD[1]:04X}); private tag ({PRIV_GROUP:04X},xx{PRIV_ELEMENT:02X}) "
        f"of creator `{CREATOR}`, asked of taglex and the floor as `{CREATOR_OTHER!r}` (another case and "
        f"spacing) and of pydicom exactly (pydicom matches creators exactly, with the full element "
        f"{PRIV_FULL & 0xFFFF:04X}); miss ({MISS[0]:04X},{MISS[1]:04X}). `floor` is `bench/floor`: the same "
        "call convention and the same ten-key dict built from constant C data with the same C-API calls "
        "(for the miss: the same call returning None). `floor keys once` builds the same dict with its ten "
        "keys made once (when the floor is made) and the dict presized: a bound `Dict.lookup` cannot reach, "
        "since every result it gives has new key objects.",
        "",
        "| Workload | Call | min ns | median ns |",
        "|---|---|---:|---:|",
    )
    for key, call in CALLS.items():
        s = lookups[key]
        kind, who = key.split("/", 1)
        out.add(f"| {LABEL[kind]}: {who} | {call} | {ns(s.min)} | {ns(s.median)} |")
    out.add("")

    def lk_ratio(a, b):
        return lookups[a].min / lookups[b].min, lookups[a].median / lookups[b].median

    out.add("| Ratio | of minima | of medians | Target |", "|---|---:|---:|---|")
    std_r = lk_ratio("std/taglex", "std/floor")
    priv_r = lk_ratio("priv/taglex", "priv/floor")
    std_once = lk_ratio("std/taglex", "std/floor keys once")
    priv_once = lk_ratio("priv/taglex", "priv/floor keys once")
    pd_r = lk_ratio("priv/pydicom get_private_entry", "priv/taglex")
    rows = [
        ("standard: taglex / floor", std_r, "<= 1.25x", std_r[0] <= 1.25),
        ("private: taglex / floor", priv_r, "<= 1.6x", priv_r[0] <= 1.6),
        ("standard: taglex / floor keys once", std_once, "<= 1.3x", std_once[0] <= 1.3),
        ("private, creator in another spelling: taglex / floor keys once", priv_once, "<= 1.4x",
         priv_once[0] <= 1.4),
        ("standard: floor / floor keys once (what new keys cost)",
         lk_ratio("std/floor", "std/floor keys once"), "", None),
        ("private: pydicom get_private_entry / taglex", pd_r, ">= 3x", pd_r[0] >= 3),
        ("private: pydicom get_private_entry / floor (the most a lookup with new keys could reach)",
         lk_ratio("priv/pydicom get_private_entry", "priv/floor"), "", None),
        ("private: pydicom get_private_entry + dict / taglex", lk_ratio("priv/pydicom dict", "priv/taglex"), "", None),
        ("standard: pydicom get_entry + dict / taglex", lk_ratio("std/pydicom dict", "std/taglex"), "", None),
        ("miss: taglex / floor (None)", lk_ratio("miss/taglex", "miss/floor"), "", None),
    ]  # fmt: skip
    for name, (a, b), tgt, ok in rows:
        out.add(f"| {name} | {a:.2f}x | {b:.2f}x | {tgt + ' ' + verdict(ok) if ok is not None else '-'} |")
        if ok is not None:
            out.target(f"Python {name} {tgt}", f"{a:.2f}x (min) / {b:.2f}x (median)", ok)
    out.add("")
    return out
