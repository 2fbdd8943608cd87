"""The taglex command line as a whole: info, --version, --help, usage errors.

Each command has its own file as well: test_cli_lookup.py, test_cli_build.py.
"""

from __future__ import annotations

import os
import subprocess
import sys

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


@pytest.mark.parametrize("argv", [[], ["lookup"], ["build", "only-one"], ["frobnicate"]])
def test_usage_errors(argv, capsys):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == "" and "usage:" in err


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
