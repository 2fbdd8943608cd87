// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "python_error.hpp"

namespace taglex::py {

PythonError PythonError::fetch() noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    raised = PyErr_GetRaisedException();
  }
  return PythonError(steal(raised));
}

PythonError PythonError::lazy(PyObject* type, std::string_view message) noexcept {
  return lazy(type, new_str(message));
}

PythonError PythonError::lazy(PyObject* type, PyRef message) noexcept {
  if (!message) return fetch();
  return PythonError(Lazy{borrow(type), std::move(message)});
}

PyObject* PythonError::value() noexcept {
  if (auto* lazy = std::get_if<Lazy>(&state_)) {
    PyErr_SetObject(lazy->type.get(), lazy->message.get());
    PyObject* raised = PyErr_GetRaisedException();
    // Setting an exception always leaves one pending (if constructing the
    // object failed, the failure's own exception); fetch() covers the rest.
    if (raised != nullptr) {
      state_ = steal(raised);
    } else {
      *this = fetch();
    }
  }
  return std::get_if<PyRef>(&state_)->get();
}

void PythonError::restore() && noexcept {
  if (auto* lazy = std::get_if<Lazy>(&state_)) {
    PyErr_SetObject(lazy->type.get(), lazy->message.get());
  } else {
    PyErr_SetRaisedException(std::get_if<PyRef>(&state_)->release());
  }
}

}  // namespace taglex::py
