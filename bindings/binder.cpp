// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "binder.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "taglex/text.hpp"

namespace taglex::py {
namespace {

PythonError type_error(const std::string& message) {
  return PythonError::lazy(PyExc_TypeError, message);
}

PythonError too_many_positional(const FunctionDescription& d, Py_ssize_t nargs) {
  std::string message = d.display_name();
  const std::size_t params = d.parameter_names.size();
  if (d.required_count == params) {
    message += " takes ";
  } else {
    message += " takes from ";
    append_decimal(message, d.required_count);
    message += " to ";
  }
  append_decimal(message, params);
  message += " positional arguments but ";
  append_decimal(message, nargs);
  message += nargs == 1 ? " was given" : " were given";
  return type_error(message);
}

PythonError unexpected_keyword(const FunctionDescription& d, PyObject* name) {
  // The name is shown as its str(), which also works for a name that has no
  // UTF-8 form (a lone surrogate).
  const std::string display = d.display_name();
  return PythonError::lazy(PyExc_TypeError,
                           steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                      display.c_str(), name)));
}

PythonError multiple_values(const FunctionDescription& d, std::string_view name) {
  std::string message = d.display_name();
  message += " got multiple values for argument '";
  message += name;
  message += "'";
  return type_error(message);
}

PythonError missing_required(const FunctionDescription& d, std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required_count; ++i) {
    if (slots[i] == nullptr) missing.push_back(d.parameter_names[i]);
  }
  std::string message = d.display_name();
  message += " missing ";
  append_decimal(message, missing.size());
  message +=
      missing.size() == 1 ? " required positional argument: " : " required positional arguments: ";
  push_parameter_list(message, missing);
  return type_error(message);
}

// The type's qualified name, or a stand-in when it cannot be had.
PyRef qualified_name(PyTypeObject* type) {
  PyRef name = steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    name = steal(PyUnicode_FromString("<failed to extract type name>"));
  }
  return name;
}

}  // namespace

std::string FunctionDescription::display_name() const {
  std::string out;
  if (class_name) {
    out += *class_name;
    out += ".";
  }
  out += function_name;
  out += "()";
  return out;
}

EmptyResult extract_arguments_fastcall(const FunctionDescription& description,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                       std::span<PyObject*> slots) {
  const auto params = static_cast<Py_ssize_t>(description.parameter_names.size());
  std::fill(slots.begin(), slots.end(), nullptr);

  // 1. Positional arguments, in order.
  if (nargs > params) return Err{too_many_positional(description, nargs)};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  // 2. Keyword arguments, in the caller's order. Names are compared in place,
  // byte for byte, against the parameter names.
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
    if (utf8 == nullptr) {
      // Not encodable (or not a str at all): it cannot name a parameter.
      PyErr_Clear();
      return Err{unexpected_keyword(description, name)};
    }
    const std::string_view key(utf8, static_cast<std::size_t>(len));
    const auto& names = description.parameter_names;
    const auto found = std::find(names.begin(), names.end(), key);
    if (found == names.end()) return Err{unexpected_keyword(description, name)};
    PyObject*& slot = slots[static_cast<std::size_t>(found - names.begin())];
    if (slot != nullptr) return Err{multiple_values(description, key)};
    slot = args[nargs + k];
  }

  // 3. Required parameters.
  const auto required = static_cast<Py_ssize_t>(description.required_count);
  if (nargs < required) {
    for (Py_ssize_t i = nargs; i < required; ++i) {
      if (slots[static_cast<std::size_t>(i)] == nullptr) {
        return Err{missing_required(description, slots)};
      }
    }
  }
  return Ok{};
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ",";
      message += i + 1 == names.size() ? " and " : " ";
    }
    message += "'";
    message += names[i];
    message += "'";
  }
}

PyResult<std::uint16_t> extract_u16(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return Err{PythonError::fetch()};
  if (value < 0 || value > 0xFFFF) {
    return Err{
        PythonError::lazy(PyExc_OverflowError, "out of range integral type conversion attempted")};
  }
  return static_cast<std::uint16_t>(value);
}

PyResult<std::string_view> extract_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return Err{cast_error(obj, &PyUnicode_Type)};
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return Err{PythonError::fetch()};
  return std::string_view(utf8, static_cast<std::size_t>(len));
}

PythonError cast_error(PyObject* obj, PyTypeObject* expected) {
  PyRef actual_name = qualified_name(Py_TYPE(obj));
  PyRef expected_name = qualified_name(expected);
  if (!actual_name || !expected_name) return PythonError::fetch();
  return PythonError::lazy(PyExc_TypeError,
                           steal(PyUnicode_FromFormat("'%U' object is not an instance of '%U'",
                                                      actual_name.get(), expected_name.get())));
}

PythonError argument_extraction_error(std::string_view parameter, PythonError error) {
  PyObject* exception = error.value();
  std::string text = "while processing '";
  text += parameter;
  text += "'";
  PyRef note = new_str(text);
  PyRef method = steal(PyUnicode_FromString("add_note"));
  PyRef added;
  if (note && method) added = steal(PyObject_CallMethodOneArg(exception, method.get(), note.get()));
  if (!added) PyErr_Clear();
  return error;
}

}  // namespace taglex::py
