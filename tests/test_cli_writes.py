"""Every command that writes a file (build, export -o) follows the same rules:
what it refuses to replace, what it keeps, and what an interruption leaves."""

from __future__ import annotations

import os
import socket
import stat
import subprocess
import sys
import textwrap

import pytest
from support import EXAMPLE, PATIENT_NAME, jsonl

from taglex import writer


@pytest.fixture
def sources(tmp_path):
    """The input each writing command reads: a .tlex file for export, JSON
    Lines for build."""
    tlex = tmp_path / "in.tlex"
    writer.write(tlex, EXAMPLE)
    records = tmp_path / "in.jsonl"
    records.write_text(jsonl(dict(PATIENT_NAME, keyword="Changed")))
    return {"export": tlex, "build": records}


def argv(command: str, source, target) -> list[str]:
    if command == "export":
        return ["export", str(source), "-o", str(target)]
    return ["build", str(source), str(target)]


def taglex(args: list[str], stdin=None) -> subprocess.CompletedProcess:
    with open(stdin or os.devnull, "rb") as f:
        return subprocess.run(
            [sys.executable, "-m", "taglex", *args],
            stdin=f, capture_output=True, text=True, timeout=60, check=False,
        )  # fmt: skip


def _make(kind: str, tmp_path, source):
    """A target of the given kind; returns (target, stdin for the command)."""
    target = tmp_path / "target"
    if kind == "FIFO":
        os.mkfifo(target)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(target))
    elif kind == "directory":
        target.mkdir()
    elif kind == "device":
        try:  # a node of the null device: what /dev/null is
            os.mknod(target, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device node needs privileges")
    elif kind == "link to a FIFO":
        os.mkfifo(tmp_path / "fifo")
        target.symlink_to(tmp_path / "fifo")
    elif kind == "its input":
        target = source
    elif kind == "its input, through a link":
        target.symlink_to(source)
    elif kind == "standard input":
        target.write_text("kept\n")
        return target, target
    return target, None


@pytest.mark.parametrize("command", ["export", "build"])
@pytest.mark.parametrize(
    "kind",
    ["FIFO", "socket", "directory", "device", "link to a FIFO", "its input",
     "its input, through a link", "standard input"],
)  # fmt: skip
def test_what_is_not_a_file_to_replace_is_refused_and_left_alone(tmp_path, sources, command, kind):
    source = sources[command]
    target, stdin = _make(kind, tmp_path, source)
    before = {p: (os.lstat(tmp_path / p).st_mode, os.lstat(tmp_path / p).st_ino) for p in os.listdir(tmp_path)}
    contents = source.read_bytes(), (target.read_bytes() if stdin else None)
    done = taglex(argv(command, source, target), stdin)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.startswith(f"taglex: cannot write {target}: ") and done.stderr.count("\n") == 1
    assert {p: (os.lstat(tmp_path / p).st_mode, os.lstat(tmp_path / p).st_ino) for p in os.listdir(tmp_path)} == before
    assert (source.read_bytes(), (target.read_bytes() if stdin else None)) == contents


@pytest.mark.parametrize("command", ["export", "build"])
def test_a_link_is_followed_and_the_file_keeps_its_mode(tmp_path, sources, command):
    real = tmp_path / "real"
    real.write_text("old\n")
    real.chmod(0o600)
    link = tmp_path / "link"
    link.symlink_to(real)
    with open(real, "rb") as old:  # a reader of the old file keeps the old bytes
        inode = os.fstat(old.fileno()).st_ino
        done = taglex(argv(command, sources[command], link))
        assert done.returncode == 0, done.stderr
        assert old.read() == b"old\n"
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert stat.S_IMODE(real.stat().st_mode) == 0o600 and real.stat().st_ino != inode
    assert real.read_bytes() != b"old\n"
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "in.tlex", "link", "real"]


# The command stops on a signal while its temporary file is being written.
# A test run started as a background job ignores SIGINT, and the child would
# inherit that: the child restores Python's handler first.
INTERRUPTED = textwrap.dedent(
    """
    import os, signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from taglex import cli
    def fsync(fd):
        os.kill(os.getpid(), getattr(signal, sys.argv[1]))
    os.fsync = fsync
    sys.exit(cli.main(sys.argv[2:]))
    """
)


@pytest.mark.parametrize("command", ["export", "build"])
@pytest.mark.parametrize("signame, status", [("SIGINT", 130), ("SIGTERM", 143)])
def test_an_interrupted_command_leaves_nothing_half_written(tmp_path, sources, command, signame, status):
    target = tmp_path / "target"
    target.write_text("old\n")
    before = sorted(os.listdir(tmp_path))
    proc = subprocess.run(
        [sys.executable, "-c", INTERRUPTED, signame, *argv(command, sources[command], target)],
        capture_output=True, text=True, timeout=60, check=False,
    )  # fmt: skip
    assert (proc.returncode, proc.stdout) == (status, "")
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("taglex: ")
    assert sorted(os.listdir(tmp_path)) == before
    assert target.read_text() == "old\n"


def test_a_program_without_a_sigterm_handler_still_removes_its_temporary_file(tmp_path):
    # The generators in tools/ write through the same helper, with SIGTERM
    # left at its default: the file is removed, then the signal ends them.
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    code = textwrap.dedent(
        """
        import os, signal, sys
        from taglex import _atomic
        os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGTERM)
        _atomic.write_bytes(sys.argv[1], b"new")
        print("not reached")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code, str(target)], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout, proc.stderr) == (-15, "", "")
    assert os.listdir(tmp_path) == ["out.bin"] and target.read_bytes() == b"old"
