// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "open.hpp"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binder.hpp"
#include "boundary.hpp"
#include "dict_type.hpp"
#include "paths.hpp"
#include "taglex/lookup.hpp"
#include "taglex/text.hpp"

namespace taglex::py {
namespace {

constexpr std::array<std::string_view, 1> kOpenParameters = {"path"};
constexpr FunctionDescription kOpenDescription = {
    .function_name = "open",
    .class_name = std::nullopt,
    .parameter_names = kOpenParameters,
    .required_count = 1,
};

// The Python exception for a failed open: ValueError for a version this
// module cannot read, OSError with the path and the library's text otherwise.
PythonError open_error(std::string_view path, const taglex::TlexError& error) {
  if (const auto* version = std::get_if<taglex::UnsupportedVersion>(&error.kind)) {
    std::string message = "unsupported .tlex version ";
    append_decimal(message, version->version);
    return PythonError::lazy(PyExc_ValueError, message);
  }
  std::string message = "cannot open ";
  message += utf8_lossy(path);
  message += ": ";
  message += to_string(error);
  return PythonError::lazy(PyExc_OSError, message);
}

PyObject* open_dict(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<kOpenParameters.size()>(kOpenDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto path = fs_path_bytes(bound.value()[0]);
    if (!path) return Err{argument_extraction_error("path", std::move(path.error()))};

    // The interpreter lock stays held: opening and validating are one step
    // from Python's point of view.
    auto opened = taglex::TlexDict::open(path.value());
    if (!opened) return Err{open_error(path.value(), opened.error())};
    auto inner = std::make_shared<const taglex::TlexDict>(std::move(opened).value());
    return new_dict_object(std::move(inner));
  });
}

}  // namespace

PyMethodDef open_method = {
    .ml_name = "open",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&open_dict)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "open(path)\n--\n\n"
        "Open a `.tlex` file. Raises `IOError` on missing file or corruption,\n"
        "`ValueError` on unsupported version.",
};

}  // namespace taglex::py
