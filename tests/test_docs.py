"""The outputs and figures of README.md and docs/ are what the installed package
prints, and the README's benchmark summary is generated from docs/benchmarks.md."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _tool(*argv: str, tool: str = "gen_docs.py") -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(ROOT / "tools" / tool), *argv],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


def test_docs_show_what_the_code_prints(tmp_path):
    pytest.importorskip("pydicom", reason="the docs' examples of taglex.pydicom and taglex dump need pydicom")
    proc = _tool("--check")
    assert proc.returncode == 0, proc.stderr[-4000:]

    # A stale figure and a stale command output are both caught, the file
    # named, nothing written; a run without --check puts both right.
    original = (ROOT / "README.md").read_text(encoding="utf-8")
    stale = re.sub(r"(<!-- fig: entries -->)[^<]*", r"\g<1>12", original, count=1)
    stale = stale.replace("keyword:     PatientName\n", "keyword:     PatientNam\n", 1)
    assert stale.count("12<!-- /fig -->") and "PatientNam\n" in stale
    readme = tmp_path / "README.md"
    readme.write_text(stale, encoding="utf-8")
    proc = _tool("--check", str(readme))
    assert proc.returncode == 1 and f"{readme} is stale" in proc.stderr
    assert "-keyword:     PatientNam\n" in proc.stderr and readme.read_text(encoding="utf-8") == stale
    assert _tool(str(readme)).returncode == 0
    assert readme.read_text(encoding="utf-8") == original


def _summary(*argv: str) -> subprocess.CompletedProcess[str]:
    return _tool(*argv, tool="readme_benchmarks.py")


def test_readme_summary_follows_the_report(tmp_path):
    assert _summary("--check").returncode == 0, "README.md differs from docs/benchmarks.md"

    readme, report = tmp_path / "README.md", tmp_path / "benchmarks.md"
    original = (ROOT / "README.md").read_text()
    readme.write_text(original)
    text = (ROOT / "docs" / "benchmarks.md").read_text()
    head, _, targets = text.partition("## Targets")
    row = next(line for line in targets.splitlines() if line.endswith("| met |"))
    changed = row.replace("| met |", "| **missed** |")
    report.write_text(head + "## Targets" + targets.replace(row, changed))
    paths = ("--readme", str(readme), "--report", str(report))

    proc = _summary("--check", *paths)
    assert proc.returncode == 1 and "out of date" in proc.stderr
    assert readme.read_text() == original  # --check writes nothing
    assert _summary(*paths).returncode == 0
    assert changed in readme.read_text() and row not in readme.read_text()
    assert _summary("--check", *paths).returncode == 0


_MARKED = '''\
<!-- gen_docs: shell -->
```console
$ echo one; echo two >&2
stale
$ false
$ echo "status $?"
```

<!-- gen_docs: pycon -->
```pycon
>>> x = (1 +
... 2)
>>> x
4
>>> 1 / 0
```

<!-- gen_docs: script s -->
```python
print("from", "script")
```

<!-- gen_docs: output s -->
```text
old
```
'''

_FILLED = '''\
<!-- gen_docs: shell -->
```console
$ echo one; echo two >&2
one
two
$ false
$ echo "status $?"
status 1
```

<!-- gen_docs: pycon -->
```pycon
>>> x = (1 +
... 2)
>>> x
3
>>> 1 / 0
Traceback (most recent call last):
  ...
ZeroDivisionError: division by zero
```

<!-- gen_docs: script s -->
```python
print("from", "script")
```

<!-- gen_docs: output s -->
```text
from script
```
'''


def test_marks_are_filled_with_what_runs_print(tmp_path):
    doc = tmp_path / "doc.md"
    doc.write_text(_MARKED, encoding="utf-8")
    proc = _tool("--check", str(doc))
    assert proc.returncode == 1 and "+3\n" in proc.stderr and doc.read_text(encoding="utf-8") == _MARKED
    proc = _tool(str(doc))
    assert proc.returncode == 0, proc.stderr
    assert doc.read_text(encoding="utf-8") == _FILLED
    assert _tool("--check", str(doc)).returncode == 0


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("<!-- fig: nope -->1<!-- /fig -->\n", "unknown figure 'nope'"),
        ("<!-- gen_docs: text nope -->\nx\n<!-- end gen_docs -->\n", "unknown text 'nope'"),
        ("<!-- gen_docs: shell -->\nno fence\n", "'<!-- gen_docs: shell -->' is not followed by a fenced block"),
        ("<!-- gen_docs: shell s -->\n```\n$ true\n```\n", "script and output take a name, shell and pycon none"),
        ("<!-- gen_docs: shell -->\n```\ntrue\n```\n", "a session block starts with 'true', not with '$ '"),
        ("<!-- gen_docs: output s -->\n```\n```\n", "output s comes before (or without) its script"),
        ("<!-- gen_docs: script s -->\n```\npass\n```\n", "script s has no output block"),
        ("<!-- gen_docs: shell -->\n```\n$ pwd\n```\n", "the output of `pwd` names a path of this machine"),
    ],
)
def test_a_mark_that_cannot_be_filled_is_named_and_nothing_written(tmp_path, text, message):
    doc = tmp_path / "doc.md"
    doc.write_text(text, encoding="utf-8")
    proc = _tool(str(doc))
    assert proc.returncode == 2 and proc.stderr.startswith(f"gen_docs: {doc}: ") and message in proc.stderr
    assert doc.read_text(encoding="utf-8") == text
