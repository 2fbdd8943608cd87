"""The README's benchmark summary is generated from docs/benchmarks.md."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "readme_benchmarks.py"


def _tool(*argv: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(TOOL), *argv], capture_output=True, text=True, timeout=60, check=False
    )


def test_readme_summary_follows_the_report(tmp_path):
    assert _tool("--check").returncode == 0, "README.md differs from docs/benchmarks.md"

    readme, report = tmp_path / "README.md", tmp_path / "benchmarks.md"
    original = (ROOT / "README.md").read_text()
    readme.write_text(original)
    text = (ROOT / "docs" / "benchmarks.md").read_text()
    head, _, targets = text.partition("## Targets")
    row = next(line for line in targets.splitlines() if line.endswith("| met |"))
    changed = row.replace("| met |", "| **missed** |")
    report.write_text(head + "## Targets" + targets.replace(row, changed))
    paths = ("--readme", str(readme), "--report", str(report))

    proc = _tool("--check", *paths)
    assert proc.returncode == 1 and "out of date" in proc.stderr
    assert readme.read_text() == original  # --check writes nothing
    assert _tool(*paths).returncode == 0
    assert changed in readme.read_text() and row not in readme.read_text()
    assert _tool("--check", *paths).returncode == 0
