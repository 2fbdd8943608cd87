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

// Decodes the UTF-8 sequence that starts at p (p < end) and never reads at or
// past end. Well-formed (no overlongs, no surrogates, nothing above
// U+10FFFF): returns its length, 1 to 4, and sets cp. Ill-formed: returns
// minus the length of its maximal subpart (at least 1 byte).
inline int decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;  // no overlongs
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;  // no overlongs
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (end - p <= k) return -k;
    const unsigned char b = p[k];
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return -k;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return need + 1;
}

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` as UTF-8, each ill-formed sequence (maximal subpart) replaced by
// U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace taglex
