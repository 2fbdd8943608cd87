// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "paths.hpp"

#include "binder.hpp"
#include "py_ref.hpp"

namespace taglex::py {

PyResult<std::string> fs_path_bytes(PyObject* path) {
  PyRef fspath = steal(PyOS_FSPath(path));
  if (!fspath) return Err{PythonError::fetch()};
  if (!PyUnicode_Check(fspath.get())) return Err{cast_error(fspath.get(), &PyUnicode_Type)};
  PyRef encoded = steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) return Err{PythonError::fetch()};
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return Err{PythonError::fetch()};
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace taglex::py
