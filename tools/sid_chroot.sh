# Sourced: a Debian sid chroot with CPython 3.14 and 3.15, g++, CMake and
# Ninja, made by debootstrap and kept in $(taglex_cache)/sid (made again when
# it is older than two weeks or its package list changed).
#
#   sid_ensure        make the chroot if it is missing or stale; sets SID_ROOT
#   sid_run CMD...    run CMD in it, as root, in a private mount and PID
#                     namespace with /proc and the host's /dev mounted, this checkout copied to
#                     /work/src (and ../shared, if present, bound read-only at
#                     /work/shared). Mounts and processes end with CMD.
#
# Needs root, debootstrap (installed when missing) and Debian's archive.

SID_PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,cmake,ninja-build,ca-certificates
SID_MAX_AGE_DAYS=14

sid_ensure() {
  need_root_on_debian
  SID_ROOT=$(taglex_cache)/sid
  local stamp="$SID_ROOT/.taglex-sid"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$SID_PACKAGES" ] \
    && [ -z "$(find "$stamp" -mtime +"$SID_MAX_AGE_DAYS")" ]; then
    return 0
  fi
  host_packages debootstrap
  step "debootstrap: Debian sid into $SID_ROOT"
  local new="$SID_ROOT.new" started=$SECONDS
  # Nothing is ever mounted under these folders outside a namespace of
  # sid_run, and --one-file-system keeps rm on this file system regardless.
  rm -rf --one-file-system "$new"
  if ! debootstrap --variant=minbase --include="$SID_PACKAGES" sid "$new" http://deb.debian.org/debian \
    >"$new.log" 2>&1; then
    tail -n 30 "$new.log" >&2
    echo "debootstrap of sid failed (log: $new.log)" >&2
    return 1
  fi
  rm -rf "$new/var/cache/apt/archives/"*.deb
  printf '%s\n' "$SID_PACKAGES" >"$new/.taglex-sid"
  rm -rf --one-file-system "$SID_ROOT"
  mv "$new" "$SID_ROOT"
  rm -f "$new.log"
  echo "sid chroot made in $((SECONDS - started)) s"
}

sid_run() {
  local src=/work/src
  rm -rf --one-file-system "$SID_ROOT$src"
  mkdir -p "$SID_ROOT$src" "$SID_ROOT/work/shared"
  # The checkout without its build products, virtual environments and wheels.
  tar -c --exclude-vcs --exclude='./build*' --exclude='./.venv*' --exclude=./dist \
    --exclude='__pycache__' --exclude='*.so' . | tar -x -C "$SID_ROOT$src"
  [ -d dist ] && cp -r dist "$SID_ROOT$src/dist"
  # pip needs the host's name servers and certificate authorities.
  cp /etc/resolv.conf "$SID_ROOT/etc/resolv.conf"
  cp /etc/ssl/certs/ca-certificates.crt "$SID_ROOT/etc/ssl/host-ca.crt"
  local shared=""
  [ -d ../shared ] && shared=$(cd ../shared && pwd)
  unshare --mount --pid --fork --propagation private \
    bash -c 'set -e
      root=$1; shared=$2; shift 2
      mount -t proc proc "$root/proc"
      mount --rbind /dev "$root/dev"
      if [ -n "$shared" ]; then mount --bind -o ro "$shared" "$root/work/shared"; fi
      exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
        SSL_CERT_FILE=/etc/ssl/host-ca.crt PIP_CERT=/etc/ssl/host-ca.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 JOBS="${JOBS:-2}" \
        "$@"' \
    sid_run "$SID_ROOT" "$shared" "$@"
}
