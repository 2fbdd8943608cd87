"""The outputs and figures of README.md and docs/ are what the installed package prints."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "gen_docs.py"


def _tool(*argv: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(TOOL), *argv], capture_output=True, text=True, timeout=300, check=False
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
