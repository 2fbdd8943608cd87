// The module function open(path).
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace taglex::py {

// The definition from which exec makes one `open` function per module object.
extern PyMethodDef open_method;

}  // namespace taglex::py
