"""The sdist holds everything a build needs, the version has one source, and
`import taglex` stays light (the optional pydicom stays optional)."""

from __future__ import annotations

import importlib.metadata
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import taglex

ROOT = Path(__file__).resolve().parents[1]
LICENSE_FILES = ["LICENSE", "THIRD_PARTY_NOTICES.md"] + sorted(
    p.relative_to(ROOT).as_posix() for p in (ROOT / "licenses").iterdir()
)


def cmake_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*taglex\s+VERSION\s+([0-9.]+)", text)
    assert match, "no project(taglex VERSION ...) in CMakeLists.txt"
    return match.group(1)


def test_installed_versions_come_from_cmake() -> None:
    version = cmake_version()
    assert importlib.metadata.version("taglex") == version
    assert taglex.__version__ == version


def test_import_taglex_loads_neither_pydicom_nor_typing() -> None:
    # pydicom is an optional extra, and `typing` alone would make the import
    # several times slower; both belong behind TYPE_CHECKING or inside the
    # functions that need them.
    code = "import sys, taglex; print(sorted({'pydicom', 'typing'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.slow
def test_wheel_builds_from_the_sdist_alone(tmp_path: Path) -> None:
    # Without --sdist or --wheel, `build` makes the sdist, unpacks it into a
    # temporary folder and builds the wheel from that copy, so a file the
    # build needs but the sdist lacks fails here.
    done = subprocess.run(
        [sys.executable, "-m", "build", "--no-isolation", "--outdir", str(tmp_path), str(ROOT)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    version = cmake_version()
    (sdist,) = tmp_path.glob(f"taglex-{version}.tar.gz")
    # Tagged for the interpreter that built it: cp314-cp314, cp313-cp313t, ...
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = python + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    (wheel,) = tmp_path.glob(f"taglex-{version}-{python}-{abi}-*.whl")

    with tarfile.open(sdist) as tar:
        in_sdist = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    assert set(LICENSE_FILES) <= in_sdist
    assert {"CMakeLists.txt", "pyproject.toml", "README.md", "CHANGELOG.md"} <= in_sdist
    assert not any(name.startswith("build/") for name in in_sdist)

    with zipfile.ZipFile(wheel) as whl:
        in_wheel = set(whl.namelist())
        metadata = whl.read(f"taglex-{version}.dist-info/METADATA").decode()
    assert {f"taglex-{version}.dist-info/licenses/{name}" for name in LICENSE_FILES} <= in_wheel
    assert {"taglex/data/dicom.tlex", "taglex/py.typed", "taglex/_taglex.pyi"} <= in_wheel
    assert f"taglex/_taglex{sysconfig.get_config_var('EXT_SUFFIX')}" in in_wheel
    assert f"\nVersion: {version}\n" in metadata
    assert "\nLicense-Expression: MIT\n" in metadata
