"""What another caller or another process can do to an open dictionary.

Each case runs in a child interpreter, since the faults it guards against
ended the process (a crash) or left it waiting; the child prints what it saw
and the test compares that with what must happen.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap

from support import EXAMPLE, Layout

from taglex import writer

REFERENCE = writer.build(EXAMPLE)


def run_child(code: str, *args: str, timeout: float = 30, **popen: object) -> list[str]:
    """Runs `code` in a fresh interpreter; its stdout lines, after a clean exit."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        **popen,  # type: ignore[call-overload]
    )
    assert done.returncode == 0, (done.returncode, done.stderr)
    return done.stdout.splitlines()


def test_dict_without_a_dictionary_raises_from_every_entry_point():
    out = run_child(
        """
        import taglex._taglex as t
        t.Dict.__new__ = lambda cls, *a: object.__new__(cls)
        d = t.Dict()
        for name, call in [("len", lambda: len(d)), ("repr", lambda: repr(d)),
                           ("lookup", lambda: d.lookup(0x10, 0x10)),
                           ("enter", lambda: d.__enter__()),
                           ("exit", lambda: d.__exit__(None, None, None))]:
            try:
                call()
                print(name, "no error")
            except Exception as e:
                print(name, type(e).__name__, e)
        del d
        print("survived")
        """
    )
    message = "ValueError Dict holds no dictionary (Dicts are made by taglex._taglex.open)"
    assert out == [
        f"len {message}",
        f"repr {message}",
        f"lookup {message}",
        f"enter {message}",
        f"exit {message}",
        "survived",
    ]


def test_root_rewritten_in_place_is_not_followed(tmp_path):
    """A file rewritten underneath an open Dict: the root taken at open holds."""
    path = tmp_path / "d.tlex"
    path.write_bytes(REFERENCE)
    root = len(REFERENCE) - 24
    lay = Layout(REFERENCE)
    # Each rewrite of the root points outside the file: a huge index, records
    # or strings table, or one that starts a gigabyte before the file.
    rewrites = [
        struct.pack("<iI", 0, 0x40000000),
        struct.pack("<iI", 0x7FFF0000, lay.index_count),
        struct.pack("<iI", -0x40000000, 0xFFFFFFFF),
    ]
    out = run_child(
        """
        import sys, taglex._taglex as t
        path, root = sys.argv[1], int(sys.argv[2])
        d = t.open(path)
        print(len(d), d.lookup(0x10, 0x10)["keyword"])
        with open(path, "r+b") as f:
            for field in range(3):
                for rewrite in sys.argv[3:]:
                    f.seek(root + 8 * field)
                    f.write(bytes.fromhex(rewrite))
                    f.flush()
                    found = d.lookup(0x10, 0x10)
                    print(len(d), repr(d), found and found["keyword"],
                          d.lookup(0x29, 0x10, "acme 1.0")["name"])
        """,
        str(path),
        str(root),
        *(r.hex() for r in rewrites),
    )
    n = lay.index_count
    assert out == [f"{n} PatientName"] + [
        f"{n} <taglex.Dict len={n}> PatientName Acme Flags"
    ] * 9


def test_terminal_path_is_not_taken_as_controlling_terminal():
    out = run_child(
        """
        import os, taglex._taglex as t
        def has_terminal():
            try:
                os.close(os.open("/dev/tty", os.O_RDWR))
                return True
            except OSError:
                return False
        master, slave = os.openpty()
        name = os.ttyname(slave)
        os.close(slave)
        print("before", has_terminal())
        try:
            t.open(name)
        except OSError as e:
            print("refused")
        print("after", has_terminal())
        """,
        start_new_session=True,
        stdin=subprocess.DEVNULL,
    )
    assert out == ["before False", "refused", "after False"]


def test_open_waits_for_a_write_lease_to_be_broken(tmp_path):
    path = tmp_path / "d.tlex"
    path.write_bytes(REFERENCE)
    # The holder takes a write lease and gives it up when the kernel asks
    # (SIGIO); it keeps running until its stdin closes.
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import fcntl, os, signal, sys
                fd = os.open(sys.argv[1], os.O_RDONLY)
                def give_up(*_):
                    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
                    print("broken", flush=True)
                signal.signal(signal.SIGIO, give_up)
                fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
                print("held", flush=True)
                sys.stdin.read()
                """
            ),
            str(path),
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "held\n"
        out = run_child(
            """
            import sys, taglex._taglex as t
            print(len(t.open(sys.argv[1])))
            """,
            str(path),
            timeout=40,
        )
        assert out == [str(len(EXAMPLE))]
        assert holder.stdout.readline() == "broken\n"
    finally:
        holder.communicate(timeout=10)
