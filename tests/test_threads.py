"""One Dict, many threads: lookups from eight threads at once all see the file's data.

A Dict holds nothing that changes after open, so any number of threads may use
it at once. The module also declares that it needs no GIL: on a free-threaded
interpreter, importing it must leave the GIL off, and the same lookups then
really run in parallel.
"""

from __future__ import annotations

import os
import random
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest
from support import fd_count, maps_naming

import taglex._taglex as _taglex
from taglex import writer

THREADS = 8
SECONDS = 2.0


def make_records() -> list[dict]:
    recs = []
    for g in range(0x0008, 0x0028, 2):
        for e in range(0x0000, 0x0100, 0x11):
            recs.append({
                "group": g, "element": e, "keyword": f"K{g:04X}{e:04X}",
                "name": f"Name {g:04X},{e:04X}", "vr": writer.VR_CODES[(g + e) % 35],
                "retired": e % 3 == 0, "sources": [f"s{e % 4}", "PS3.6"][: 1 + e % 2],
            })  # fmt: skip
    for v, creator in enumerate(["ACME 1.0", "Straße Ärzte", "GEMS_IDEN_01", "Vendor\u00a0X"]):
        for e in range(0x10, 0x30):
            recs.append({
                "group": 0x0029, "element": e, "creator": creator, "keyword": f"P{v}x{e:02X}",
                "name": f"Private {v} {e:02X}", "vr": "UN", "block_offset": True,
                "description": f"from {creator}",
            })  # fmt: skip
    return recs


RECORDS = make_records()


def full(rec: dict) -> dict:
    out = {"creator": "", "description": "", "retired": False, "block_offset": False, "sources": []}
    out.update(rec)
    return {k: out[k] for k in writer.FIELDS}


def respell(creator: str, rnd: random.Random) -> str:
    """The creator in another spacing and letter case: it must find the same tag."""
    words = creator.split()
    sep = rnd.choice([" ", "  ", "\t", "\u3000", " \n "])
    text = sep.join(words)
    text = text.lower() if rnd.random() < 0.5 else text.upper()
    return rnd.choice(["", " ", "\t"]) + text + rnd.choice(["", " ", "\u2028"])


def worker(d, stop_at: float, seed: int, errors: list, counts: list, barrier) -> None:
    rnd = random.Random(seed)
    expected = [full(r) for r in RECORDS]
    done = 0
    try:
        barrier.wait()
        while time.monotonic() < stop_at:
            for _ in range(200):
                i = rnd.randrange(len(RECORDS))
                rec = RECORDS[i]
                creator = rec.get("creator") or None
                kind = rnd.randrange(5)
                if kind == 0:  # the tag as stored
                    got, want = d.lookup(rec["group"], rec["element"], creator), expected[i]
                elif kind == 1 and creator:  # the creator spelled differently
                    got, want = d.lookup(rec["group"], rec["element"], respell(creator, rnd)), expected[i]
                elif kind == 2:  # a neighbour that is not there
                    got, want = d.lookup(rec["group"] + 1, rec["element"], creator), None
                elif kind == 3:  # a private tag without its creator, or a standard one with one
                    got = d.lookup(rec["group"], rec["element"], None if creator else "ACME 1.0")
                    want = None
                else:
                    got, want = (len(d), repr(d)), (len(RECORDS), f"<taglex.Dict len={len(RECORDS)}>")
                if got != want:
                    errors.append((seed, rec["keyword"], kind, got, want))
                    return
                done += 1
    except BaseException as e:  # noqa: BLE001 - any failure in a thread is a test failure
        errors.append((seed, repr(e)))
    finally:
        counts[seed] = done


def hammer(d) -> tuple[list, list]:
    errors: list = []
    counts = [0] * THREADS
    barrier = threading.Barrier(THREADS)
    stop_at = time.monotonic() + SECONDS
    threads = [
        threading.Thread(target=worker, args=(d, stop_at, k, errors, counts, barrier))
        for k in range(THREADS)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors, counts


def test_eight_threads_share_one_dict(make_file):
    path = make_file(RECORDS)
    d = _taglex.open(path)
    refs = sys.getrefcount(d)
    errors, counts = hammer(d)
    assert errors == []
    assert all(n > 0 for n in counts), counts  # every thread got to run
    # Nothing leaked a reference to the shared Dict.
    after = sys.getrefcount(d)
    assert after == refs


def test_threads_open_and_drop_dicts_at_once(make_file):
    path = make_file(RECORDS)
    fds = fd_count()
    errors: list = []
    barrier = threading.Barrier(THREADS)

    def churn(seed: int) -> None:
        try:
            barrier.wait()
            for k in range(100):
                d = _taglex.open(path)
                rec = RECORDS[(seed * 100 + k) % len(RECORDS)]
                if d.lookup(rec["group"], rec["element"], rec.get("creator") or None) != full(rec):
                    errors.append((seed, k))
                del d
        except BaseException as e:  # noqa: BLE001
            errors.append((seed, repr(e)))

    threads = [threading.Thread(target=churn, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert fd_count() == fds
    assert maps_naming(path) == 0


def test_last_reference_dropped_in_another_thread(make_file):
    # The thread that drops the count to zero releases the dictionary,
    # whichever thread opened it.
    path = make_file(RECORDS)
    fds = fd_count()
    dicts = [_taglex.open(path) for _ in range(THREADS)]
    assert fd_count() == fds + THREADS

    def drop(box: list) -> None:
        box.clear()

    boxes = [[d] for d in dicts]
    dicts.clear()
    threads = [threading.Thread(target=drop, args=(b,)) for b in boxes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert fd_count() == fds
    assert maps_naming(path) == 0


def core_worker(d, seed: int, errors: list, barrier) -> None:
    """Questions to a taglex.Dictionary whose indexes none has built yet:
    every thread races to the first keyword, creator and iteration."""
    rnd = random.Random(seed)
    try:
        barrier.wait()
        for _ in range(300):
            rec = RECORDS[rnd.randrange(len(RECORDS))]
            creator = rec.get("creator") or None
            asked = respell(creator, rnd) if creator else None
            tag = rec["group"] << 16 | (0x1000 | rec["element"] if creator else rec["element"])
            checks = [
                (d.tag_for_keyword(rec["keyword"], asked), tag),
                (d[tag, asked].keyword, rec["keyword"]),
                (d.keyword_for_tag(tag, asked), rec["keyword"]),
            ]
            if creator and rnd.random() < 0.05:
                checks.append((len(d.elements(asked)), 0x20))
            if rnd.random() < 0.01:
                checks.append((sum(1 for _ in d), len(RECORDS)))
            for got, want in checks:
                if got != want:
                    errors.append((seed, rec["keyword"], got, want))
                    return
    except BaseException as e:  # noqa: BLE001 - any failure in a thread is a test failure
        errors.append((seed, repr(e)))


def hammer_core(d) -> list:
    errors: list = []
    barrier = threading.Barrier(THREADS)
    threads = [
        threading.Thread(target=core_worker, args=(d, k, errors, barrier)) for k in range(THREADS)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def test_eight_threads_share_one_dictionary_and_build_its_indexes_once(make_file):
    import taglex

    for _ in range(3):  # fresh indexes each round
        d = taglex.Dictionary(make_file(RECORDS))
        assert hammer_core(d) == []


# --- free-threaded interpreters ----------------------------------------------------

FREE_THREADED_CHECK = textwrap.dedent(
    """
    import sys, sysconfig
    assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
    assert sys._is_gil_enabled() is False, "GIL on before the import"
    import taglex._taglex
    assert sys._is_gil_enabled() is False, "importing taglex._taglex turned the GIL on"
    import taglex._core
    assert sys._is_gil_enabled() is False, "importing taglex._core turned the GIL on"
    print("gil-off")
    """
)


def free_threaded_python() -> str | None:
    """A free-threaded CPython 3.13 that can import this package, if there is one.

    Looked for: this interpreter itself, $TAGLEX_FREE_THREADED_PYTHON, and
    python3.13t on PATH.
    """
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return sys.executable
    candidates = [os.environ.get("TAGLEX_FREE_THREADED_PYTHON"), shutil.which("python3.13t")]
    for exe in filter(None, candidates):
        probe = subprocess.run(
            [exe, "-c", "import sysconfig, taglex._taglex; "
                        "print(sysconfig.get_config_var('Py_GIL_DISABLED'))"],
            capture_output=True, text=True, timeout=60,
        )  # fmt: skip
        if probe.returncode == 0 and probe.stdout.strip() == "1":
            return exe
    return None


NO_FREE_THREADED = (
    "no free-threaded CPython 3.13 with taglex installed was found: this interpreter "
    "has Py_GIL_DISABLED unset, there is no python3.13t on PATH and "
    "TAGLEX_FREE_THREADED_PYTHON is not set (bash tools/test_313t.sh builds one and "
    "runs the suite on it)"
)


def gil_left_to_the_modules() -> dict[str, str]:
    """The environment for a free-threaded child whose GIL is up to the
    modules it imports: -X gil=0 or PYTHON_GIL=0 would keep it off even for
    a module that does not declare Py_mod_gil, so neither is passed on."""
    return {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}


def test_import_keeps_the_gil_off_on_a_free_threaded_build():
    exe = free_threaded_python()
    if exe is None:
        pytest.skip(NO_FREE_THREADED)
    run = subprocess.run(
        [exe, "-c", FREE_THREADED_CHECK],
        capture_output=True, text=True, timeout=120, env=gil_left_to_the_modules(),
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "gil-off"


def test_threads_share_one_dict_without_the_gil(tmp_path):
    exe = free_threaded_python()
    if exe is None:
        pytest.skip(NO_FREE_THREADED)
    if exe == sys.executable:
        # This interpreter is free-threaded: the other tests of this file
        # already ran the threads without the GIL.
        assert sys._is_gil_enabled() is False
        return
    path = tmp_path / "ft.tlex"
    writer.write(path, RECORDS)
    here = os.path.dirname(os.path.abspath(__file__))
    script = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {here!r})
        import taglex._taglex as _taglex
        import test_threads as t
        assert sys._is_gil_enabled() is False
        errors, counts = t.hammer(_taglex.open({str(path)!r}))
        assert errors == [], errors
        assert all(n > 0 for n in counts), counts
        import taglex
        assert t.hammer_core(taglex.Dictionary({str(path)!r})) == []
        assert sys._is_gil_enabled() is False
        print("ok")
        """
    )
    run = subprocess.run(
        [exe, "-c", script], capture_output=True, text=True, timeout=300, env=gil_left_to_the_modules()
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"
