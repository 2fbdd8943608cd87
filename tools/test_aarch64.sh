#!/usr/bin/env bash
# Tests the aarch64 wheel that tools/build_wheels.sh left in dist/ on an arm64
# CPython 3.13 (Debian trixie's packages, unpacked by tools/arm64_root.sh),
# run under qemu-aarch64-static on this x86_64 machine:
#
#   bash tools/build_wheels.sh && bash tools/test_aarch64.sh
#   bash tools/test_aarch64.sh tests     # other pytest arguments, here the whole
#                                        # suite (about 45 minutes under qemu)
#
# Installs the wheel with pytest, hypothesis and pydicom (arm64 wheels, put
# in place by the host's pip) into build/venv-aarch64, runs the smoke test
# and then the tests of the extension modules: argument conversion, lookups,
# opening and validation, the modules themselves, the threads, the forms of a
# tag and the native core's answers (about five minutes; emulation makes each test 10 to 30 times slower). Needs root
# (see tools/machine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh
source tools/machine.sh
source tools/arm64_root.sh

wheel=$(ls dist/taglex-*-cp313-cp313-*aarch64.whl 2>/dev/null | head -n 1 || true)
[ -n "$wheel" ] || cannot_run "no cp313 aarch64 wheel in dist/: run tools/build_wheels.sh first"
host_python=$(find_python313) || cannot_run "no CPython 3.13 on the host for pip (set PYTHON313)"
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests/test_binding.py tests/test_lookup.py tests/test_open.py
  tests/test_module.py tests/test_threads.py tests/test_tags.py tests/test_core_answers.py)

arm64_root_ensure
venv=build/venv-aarch64
step "$(basename "$wheel") into $venv (CPython $(sed -n 's/^python3.13-minimal_\([^_]*\)_.*/\1/p' "$ARM64_ROOT/.taglex-debs" | sed 's/%2b/+/g') for arm64 under qemu-aarch64-static)"
arm64_venv "$venv"
arm64_pip_install "$host_python" "$venv" "$wheel" pytest hypothesis pydicom==3.0.2
version=$(sed -nE 's/^project\(taglex VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)

step "smoke test"
mkdir -p build/empty
(cd build/empty && "../../$venv/bin/python" ../../tools/smoke_wheel.py "$version")

step "pytest under qemu: ${args[*]}"
started=$SECONDS
"$venv/bin/python" -m pytest -q -p no:cacheprovider -m 'not slow' "${args[@]}"
echo "pytest under qemu took $((SECONDS - started)) s"
