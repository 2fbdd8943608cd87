// The records of a .tlex file.
//
// A .tlex file is a 32-byte FileHeader followed by an archived body: flat
// arrays that refer to each other through relative offsets, with the 24-byte
// root record (Dictionary) in the last 24 bytes of the file. All integers are
// little-endian. The types below are views: each wraps the address of a record
// inside the mapped file and reads its fields where they lie, with memcpy, so
// that no alignment is assumed and nothing is copied or parsed up front.
//
// A view never checks bounds. Whoever builds one guarantees that the whole
// record lies inside the mapping (the validator proves it for the root and for
// every array the root refers to; lookups check record numbers and text
// ranges themselves).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace taglex {

// Reads a little-endian unsigned or signed integer of type T at p. p need not
// be aligned.
template <class T>
inline T load_le(const std::byte* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    U r = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      r = static_cast<U>((r << 8) | ((u >> (8 * i)) & 0xFF));
    }
    v = static_cast<T>(r);
  }
  return v;
}

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::array<std::uint8_t, 4> kMagic = {'T', 'L', 'E', 'X'};
inline constexpr std::uint16_t kSupportedVersion = 2;

// The 32 bytes at the start of every file. Only `magic` and `version` decide
// whether a file is accepted; the rest is carried verbatim and never read.
struct FileHeader {
  std::array<std::uint8_t, 4> magic{};
  std::uint16_t version = 0;
  std::uint16_t unnamed6 = 0;               // bytes 6..7, not interpreted
  std::array<std::uint8_t, 16> unnamed8{};  // bytes 8..23, not interpreted
  std::array<std::uint8_t, 8> reserved{};   // bytes 24..31: never read, zero

  // Parses the first 32 bytes of `bytes`; nothing when there are fewer. Checks
  // nothing: the caller compares the magic and the version.
  static std::optional<FileHeader> from_bytes(std::span<const std::byte> bytes) noexcept;
};

// An 8-byte reference to an array elsewhere in the body: a signed offset from
// the RelVec's own first byte to the array's first element, then the element
// count.
class RelVec {
 public:
  static constexpr std::size_t kSize = 8;
  explicit RelVec(const std::byte* p) noexcept : p_(p) {}
  std::int32_t offset() const noexcept { return load_le<std::int32_t>(p_); }
  std::uint32_t count() const noexcept { return load_le<std::uint32_t>(p_ + 4); }
  // Address of the first element (the RelVec's address plus its offset).
  const std::byte* target() const noexcept { return p_ + offset(); }

 private:
  const std::byte* p_;
};

// The root record, in the last 24 bytes of the body.
class Dictionary {
 public:
  static constexpr std::size_t kSize = 24;
  static constexpr std::size_t kIndexField = 0;
  static constexpr std::size_t kRecordsField = 8;
  static constexpr std::size_t kStringsField = 16;
  explicit Dictionary(const std::byte* p) noexcept : p_(p) {}
  RelVec index() const noexcept { return RelVec(p_ + kIndexField); }
  RelVec records() const noexcept { return RelVec(p_ + kRecordsField); }
  RelVec strings() const noexcept { return RelVec(p_ + kStringsField); }

 private:
  const std::byte* p_;
};

// One search key of the sorted index and the record it leads to.
class IndexEntry {
 public:
  static constexpr std::size_t kSize = 12;
  explicit IndexEntry(const std::byte* p) noexcept : p_(p) {}
  std::uint32_t creator_hash() const noexcept { return load_le<std::uint32_t>(p_); }
  std::uint32_t record_index() const noexcept { return load_le<std::uint32_t>(p_ + 4); }
  std::uint16_t group() const noexcept { return load_le<std::uint16_t>(p_ + 8); }
  std::uint16_t element() const noexcept { return load_le<std::uint16_t>(p_ + 10); }

 private:
  const std::byte* p_;
};

// One data element. Texts are (offset, length) pairs into the strings table.
class TagRecord {
 public:
  static constexpr std::size_t kSize = 44;
  static constexpr std::size_t kVrByte = 40;
  static constexpr std::size_t kBlockOffsetByte = 41;
  static constexpr std::size_t kRetiredByte = 42;
  explicit TagRecord(const std::byte* p) noexcept : p_(p) {}
  std::uint32_t keyword_offset() const noexcept { return u32(0); }
  std::uint32_t name_offset() const noexcept { return u32(4); }
  std::uint32_t creator_offset() const noexcept { return u32(8); }
  std::uint32_t description_offset() const noexcept { return u32(12); }
  std::uint32_t description_len() const noexcept { return u32(16); }
  std::uint32_t sources_offset() const noexcept { return u32(20); }
  std::uint32_t sources_len() const noexcept { return u32(24); }
  std::uint16_t group() const noexcept { return u16(28); }
  std::uint16_t element() const noexcept { return u16(30); }
  std::uint16_t keyword_len() const noexcept { return u16(32); }
  std::uint16_t name_len() const noexcept { return u16(34); }
  std::uint16_t creator_len() const noexcept { return u16(36); }
  std::uint8_t vr() const noexcept { return u8(kVrByte); }
  std::uint8_t element_is_block_offset() const noexcept { return u8(kBlockOffsetByte); }
  std::uint8_t retired() const noexcept { return u8(kRetiredByte); }

 private:
  std::uint32_t u32(std::size_t at) const noexcept { return load_le<std::uint32_t>(p_ + at); }
  std::uint16_t u16(std::size_t at) const noexcept { return load_le<std::uint16_t>(p_ + at); }
  std::uint8_t u8(std::size_t at) const noexcept { return std::to_integer<std::uint8_t>(p_[at]); }
  const std::byte* p_;
};

// The value-representation codes, in the fixed order of the file format
// (FL before FD; the last code, 34, reads "??").
inline constexpr std::array<std::string_view, 35> kVrNames = {
    "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO", "LT",
    "OB", "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST",
    "SV", "TM", "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV", "??",
};
inline constexpr std::size_t kVrCount = kVrNames.size();

inline constexpr std::uint32_t kFnvOffsetBasis = 0x811C9DC5u;
inline constexpr std::uint32_t kFnvPrime = 16777619u;

// FNV-1a, 32 bits, fed one byte at a time.
struct Fnv1a32 {
  std::uint32_t value = kFnvOffsetBasis;
  constexpr void add(char c) noexcept {
    value = (value ^ static_cast<std::uint8_t>(c)) * kFnvPrime;
  }
};

// FNV-1a, 32 bits, over the bytes of `bytes`.
constexpr std::uint32_t fnv1a32(std::string_view bytes) noexcept {
  Fnv1a32 h;
  for (const char c : bytes) h.add(c);
  return h.value;
}

}  // namespace taglex
