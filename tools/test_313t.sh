#!/usr/bin/env bash
# Runs the pytest suite on the free-threaded CPython 3.13 (3.13t) that
# tools/python313t.sh builds from Debian's python3.13 source package and
# keeps in the cache folder.
#
#   bash tools/test_313t.sh
#
# Installs the cp313t wheel that tools/build_wheels.sh left in dist/, or
# without one builds the package from this checkout with the host's g++.
# Checks that importing taglex leaves the GIL off, then runs the whole
# suite; the thread tests and the free-threaded checks of
# tests/test_threads.py must run, not skip. Dependencies come as wheels
# only (--only-binary=:all:): the newest hypothesis and mypy need Rust
# extensions that have no cp313t wheel, so pip takes older releases.
# Needs root (see tools/machine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/machine.sh
source tools/python313t.sh

python313t_ensure
venv=build/venv-313t
step "virtual environment $venv with $("$PYTHON313T" -VV | head -n 1)"
"$PYTHON313T" -m venv --clear "$venv"
py=$venv/bin/python
"$py" -m pip install -q --upgrade pip
wheel=$(ls dist/taglex-*-cp313-cp313t-*x86_64.whl 2>/dev/null | head -n 1 || true)
if [ -n "$wheel" ]; then
  echo "installing $(basename "$wheel")"
  "$py" -m pip install -q --only-binary=:all: "$wheel[test]"
else
  echo "no cp313t wheel in dist/: building the package from the checkout with $(g++ --version | head -n 1)"
  "$py" -m pip install -q --only-binary=:all: '.[test]'
fi
"$py" -m pip list 2>/dev/null | grep -iE '^(taglex|pytest|hypothesis|mypy|pydicom) ' | tr -s ' ' | sed 's/^/  /'

step "import taglex with the GIL left to the modules"
(cd build && env -u PYTHON_GIL "../$py" -c 'import sys, taglex, taglex._taglex
print("taglex", taglex.__version__, "from", taglex.__file__)
assert sys._is_gil_enabled() is False, "importing taglex turned the GIL on"
print("sys._is_gil_enabled() after import:", sys._is_gil_enabled())')

step "pytest on CPython 3.13t"
log=build/pytest-313t.log
env -u PYTHON_GIL "$py" -m pytest -q -p no:cacheprovider -rs tests | tee "$log"
if grep -E '^SKIPPED .*test_threads\.py' "$log"; then
  echo "test_threads.py skipped tests on the free-threaded interpreter" >&2
  exit 1
fi
