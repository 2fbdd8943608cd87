"""tools/check_wheels.py, on small wheels holding shared objects compiled here:
it passes a module that keeps to its tag and names each way one does not."""

from __future__ import annotations

import platform
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
ARCH = platform.machine()
CC = shutil.which("cc") or shutil.which("gcc")
pytestmark = pytest.mark.skipif(
    CC is None or shutil.which("objdump") is None or ARCH not in ("x86_64", "aarch64"),
    reason="needs a C compiler, objdump and an x86_64 or aarch64 machine",
)
pytest.importorskip("auditwheel")

MODULE = """
#define EXPORT __attribute__((visibility("default")))
EXPORT void *PyInit_good(void) { return 0; }
"""
# fstat is GLIBC_2.33 wherever glibc is 2.33 or newer (Debian 12 and later).
NEW_SYMBOL = """
#include <sys/stat.h>
#define EXPORT __attribute__((visibility("default")))
EXPORT void *PyInit_good2(void) { struct stat st; return fstat(0, &st) ? 0 : (void *)1; }
"""
EXTRA_EXPORT = MODULE + "EXPORT int helper(void) { return 1; }\n"


def build_so(tmp_path: Path, source: str) -> bytes:
    c, so = tmp_path / "m.c", tmp_path / "m.so"
    c.write_text(source)
    subprocess.run([CC, "-shared", "-fPIC", "-O1", "-fvisibility=hidden", str(c), "-o", str(so)],
                   check=True)
    return so.read_bytes()


def make_wheel(tmp_path: Path, tag: str, files: dict[str, bytes]) -> Path:
    wheel = tmp_path / f"good-1.0-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
    return wheel


def check(tmp_path: Path, wheel: Path) -> subprocess.CompletedProcess:
    sdist = tmp_path / "good-1.0.tar.gz"
    (tmp_path / "LICENSE").write_text("MIT\n")
    with tarfile.open(sdist, "w:gz") as t:
        t.add(tmp_path / "LICENSE", "good-1.0/LICENSE")
    return subprocess.run([sys.executable, str(ROOT / "tools" / "check_wheels.py"), str(sdist),
                           str(wheel)], capture_output=True, text=True)


LICENSE = {"good-1.0.dist-info/licenses/LICENSE": b"MIT\n"}
TAG = f"cp313-cp313-manylinux2014_{ARCH}.manylinux_2_17_{ARCH}"
SUFFIX = f".cpython-313-{ARCH}-linux-gnu.so"


def test_a_module_that_keeps_to_its_tag_passes(tmp_path):
    wheel = make_wheel(tmp_path, TAG, {f"good{SUFFIX}": build_so(tmp_path, MODULE), **LICENSE})
    done = check(tmp_path, wheel)
    assert done.returncode == 0, done.stderr
    assert f"good{SUFFIX}" in done.stdout and "exports PyInit_good" in done.stdout


@pytest.mark.parametrize(
    ("case", "problem"),
    [
        ("new glibc", f"good2{SUFFIX}: needs GLIBC 2.33, newer than manylinux_2_17 allows"),
        ("extra export", f"good{SUFFIX}: exports ['PyInit_good', 'helper'], not just PyInit_good"),
        ("free-threaded tag", f"suffix .cpython-313-{ARCH}-linux-gnu.so, the cp313t interpreter "
                              f"imports .cpython-313t-{ARCH}-linux-gnu.so"),
        ("other architecture", "built for"),
        ("no license", "license files [], the sdist has ['LICENSE']"),
        ("plain linux tag", f"linux_{ARCH} is not a manylinux tag"),
    ],
)
def test_each_departure_from_the_tag_is_named(tmp_path, case, problem):
    source = {"new glibc": NEW_SYMBOL, "extra export": EXTRA_EXPORT}.get(case, MODULE)
    name = "good2" if case == "new glibc" else "good"
    files = {f"{name}{SUFFIX}": build_so(tmp_path, source), **LICENSE}
    tag = TAG
    if case == "free-threaded tag":
        tag = TAG.replace("cp313-cp313-", "cp313-cp313t-")
    elif case == "other architecture":
        other = "aarch64" if ARCH == "x86_64" else "x86_64"
        tag = f"cp313-cp313-manylinux_2_17_{other}"
        files = {f"good.cpython-313-{other}-linux-gnu.so": files[f"good{SUFFIX}"], **LICENSE}
    elif case == "no license":
        del files["good-1.0.dist-info/licenses/LICENSE"]
    elif case == "plain linux tag":
        tag = f"cp313-cp313-linux_{ARCH}"
    done = check(tmp_path, make_wheel(tmp_path, tag, files))
    assert done.returncode == 1
    assert problem in done.stderr, done.stderr
