#include "taglex/text.hpp"

#include <cstddef>
#include <cstring>

namespace taglex {

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  // Plain ASCII runs are by far the common case: eight bytes at a time first.
  while (i + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & 0x8080808080808080ull) != 0) break;
    i += 8;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + i;
  const auto* const end = reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size();
  char32_t cp = 0;
  while (p != end) {
    const int n = decode_utf8(p, end, cp);
    if (n < 0) return false;
    p += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  char32_t cp = 0;
  while (p != end) {
    const int n = decode_utf8(p, end, cp);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
      p += n;
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD
      p -= n;
    }
  }
  return out;
}

}  // namespace taglex
