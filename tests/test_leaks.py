"""Nothing leaks: not per lookup, not per panic, not per open, successful or not.

A lookup builds a fresh result every time and keeps nothing, so a long run of
lookups leaves resident memory, Python allocations and the reference counts
of everything involved where they were. An open that fails leaves no
descriptor and no mapping behind; a Dict that goes away takes its own with it.
"""

from __future__ import annotations

import gc
import os
import resource
import sys
import tracemalloc

import pytest
from support import Layout, fd_count, maps_naming

import taglex._taglex as _taglex
from taglex import writer
from taglex.cli._common import native_reports_silenced

# Group and element numbers above 256, so that the ints in results are
# ordinary objects whose reference counts mean something (small ints are
# immortal), and texts longer than one character for the same reason.
RECORDS = [
    {"group": 0x7FE0, "element": 0x0010, "keyword": "PixelData", "name": "Pixel Data",
     "vr": "OW", "description": "The pixels", "sources": ["PS3.6", "DICOM"]},
    {"group": 0x0029, "element": 0x0110, "creator": "ACME 1.0", "keyword": "AcmeFlags",
     "name": "Acme Flags", "vr": "UL", "sources": ["vendor doc"]},
    {"group": 0x1029, "element": 0x0042, "creator": "Straße Ärzte", "keyword": "Street",
     "name": "Street Name", "vr": "LO", "block_offset": True},
]  # fmt: skip
LOOKUPS = 1_000_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fresh_int(n: int) -> int:
    # An int object made at run time, not a constant shared with the code.
    return int(str(n))


def fresh_str(s: str) -> str:
    # A str object made at run time: not interned, not a code constant.
    return "".join(list(s))


def is_immortal(obj) -> bool:
    return sys.getrefcount(obj) >= 2**30


@pytest.fixture
def dict_and_keys(make_file):
    path = make_file(RECORDS)
    d = _taglex.open(path)
    creator = fresh_str("  acme\t1.0 ")
    other = fresh_str("Other Vendor")
    group = fresh_int(0x7FE0)
    element = fresh_int(0x0010)
    private_group = fresh_int(0x0029)
    private_element = fresh_int(0x0110)
    keys = [
        (group, element, None),  # hit without creator
        (private_group, private_element, creator),  # hit with creator
        (group, fresh_int(0x0011), None),  # miss without creator
        (private_group, private_element, other),  # miss with creator
        (private_group, private_element, None),  # private tag without its creator
    ]
    return d, keys, (creator, other, group, element, private_group, private_element)


def run_lookups(d, keys, rounds: int) -> int:
    hits = 0
    for _ in range(rounds):
        for key in keys:
            if d.lookup(*key) is not None:
                hits += 1
    return hits


def test_a_million_lookups_leave_memory_and_refcounts_flat(dict_and_keys):
    d, keys, inputs = dict_and_keys
    rounds = LOOKUPS // len(keys)
    assert run_lookups(d, keys, 20_000) == 2 * 20_000  # warm up; two keys hit
    gc.collect()
    d_refs = sys.getrefcount(d)
    input_refs = [sys.getrefcount(x) for x in inputs]
    objects = len(gc.get_objects())
    rss = resident_bytes()

    assert run_lookups(d, keys, rounds) == 2 * rounds

    gc.collect()
    grown = resident_bytes() - rss
    # A leak of even the smallest object per lookup would be tens of MB.
    assert grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes over {LOOKUPS} lookups"
    after = (sys.getrefcount(d), [sys.getrefcount(x) for x in inputs], len(gc.get_objects()))
    assert after[0] == d_refs
    assert after[1] == input_refs
    assert after[2] - objects < 100


def test_lookups_allocate_nothing_that_stays(dict_and_keys):
    d, keys, _ = dict_and_keys
    run_lookups(d, keys, 1_000)
    gc.collect()
    tracemalloc.start()
    try:
        run_lookups(d, keys, 1_000)
        gc.collect()
        before = tracemalloc.take_snapshot()
        run_lookups(d, keys, 40_000)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    here = tracemalloc.Filter(True, __file__)
    diff = after.filter_traces([here]).compare_to(before.filter_traces([here]), "filename")
    growth = sum(stat.size_diff for stat in diff)
    assert growth < 4096, [str(stat) for stat in diff]


def mortal_refcounts(items: list) -> list[int]:
    """The reference counts of the items of `items` that are not immortal,
    each counted while only `items` and the call itself refer to it (so 2 for
    an item that nothing else holds)."""
    return [sys.getrefcount(items[i]) for i in range(len(items)) if not is_immortal(items[i])]


def test_results_hold_the_only_references_to_their_objects(dict_and_keys):
    d, keys, _ = dict_and_keys
    for key in keys[:2]:
        # Counted outside the assert statements: pytest's assertion rewriting
        # keeps the values of subexpressions alive. A fresh result is counted
        # straight from the call, since whether a local name adds to the
        # count depends on the interpreter (3.14 borrows it).
        own = sys.getrefcount(d.lookup(*key))
        result = d.lookup(*key)
        list_refs = sys.getrefcount(result["sources"])
        assert own == 1  # the argument alone
        assert list_refs == 2  # the dict and the argument
        names = list(result)
        values = list(result.values())
        pieces = list(result["sources"])
        assert pieces
        del result
        # Without the dict, only the lists made here refer to its keys,
        # values and source pieces.
        counts = mortal_refcounts(names) + mortal_refcounts(values)
        assert len(counts) >= 14  # ten keys, an int, three texts or more, the list
        assert counts == [2] * len(counts)
        assert mortal_refcounts(pieces) == [3] * len(pieces)  # also in the sources list
        del values
        assert mortal_refcounts(pieces) == [2] * len(pieces)


def test_panicking_lookups_leak_nothing(make_file):
    lay = Layout(writer.build(RECORDS))
    lay.set_record(0, name_len=0xFFFF)  # Pixel Data's name runs past the strings
    lay.set_entry(1, record_index=7)  # the second index entry names no record
    d = _taglex.open(make_file(lay.bytes()))
    group, element = fresh_int(0x7FE0), fresh_int(0x0010)
    bad_keys = [(group, element)] + [
        (lay.entry(1, "group"), lay.entry(1, "element"), r.get("creator"))
        for r in RECORDS
        if (r["group"], r["element"]) == (lay.entry(1, "group"), lay.entry(1, "element"))
    ]
    assert len(bad_keys) == 2

    def panic_many(n: int) -> int:
        panics = 0
        for _ in range(n):
            for key in bad_keys:
                try:
                    d.lookup(*key)
                except BaseException as e:  # noqa: BLE001
                    assert type(e).__name__ == "PanicException"
                    panics += 1
        return panics

    with native_reports_silenced():
        assert panic_many(2_000) == 4_000
        gc.collect()
        d_refs, g_refs, e_refs = sys.getrefcount(d), sys.getrefcount(group), sys.getrefcount(element)
        rss = resident_bytes()
        assert panic_many(50_000) == 100_000
        gc.collect()
    after = (sys.getrefcount(d), sys.getrefcount(group), sys.getrefcount(element))
    assert resident_bytes() - rss < 2 * 1024 * 1024
    assert after == (d_refs, g_refs, e_refs)
    # And the dictionary still answers the key that is intact.
    assert d.lookup(0x0029, 0x0110, "acme 1.0")["keyword"] == "AcmeFlags"


# --- opens ----------------------------------------------------------------------------

OPENS = 2_000


@pytest.fixture
def refused_paths(make_file, tmp_path):
    """One path for each way an open can fail after the file was opened, and
    one that cannot be opened at all."""
    good = writer.build(RECORDS)
    broken_body = Layout(good).set_record(0, vr=200).bytes()
    fifo = tmp_path / "fifo.tlex"
    os.mkfifo(fifo)
    folder = tmp_path / "folder.tlex"
    folder.mkdir()
    return {
        "missing": str(tmp_path / "missing.tlex"),
        "empty": make_file(b""),
        "too small": make_file(good[:31]),
        "bad magic": make_file(b"XLET" + good[4:]),
        "version": make_file(good[:4] + b"\x03\x00" + good[6:]),
        "integrity": make_file(broken_body),
        "header only": make_file(good[:32]),
        "fifo": str(fifo),
        "folder": str(folder),
    }


def test_failed_opens_leave_no_descriptor_and_no_mapping(refused_paths):
    fds = fd_count()
    rss = None
    for round_ in range(OPENS // len(refused_paths) + 1):
        if round_ == 5:
            rss = resident_bytes()
        for kind, path in refused_paths.items():
            with pytest.raises((OSError, ValueError)) as excinfo:
                _taglex.open(path)
            assert type(excinfo.value) is (ValueError if kind == "version" else OSError), kind
    for kind, path in refused_paths.items():
        assert maps_naming(path) == 0, kind
    assert fd_count() == fds
    assert resident_bytes() - rss < 2 * 1024 * 1024


def test_dicts_take_their_descriptor_and_mapping_with_them(make_file):
    path = make_file(RECORDS)
    fds = fd_count()
    rss = None
    for i in range(OPENS):
        if i == 100:
            rss = resident_bytes()
        d = _taglex.open(path)
        assert fd_count() == fds + 1
        assert d.lookup(0x7FE0, 0x0010)["keyword"] == "PixelData"
        del d
        assert fd_count() == fds
    assert maps_naming(path) == 0
    assert resident_bytes() - rss < 2 * 1024 * 1024

    # Many at once: each holds its own, and all of it goes with the last one.
    held = [_taglex.open(path) for _ in range(200)]
    assert fd_count() == fds + 200
    assert maps_naming(path) == 200
    with held[0]:
        pass  # leaving the block closes nothing
    assert maps_naming(path) == 200
    held.clear()
    assert fd_count() == fds
    assert maps_naming(path) == 0


def test_descriptor_limit_is_not_eaten_by_failures(refused_paths, make_file):
    # With the descriptor limit just above what is open now, thousands of
    # failed opens still work: none of them keeps a descriptor.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    good = make_file(RECORDS)
    limit = fd_count() + 8
    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
    try:
        for _ in range(300):
            for path in refused_paths.values():
                with pytest.raises((OSError, ValueError)):
                    _taglex.open(path)
            del_me = _taglex.open(good)
            del del_me
        # The limit is real: holding more Dicts than it allows fails with
        # the OS's error, as an OSError, and releasing them frees the slots.
        held = []
        with pytest.raises(OSError, match=r"io error: .*\(os error 24\)"):
            for _ in range(64):
                held.append(_taglex.open(good))
        held.clear()
        assert _taglex.open(good) is not None
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
