#!/usr/bin/env bash
# Runs every test of the project: the C++ tests of the dictionary library
# (plain, then under AddressSanitizer and UndefinedBehaviorSanitizer), a short
# fuzz run of the library, then the Python tests against the installed
# package.
#
#   PYTHON=path/to/python bash tools/run_tests.sh
#
# PYTHON defaults to `python`; it must have the package installed
# (pip install '.[test]').
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}
JOBS=${JOBS:-2}

echo "== C++ tests"
cmake -S . -B build/cpp -DTAGLEX_WERROR=ON -DTAGLEX_BUILD_TESTS=ON -DTAGLEX_BUILD_PYTHON=OFF >/dev/null
cmake --build build/cpp -j "$JOBS"
ctest --test-dir build/cpp --output-on-failure -j "$JOBS"

bash tools/sanitize.sh
bash tools/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== Python tests"
"$PYTHON" -m pytest -q tests
