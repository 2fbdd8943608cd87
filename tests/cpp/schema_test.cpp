// The file records: the two-element example file written out byte by byte,
// header parsing and the creator hash.
#include "taglex/schema.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>

#include "taglex/canonical.hpp"
#include "tlex_builder.hpp"

namespace {

using tlex_test::Bytes;

// The 224-byte example file, one row of its layout per line.
Bytes worked_example_by_hand() {
  Bytes f;
  const auto hex = [&](std::initializer_list<int> bytes) {
    for (int b : bytes) f.push_back(static_cast<std::uint8_t>(b));
  };
  const auto text = [&](std::string_view s) { f.insert(f.end(), s.begin(), s.end()); };
  hex({0x54, 0x4C, 0x45, 0x58, 0x02, 0x00});        // magic "TLEX", version 2
  f.resize(32, 0);                                  // bytes 6..31
  hex({0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0});  // entry 0: hash 0, record 0
  hex({0xEA, 0xE2, 0xBE, 0xC8, 1, 0, 0, 0, 0x29, 0, 0x10,
       0});  // entry 1: hash 0xC8BEE2EA, record 1
  hex({0, 0, 0, 0, 11, 0, 0,  0, 0, 0, 0, 0, 25, 0,
       0, 0, 0, 0, 0,  0, 25, 0, 0, 0, 3, 0, 0,  0});  // record 0 offsets
  hex({0x10, 0, 0x10, 0, 11, 0, 14, 0, 0, 0, 0, 0, 18, 0, 0,
       0});  // group, element, lengths, PN, flags
  hex({28, 0, 0, 0, 37, 0, 0,  0, 47, 0, 0, 0, 55, 0,
       0,  0, 0, 0, 0,  0, 55, 0, 0,  0, 0, 0, 0,  0});           // record 1
  hex({0x29, 0, 0x10, 0, 9, 0, 10, 0, 8, 0, 0, 0, 28, 1, 0, 0});  // UL, block form
  text("PatientName");
  text("Patient's Name");
  text("x|y");
  text("AcmeFlags");
  text("Acme Flags");
  text("ACME 1.0");
  hex({0});                                    // padding
  hex({0x58, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0});   // index: -168, 2
  hex({0x68, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0});   // records: -152, 2
  hex({0xB8, 0xFF, 0xFF, 0xFF, 55, 0, 0, 0});  // strings: -72, 55
  return f;
}

TEST(Layout, BuilderWritesTheWorkedExampleByteForByte) {
  const Bytes by_hand = worked_example_by_hand();
  ASSERT_EQ(by_hand.size(), 224u);
  EXPECT_EQ(tlex_test::worked_example().build().bytes, by_hand);
}

TEST(Layout, SmallestFileIsAHeaderAndARootOfThreeEmptyArrays) {
  const Bytes f = tlex_test::Image{}.build().bytes;
  ASSERT_EQ(f.size(), 56u);
  EXPECT_EQ(Bytes(f.begin() + 32, f.end()),
            (Bytes{0, 0, 0, 0, 0,    0,    0,    0,    0xF8, 0xFF, 0xFF, 0xFF,
                   0, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0}));
}

TEST(Layout, RootViewReadsSignedOffsetsFromEachField) {
  const Bytes f = worked_example_by_hand();
  const std::byte* body = reinterpret_cast<const std::byte*>(f.data()) + 32;
  const taglex::Dictionary root(body + 168);
  EXPECT_EQ(root.index().offset(), -168);
  EXPECT_EQ(root.index().target(), body);
  EXPECT_EQ(root.records().target(), body + 24);
  EXPECT_EQ(root.strings().target(), body + 112);
  EXPECT_EQ(root.strings().count(), 55u);
  EXPECT_EQ(taglex::IndexEntry(body + 12).creator_hash(), 0xC8BEE2EAu);
  EXPECT_EQ(taglex::TagRecord(body + 68).creator_offset(), 47u);
  EXPECT_EQ(taglex::TagRecord(body + 68).creator_len(), 8u);
}

TEST(FileHeader, FromBytesNeedsThirtyTwoBytes) {
  const Bytes f(32, 0);
  EXPECT_FALSE(taglex::FileHeader::from_bytes(std::as_bytes(std::span(f)).first(31)).has_value());
  EXPECT_FALSE(taglex::FileHeader::from_bytes({}).has_value());
  EXPECT_TRUE(taglex::FileHeader::from_bytes(std::as_bytes(std::span(f))).has_value());
}

TEST(FileHeader, FromBytesCopiesFieldsVerbatimAndZeroesTheReservedTail) {
  Bytes f(40);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(0xA0 + i);
  const auto h = taglex::FileHeader::from_bytes(std::as_bytes(std::span(f)));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->magic, (std::array<std::uint8_t, 4>{0xA0, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(h->version, 0xA5A4);
  EXPECT_EQ(h->unnamed6, 0xA7A6);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(h->unnamed8[i], 0xA8 + i) << "byte " << 8 + i;
  EXPECT_EQ(h->reserved, (std::array<std::uint8_t, 8>{}));
}

TEST(CreatorHash, IsFnv1aOfTheCanonicalCreator) {
  EXPECT_EQ(taglex::fnv1a32(""), 0x811C9DC5u);
  EXPECT_EQ(taglex::fnv1a32("a"), 0xE40C292Cu);
  EXPECT_EQ(taglex::fnv1a32("ACME 1.0"), 0xC8BEE2EAu);
  EXPECT_EQ(taglex::creator_hash("  acme   1.0 "), 0xC8BEE2EAu);
  EXPECT_EQ(taglex::creator_hash(" \t"), 0x811C9DC5u);
}

}  // namespace
