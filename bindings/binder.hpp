// Binding of fast-call arguments to parameters, and the conversions that the
// entry points apply to the bound arguments.
//
// Every entry point that takes arguments is described by a constant
// FunctionDescription. extract_arguments_fastcall() places the caller's
// positional and keyword arguments into one slot per parameter, or fails with
// a TypeError that starts with the entry point's display name ("open()",
// "Dict.lookup()"). The entry point then converts its slots in parameter order;
// a conversion failure is passed through argument_extraction_error() so that
// it carries the note "while processing '<parameter>'".
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "py_ref.hpp"
#include "python_error.hpp"

namespace taglex::py {

struct FunctionDescription {
  std::string_view function_name;
  std::optional<std::string_view> class_name;         // absent for a module function
  std::span<const std::string_view> parameter_names;  // all positional-or-keyword
  std::size_t required_count;                         // leading parameters that must be given

  // "Class.function()" for a method, "function()" otherwise.
  std::string display_name() const;
};

// Binds `args` (`nargs` positional values followed by one value per name in
// `kwnames`, which may be null) to `slots`, one per parameter. A slot that is
// not supplied stays null; a filled slot borrows the caller's object for the
// duration of the call. Nothing is converted here.
EmptyResult extract_arguments_fastcall(const FunctionDescription& description,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                       std::span<PyObject*> slots);

// The prologue of every entry point that takes arguments: binds them to N
// slots (N = the number of parameters) as above.
template <std::size_t N>
PyResult<std::array<PyObject*, N>> bind_arguments(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots);
  if (!bound) return Err{std::move(bound.error())};
  return slots;
}

// Appends the names, each in single quotes: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

// An integer in 0..65535 (int, its subclasses, or anything with __index__).
PyResult<std::uint16_t> extract_u16(PyObject* obj);

// The UTF-8 form of a `str` (or subclass), borrowed from the object's own
// buffer: valid while `obj` lives.
PyResult<std::string_view> extract_text(PyObject* obj);

// The TypeError "'<type of obj>' object is not an instance of '<expected>'".
PythonError cast_error(PyObject* obj, PyTypeObject* expected);

// Adds the note "while processing '<parameter>'" to `error` and returns it. A
// failure to add the note is ignored.
PythonError argument_extraction_error(std::string_view parameter, PythonError error);

}  // namespace taglex::py
