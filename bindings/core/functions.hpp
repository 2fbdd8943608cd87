// The module-level functions of taglex._core.
#pragma once

#include <Python.h>

namespace taglex::py {

// Null-terminated, for the module definition.
extern PyMethodDef core_functions[];

}  // namespace taglex::py
