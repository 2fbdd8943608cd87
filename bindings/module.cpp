// The extension module _taglex: its definition, the one exported symbol
// PyInit__taglex, and the exec function that fills a new module object.

// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include <string>
#include <string_view>

#include "binder.hpp"
#include "boundary.hpp"
#include "dict_type.hpp"
#include "open.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"

namespace taglex::py {
namespace {

constexpr std::string_view kVersion = TAGLEX_VERSION;  // set by bindings/CMakeLists.txt

// The text of the pending Python error (for an internal-failure message).
std::string describe_pending_error() {
  PythonError error = PythonError::fetch();
  PyRef text = steal(PyObject_Str(error.value()));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable exception>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// Adds `value` to the module under `name` (a str), appending the name to the
// module's __all__ list first (creating the list on the first addition).
EmptyResult add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Err{PythonError::fetch()};
    PyErr_Clear();
    all = steal(PyList_New(0));
    if (!all) return Err{PythonError::fetch()};
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Err{PythonError::fetch()};
  }
  if (!PyList_Check(all.get())) return Err{cast_error(all.get(), &PyList_Type)};
  if (PyList_Append(all.get(), name) < 0) {
    throw taglex::InternalError("could not append __name__ to __all__: " +
                                describe_pending_error());
  }
  if (PyObject_SetAttr(module, name, value) < 0) return Err{PythonError::fetch()};
  return Ok{};
}

EmptyResult add_to_module(PyObject* module, std::string_view name, PyObject* value) {
  PyRef name_object = new_str(name);
  if (!name_object) return Err{PythonError::fetch()};
  return add_to_module(module, name_object.get(), value);
}

// Adds a function made from `method`, bound to the module, under its own
// __name__.
EmptyResult add_function(PyObject* module, PyMethodDef* method) {
  PyRef module_name = steal(PyModule_GetNameObject(module));
  if (!module_name) return Err{PythonError::fetch()};
  PyRef function = steal(PyCMethod_New(method, module, module_name.get(), nullptr));
  if (!function) return Err{PythonError::fetch()};
  PyRef name = steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return Err{PythonError::fetch()};
  if (!PyUnicode_Check(name.get())) return Err{cast_error(name.get(), &PyUnicode_Type)};
  return add_to_module(module, name.get(), function.get());
}

int module_exec(PyObject* module) noexcept {
  return entry([&]() -> EmptyResult {
    if (!PyModule_Check(module)) return Err{cast_error(module, &PyModule_Type)};

    PyTypeObject* type = dict_type();
    if (type == nullptr) return Err{PythonError::fetch()};
    if (auto added = add_to_module(module, "Dict", reinterpret_cast<PyObject*>(type)); !added) {
      return added;
    }

    if (auto added = add_function(module, &open_method); !added) return added;

    PyRef version = new_str(kVersion);
    if (!version) return Err{PythonError::fetch()};
    return add_to_module(module, "__version__", version.get());
  });
}

PyModuleDef_Slot module_slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(&module_exec)},
    {.slot = Py_mod_gil, .value = Py_MOD_GIL_NOT_USED},
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_taglex",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace taglex::py

PyMODINIT_FUNC PyInit__taglex() { return PyModuleDef_Init(&taglex::py::module_def); }
