# Sourced: the free-threaded CPython 3.13 (configured with --disable-gil),
# built from Debian trixie's python3.13 source package (the upstream
# tarball in it, without Debian's patches) and kept in
# $(taglex_cache)/python3.13t. Built again only when trixie's version changes.
#
#   python313t_ensure   build it if needed; sets PYTHON313T to its python3.13t
#
# Needs root on Debian (the build dependencies come from apt) and about two
# minutes of both cores for the build.

python313t_ensure() {
  need_root_on_debian
  local cache version prefix
  cache=$(taglex_cache)
  version=$(trixie_apt -qq --no-install-recommends source --print-uris python3.13 2>/dev/null \
    | sed -nE "s/^'[^']*' python3\.13_([0-9.]+)\.orig\.tar\.xz .*/\1/p")
  [ -n "$version" ] || { echo "no python3.13 source package found in trixie" >&2; return 1; }
  prefix="$cache/python3.13t/$version"
  PYTHON313T="$prefix/bin/python3.13t"
  if [ -x "$PYTHON313T" ] && [ -f "$prefix/.taglex-done" ]; then
    return 0
  fi
  host_packages gcc make xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
  step "building CPython $version with --disable-gil from Debian's python3.13 source package"
  local work="$cache/python3.13t/build" started=$SECONDS
  rm -rf --one-file-system "$work" "$prefix"
  mkdir -p "$work"
  (cd "$work" && trixie_apt -qq source --download-only python3.13 >/dev/null)
  tar -xf "$work/python3.13_$version.orig.tar.xz" -C "$work"
  (
    cd "$work/Python-$version"
    ./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install >../configure.log 2>&1
    make -s -j"${JOBS:-2}" >../make.log 2>&1
    make -s install >../install.log 2>&1
  ) || {
    tail -n 30 "$work"/*.log >&2
    echo "building the free-threaded CPython failed (logs in $work)" >&2
    return 1
  }
  "$PYTHON313T" -c 'import sys, sysconfig, ssl, zlib, ctypes
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()'
  touch "$prefix/.taglex-done"
  rm -rf --one-file-system "$work"
  echo "CPython $version (free-threaded) built in $((SECONDS - started)) s: $PYTHON313T"
}
