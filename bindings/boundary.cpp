// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "once.hpp"
#include "taglex/lookup.hpp"

namespace taglex::py {
namespace {

constexpr const char kPanicDoc[] =
    "The exception raised when native code called from Python fails unrecoverably.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it\n"
    "will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

// The message of a failure that carries no text of its own.
constexpr std::string_view kDefaultPanicMessage = "native code failed unexpectedly";

constinit OnceObject panic_type;

[[noreturn]] void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  return panic_type.get([]() noexcept {
    return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  });
}

void raise_panic(std::string_view message) noexcept {
  try {
    // A Python error left pending by the failed body would get in the way of
    // creating the class; the panic replaces it.
    if (PyErr_Occurred()) PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_uncaught_panic();
    PyRef text = steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) abort_uncaught_panic();
    PyErr_SetObject(type, text.get());
  } catch (...) {
    abort_uncaught_panic();
  }
}

void raise_current_exception_as_panic(const taglex::SourceLocation& where) noexcept {
  try {
    throw;
  } catch (const taglex::InternalError& e) {
    raise_panic(e.message());
  } catch (const std::bad_alloc&) {
    taglex::report_internal_error("memory exhausted", where);
    raise_panic(kDefaultPanicMessage);
  } catch (const std::exception& e) {
    taglex::report_internal_error(e.what(), where);
    raise_panic(e.what());
  } catch (...) {
    taglex::report_internal_error(kDefaultPanicMessage, where);
    raise_panic(kDefaultPanicMessage);
  }
}

PyRef expect_object(PyObject* object, taglex::SourceLocation where) {
  if (object == nullptr) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    throw taglex::InternalError("PyObject pointer is null", where);
  }
  return steal(object);
}

}  // namespace taglex::py
