// A Python exception held as a value, so that the module's own functions can
// return failures (Result<T, PyErr>) instead of leaving them pending in the
// interpreter until the entry point hands them over.
//
// An exception is either lazy (a class and a message `str`, turned into an
// exception object by the interpreter only when it is raised) or materialised
// (an exception object taken from the interpreter).
#pragma once

#include <string_view>
#include <utility>
#include <variant>

#include "py_ref.hpp"
#include "taglex/result.hpp"

namespace taglex::py {

class PyErr {
 public:
  // Takes the interpreter's current exception. If none is set (a C API
  // function failed without saying why), a SystemError stands in for it.
  static PyErr fetch() noexcept;

  // An exception of class `type` with the single argument `message`. If the
  // message cannot be made into a `str`, the result is the exception that
  // creating it raised.
  static PyErr lazy(PyObject* type, std::string_view message) noexcept;
  static PyErr lazy(PyObject* type, PyRef message) noexcept;

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  // The exception object; a lazy exception is constructed now. Never null.
  PyObject* value() noexcept;

  // Sets this exception as the interpreter's current exception.
  void restore() && noexcept;

 private:
  struct Lazy {
    PyRef type;
    PyRef message;
  };
  explicit PyErr(Lazy lazy) noexcept : state_(std::move(lazy)) {}
  explicit PyErr(PyRef value) noexcept : state_(std::move(value)) {}

  std::variant<Lazy, PyRef> state_;
};

template <class T>
using PyResult = taglex::Result<T, PyErr>;

// Success without a value.
struct Ok {};
using PyStatus = PyResult<Ok>;

}  // namespace taglex::py
