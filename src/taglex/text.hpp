// Small text helpers shared by the error renderers: decimal and hexadecimal
// numbers appended with std::to_chars, and UTF-8 checking and lossy decoding.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace taglex {

// Appends `v` in decimal.
template <std::integral T>
void append_decimal(std::string& out, T v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Appends a memory address as "0x" and lowercase hex without leading zeros.
inline void append_address(std::string& out, std::uintptr_t addr) {
  char buf[2 + 2 * sizeof(std::uintptr_t)];
  const auto r = std::to_chars(buf, buf + sizeof buf, addr, 16);
  out.append("0x");
  out.append(buf, r.ptr);
}

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` as UTF-8, each ill-formed sequence (maximal subpart) replaced by
// U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace taglex
