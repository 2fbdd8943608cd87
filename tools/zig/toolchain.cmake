# CMake toolchain file: compile and link with zig cc / zig c++ (PyPI's
# ziglang) for the target in the environment variable TAGLEX_ZIG_TARGET,
# which names the architecture and the oldest glibc to run on:
#
#   x86_64-linux-gnu.2.17    manylinux2014 (manylinux_2_17) x86_64
#   aarch64-linux-gnu.2.17   manylinux2014 aarch64 (cross-compiled)
#
# TAGLEX_ZIG is the zig executable (python -c 'import ziglang, os;
# print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'). zig links
# its own libc++ and libc++abi statically and links against stubs of the
# chosen glibc, so the modules need nothing newer than that glibc and no
# libstdc++. Used by tools/build_wheels.sh through the CMAKE_TOOLCHAIN_FILE
# environment variable; nothing in the project's CMake files knows of it.
set(_taglex_zig_target "$ENV{TAGLEX_ZIG_TARGET}")
if(NOT _taglex_zig_target)
  message(FATAL_ERROR "toolchain.cmake: set TAGLEX_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17")
endif()
string(REGEX MATCH "^[^-]+" _taglex_zig_arch "${_taglex_zig_target}")
if(NOT _taglex_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${_taglex_zig_arch}")
  # Nothing built is run during the build. Told that it cross-compiles,
  # FindPython stops asking the interpreter it was given for the module
  # suffix (SOABI) and looks for the target's python-config instead, which
  # leaves the modules unsuffixed; tools/build_wheels.sh gives it an
  # interpreter that answers for the target (the host's CPython reading the
  # target's _sysconfigdata), so let FindPython ask it.
  set(CMAKE_CROSSCOMPILING FALSE)
endif()
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/zig-ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/zig-ranlib" CACHE FILEPATH "zig ranlib")
