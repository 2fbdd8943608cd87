# Sourced by tools/run_tests.sh and tools/build_wheels.sh.
#
# find_python313 prints the CPython 3.13 (with the GIL) to build and test
# with: $PYTHON313 if set, else pyenv's 3.13, else Debian's
# /usr/bin/python3.13. Fails when there is none.
find_python313() {
  local c candidates
  if [ -n "${PYTHON313:-}" ]; then
    candidates=("$PYTHON313")
  else
    candidates=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13)
  fi
  for c in "${candidates[@]}"; do
    # The free-threaded build (3.13t) needs wheels of its own.
    if [ -x "$c" ] && "$c" -c 'import sys, sysconfig
assert sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED")' 2>/dev/null; then
      echo "$c"
      return 0
    fi
  done
  return 1
}
