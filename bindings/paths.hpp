// File-system paths from Python objects.
#pragma once

#include <Python.h>

#include <string>

#include "python_error.hpp"

namespace taglex::py {

// The file-system path as bytes, from a `str` or a path-like object whose
// __fspath__ gives a `str`. Lone surrogates from undecodable names turn back
// into the bytes that they stand for. `bytes` paths are refused.
PyResult<std::string> fs_path_bytes(PyObject* path);

}  // namespace taglex::py
