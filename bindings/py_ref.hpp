// Owned references to Python objects.
//
// A PyRef owns one strong reference and drops it when it goes out of scope,
// so that every early return and every C++ exception on the way to the entry
// point's boundary leaves the reference counts right.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

namespace taglex::py {

struct Decref {
  void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};

using PyRef = std::unique_ptr<PyObject, Decref>;

// Takes over a new reference (may be null: the result is then empty).
inline PyRef steal(PyObject* o) noexcept { return PyRef(o); }

// Adds a reference to a borrowed, non-null object.
inline PyRef borrow(PyObject* o) noexcept { return PyRef(Py_NewRef(o)); }

// A new `str` from UTF-8 text; empty with a Python exception set on failure.
inline PyRef new_str(std::string_view text) noexcept {
  return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace taglex::py
