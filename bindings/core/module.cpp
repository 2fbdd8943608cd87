// The extension module taglex._core, the native core under the package:
// the one reader of dictionary files that taglex.Dictionary, taglex.datadict,
// the command line and the pydicom companion go through.

// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "boundary.hpp"
#include "datadict_type.hpp"
#include "dictionary_type.hpp"
#include "entry_type.hpp"
#include "functions.hpp"
#include "layer.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"
#include "taglex/description.hpp"

namespace taglex::py {
namespace {

constexpr const char* kVersion = TAGLEX_VERSION;  // set by bindings/CMakeLists.txt

EmptyResult add_type(PyObject* module, PyTypeObject* type) {
  if (type == nullptr) return Err{PythonError::fetch()};
  if (PyModule_AddType(module, type) < 0) return Err{PythonError::fetch()};
  return Ok{};
}

int module_exec(PyObject* module) noexcept {
  return entry([&]() -> EmptyResult {
    for (PyTypeObject* type : {dictionary_type(), entry_type(), layer_type(),
                               entries_iterator_type(), deidentification_type(),
                               datadict_type()}) {
      if (auto added = add_type(module, type); !added) return added;
    }
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) return Err{PythonError::fetch()};
    if (PyModule_AddObjectRef(module, "PanicException", panic) < 0) return Err{PythonError::fetch()};
    // The options of the de-identification profile, in the order of its
    // table: the one list of them (the generator and the command line read it).
    PyRef options = steal(PyTuple_New(static_cast<Py_ssize_t>(description::kOptions.size())));
    if (!options) return Err{PythonError::fetch()};
    for (std::size_t i = 0; i < description::kOptions.size(); ++i) {
      PyRef name = new_str(description::kOptions[i]);
      if (!name) return Err{PythonError::fetch()};
      PyTuple_SET_ITEM(options.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    if (PyModule_Add(module, "DEIDENTIFICATION_OPTIONS", options.release()) < 0) {
      return Err{PythonError::fetch()};
    }
    if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) {
      return Err{PythonError::fetch()};
    }
    return Ok{};
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "taglex._core",
    .m_doc = "The native core of taglex: dictionaries, entries and their rules.",
    .m_size = 0,
    .m_methods = core_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace taglex::py

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&taglex::py::module_def); }
