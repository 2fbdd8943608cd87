#include "taglex/text.hpp"

#include <cstddef>
#include <cstring>

namespace taglex {
namespace {

// Length of the maximal well-formed prefix of a UTF-8 sequence starting at
// s[i] (1 to 4), or, when the sequence is ill-formed, the negated length of
// its maximal subpart (at least 1 byte is always consumed).
int utf8_sequence(std::string_view s, std::size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // no overlongs
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // no overlongs
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return -k;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return -k;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  // Plain ASCII runs are by far the common case: eight bytes at a time first.
  while (i + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & 0x8080808080808080ull) != 0) break;
    i += 8;
  }
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const int n = utf8_sequence(bytes, i);
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const int n = utf8_sequence(bytes, i);
    if (n > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

}  // namespace taglex
