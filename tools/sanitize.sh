#!/usr/bin/env bash
# Builds the C++ tests of the dictionary library with AddressSanitizer (and
# LeakSanitizer) plus UndefinedBehaviorSanitizer, then runs them with ctest.
# Any report fails the run: UBSan does not recover, ASan aborts on the first
# error, LSan fails the test that leaked.
#
#   bash tools/sanitize.sh                 # the C++ tests
#   bash tools/sanitize.sh --python [ARGS] # also the extension module
#
# With --python the extension module is built the same way (with g++, whose
# libasan is preloaded into the interpreter) and the Python hardening tests
# (robustness, panic, threads, leaks) run against it; ARGS, if given, are
# passed to pytest instead of that list of test files (ASAN_QUARANTINE_MB=0
# then turns ASan's quarantine off, which resident-memory checks need). The interpreter runs with -S so that an editable
# install of the package cannot shadow the instrumented build.
#
# Environment:
#   CXX        compiler for the C++ tests (default: clang++ if present, else g++)
#   BUILD_DIR  build folder (default: build/asan; the module goes to BUILD_DIR/python-module)
#   JOBS       parallel build and test jobs (default: 2)
#   PYTHON     interpreter with pytest and hypothesis, for --python (default: the
#              first that has them of the active virtual environment's, the
#              test command's .venv-test, python3.13 and python)
set -euo pipefail
cd "$(dirname "$0")/.."

with_python=0
if [ "${1:-}" = "--python" ]; then
  with_python=1
  shift
fi

# With --python, find the interpreter before building anything.
if [ "$with_python" = 1 ]; then
  if [ -z "${PYTHON:-}" ]; then
    for candidate in "${VIRTUAL_ENV:+$VIRTUAL_ENV/bin/python}" .venv-test/bin/python python3.13 python; do
      if [ -n "$candidate" ] && "$candidate" -c 'import pytest, hypothesis' 2>/dev/null; then
        PYTHON=$candidate
        break
      fi
    done
  fi
  if [ -z "${PYTHON:-}" ] || ! "$PYTHON" -c 'import sys, pytest, hypothesis; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    echo "tools/sanitize.sh --python needs CPython 3.13 with pytest and hypothesis: activate" >&2
    echo "a virtual environment that has them (pip install '.[test]'), run tools/run_tests.sh" >&2
    echo "once (it makes .venv-test), or set PYTHON=/path/to/python" >&2
    exit 1
  fi
fi

BUILD_DIR=${BUILD_DIR:-build/asan}
JOBS=${JOBS:-2}
if [ -z "${CXX:-}" ]; then
  if command -v clang++ >/dev/null 2>&1; then CXX=clang++; else CXX=g++; fi
fi
case "$CXX" in
  *clang++*) CC=${CC:-${CXX/clang++/clang}} ;;
  *g++*) CC=${CC:-${CXX/g++/gcc}} ;;
  *) CC=${CC:-cc} ;;
esac
export CC CXX

ninja_if_new() {
  if command -v ninja >/dev/null 2>&1 && [ ! -f "$1/Makefile" ]; then echo "-GNinja"; fi
}

echo "== sanitizer build ($CXX, address,undefined) in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" $(ninja_if_new "$BUILD_DIR") \
  -DCMAKE_BUILD_TYPE=Debug \
  -DTAGLEX_SANITIZE=address,undefined \
  -DTAGLEX_WERROR=ON \
  -DTAGLEX_BUILD_TESTS=ON \
  -DTAGLEX_BUILD_PYTHON=OFF \
  -DTAGLEX_FUZZ=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"

# halt_on_error makes ASan's first report fatal; UBSan prints a stack and
# exits non-zero (the code is built with -fno-sanitize-recover).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== ctest under ASan + UBSan"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"

[ "$with_python" = 1 ] || exit 0

# --- the extension module under ASan + UBSan ------------------------------------
PY_BUILD="$BUILD_DIR/python-module"
echo "== sanitizer build of the extension module (g++) in $PY_BUILD"
CC=gcc CXX=g++ cmake -S . -B "$PY_BUILD" $(ninja_if_new "$PY_BUILD") \
  -DCMAKE_BUILD_TYPE=Debug \
  -DTAGLEX_SANITIZE=address,undefined \
  -DTAGLEX_WERROR=ON \
  -DTAGLEX_BUILD_TESTS=OFF \
  -DTAGLEX_BUILD_PYTHON=ON \
  -DTAGLEX_FUZZ=OFF \
  -DPython_EXECUTABLE="$(realpath "$(command -v "$PYTHON")")" >/dev/null
cmake --build "$PY_BUILD" -j "$JOBS" --target _taglex

# The package as the tests import it: the Python sources and the instrumented
# module side by side.
stage="$PY_BUILD/stage"
rm -rf "$stage"
mkdir -p "$stage/taglex"
cp -r python/taglex/. "$stage/taglex/"
rm -f "$stage"/taglex/_taglex*.so
cp "$PY_BUILD"/bindings/_taglex*.so "$stage/taglex/"
site_packages=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')

sanitized_python() {
  # $1: ASan quarantine in MB ("" for ASan's default); the rest: arguments.
  local quarantine=$1
  shift
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1${quarantine:+:quarantine_size_mb=$quarantine}" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$stage:$site_packages:$PWD/tests" \
    "$PYTHON" -S "$@"
}

# The interpreter itself is not instrumented and keeps memory alive at exit,
# so leak detection stays off here (the C++ tests above cover the library).
sanitized_python "" -c 'import sys, taglex._taglex as m
assert m.__file__.startswith(sys.argv[1]), "not the instrumented module: " + m.__file__' \
  "$(cd "$stage" && pwd)"
if [ "$#" -gt 0 ]; then
  echo "== Python tests against the instrumented module: $*"
  sanitized_python "${ASAN_QUARANTINE_MB:-}" -m pytest -q -p no:cacheprovider "$@"
  exit
fi
echo "== Python hardening tests against the instrumented module"
sanitized_python "" -m pytest -q -p no:cacheprovider \
  tests/test_robustness.py tests/test_panic.py tests/test_threads.py
# The leak tests watch resident memory, which cannot tell ASan's quarantine
# of freed blocks from a leak: they run with the quarantine off.
sanitized_python 0 -m pytest -q -p no:cacheprovider tests/test_leaks.py
