#!/usr/bin/env bash
# Runs the pytest suite on CPython 3.14 and 3.15, Debian sid's, in a chroot
# made by tools/sid_chroot.sh (kept in the cache folder between runs).
#
#   bash tools/test_sid.sh            # 3.14, then 3.15
#   bash tools/test_sid.sh 3.15       # one of them
#
# Each version gets a virtual environment in the chroot. It installs the
# wheel that tools/build_wheels.sh left in dist/ for that version, with the
# test extra; without one it builds the package from this checkout with the
# chroot's g++, and says so. Needs root (see tools/machine.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/machine.sh
source tools/sid_chroot.sh

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)
sid_ensure

status=0
for v in "${versions[@]}"; do
  step "pytest on CPython $v (Debian sid chroot)"
  sid_run bash -s "$v" <<'EOF' || status=1
set -euo pipefail
v=$1
tag=cp${v/./}
venv=/opt/venv-$v
[ -x "$venv/bin/python" ] || "python$v" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip uninstall -q -y taglex 2>/dev/null || true
wheel=$(ls /work/src/dist/taglex-*-"$tag-$tag"-*x86_64.whl 2>/dev/null | head -n 1 || true)
if [ -n "$wheel" ]; then
  echo "installing $(basename "$wheel")"
  "$venv/bin/python" -m pip install -q "$wheel[test]"
else
  echo "no $tag wheel in dist/: building the package from the checkout with $(g++ --version | head -n 1)"
  "$venv/bin/python" -m pip install -q "/work/src[test]"
fi
cd /work/src
"$venv/bin/python" -c 'import sys, taglex; print(sys.version.split()[0], "taglex", taglex.__version__, taglex.__file__)'
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests
EOF
done
exit $status
