"""Internal errors at the boundary: every way a lookup can break becomes a PanicException.

A file that passes validation may still hold an index entry that names no
record, or a text reference past the strings table. Each such breach, in
every text a result is built from, ends that one call with a
``pyo3_runtime.PanicException`` carrying the library's message; a short report
with the message and the source location goes to stderr; and the interpreter
and the Dict carry on.
"""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout

import taglex._taglex as _taglex
from taglex import writer

REFERENCE = writer.build(EXAMPLE)
STRINGS = Layout(REFERENCE).strings_count  # 55
PATIENT_KEY = (0x0010, 0x0010)
ACME_KEY = (0x0029, 0x0010, "  acme 1.0")
SOURCE_LOCATION = re.compile(r"[\w./-]+\.(?:cpp|hpp|cc|h):\d+")

# Which record each key finds.
RECORD_OF = {PATIENT_KEY: 0, ACME_KEY: 1}


def start_message(offset: int) -> str:
    return f"range start index {offset} out of range for slice of length {STRINGS}"


def start(field: str, offset: int = STRINGS + 1):
    """The text's offset past the end of the strings table."""
    return {f"{field}_offset": offset}, start_message(offset)


def end(lay: Layout, r: int, field: str):
    """The text ends one byte past the strings table (its length kept, or 1 if it was empty)."""
    length = lay.record(r, f"{field}_len") or 1
    changes = {f"{field}_offset": STRINGS + 1 - length, f"{field}_len": length}
    return changes, f"range end index {STRINGS + 1} out of range for slice of length {STRINGS}"


def cases():
    lay = Layout(REFERENCE)
    out = []
    for key in (PATIENT_KEY, ACME_KEY):
        r = RECORD_OF[key]
        fields = ["keyword", "name", "description", "sources"] + (["creator"] if r == 1 else [])
        for field in fields:
            changes, message = start(field)
            out.append(pytest.param(key, r, changes, message, id=f"record{r}-{field}-start"))
            changes, message = end(lay, r, field)
            out.append(pytest.param(key, r, changes, message, id=f"record{r}-{field}-end"))
    # Offsets and lengths at the top of their ranges: the end is computed
    # without overflow.
    out.append(pytest.param(
        PATIENT_KEY, 0, {"description_offset": 0xFFFFFFFF, "description_len": 0xFFFFFFFF},
        f"range start index 4294967295 out of range for slice of length {STRINGS}",
        id="record0-description-max",
    ))  # fmt: skip
    out.append(pytest.param(
        ACME_KEY, 1, {"sources_offset": STRINGS, "sources_len": 0xFFFFFFFF},
        f"range end index {STRINGS + 0xFFFFFFFF} out of range for slice of length {STRINGS}",
        id="record1-sources-len-max",
    ))  # fmt: skip
    out.append(pytest.param(
        ACME_KEY, 1, {"creator_offset": STRINGS - 1, "creator_len": 0xFFFF},
        f"range end index {STRINGS - 1 + 0xFFFF} out of range for slice of length {STRINGS}",
        id="record1-creator-len-max",
    ))  # fmt: skip
    return out


def expect_panic(call, capfd, message: str) -> BaseException:
    """Runs `call`, which must raise the panic exception with `message` and
    write a report naming it and a source location to stderr."""
    capfd.readouterr()
    try:
        call()
    except Exception as e:  # noqa: BLE001 - a panic must not be an Exception
        pytest.fail(f"an Exception escaped instead of the panic: {e!r}")
    except BaseException as e:  # noqa: BLE001 - the panic is what is under test
        exc = e
    else:
        pytest.fail("no exception")
    t = type(exc)
    assert (t.__module__, t.__name__) == ("pyo3_runtime", "PanicException")
    assert t.__qualname__ == "PanicException"
    assert issubclass(t, BaseException) and not issubclass(t, Exception)
    assert t.__bases__ == (BaseException,)
    assert exc.args == (message,)
    assert str(exc) == message
    err = capfd.readouterr().err
    report = [line for line in err.splitlines() if message in line]
    assert report, err
    assert SOURCE_LOCATION.search(report[0]), report[0]
    return exc


@pytest.mark.parametrize(("key", "r", "changes", "message"), cases())
def test_every_text_of_a_record_panics_past_the_strings(open_dict, capfd, key, r, changes, message):
    d = open_dict(Layout(REFERENCE).set_record(r, **changes).bytes())
    expect_panic(lambda: d.lookup(*key), capfd, message)
    # The other record is untouched and still found; the broken one panics
    # again, the same way, every time.
    other = ACME_KEY if key == PATIENT_KEY else PATIENT_KEY
    assert d.lookup(*other) == (ACME_FLAGS if other == ACME_KEY else PATIENT_NAME)
    expect_panic(lambda: d.lookup(*key), capfd, message)
    assert len(d) == 2 and repr(d) == "<taglex.Dict len=2>"


@pytest.mark.parametrize(
    ("entry", "record_index", "key"),
    [
        (0, 2, PATIENT_KEY),
        (1, 2, ACME_KEY),
        (1, 3, ACME_KEY),
        (0, 0x7FFFFFFF, PATIENT_KEY),
        (1, 0xFFFFFFFF, ACME_KEY),
    ],
)
def test_index_entry_naming_no_record_panics(open_dict, capfd, entry, record_index, key):
    d = open_dict(Layout(REFERENCE).set_entry(entry, record_index=record_index).bytes())
    message = f"index out of bounds: the len is 2 but the index is {record_index}"
    expect_panic(lambda: d.lookup(*key), capfd, message)
    # Keyword arguments reach the same entry point.
    group, element, *creator = key
    kwargs = {"creator": creator[0]} if creator else {}
    expect_panic(lambda: d.lookup(group=group, element=element, **kwargs), capfd, message)
    other = ACME_KEY if key == PATIENT_KEY else PATIENT_KEY
    assert d.lookup(*other) == (ACME_FLAGS if other == ACME_KEY else PATIENT_NAME)


@pytest.mark.parametrize(
    "changes",
    [
        {"creator_offset": 0xFFFFFFFF},  # no creator: its offset is never looked at
        {"description_offset": STRINGS, "description_len": 0},  # empty text at the very end
        {"sources_offset": STRINGS, "sources_len": 0},
    ],
)
def test_references_at_the_edge_do_not_panic(open_dict, capfd, changes):
    d = open_dict(Layout(REFERENCE).set_record(0, **changes).bytes())
    capfd.readouterr()
    result = d.lookup(*PATIENT_KEY)
    expected = dict(PATIENT_NAME)
    if "sources_len" in changes:
        expected["sources"] = []
    assert result == expected
    assert capfd.readouterr().err == ""


def test_first_broken_text_in_result_order_is_reported(open_dict, capfd):
    # The result is built key by key (creator, keyword, name, vr,
    # description, ... sources): the first broken text read is the one named.
    lay = Layout(REFERENCE)
    lay.set_record(1, sources_offset=STRINGS + 7, keyword_offset=STRINGS + 3, name_offset=STRINGS + 5)
    d = open_dict(lay.bytes())
    expect_panic(lambda: d.lookup(*ACME_KEY), capfd, start_message(STRINGS + 3))
    lay.set_record(1, creator_offset=STRINGS + 2)
    d = open_dict(lay.bytes())
    expect_panic(lambda: d.lookup(*ACME_KEY), capfd, start_message(STRINGS + 2))


def test_other_entry_points_of_a_damaged_dict_do_not_panic(open_dict, capfd):
    lay = Layout(REFERENCE).set_entry(0, record_index=9).set_record(1, name_offset=STRINGS + 1)
    capfd.readouterr()
    d = open_dict(lay.bytes())  # open does not look at records or texts
    assert len(d) == 2
    assert repr(d) == "<taglex.Dict len=2>"
    assert bool(d) is True
    with d as same:
        assert same is d
    assert d.__exit__(None, None, None) is False
    assert d.lookup(0x0010, 0x0011) is None  # misses never reach a record
    assert d.lookup(0x0029, 0x0010) is None
    del d, same  # deallocation has nothing to report
    assert capfd.readouterr().err == ""


def test_panic_inside_with_block_propagates_and_dict_survives(open_dict, capfd):
    d = open_dict(Layout(REFERENCE).set_entry(1, record_index=5).bytes())
    message = "index out of bounds: the len is 2 but the index is 5"

    def inside():
        with d:
            d.lookup(*ACME_KEY)

    exc = expect_panic(inside, capfd, message)
    assert exc.__context__ is None and exc.__cause__ is None
    assert d.lookup(*PATIENT_KEY) == PATIENT_NAME
    # Catching it and carrying on, many times over, is fine.
    for _ in range(100):
        with pytest.raises(BaseException) as excinfo:
            d.lookup(*ACME_KEY)
        assert type(excinfo.value) is type(exc)
    assert d.lookup(*PATIENT_KEY) == PATIENT_NAME


def test_one_panic_class_across_dicts(open_dict, capfd):
    a = open_dict(Layout(REFERENCE).set_entry(0, record_index=2).bytes())
    b = open_dict(Layout(REFERENCE).set_record(1, keyword_offset=STRINGS + 1).bytes())
    ea = expect_panic(lambda: a.lookup(*PATIENT_KEY), capfd,
                      "index out of bounds: the len is 2 but the index is 2")  # fmt: skip
    eb = expect_panic(lambda: b.lookup(*ACME_KEY), capfd, start_message(STRINGS + 1))
    assert type(ea) is type(eb)
    # It lives in no module's namespace.
    assert not hasattr(_taglex, "PanicException")
    assert "pyo3_runtime" not in sys.modules


# --- in a fresh interpreter ---------------------------------------------------------


def run_python(code: str, path: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), path],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_first_panics_from_many_threads_share_one_class(make_file):
    # The class is created on first need; threads that need it at the same
    # moment must all get the same one.
    path = make_file(Layout(REFERENCE).set_entry(0, record_index=2).bytes())
    run = run_python(
        """
        import sys, threading
        import taglex._taglex as _taglex
        d = _taglex.open(sys.argv[1])
        barrier = threading.Barrier(8)
        classes, others = [], []
        def go():
            barrier.wait()
            try:
                d.lookup(0x10, 0x10)
            except Exception as e:
                others.append(repr(e))
            except BaseException as e:
                classes.append(type(e))
        threads = [threading.Thread(target=go) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert not others, others
        assert len(classes) == 8, classes
        assert len(set(map(id, classes))) == 1, classes
        print(classes[0].__module__, classes[0].__name__)
        """,
        path,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["pyo3_runtime", "PanicException"]
    message = "index out of bounds: the len is 2 but the index is 2"
    reports = [ln for ln in run.stderr.splitlines() if message in ln]
    assert len(reports) == 8


def test_uncaught_panic_ends_the_interpreter_with_a_traceback(make_file):
    path = make_file(Layout(REFERENCE).set_record(0, name_offset=STRINGS + 1).bytes())
    message = f"range start index {STRINGS + 1} out of range for slice of length {STRINGS}"
    run = run_python(
        """
        import sys
        import taglex._taglex as _taglex
        d = _taglex.open(sys.argv[1])
        try:
            d.lookup(0x10, 0x10)
        except Exception:
            print("caught as Exception")
        print("not reached")
        """,
        path,
    )
    assert run.returncode == 1
    assert run.stdout == ""
    assert f"pyo3_runtime.PanicException: {message}" in run.stderr
    assert "Traceback (most recent call last)" in run.stderr
    assert "uncaught panic at ffi boundary" not in run.stderr
    report = [ln for ln in run.stderr.splitlines() if message in ln and SOURCE_LOCATION.search(ln)]
    assert report, run.stderr
