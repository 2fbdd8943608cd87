#!/usr/bin/env python3
"""Regenerate the outputs and figures shown in README.md and docs/*.md.

    python tools/gen_docs.py                  # rewrite what is stale
    python tools/gen_docs.py --check          # exit 1, naming each stale file
    python tools/gen_docs.py --check FILE...  # only these files

Everything is produced by the installed taglex (and pydicom, which the
examples of taglex.pydicom and ``taglex dump`` need), so the docs show what
the code prints. Marks are HTML comments, invisible when rendered:

``<!-- gen_docs: shell -->`` before a fenced block of ``$ COMMAND`` lines
    Each command runs in bash (a line ending in a backslash goes on), with
    ``taglex`` and ``python`` being this interpreter; the lines after it are
    replaced by what it prints, standard output and error as they come.
``<!-- gen_docs: pycon -->`` before a fenced block of ``>>>`` lines
    Each statement (``...`` lines go on) runs as at the interactive prompt,
    the pycon blocks of a file in one session; the lines after it are
    replaced by what the prompt shows. An exception shows as ``Traceback
    (most recent call last):``, ``  ...`` and its last lines, as doctest
    writes it.
``<!-- gen_docs: script NAME -->`` and ``<!-- gen_docs: output NAME -->``
    The first, before a fenced Python block, runs it as a whole; the
    second, before a later fenced block, holds what it printed.
``<!-- gen_docs: text NAME -->`` ... ``<!-- end gen_docs -->``
    A paragraph or table that ``TEXTS[NAME]`` writes.
``<!-- fig: NAME -->VALUE<!-- /fig -->``
    One figure in prose, ``FIGURES[NAME]``.

The blocks of one file run in order in one temporary folder, so a command
may use what an earlier one wrote; pydicom's test files named in the
commands are copied there first (only files pydicom ships: nothing is
downloaded). Outputs name files relative to that folder, the bundled
dictionary as ``BUNDLED`` below, and never a path of this machine; trailing
white space is dropped. The marks of tools/gen_default_dict.py
(``<!-- generated: NAME -->``) and tools/readme_benchmarks.py are theirs.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import traceback
from collections.abc import Callable, Iterator
from pathlib import Path

import taglex
from taglex import _atomic, _format, uids  # _atomic: files are replaced as every writer replaces one

ROOT = Path(__file__).resolve().parent.parent

BUNDLED = ".../taglex/data/dicom.tlex"
TIMEOUT = 120

FENCE = re.compile(r"^(```+)[^\n`]*\n(.*?)^\1[ \t]*$", re.S | re.M)
BLOCK_MARK = re.compile(r"^<!-- gen_docs: (shell|pycon|script|output)(?: ([\w-]+))? -->\n", re.M)
TEXT_BLOCK = re.compile(r"(^<!-- gen_docs: text ([\w-]+) -->\n)(.*?)(^<!-- end gen_docs -->$)", re.S | re.M)
FIGURE = re.compile(r"(<!-- fig: ([\w-]+) -->)(.*?)(<!-- /fig -->)", re.S)


class Stale(Exception):
    """A mark that cannot be regenerated (not a stale output: a fault)."""


# --- figures and texts: what the installed package holds ---------------------


def _dictionary() -> taglex.Dictionary:
    return taglex.Dictionary.default()


def _count(predicate: Callable[[taglex.Entry], bool]) -> str:
    return f"{sum(1 for e in _dictionary() if predicate(e)):,}"


def _acr_nema_masks(e: taglex.Entry) -> bool:
    return "repeating (1010,xxxx)" in e.description or "repeating (1000,xxx" in e.description


def _pydicom_unknown() -> str:
    from pydicom.datadict import private_dictionaries  # type: ignore[attr-defined]

    names = [row[2] for block in private_dictionaries.values() for row in block.values()]
    return f"{sum(1 for n in names if n == 'Unknown'):,} of its {len(names):,}"


FIGURES: dict[str, Callable[[], str]] = {
    "entries": lambda: f"{_dictionary().stats()[0]['entries']:,}",
    "standard-entries": lambda: _count(lambda e: not e.creator),
    "private-entries": lambda: _count(lambda e: bool(e.creator)),
    "creators": lambda: f"{len(_dictionary().creators()):,}",
    "uids": lambda: f"{sum(1 for _ in uids.entries()):,}",
    "acr-nema-mask-entries": lambda: _count(_acr_nema_masks),
    "keywordless-standard": lambda: _count(lambda e: not e.creator and not e.keyword),
    "keywordless-without-vr": lambda: _count(lambda e: not e.creator and not e.keyword and e.vr == "??"),
    "pydicom-unknown-names": _pydicom_unknown,
    "entry-bytes": lambda: str(_format.INDEX_ENTRY.size + _format.RECORD.size),
}


def _datadict_differences() -> str:
    """Every standard element of pydicom's dictionary that taglex.datadict
    answers otherwise, field by field."""
    import pydicom
    from pydicom.datadict import DicomDictionary  # type: ignore[attr-defined]

    from taglex import datadict as ours

    def cell(value: object) -> str:
        return repr(value).replace("|", "\\|")

    fields = ("VR", "VM", "name", "retired", "keyword")
    rows, elements = [], set()
    for tag, answer in sorted(DicomDictionary.items()):
        try:
            mine: tuple[object, ...] = ours.get_entry(tag)
        except KeyError:
            mine = ("KeyError",) * len(fields)
        for field, a, b in zip(fields, answer, mine, strict=True):
            if a != b:
                elements.add(tag)
                rows.append(f"| ({tag >> 16:04X},{tag & 0xFFFF:04X}) | {field} | {cell(a)} | {cell(b)} |")
    return "\n".join(
        [
            f"Of the {len(DicomDictionary):,} standard elements of pydicom {pydicom.__version__}, "
            f"{len(elements)} answer `get_entry` otherwise, in {len(rows)} fields:",
            "",
            "| element | field | pydicom | taglex |",
            "|---|---|---|---|",
            *rows,
        ]
    )


TEXTS: dict[str, Callable[[], str]] = {"datadict-differences": _datadict_differences}


# --- running what the blocks show ---------------------------------------------


class Folder:
    """The temporary folder one document's blocks run in."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.namespace: dict[str, object] = {"__name__": "__main__"}
        self.bin = path / ".bin"
        self.bin.mkdir()
        # Scripts, not links: a link to a virtual environment's python is
        # not in that environment.
        for name, args in (("python", ""), ("taglex", " -m taglex")):
            command = self.bin / name
            command.write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)}{args} "$@"\n')
            command.chmod(0o755)
        # tools/ and tests/ of the checkout, for the commands that run a tool.
        for name in ("tools", "tests"):
            (path / name).symlink_to(ROOT / name, target_is_directory=True)

    def clean(self, text: str, what: str) -> str:
        """``text`` as the docs show it: the bundled file as BUNDLED, no
        trailing white space, and no path of this machine."""
        text = text.replace(str(taglex.default_path()), BUNDLED).replace(str(self.path) + os.sep, "")
        for path in {str(self.path), str(ROOT), sys.prefix, sys.base_prefix, os.path.expanduser("~")}:
            # (a top folder such as /usr or /root alone is no giveaway)
            if path.count(os.sep) > 1 and path in text:
                raise Stale(f"{what} names a path of this machine ({path})")
        return "\n".join(line.rstrip() for line in text.splitlines())

    def fetch_test_files(self, commands: list[str]) -> None:
        """Copy the pydicom test files the commands name, from pydicom's own
        package (get_testdata_file without downloading)."""
        words = {w for c in commands for w in re.findall(r"[\w.+-]+\.(?:dcm|txt|json)\b", c)}
        names = [w for w in sorted(words) if not (self.path / w).exists()]
        if not names:
            return
        import pydicom
        from pydicom.data import get_testdata_file

        shipped = Path(pydicom.__file__).resolve().parent
        for name in names:
            found = get_testdata_file(name, download=False)
            if isinstance(found, str) and Path(found).resolve().is_relative_to(shipped):
                shutil.copyfile(found, self.path / name)

    def environment(self) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "TAGLEX", "COLUMNS", "LC_", "LANG"))}
        env.update(
            PATH=f"{self.bin}{os.pathsep}{os.environ.get('PATH', '/usr/bin:/bin')}",
            PYTHONUNBUFFERED="1",
            PYTHONDONTWRITEBYTECODE="1",
            COLUMNS="80",
            LC_ALL="C.UTF-8",
            TZ="UTC",
            HOME=str(self.path),
        )
        return env

    def shell(self, commands: list[str]) -> list[str]:
        """What each command prints, in one bash run (``$?`` carries over)."""
        self.fetch_test_files(commands)
        lines = ["__status=0"]
        for i, command in enumerate(commands):
            lines += [f"printf '\\036%d\\n' {i}", "(exit $__status); {", command, "} 2>&1; __status=$?"]
        proc = subprocess.run(
            ["bash", "--noprofile", "--norc", "-c", "\n".join(lines)],
            cwd=self.path,
            env=self.environment(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=TIMEOUT,
            check=False,
        )
        parts = proc.stdout.decode("utf-8", "backslashreplace").split("\036")[1:]
        if len(parts) != len(commands):
            raise Stale(f"the shell block stopped after {len(parts)} of {len(commands)} commands")
        outputs = []
        for i, (command, part) in enumerate(zip(commands, parts, strict=True)):
            number, _, out = part.partition("\n")
            if number != str(i):
                raise Stale(f"the output of `{command}` is out of order")
            outputs.append(self.clean(out, f"the output of `{command}`"))
        return outputs

    @contextlib.contextmanager
    def inside(self) -> Iterator[io.StringIO]:
        """Python run here: the folder as working directory, stdout caught."""
        out = io.StringIO()
        before = os.getcwd()
        os.chdir(self.path)
        try:
            with contextlib.redirect_stdout(out):
                yield out
        finally:
            os.chdir(before)

    def pycon(self, statements: list[str]) -> list[str]:
        """What the prompt shows for each statement; the pycon blocks of a
        document share one namespace, as one session."""
        outputs = []
        for statement in statements:
            with self.inside() as out:
                try:
                    exec(compile(statement + "\n", "<doc>", "single"), self.namespace)  # noqa: S102
                except Exception as e:  # what the reader would see
                    last = "".join(traceback.format_exception_only(e)).rstrip("\n")
                    print(f"Traceback (most recent call last):\n  ...\n{last}")
            outputs.append(self.clean(out.getvalue(), f"`{statement}`"))
        return outputs

    def script(self, source: str, name: str) -> str:
        with self.inside() as out:
            exec(compile(source, f"<script {name}>", "exec"), {"__name__": "__main__"})  # noqa: S102
        return self.clean(out.getvalue(), f"script {name}")


def _steps(body: str, prompt: str, more: str | None) -> tuple[list[str], list[str]]:
    """A session block split into its inputs (prompt lines, their
    continuations) and the input lines as written."""
    inputs: list[str] = []
    written: list[str] = []
    going_on = False
    for line in body.splitlines():
        if line.startswith(prompt) or line == prompt.rstrip():
            inputs.append(line[len(prompt):])
            written.append(line)
            going_on = more is None and line.endswith("\\")
        elif inputs and more is not None and (line.startswith(more) or line == more.rstrip()):
            inputs[-1] += "\n" + line[len(more):]
            written[-1] += "\n" + line
        elif going_on:
            inputs[-1] += "\n" + line
            written[-1] += "\n" + line
            going_on = line.endswith("\\")
        elif not inputs:
            raise Stale(f"a session block starts with {line!r}, not with {prompt!r}")
    return inputs, written


def _session(written: list[str], outputs: list[str]) -> str:
    return "".join(w + "\n" + (o + "\n" if o else "") for w, o in zip(written, outputs, strict=True))


def regenerate(text: str, folder: Folder) -> str:
    """``text`` with every mark of this tool filled in anew."""
    text = FIGURE.sub(lambda m: m[1] + _figure(m[2]) + m[4], text)
    text = TEXT_BLOCK.sub(lambda m: m[1] + _text(m[2]) + "\n" + m[4], text)
    scripts: dict[str, str] = {}
    pieces: list[str] = []
    at = 0
    for mark in BLOCK_MARK.finditer(text):
        kind, name = mark[1], mark[2]
        fence = FENCE.match(text, mark.end())
        if fence is None:
            raise Stale(f"'{mark[0].strip()}' is not followed by a fenced block")
        if (name is None) != (kind in ("shell", "pycon")):
            raise Stale(f"'{mark[0].strip()}': script and output take a name, shell and pycon none")
        body = fence[2]
        if kind == "shell":
            commands, written = _steps(body, "$ ", None)
            new = _session(written, folder.shell(commands))
        elif kind == "pycon":
            statements, written = _steps(body, ">>> ", "... ")
            new = _session(written, folder.pycon(statements))
        elif kind == "script":
            if name in scripts:
                raise Stale(f"script {name} is there twice")
            scripts[name] = folder.script(body, name)
            new = body
        else:
            if name not in scripts:
                raise Stale(f"output {name} comes before (or without) its script")
            new = scripts.pop(name) + "\n"
        start = fence.start(2)
        pieces += [text[at:start], new]
        at = fence.end(2)
    if scripts:
        raise Stale(f"script {', '.join(scripts)} has no output block")
    return "".join(pieces) + text[at:]


def _figure(name: str) -> str:
    if name not in FIGURES:
        raise Stale(f"unknown figure {name!r}")
    return FIGURES[name]()


def _text(name: str) -> str:
    if name not in TEXTS:
        raise Stale(f"unknown text {name!r}")
    return TEXTS[name]()


def documents() -> list[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--check", action="store_true", help="write nothing; exit 1 if a file is stale")
    ap.add_argument("files", nargs="*", type=Path, help="Markdown files (default: README.md, docs/*.md)")
    args = ap.parse_args(argv)
    stale = []
    for path in args.files or documents():
        try:
            old = path.read_text(encoding="utf-8")
        except OSError as e:
            print(f"gen_docs: {path}: {e.strerror or e}", file=sys.stderr)
            return 2
        with tempfile.TemporaryDirectory(prefix="gen_docs.") as tmp:
            try:
                new = regenerate(old, Folder(Path(tmp)))
            except (Stale, subprocess.TimeoutExpired) as e:
                print(f"gen_docs: {path}: {e}", file=sys.stderr)
                return 2
        if new == old:
            continue
        stale.append(path)
        if args.check:
            diff = difflib.unified_diff(old.splitlines(True), new.splitlines(True), str(path), "generated")
            sys.stderr.writelines(diff)
        else:
            _atomic.write_text(path, new)
            print(f"gen_docs: rewrote {path}")
    if args.check and stale:
        for path in stale:
            print(f"gen_docs: {path} is stale: run python tools/gen_docs.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
