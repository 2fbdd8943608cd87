// The Python class taglex.Entry: one data element of a dictionary, as an
// answer gives it.
//
// An Entry holds the layer that answered and the number of its record, and
// reads each field from the layer's mapping when it is asked for; made in
// one allocation per answer, immutable. The built-in answer for a private
// creator element that no layer describes has no layer.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_ref.hpp"
#include "python_error.hpp"

namespace taglex::py {

struct EntryObject {
  PyObject_HEAD PyObject* layer;  // a LayerObject, strong; null for the built-in answer
  PyObject* creator;              // the built-in answer's creator (str), strong; or null
  std::uint32_t record;
  std::uint32_t tag;              // the full tag the entry shows
};

PyTypeObject* entry_type() noexcept;
PyTypeObject* deidentification_type() noexcept;

// An Entry of record `record` of `layer` (a LayerObject), showing `tag`.
PyResult<PyRef> new_entry(PyObject* layer, std::uint32_t record, std::uint32_t tag);

// The answer for a private creator element (gggg,0010-00FF) that no layer
// describes: "Private Creator", LO, VM 1, with the creator asked (or null).
PyResult<PyRef> new_private_creator_entry(std::uint32_t tag, PyObject* creator);

inline bool is_entry(PyObject* o) noexcept { return Py_TYPE(o) == entry_type(); }

}  // namespace taglex::py
