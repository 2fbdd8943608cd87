// Python strings from the dictionary's texts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "py_ref.hpp"
#include "strings.hpp"

namespace taglex::py {

// The interpreter's own hash of the str whose UTF-8 is `utf8`, when that
// text is ASCII (the hash of an ASCII str is that of its bytes): what
// PyObject_Hash of such a str gives, and caches in it.
std::size_t python_hash(std::string_view utf8) noexcept;

// The hash python_hash gives `utf8`, taken from `str` itself (cached there)
// when `str` is an ASCII str whose text is exactly `utf8`.
std::size_t python_hash_of(PyObject* str, std::string_view utf8) noexcept;

// The str of a two-letter VR code, shared (made once per process); a new
// str for any other text. Null with an exception set on failure.
PyRef vr_text(std::string_view code) noexcept;

}  // namespace taglex::py
