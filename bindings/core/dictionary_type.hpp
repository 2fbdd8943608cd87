// The Python class taglex._core.Dictionary: one or more layers, searched in
// order. taglex.Dictionary derives from it and adds what is best written in
// Python (ranking of find, suggestions, error messages).
#pragma once

#include <Python.h>

#include <span>

namespace taglex::py {

struct DictionaryObject {
  PyObject_HEAD PyObject* paths;  // tuple of str
  PyObject* layers;               // tuple of LayerObject, the same length
};

PyTypeObject* dictionary_type() noexcept;
PyTypeObject* entries_iterator_type() noexcept;

inline std::span<PyObject* const> layers_of(PyObject* dictionary) noexcept {
  PyObject* t = reinterpret_cast<DictionaryObject*>(dictionary)->layers;
  return {&PyTuple_GET_ITEM(t, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(t))};
}

// Whether `o` is a Dictionary (or an instance of a subclass) that holds
// layers.
bool is_dictionary(PyObject* o) noexcept;

}  // namespace taglex::py
