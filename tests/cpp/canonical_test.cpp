// Creator canonicalisation and the Unicode properties behind it. The case
// mapping and White_Space are checked for every code point against the
// vendored character data, read here independently of the generated tables.
#include "taglex/canonical.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using taglex::canonicalize_creator;
namespace unicode = taglex::unicode;

const std::string kDataDir = std::string(TAGLEX_SOURCE_DIR) + "/data/unicode/";

std::string utf8(std::u32string_view cps) {
  static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  std::string out;
  for (const char32_t c : cps) {
    const int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    out += static_cast<char>(kLead[n] | (c >> (6 * (n - 1))));
    for (int k = n - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

// The data lines of a vendored file, each as its ';'-separated fields of hex
// code points.
std::vector<std::vector<std::u32string>> read_data(const std::string& name) {
  std::ifstream in(kDataDir + name);
  EXPECT_TRUE(in) << "cannot read " << kDataDir + name;
  std::vector<std::vector<std::u32string>> lines;
  for (std::string line; std::getline(in, line);) {
    line.erase(std::min(line.find('#'), line.size()));
    if (line.find_first_not_of(" \r") == std::string::npos) continue;
    auto& fields = lines.emplace_back();
    std::istringstream in_line(line);
    for (std::string field; std::getline(in_line, field, ';');) {
      std::istringstream hex(field);
      auto& cps = fields.emplace_back();
      for (unsigned long v; hex >> std::hex >> v;) cps += static_cast<char32_t>(v);
    }
  }
  return lines;
}

TEST(UnicodeTables, AppendUpperAgreesWithMappingFileOnEveryCodePoint) {
  std::map<char32_t, std::string> expected;
  for (const auto& fields : read_data("UpperCaseMapping.txt")) {
    ASSERT_EQ(fields.size(), 2u);
    ASSERT_EQ(fields[0].size(), 1u);
    expected[fields[0][0]] = utf8(fields[1]);
  }
  ASSERT_EQ(expected.size(), 1580u);
  int mismatches = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const auto it = expected.find(cp);
    const std::string want = it != expected.end() ? it->second : utf8(std::u32string(1, cp));
    std::string got = "<";  // appends, never replaces
    unicode::append_upper(cp, got);
    if (got != "<" + want && ++mismatches <= 10) {
      ADD_FAILURE() << "append_upper(U+" << std::hex << static_cast<std::uint32_t>(cp) << ")";
    }
  }
  EXPECT_EQ(mismatches, 0);
  std::string beyond;
  unicode::append_upper(0x110000, beyond);
  EXPECT_EQ(beyond, "\uFFFD");  // never an encoding of a non-character value
}

TEST(UnicodeTables, IsWhiteSpaceAgreesWithWhiteSpaceFileOnEveryCodePoint) {
  std::set<char32_t> expected;
  for (const auto& fields : read_data("WhiteSpace.txt")) expected.insert(fields.at(0).at(0));
  ASSERT_EQ(expected.size(), 25u);
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    ASSERT_EQ(unicode::is_white_space(cp), expected.count(cp) == 1)
        << "U+" << std::hex << static_cast<std::uint32_t>(cp);
  }
}

TEST(CanonicalizeCreator, SpacingAndCase) {
  const std::vector<std::pair<std::u32string, std::u32string>> cases = {
      {U"  acme   1.0 ", U"ACME 1.0"},
      {U"acme\t1.0", U"ACME 1.0"},
      {U"acme\n\r1.0", U"ACME 1.0"},
      {U"acme\u00A01.0", U"ACME 1.0"},
      {U"acme\u30001.0", U"ACME 1.0"},
      {U"\u0085a\u1680b\u2000c\u200Ad\u2028e\u2029f\u202Fg\u205Fh\v\f", U"A B C D E F G H"},
      {U"a\u200Bb", U"A\u200BB"},
      {U"a\u001Fb \u001C", U"A\u001FB \u001C"},
      {U"\uFEFFx", U"\uFEFFX"},
      {U"stra\u00DFe", U"STRASSE"},
      {U"\u01C6 \u01C5", U"\u01C4 \u01C4"},
      {U"\u0390", U"\u0399\u0308\u0301"},
      {U"x    \u0390", U"X \u0399\u0308\u0301"},  // longest mapping, ends the room exactly
      {U"\uFB03", U"FFI"},
      {U"\u019B\uA7CF\uA7D3\uA7D5", U"\uA7DC\uA7CE\uA7D2\uA7D4"},
      {U"\U00016EBB \U00016ED3", U"\U00016EA0 \U00016EB8"},
      {U"\U00010D70", U"\U00010D50"},
      {U"\u00E9\u00C9\u0131\u017F", U"\u00C9\u00C9IS"},
      {U"", U""},
      {U" \t\u3000\u00A0\n", U""},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(canonicalize_creator(utf8(in)), utf8(want)) << utf8(in);
    EXPECT_EQ(taglex::creator_hash(utf8(in)), taglex::fnv1a32(utf8(want))) << utf8(in);
  }
}

TEST(CanonicalizeCreator, IllFormedBytesPassThrough) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xFF", "\xFF"},
      {"  a\xC3", "A\xC3"},  // cut short at the end
      {"x\xE2\x80", "X\xE2\x80"},
      {"x\xF0\x9F\x98", "X\xF0\x9F\x98"},
      {"a\xC0\xA0"
       "b",
       "A\xC0\xA0"
       "B"},  // overlong spaces are no separators
      {"a\xE0\x80\xA0"
       "b",
       "A\xE0\x80\xA0"
       "B"},
      {"a\xF0\x80\x80\xA0"
       "b",
       "A\xF0\x80\x80\xA0"
       "B"},
      {"\xE2\x80 x", "\xE2\x80 X"},              // cut short before a space
      {"\xED\xA0\x80z", "\xED\xA0\x80Z"},        // surrogate
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},  // above U+10FFFF
      {"\xF5\x80\x80\x80", "\xF5\x80\x80\x80"},
      {"\x80\xBF  q \xF8", "\x80\xBF Q \xF8"},
      {"\xC3\xA9\xE9", "\xC3\x89\xE9"},  // valid then Latin-1 byte
  };
  for (const auto& [in, want] : cases) {
    // An exact-size heap copy, so that a sanitizer build sees any overread.
    const auto buf = std::make_unique<char[]>(in.size());
    in.copy(buf.get(), in.size());
    EXPECT_EQ(canonicalize_creator(std::string_view(buf.get(), in.size())), want);
    EXPECT_EQ(taglex::creator_hash(std::string_view(buf.get(), in.size())), taglex::fnv1a32(want));
  }
}

// Split at is_white_space, join with one space, append_upper each code point.
std::string reference_canonical(std::u32string_view text) {
  std::string out;
  bool gap = false;
  for (const char32_t c : text) {
    if (unicode::is_white_space(c)) {
      gap = !out.empty();
      continue;
    }
    if (gap) out += ' ';
    gap = false;
    unicode::append_upper(c, out);
  }
  return out;
}

TEST(CanonicalizeCreator, MatchesCompositionOfHelpers) {
  std::u32string alphabet;
  for (char32_t c = 0; c < 0x80; ++c) alphabet += c;
  alphabet +=
      U"\u0085\u00A0\u3000\u2029\u00DF\u00E0\u0149\u0390\u01C6\u200B\uFEFF\u4E00\uA7CF\uFB00"
      U"\U00016EBB\U0001E922";
  std::uint32_t state = 12345;
  for (int i = 0; i < 20000; ++i) {
    std::u32string text;
    state = state * 1103515245u + 12345u;
    // Some long ones, so that expanding mappings outgrow the input's size.
    const int len = static_cast<int>((state >> 16) % (i % 50 == 0 ? 400 : 13));
    // Half the samples stay ASCII, so both paths are exercised on their own.
    const std::size_t range = (i % 2 == 0) ? 0x80 : alphabet.size();
    for (int k = 0; k < len; ++k) {
      state = state * 1103515245u + 12345u;
      text += alphabet[(state >> 8) % range];
    }
    const std::string want = reference_canonical(text);
    const std::string given = utf8(text);
    ASSERT_EQ(canonicalize_creator(given), want) << given;
    ASSERT_EQ(taglex::creator_hash(given), taglex::fnv1a32(want)) << given;
    // The one-pass form and the comparison without building it agree.
    std::string out = "stale";
    ASSERT_EQ(taglex::canonicalize_and_hash(given, out), taglex::fnv1a32(want)) << given;
    ASSERT_EQ(out, want);
    ASSERT_TRUE(taglex::canonical_equals(given, want)) << given;
    ASSERT_FALSE(taglex::canonical_equals(given, want + "X")) << given;
    if (!want.empty()) {
      ASSERT_FALSE(taglex::canonical_equals(given, want.substr(0, want.size() - 1))) << given;
    }
    // The ASCII shortcut answers only for text that is its own canonical form.
    if (const auto h = taglex::canonical_ascii_hash(given)) {
      ASSERT_EQ(given, want);
      ASSERT_EQ(*h, taglex::fnv1a32(want));
    }
  }
}

TEST(CanonicalAsciiHash, OnlyTextAlreadyCanonical) {
  EXPECT_EQ(taglex::canonical_ascii_hash("ACME 1.0"), taglex::fnv1a32("ACME 1.0"));
  for (const std::string_view not_canonical :
       {"", " ACME", "ACME ", "AC  ME", "acme", "AC\tME", "\xC3\x84", "A\x01"}) {
    EXPECT_FALSE(taglex::canonical_ascii_hash(not_canonical)) << not_canonical;
    EXPECT_EQ(taglex::creator_hash(not_canonical),
              taglex::fnv1a32(taglex::canonicalize_creator(not_canonical)));
  }
}

TEST(CreatorHash, Fnv1aOfCanonicalText) {
  EXPECT_EQ(taglex::fnv1a32("ACME 1.0"), 0xC8BEE2EAu);
  EXPECT_EQ(taglex::creator_hash("  acme \t 1.0"), 0xC8BEE2EAu);
  EXPECT_EQ(taglex::creator_hash(""), taglex::kFnvOffsetBasis);
  EXPECT_EQ(taglex::creator_hash(" \u3000 "), 0x811C9DC5u);
}

}  // namespace
