// The boundary between the interpreter and this module's own code.
//
// Every function that the interpreter calls (module exec, open, the methods
// and slots of Dict, deallocation) runs its body through one of the two
// helpers below, entry and entry_dealloc. The body reports an ordinary failure
// as a PythonError value; the helper sets it as the current exception and returns the entry point's
// failure value. Any C++ exception that escapes the body (an InternalError
// from the library, std::bad_alloc, anything else) is an internal failure: it
// becomes a pyo3_runtime.PanicException carrying the failure's message, and
// never unwinds into the interpreter. If even raising that exception fails,
// the process writes "uncaught panic at ffi boundary" to stderr and aborts.
#pragma once

#include <Python.h>

#include <string_view>
#include <type_traits>
#include <utility>

#include "py_ref.hpp"
#include "python_error.hpp"
#include "taglex/lookup.hpp"  // InternalError, SourceLocation

namespace taglex::py {

// The PanicException class: created once per process, on first need. A
// borrowed reference, or null with a Python exception set.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception; aborts if it cannot.
void raise_panic(std::string_view message) noexcept;

// Turns the C++ exception being handled (call only from inside a catch block)
// into a pending PanicException. `where` names the entry point; it is used in
// the stderr report for failures that did not write one where they arose.
void raise_current_exception_as_panic(const taglex::SourceLocation& where) noexcept;

// Takes over a new reference returned by a C API function that creates an
// object. A null result (memory exhausted) is an internal failure: the pending
// Python error is reported as unraisable and an InternalError "PyObject
// pointer is null" is thrown towards the boundary.
PyRef expect_object(PyObject* object,
                    taglex::SourceLocation where = taglex::SourceLocation::current());

// What an entry point hands the interpreter for its body's success value: a
// new reference, 0 (module exec) or a size (the length slot).
inline PyObject* to_interpreter(PyRef& value) noexcept { return value.release(); }
inline int to_interpreter(Ok) noexcept { return 0; }
inline Py_ssize_t to_interpreter(Py_ssize_t value) noexcept { return value; }

template <class Body>
using EntryReturn = decltype(to_interpreter(std::declval<std::invoke_result_t<Body&>&>().value()));

// Runs the body of an entry point that returns a value: its success value as
// above, or on failure null (for a reference) or -1.
template <class Body>
EntryReturn<Body> entry(Body&& body,
                        taglex::SourceLocation where = taglex::SourceLocation::current()) noexcept {
  try {
    std::invoke_result_t<Body&> result = body();
    if (result) return to_interpreter(result.value());
    std::move(result.error()).restore();
  } catch (...) {
    raise_current_exception_as_panic(where);
  }
  if constexpr (std::is_pointer_v<EntryReturn<Body>>) {
    return nullptr;
  } else {
    return -1;
  }
}

// For deallocation, which cannot fail: an internal failure is reported with
// PyErr_WriteUnraisable, and whatever exception was pending before (a
// deallocation may run while one propagates) is kept.
template <class Body>
void entry_dealloc(Body&& body,
                   taglex::SourceLocation where = taglex::SourceLocation::current()) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    PyObject* pending = PyErr_GetRaisedException();
    raise_current_exception_as_panic(where);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
  }
}

}  // namespace taglex::py
