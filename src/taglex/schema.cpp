#include "taglex/schema.hpp"

#include <algorithm>

namespace taglex {

std::optional<FileHeader> FileHeader::from_bytes(std::span<const std::byte> bytes) noexcept {
  if (bytes.size() < kHeaderSize) {
    return std::nullopt;
  }
  FileHeader h;
  std::transform(bytes.begin(), bytes.begin() + 4, h.magic.begin(),
                 [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
  h.version = load_le<std::uint16_t>(bytes.data() + 4);
  h.unnamed6 = load_le<std::uint16_t>(bytes.data() + 6);
  std::transform(bytes.begin() + 8, bytes.begin() + 24, h.unnamed8.begin(),
                 [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
  // Bytes 24..31 are reserved and deliberately not read.
  return h;
}

}  // namespace taglex
