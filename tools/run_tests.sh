#!/usr/bin/env bash
# Runs every test of the project, on a fresh Debian 12 or 13 machine too:
#
#   bash tools/run_tests.sh
#
# 1. Checks what the build and the tests need: g++, CMake, make or Ninja,
#    GoogleTest, clang with its sanitizer and fuzzer runtimes, and CPython
#    3.13 with its headers and venv support. Run as root, it installs the
#    missing Debian packages with apt-get; otherwise it lists them, says how
#    to install them and stops, before building anything.
# 2. Makes a virtual environment (.venv-test) with CPython 3.13 and installs
#    the package into it with pip install '.[test]'.
# 3. Runs the C++ tests of the dictionary library, the same tests under
#    AddressSanitizer and UndefinedBehaviorSanitizer (tools/sanitize.sh), a
#    short fuzz run (tools/fuzz.sh), pytest (including the slow build of a
#    wheel from the sdist, and tests/test_docs.py, which runs
#    tools/gen_docs.py --check), mypy --strict and stubtest.
#
# Environment:
#   PYTHON        an interpreter that already has the package and its test
#                 extra installed (pip install '.[test]', or an editable
#                 install): skips step 2 and tests that environment
#   PYTHON313     the CPython 3.13 to make the virtual environment with
#                 (default: pyenv's 3.13, else /usr/bin/python3.13)
#   VENV          the virtual environment's folder (default: .venv-test)
#   INSTALL_DEPS  0: never call apt-get, only check (default: 1 as root)
#   FUZZ_SECONDS  length of the fuzz run (default: 60)
#   JOBS          parallel build and test jobs (default: 2)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
export JOBS
VENV=${VENV:-.venv-test}
started=$(date +%s)

say() { printf '%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }

# The last line of the run names every stage and its result, so that a
# failure that ends the run early (set -e) shows which stages did not run.
STAGES=(setup "C++ tests" sanitizers fuzz pytest mypy stubtest)
declare -A RESULT=()
current=""
begin() { current=$1; }            # the stage that is running
done_stage() { RESULT[$current]=passed; current=""; }
summary() {
  local status=$1 line="" name
  [ -z "$current" ] || RESULT[$current]=FAILED
  for name in "${STAGES[@]}"; do line+="$name ${RESULT[$name]:-not run}, "; done
  printf '\n== %s: %s\n' "$([ "$status" = 0 ] && echo passed || echo FAILED)" "${line%, }"
  exit "$status"
}
trap 'summary $?' EXIT
begin setup

# --- 1. what the run needs ---------------------------------------------------

source tools/python313.sh

# Prints one line per missing piece: "debian-package<TAB>what is missing".
missing_pieces() {
  command -v g++ >/dev/null 2>&1 || printf 'g++\tthe C++ compiler g++\n'
  command -v cmake >/dev/null 2>&1 || printf 'cmake\tCMake\n'
  command -v make >/dev/null 2>&1 || command -v ninja >/dev/null 2>&1 \
    || printf 'ninja-build\ta build tool (Ninja or make)\n'
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] \
    || printf 'libgtest-dev\tGoogleTest (gtest/gtest.h)\n'
  local major rtdir
  # A clang++ that cannot report its version counts as missing.
  major=$(clang++ -dumpversion 2>/dev/null | cut -d. -f1) || true
  if [ -z "$major" ]; then
    printf 'clang\tclang++ (the sanitizer build and libFuzzer)\n'
    printf 'libclang-rt-N-dev\tclang'"'"'s sanitizer and fuzzer runtimes (N: the major version of clang)\n'
  else
    rtdir=$(clang++ -print-runtime-dir 2>/dev/null || true)
    if ! ls "$rtdir"/libclang_rt.fuzzer*.a "$rtdir"/../*/libclang_rt.fuzzer*.a >/dev/null 2>&1; then
      printf 'libclang-rt-%s-dev\tclang %s'"'"'s sanitizer and fuzzer runtimes (libclang_rt.fuzzer)\n' "$major" "$major"
    fi
  fi
  if [ -n "${PYTHON:-}" ]; then
    "$PYTHON" -c 'import taglex._taglex, pytest, hypothesis, mypy' 2>/dev/null \
      || printf -- '-\t%s cannot import taglex, pytest, hypothesis and mypy: run %s -m pip install ".[test]"\n' "$PYTHON" "$PYTHON"
    return 0
  fi
  local py
  if ! py=$(find_python313); then
    printf -- '-\tCPython 3.13: "pyenv install 3.13" (Debian 12), or "apt-get install python3.13 python3.13-dev python3.13-venv" (Debian 13), or set PYTHON313=/path/to/python3.13\n'
    return 0
  fi
  "$py" -c 'import ensurepip, venv' 2>/dev/null \
    || printf 'python3.13-venv\tvenv and ensurepip for %s\n' "$py"
  "$py" -c 'import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null \
    || printf 'python3.13-dev\tthe headers of %s (Python.h)\n' "$py"
}

missing=$(missing_pieces)
if [ -n "$missing" ]; then
  packages=$(printf '%s\n' "$missing" | cut -f1 | grep -v '^-$' | sort -u | tr '\n' ' ' || true)
  if [ "$(id -u)" = 0 ] && [ "${INSTALL_DEPS:-1}" != 0 ] && [ -n "$packages" ] && command -v apt-get >/dev/null 2>&1; then
    step "installing Debian packages: $packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # libclang-rt-N-dev needs the clang it matches: install clang first.
    apt-get install -y -qq --no-install-recommends ${packages//libclang-rt-N-dev/} >/dev/null
    if [[ "$packages" == *libclang-rt-N-dev* ]]; then
      major=$(clang++ -dumpversion 2>/dev/null | cut -d. -f1) || true
      if [ -n "$major" ]; then
        apt-get install -y -qq --no-install-recommends "libclang-rt-${major}-dev" >/dev/null
      fi
    fi
    missing=$(missing_pieces)
  fi
fi
if [ -n "$missing" ]; then
  say "tools/run_tests.sh cannot run: missing"
  printf '%s\n' "$missing" | cut -f2 | sed 's/^/  - /'
  packages=$(printf '%s\n' "$missing" | cut -f1 | grep -v -e '^-$' -e '^libclang-rt-N-dev$' | sort -u | tr '\n' ' ' || true)
  if [ -n "$packages" ]; then
    say "Install them (as root, or run this script as root to let it do so):"
    say "  apt-get update && apt-get install --no-install-recommends ${packages% }"
  fi
  if [[ "$missing" == libclang-rt-N-dev* || "$missing" == *$'\n'libclang-rt-N-dev* ]]; then
    say "  apt-get install --no-install-recommends \"libclang-rt-\$(clang++ -dumpversion | cut -d. -f1)-dev\""
  fi
  exit 1
fi

# --- 2. the package, in a virtual environment ---------------------------------

if [ -z "${PYTHON:-}" ]; then
  py313=$(find_python313)
  step "installing the package into $VENV with $py313 ($("$py313" --version))"
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    "$py313" -m venv --clear "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q '.[test]'
  PYTHON=$VENV/bin/python
fi
export PYTHON
say "testing with $PYTHON ($("$PYTHON" --version)), taglex $("$PYTHON" -c 'import taglex; print(taglex.__version__)')"

done_stage

# --- 3. the tests -------------------------------------------------------------

begin "C++ tests"
step "C++ tests"
cmake -S . -B build/cpp -DTAGLEX_WERROR=ON -DTAGLEX_BUILD_TESTS=ON -DTAGLEX_BUILD_PYTHON=OFF >/dev/null
cmake --build build/cpp -j "$JOBS"
ctest --test-dir build/cpp --output-on-failure -j "$JOBS"
done_stage

begin sanitizers
bash tools/sanitize.sh
done_stage
begin fuzz
bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"
done_stage

# pytest's own exit status stands: 5 (no tests collected) fails the run too.
# The slow tests (a wheel built from the sdist), which a plain pytest leaves
# out, run here too.
begin pytest
step "Python tests"
"$PYTHON" -m pytest -q -p no:cacheprovider -m "slow or not slow" tests
done_stage

begin mypy
step "mypy --strict -p taglex"
"$PYTHON" -m mypy --strict -p taglex
done_stage

begin stubtest
step "stubtest taglex._taglex taglex._core"
"$PYTHON" -m mypy.stubtest taglex._taglex taglex._core
done_stage

step "all tests passed in $(($(date +%s) - started))s"
