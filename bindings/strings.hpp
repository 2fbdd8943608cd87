// New str objects from UTF-8 texts, as both modules make them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "py_ref.hpp"

namespace taglex::py {

// A new str from valid UTF-8 (texts read from a dictionary are checked when
// read). ASCII, which almost every text is, is copied without decoding.
// Null with an exception set on failure.
inline PyRef new_text(std::string_view utf8) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  std::uint64_t high = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    high |= word;
  }
  for (; i < n; ++i) high |= p[i];
  if ((high & 0x8080808080808080ull) != 0) {
    return steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(n), nullptr));
  }
  PyRef s = steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
  if (s && n != 0) std::memcpy(PyUnicode_DATA(s.get()), p, n);
  return s;
}

}  // namespace taglex::py
