// The Python class Dict: an open dictionary file, shared by reference.
#pragma once

#include <Python.h>

#include <memory>

#include "py_ref.hpp"
#include "python_error.hpp"
#include "taglex/lookup.hpp"

namespace taglex::py {

// The instance layout. `inner` is constructed once, when open() creates the
// object, and released by deallocation; its count is atomic, so one Dict can
// be used from any number of threads. The type is mutable, so an instance can
// also be made without open() (`Dict.__new__` replaced by `object.__new__`):
// its memory is zeroed, `holds` is false and `inner` was never constructed.
// Every entry point refuses such an instance and deallocation skips `inner`.
struct PyTlexDict {
  PyObject_HEAD bool holds;
  std::shared_ptr<const taglex::TlexDict> inner;
};

// The Dict type object, created on first call and then the same object for
// the rest of the process. A borrowed reference, or null with an exception set.
PyTypeObject* dict_type() noexcept;

// A new Dict holding `inner`. If the object cannot be allocated, `inner` is
// released (closing the dictionary when it was the last holder) and the
// allocation's exception is returned.
PyResult<PyRef> new_dict_object(std::shared_ptr<const taglex::TlexDict> inner);

}  // namespace taglex::py
