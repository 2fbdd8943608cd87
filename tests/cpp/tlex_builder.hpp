// Byte-level builder of .tlex images for the tests.
//
// File holds the bytes of a whole file and writes single structures at
// explicit body positions (position 0 is file offset 32), so that a test can
// place arrays anywhere and give the root any offsets and counts. Image lays a
// dictionary out as a build tool would (index, records and strings packed from
// position 0, padding, root), so that a test states only its content.
#pragma once

#include <cctype>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tlex_test {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes& b, std::size_t at, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

enum class Field : std::size_t { index = 0, records = 8, strings = 16 };  // offset in the root

struct Text {
  std::uint32_t offset = 0, len = 0;
};
struct Entry {
  std::uint16_t group = 0, element = 0;
  std::uint32_t hash = 0, record = 0;
};
struct Record {
  std::uint8_t vr = 0, block = 0, retired = 0;  // block: element_is_block_offset
  std::uint16_t group = 0, element = 0;
  Text keyword{}, name{}, creator{}, description{}, sources{};
  std::uint16_t reserved38 = 0;
  std::uint8_t padding = 0;
};

struct File {
  Bytes bytes;

  // Magic "TLEX", version 2, the rest of the header zero; a zeroed body.
  static File blank(std::size_t body_len) {
    File f{Bytes(32 + body_len, 0)};
    put(f.bytes, 0, 0x0002'5845'4C54, 6);
    return f;
  }
  std::size_t body_len() const { return bytes.size() - 32; }
  std::size_t root() const { return body_len() - 24; }
  std::span<const std::uint8_t> body() const { return std::span(bytes).subspan(32); }

  // A root field as stored: offset from the field itself, and count.
  File& relvec(Field f, std::int32_t offset, std::uint32_t count) {
    put(bytes, 32 + root() + static_cast<std::size_t>(f), static_cast<std::uint32_t>(offset), 4);
    put(bytes, 32 + root() + static_cast<std::size_t>(f) + 4, count, 4);
    return *this;
  }
  // A root field by the body position of its first element.
  File& target(Field f, std::int64_t pos, std::uint32_t count) {
    return relvec(f,
                  static_cast<std::int32_t>(
                      pos - static_cast<std::int64_t>(root() + static_cast<std::size_t>(f))),
                  count);
  }
  File& entry(std::size_t pos, const Entry& e) {
    const std::size_t at = 32 + pos;
    put(bytes, at, e.hash, 4);
    put(bytes, at + 4, e.record, 4);
    put(bytes, at + 8, e.group, 2);
    put(bytes, at + 10, e.element, 2);
    return *this;
  }
  File& record(std::size_t pos, const Record& r) {
    const std::size_t at = 32 + pos;
    const std::uint32_t words[] = {r.keyword.offset,     r.name.offset,     r.creator.offset,
                                   r.description.offset, r.description.len, r.sources.offset,
                                   r.sources.len};
    for (std::size_t i = 0; i < 7; ++i) put(bytes, at + 4 * i, words[i], 4);
    const std::uint32_t halves[] = {r.group,    r.element,     r.keyword.len,
                                    r.name.len, r.creator.len, r.reserved38};
    for (std::size_t i = 0; i < 6; ++i) put(bytes, at + 28 + 2 * i, halves[i], 2);
    const std::uint8_t last[] = {r.vr, r.block, r.retired, r.padding};
    for (std::size_t i = 0; i < 4; ++i) bytes.at(at + 40 + i) = last[i];
    return *this;
  }
  File& raw(std::size_t pos, std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i)
      bytes.at(32 + pos + i) = static_cast<std::uint8_t>(s[i]);
    return *this;
  }
};

struct Image {
  std::vector<Entry> index;
  std::vector<Record> records;
  std::string strings;

  // Appends `s` to the strings table and returns its reference.
  Text add(std::string_view s) {
    strings.append(s);
    return {static_cast<std::uint32_t>(strings.size() - s.size()),
            static_cast<std::uint32_t>(s.size())};
  }

  File build() const {
    const std::size_t records_pos = 12 * index.size();
    const std::size_t strings_pos = records_pos + 44 * records.size();
    File f = File::blank((strings_pos + strings.size() + 3) / 4 * 4 + 24);
    for (std::size_t i = 0; i < index.size(); ++i) f.entry(12 * i, index[i]);
    for (std::size_t i = 0; i < records.size(); ++i) f.record(records_pos + 44 * i, records[i]);
    f.raw(strings_pos, strings);
    f.target(Field::index, 0, static_cast<std::uint32_t>(index.size()));
    f.target(Field::records, static_cast<std::int64_t>(records_pos),
             static_cast<std::uint32_t>(records.size()));
    return f.target(Field::strings, static_cast<std::int64_t>(strings_pos),
                    static_cast<std::uint32_t>(strings.size()));
  }
};

// The two-element dictionary: (0010,0010) PatientName, and the private
// (0029,xx10) AcmeFlags of creator "ACME 1.0".
inline Image worked_example() {
  Image img;
  img.strings = "PatientNamePatient's Namex|yAcmeFlagsAcme FlagsACME 1.0";
  img.index = {{0x0010, 0x0010, 0, 0}, {0x0029, 0x0010, 0xC8BEE2EA, 1}};
  img.records = {
      {.vr = 18,
       .block = 0,
       .retired = 0,
       .group = 0x0010,
       .element = 0x0010,
       .keyword = {0, 11},
       .name = {11, 14},
       .creator = {0, 0},
       .description = {25, 0},
       .sources = {25, 3}},
      {.vr = 28,
       .block = 1,
       .retired = 0,
       .group = 0x0029,
       .element = 0x0010,
       .keyword = {28, 9},
       .name = {37, 10},
       .creator = {47, 8},
       .description = {55, 0},
       .sources = {55, 0}},
  };
  return img;
}

// An expected message: every "@N" in `text` stands for the address S + N,
// written as "0x" and lowercase hex digits.
inline std::string expand(std::string_view text, std::uintptr_t S) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '@') {
      out += text[i];
      continue;
    }
    std::uintptr_t n = 0;
    while (i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      n = n * 10 + static_cast<std::uintptr_t>(text[++i] - '0');
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, S + n);
    out += buf;
  }
  return out;
}

}  // namespace tlex_test
