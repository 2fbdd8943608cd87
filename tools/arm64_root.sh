# Sourced: a root of Debian trixie's arm64 packages for CPython 3.13 (python3.13
# and python3.13-venv with everything they depend on, and libpython3.13-dev),
# each unpacked with dpkg-deb -x, kept in $(taglex_cache)/arm64-trixie and
# made again when trixie's versions change. Nothing in it is run on the host:
# qemu-aarch64-static -L "$ARM64_ROOT" runs its programs.
#
#   arm64_root_ensure   make or reuse the root; sets
#     ARM64_ROOT          the root (its interpreter: $ARM64_ROOT/usr/bin/python3.13)
#     ARM64_CROSS         a folder for cross-compiling CPython 3.13 modules:
#                         include/python3.13 (the headers, with the aarch64
#                         pyconfig.h) and the aarch64 _sysconfigdata module
#     ARM64_SYSCONFIGDATA that module's name
#   arm64_venv DIR      a virtual environment of that interpreter whose
#                       bin/python is a host script running it under qemu, so
#                       that sys.executable (and whatever a test starts with
#                       it) runs too; qemu has no binfmt_misc entry here
#   arm64_pip_install HOST_PYTHON DIR PIP-ARGS...
#                       installs arm64 wheels into DIR with the host's pip

ARM64_SYSCONFIGDATA=_sysconfigdata__linux_aarch64-linux-gnu

arm64_root_ensure() {
  need_root_on_debian
  host_packages qemu-user-static
  local cache uris wanted
  cache=$(taglex_cache)
  ARM64_ROOT=$cache/arm64-trixie/root
  ARM64_CROSS=$cache/arm64-trixie/cross
  # The packages and versions apt would fetch now, as the root's stamp.
  uris=$(trixie_apt -qq --no-install-recommends install --download-only --print-uris -y \
    python3.13 python3.13-venv | grep -o "'[^']*\.deb'" | tr -d "'" | sort) || return 1
  uris+=$'\n'$(trixie_apt -qq download --print-uris libpython3.13-dev | grep -o "'[^']*\.deb'" | tr -d "'")
  [ -n "$uris" ] || { echo "apt found no arm64 python3.13 in trixie" >&2; return 1; }
  wanted=$(printf '%s\n' "$uris" | sed 's|.*/||')
  if [ -f "$ARM64_ROOT/.taglex-debs" ] && [ "$(cat "$ARM64_ROOT/.taglex-debs")" = "$wanted" ] \
    && [ -f "$ARM64_CROSS/include/python3.13/Python.h" ]; then
    return 0
  fi
  step "unpacking Debian trixie's arm64 python3.13 into $ARM64_ROOT"
  local debs="$cache/arm64-trixie/debs" deb
  rm -rf --one-file-system "$ARM64_ROOT" "$ARM64_CROSS" "$debs"
  mkdir -p "$ARM64_ROOT" "$debs" "$ARM64_CROSS/include"
  (
    cd "$debs"
    trixie_apt -qq --no-install-recommends install --download-only -y \
      -o "Dir::Cache::Archives=$debs" python3.13 python3.13-venv >/dev/null
    trixie_apt -qq download libpython3.13-dev >/dev/null
  )
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$ARM64_ROOT"
  done
  # trixie merges /bin, /sbin and /lib into /usr; the symlinks come from a
  # maintainer script, which is not run here.
  local d
  for d in bin sbin lib; do
    [ -e "$ARM64_ROOT/$d" ] || ln -s "usr/$d" "$ARM64_ROOT/$d"
  done
  cp -r "$ARM64_ROOT/usr/include/python3.13" "$ARM64_CROSS/include/"
  cp "$ARM64_ROOT/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h" "$ARM64_CROSS/include/python3.13/"
  cp "$ARM64_ROOT/usr/lib/python3.13/$ARM64_SYSCONFIGDATA.py" "$ARM64_CROSS/"
  printf '%s\n' "$wanted" >"$ARM64_ROOT/.taglex-debs"
  rm -rf "$debs"
  echo "$(printf '%s\n' "$wanted" | wc -l) packages, $(du -sh "$ARM64_ROOT" | cut -f1)"
}

arm64_venv() {
  local dir=$1
  rm -rf --one-file-system "$dir"
  mkdir -p "$dir/bin" "$dir/lib/python3.13/site-packages"
  printf 'home = %s/usr/bin\ninclude-system-site-packages = false\n' "$ARM64_ROOT" >"$dir/pyvenv.cfg"
  # -0 "$0": the interpreter's argv[0] is this script, so it finds pyvenv.cfg
  # beside it and sys.executable names the script.
  printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" -0 "$0" "%s/usr/bin/python3.13" "$@"\n' \
    "$ARM64_ROOT" "$ARM64_ROOT" >"$dir/bin/python"
  chmod +x "$dir/bin/python"
  ln -s python "$dir/bin/python3"
  ln -s python "$dir/bin/python3.13"
}

arm64_pip_install() {
  local host_python=$1 dir=$2
  shift 2
  "$host_python" -m pip install -q --root-user-action=ignore --only-binary=:all: \
    --platform manylinux2014_aarch64 \
    --python-version 3.13 --implementation cp --abi cp313 \
    --target "$dir/lib/python3.13/site-packages" "$@"
}
