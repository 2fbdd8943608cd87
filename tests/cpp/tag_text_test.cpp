// Tags as people write them.
#include "taglex/tag_text.hpp"

#include <gtest/gtest.h>

namespace {

using Kind = taglex::TagTextError::Kind;

TEST(TagText, EveryWrittenForm) {
  for (const std::string_view text :
       {"(0010,0010)", "0010,0010", "00100010", "0x00100010", "0X00100010", " ( 0010 , 0010 ) "}) {
    const auto t = taglex::parse_tag_text(text);
    ASSERT_TRUE(t) << text;
    EXPECT_EQ(t.value().group, 0x0010);
    EXPECT_EQ(t.value().element, 0x0010);
    EXPECT_FALSE(t.value().block);
  }
  const auto block = taglex::parse_tag_text("(0029,XX1f)");
  ASSERT_TRUE(block);
  EXPECT_EQ(block.value().element, 0x1F);
  EXPECT_TRUE(block.value().block);
  EXPECT_EQ(taglex::format_tag(0x29, 0x1F, true), "(0029,xx1F)");
  EXPECT_EQ(taglex::format_tag(0x7FE0, 0x10, false), "(7FE0,0010)");
}

TEST(TagText, WhatIsWrongAndWhere) {
  const auto kind = [](std::string_view text) { return taglex::parse_tag_text(text).error(); };
  EXPECT_EQ(kind("(0010)").kind, Kind::kNoComma);
  EXPECT_EQ(kind("0010001").kind, Kind::kNotEightDigits);
  EXPECT_EQ(kind("PatientName").kind, Kind::kNotEightDigits);
  EXPECT_EQ(kind("001G,0010").kind, Kind::kBadGroup);
  EXPECT_EQ(kind("001G,0010").part, "001G");
  EXPECT_EQ(kind("0010,xx1G").kind, Kind::kBadElement);
  EXPECT_EQ(kind("0010, xx1G ").part, "xx1G");
  EXPECT_TRUE(taglex::is_keyword_text("PatientName_2"));
  EXPECT_FALSE(taglex::is_keyword_text("2Patient"));
  EXPECT_FALSE(taglex::is_keyword_text("Patient Name"));
  EXPECT_FALSE(taglex::is_keyword_text(""));
}

}  // namespace
