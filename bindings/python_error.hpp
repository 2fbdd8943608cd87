// A Python exception held as a value, so that the module's own functions can
// return failures (Result<T, PythonError>) instead of leaving them pending in the
// interpreter until the entry point hands them over.
//
// An exception is either lazy (a class and a message `str`, turned into an
// exception object by the interpreter only when it is raised) or materialised
// (an exception object taken from the interpreter).
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>
#include <variant>

#include "py_ref.hpp"
#include "taglex/result.hpp"

namespace taglex::py {

class PythonError {
 public:
  // Takes the interpreter's current exception. If none is set (a C API
  // function failed without saying why), a SystemError stands in for it.
  static PythonError fetch() noexcept;

  // An exception of class `type` with the single argument `message`. If the
  // message cannot be made into a `str`, the result is the exception that
  // creating it raised.
  static PythonError lazy(PyObject* type, std::string_view message) noexcept;
  static PythonError lazy(PyObject* type, PyRef message) noexcept;

  PythonError(PythonError&&) noexcept = default;
  PythonError& operator=(PythonError&&) noexcept = default;

  // The exception object; a lazy exception is constructed now. Never null.
  PyObject* value() noexcept;

  // Sets this exception as the interpreter's current exception.
  void restore() && noexcept;

 private:
  struct Lazy {
    PyRef type;
    PyRef message;
  };
  explicit PythonError(Lazy lazy) noexcept : state_(std::move(lazy)) {}
  explicit PythonError(PyRef value) noexcept : state_(std::move(value)) {}

  std::variant<Lazy, PyRef> state_;
};

template <class T>
using PyResult = taglex::Result<T, PythonError>;

// Success without a value.
struct Ok {};
using EmptyResult = PyResult<Ok>;

}  // namespace taglex::py
