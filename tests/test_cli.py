"""The taglex command line as a whole: info, --version, --help, usage errors.

Each command has its own file as well: test_cli_lookup.py, test_cli_build.py.
"""

from __future__ import annotations

import os
import json
import subprocess
import sys
import textwrap

import pytest
from support import ACME_FLAGS, EXAMPLE, PATIENT_NAME, Layout, run_cli as run

import taglex
from taglex import writer


# --- info, --version, --help ---------------------------------------------------------------


def _info_fields(out: str) -> dict[str, str]:
    return {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in out.splitlines())}


def test_info_of_a_good_file(capsys, make_file):
    records = [dict(PATIENT_NAME, element=e) for e in range(5)] + [ACME_FLAGS]
    path = make_file(records)
    code, out, err = run(capsys, "info", path)
    assert (code, err) == (0, "")
    fields = _info_fields(out)
    assert fields["file"] == path
    assert fields["size"] == f"{os.path.getsize(path)} bytes"
    assert fields["opens"] == "yes"
    assert fields["entries"] == str(len(records)) == str(len(taglex.open(path)))
    assert fields["records"] == str(len(records))


def test_info_counts_index_entries_and_records_separately(capsys, make_file):
    # A root whose index holds fewer entries than there are records: still a
    # valid file, and info must tell the two counts apart.
    path = make_file(Layout(writer.build(EXAMPLE)).set_root(0, count=1).bytes())
    code, out, _ = run(capsys, "info", path)
    fields = _info_fields(out)
    assert code == 0 and fields["opens"] == "yes"
    assert fields["entries"] == "1" == str(len(taglex.open(path)))
    assert fields["records"] == str(len(EXAMPLE))


def test_info_of_a_file_that_does_not_open(capsys, make_file):
    data = bytearray(writer.build(EXAMPLE))
    data[4] = 3  # version 3
    path = make_file(bytes(data))
    code, out, err = run(capsys, "info", path)
    assert code == 1
    fields = _info_fields(out)
    assert fields["opens"].startswith("no: ")
    with pytest.raises(taglex.DamagedDictionaryError) as excinfo:
        taglex.Dictionary(path)
    assert fields["opens"] == f"no: {excinfo.value}"
    assert "version 3" in fields["opens"]
    # Nothing is shown that was not read from a file that opens.
    assert "entries" not in fields and "records" not in fields
    assert fields["size"] == f"{len(data)} bytes"


def test_info_of_a_tiny_or_missing_file(capsys, make_file, tmp_path):
    path = make_file(b"TLEX\x02\x00")
    code, out, _ = run(capsys, "info", path)
    fields = _info_fields(out)
    assert code == 1 and "records" not in fields and fields["size"] == "6 bytes"
    assert "too short" in fields["opens"]
    code, out, err = run(capsys, "info", str(tmp_path / "missing.tlex"))
    assert code == 1 and out == "" and "cannot read" in err


def test_version(capsys):
    code, out, _ = run(capsys, "--version")
    assert code == 0 and out == f"taglex {taglex.__version__}\n"


@pytest.mark.parametrize("argv", [["lookup"], ["build", "only-one"], ["frobnicate"]])
def test_usage_errors(argv, capsys):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == "" and "usage:" in err


def test_the_bare_command_prints_the_help(capsys):
    code, out, err = run(capsys)
    assert (code, err) == (0, "") and out == run(capsys, "--help")[1]


@pytest.mark.parametrize("command", [[], ["lookup"], ["build"], ["info"]])
def test_help_everywhere(command, capsys):
    code, out, _ = run(capsys, *command, "--help")
    assert code == 0 and out.startswith("usage: taglex")


def test_python_dash_m(tmp_path, example_path):
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "--version"], capture_output=True, text=True, check=False
    )
    assert proc.returncode == 0 and proc.stdout == f"taglex {taglex.__version__}\n"
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "lookup", "0010,0099", "--dict", example_path],
        capture_output=True,
        text=True,
        check=False,
    )
    assert proc.returncode == 1 and proc.stdout == "" and proc.stderr.count("\n") == 1


def test_info_of_a_fifo_answers_promptly(tmp_path):
    fifo = tmp_path / "pipe.tlex"
    os.mkfifo(fifo)  # no writer: a blocking open would wait forever
    proc = subprocess.run(
        [sys.executable, "-m", "taglex", "info", str(fifo)],
        capture_output=True, text=True, timeout=60, check=False,
    )  # fmt: skip
    fields = _info_fields(proc.stdout)
    assert proc.returncode == 1 and proc.stderr == ""
    assert fields["opens"].startswith("no: ") and "not a regular file" in fields["opens"]
    assert "records" not in fields


def test_help_lists_the_exit_statuses(capsys):
    code, out, _ = run(capsys, "--help")
    statuses = out.partition("exit status:")[2].split()
    assert code == 0 and {"0", "1", "2", "130", "143"} <= set(statuses)


# SIGTERM landing at each line that runs in the command line's own code and in
# the command's: the tracer calls the handler installed at that moment, with
# the frame of that line, as the interpreter does when a signal arrives there.
SIGTERM_EVERYWHERE = textwrap.dedent(
    """
    import contextlib, io, json, signal, sys
    import taglex.cli
    import taglex.cli.lookup as command
    def own(signum, frame):  # the program's handler
        pass
    signal.signal(signal.SIGTERM, own)
    watched = {taglex.cli.__file__, command.__file__}
    argv = ["lookup", "0010,0010", "--dict", sys.argv[1]]
    results = []
    k = 1
    while True:
        seen = [0, False, None]  # line events, the command has returned, where it landed

        def local(frame, event, arg):
            if event == "return" and frame.f_code is command.run.__code__:
                seen[1] = True
            if event in ("line", "return"):
                seen[0] += 1
                if seen[0] == k:
                    handler = signal.getsignal(signal.SIGTERM)
                    seen[2] = ("program" if handler is own else
                               "command" if frame.f_code.co_filename == command.__file__ else
                               "after" if seen[1] else "cli")
                    handler(signal.SIGTERM, frame)
            return local

        def tracer(frame, event, arg):
            return local if frame.f_code.co_filename in watched else None

        out, err = io.StringIO(), io.StringIO()
        escaped = None
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            sys.settrace(tracer)
            try:
                status = taglex.cli.main(argv)
            except BaseException as e:
                status, escaped = None, type(e).__name__
            finally:
                sys.settrace(None)
        if seen[2] is None:
            break
        results.append([seen[2], status, escaped, out.getvalue(), err.getvalue()])
        k += 1
    print(json.dumps(results))
    """
)


def test_sigterm_landing_anywhere_gives_143_and_no_traceback(example_path):
    done = subprocess.run(
        [sys.executable, "-c", SIGTERM_EVERYWHERE, example_path],
        capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    full = run_main_output(example_path)
    assert {where for where, *_ in results} >= {"program", "cli", "command", "after"}
    for where, status, escaped, out, err in results:
        assert escaped is None, (where, escaped)
        if where == "program":  # before taglex set its handler, or after it put it back
            assert (status, out, err) == (0, full, "")
        elif where == "command":  # the command unwinds
            assert (status, err) == (143, "taglex: terminated\n")
        else:  # around the command: it runs to its end, and says nothing more
            assert (status, out, err) == (143, full, ""), where


def run_main_output(path: str) -> str:
    done = subprocess.run(
        [sys.executable, "-m", "taglex", "lookup", "0010,0010", "--dict", path],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    return done.stdout
