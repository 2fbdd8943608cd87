#include "py_err.hpp"

namespace taglex::py {

PyErr PyErr::fetch() noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    raised = PyErr_GetRaisedException();
  }
  return PyErr(steal(raised));
}

PyErr PyErr::lazy(PyObject* type, std::string_view message) noexcept {
  PyRef text =
      steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return fetch();
  return lazy(type, std::move(text));
}

PyErr PyErr::lazy(PyObject* type, PyRef message) noexcept {
  if (!message) return fetch();
  return PyErr(Lazy{borrow(type), std::move(message)});
}

PyObject* PyErr::value() noexcept {
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

void PyErr::restore() && noexcept {
  if (auto* lazy = std::get_if<Lazy>(&state_)) {
    PyErr_SetObject(lazy->type.get(), lazy->message.get());
  } else {
    PyErr_SetRaisedException(std::get_if<PyRef>(&state_)->release());
  }
}

}  // namespace taglex::py
