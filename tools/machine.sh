# Sourced by the wheel and interpreter scripts (build_wheels.sh, sid_chroot.sh,
# python313t.sh, test_*.sh): the cache folder, Debian packages of the host,
# and a private apt for Debian trixie (arm64 packages and source packages)
# that leaves the host's own apt configuration alone.
#
# Environment:
#   TAGLEX_CACHE  where the slow things are kept between runs: the sid chroot,
#                 the free-threaded CPython, the arm64 root, trixie's package
#                 lists (default: /var/cache/taglex-ci, else
#                 ~/.cache/taglex-ci). Anything missing there is made again.

step() { printf '\n== %s\n' "$*"; }

# A stage that cannot run on this machine says why and exits with 77, which
# .ci/run reports as "could not run" rather than as a failure.
cannot_run() {
  printf '%s: cannot run: %s\n' "$(basename "$0")" "$*" >&2
  exit 77
}

taglex_cache() {
  local dir=${TAGLEX_CACHE:-}
  if [ -z "$dir" ]; then
    dir=/var/cache/taglex-ci
    mkdir -p "$dir" 2>/dev/null && [ -w "$dir" ] || dir=${XDG_CACHE_HOME:-$HOME/.cache}/taglex-ci
  fi
  mkdir -p "$dir"
  (cd "$dir" && pwd)
}

# Chroots, loop-free mounts and apt-get need root on Debian.
need_root_on_debian() {
  [ "$(id -u)" = 0 ] || cannot_run "needs root (chroot, mount namespaces and apt-get)"
  command -v apt-get >/dev/null && command -v dpkg-query >/dev/null \
    || cannot_run "needs a Debian host (apt-get, dpkg)"
  [ "$(uname -m)" = x86_64 ] || cannot_run "needs an x86_64 host, this is $(uname -m)"
}

# Installs the Debian packages among the arguments that are missing.
host_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} = 0 ] && return 0
  step "installing Debian packages on the host: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# trixie_apt APT-GET-ARGS...: apt-get on Debian trixie with its own sources,
# lists, cache and an empty package status, so that `install --download-only`
# fetches a package with everything it depends on. Binary packages are arm64;
# `source --download-only` fetches source packages.
trixie_apt() {
  local dir
  dir=$(taglex_cache)/apt-trixie
  mkdir -p "$dir"/lists/partial "$dir"/cache/archives/partial "$dir"/parts "$dir"/preferences.d
  : >"$dir/status"
  cat >"$dir/sources.list" <<'EOF'
deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main
EOF
  local opts=(
    -o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/parts"
    -o "Dir::Etc::Preferences=$dir/preferences" -o "Dir::Etc::PreferencesParts=$dir/preferences.d"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o "Dir::State::status=$dir/status"
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Debug::NoLocking=1
    -o APT::Sandbox::User=root
  )
  # Lists older than a day are read again (security updates change versions).
  if [ -z "$(find "$dir/lists" -maxdepth 1 -name '*_InRelease' -mtime -1 2>/dev/null)" ]; then
    apt-get "${opts[@]}" -qq update
  fi
  apt-get "${opts[@]}" "$@"
}
