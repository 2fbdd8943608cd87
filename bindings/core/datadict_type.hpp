// The Python class taglex._core.Datadict: the answers of pydicom's
// datadict (its VR texts, repeating masks, keyword rules), read from a
// Dictionary's layers, for taglex.datadict.
#pragma once

#include <Python.h>

namespace taglex::py {

PyTypeObject* datadict_type() noexcept;

}  // namespace taglex::py
