// The reverse indexes: keywords of the standard elements (former ones and
// repeating masks included), and the private creators with their elements.
#include "taglex/index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "taglex/canonical.hpp"
#include "tlex_builder.hpp"

namespace {

using tlex_test::Image;
using tlex_test::Record;

// An image whose index is sorted by key, one entry per record, built from
// (group, element, creator, keyword, description, block) rows. Texts are
// stored as a writer does: identical texts once, an empty text at the
// offset where the next one starts.
class Built {
 public:
  struct Row {
    std::uint16_t group, element;
    std::string_view creator, keyword, description;
    bool block = false;
    bool indexed = true;  // false: a record that no index entry names
  };
  explicit Built(const std::vector<Row>& rows) {
    Image img;
    std::vector<std::pair<std::string, tlex_test::Text>> seen;
    const auto text = [&](std::string_view s) {
      if (s.empty()) return tlex_test::Text{static_cast<std::uint32_t>(img.strings.size()), 0};
      for (const auto& [t, ref] : seen) {
        if (t == s) return ref;
      }
      seen.emplace_back(std::string(s), img.add(s));
      return seen.back().second;
    };
    for (const Row& row : rows) {
      Record r;
      r.group = row.group;
      r.element = row.element;
      r.block = row.block ? 1 : 0;
      r.keyword = text(row.keyword);
      r.creator = text(row.creator);
      r.description = text(row.description);
      if (row.indexed) {
        img.index.push_back({row.group, row.element,
                             row.creator.empty() ? 0 : taglex::creator_hash(row.creator),
                             static_cast<std::uint32_t>(img.records.size())});
      }
      img.records.push_back(r);
    }
    std::stable_sort(img.index.begin(), img.index.end(), [](const auto& a, const auto& b) {
      return std::tie(a.group, a.element, a.hash) < std::tie(b.group, b.element, b.hash);
    });
    bytes_ = img.build().bytes;
    view_ = taglex::DictionaryView::from_file_bytes(std::as_bytes(std::span(bytes_))).value();
  }
  const taglex::DictionaryView& view() const { return *view_; }
  // The (group, element) of the entry a keyword finds, or (0, 0).
  std::pair<int, int> tag_of(std::string_view keyword) const {
    const auto k = taglex::StandardIndex::build(view()).find_keyword(view(), keyword);
    if (!k) return {0, 0};
    const auto r = view().record(k->record);
    return {r.group(), r.element()};
  }

 private:
  tlex_test::Bytes bytes_;
  std::optional<taglex::DictionaryView> view_;
};

TEST(StandardIndex, KeywordsFormerKeywordsAndMasks) {
  const Built b({
      {0x0008, 0x0001, "", "", "VM 1"},  // no keyword, at the offset of the next text
      {0x0008, 0x0002, "", "Second", "VM 1"},
      {0x6002, 0x3000, "", "OverlayData", "VM 1; repeating (60xx,3000)"},
      {0x6000, 0x3000, "", "OverlayData", "VM 1; repeating (60xx,3000)"},
      {0x0018, 0x1010, "", "NewName", "VM 1; since 2020a; formerly OldName, Second"},
      {0x0028, 0x0400, "", "Rows4", "VM 1; also repeating (0028,04x0) RowsForNth"},
      {0x0029, 0x0010, "ACME", "Private", "VM 1", true},
  });
  EXPECT_EQ(b.tag_of("Second"), std::pair(0x0008, 0x0002));
  EXPECT_EQ(b.tag_of("OverlayData"), std::pair(0x6000, 0x3000));  // the first in index order
  EXPECT_EQ(b.tag_of("OldName"), std::pair(0x0018, 0x1010));      // a former keyword ...
  EXPECT_EQ(b.tag_of("Private"), std::pair(0, 0));                // (private: not standard)
  const auto index = taglex::StandardIndex::build(b.view());
  const auto keywords = index.keywords();
  EXPECT_EQ(std::count(keywords.begin(), keywords.end(), "Second"), 1);  // ... never over a current one
  ASSERT_EQ(index.repeaters().size(), 2u);
  EXPECT_EQ(index.repeaters()[0].mask.text(), "002804x0");
  EXPECT_EQ(index.repeaters()[0].keyword, "RowsForNth");
  EXPECT_EQ(index.repeaters()[1].mask.text(), "60xx3000");
  EXPECT_EQ(index.repeaters()[1].keyword, "OverlayData");
}

// A keyword answers only with a record that a lookup of its tag finds: in a
// file with two records under one key (the later one answers) or a record no
// entry names, another record with the keyword answers, or none.
TEST(StandardIndex, AnswersOnlyRecordsTheIndexAnswers) {
  const Built b({
      {0x0010, 0x0010, "", "Dup", "VM 1; formerly Gone"},  // shadowed by the next row
      {0x0010, 0x0010, "", "Shadow", "VM 1"},
      {0x0010, 0x0020, "", "Dup", "VM 1"},
      {0x0010, 0x0030, "", "Orphan", "VM 1", false, false},
      {0x0010, 0x0040, "", "Kept", "VM 1; formerly Orphan"},
  });
  EXPECT_EQ(b.tag_of("Shadow"), std::pair(0x0010, 0x0010));
  EXPECT_EQ(b.tag_of("Dup"), std::pair(0x0010, 0x0020));
  EXPECT_EQ(b.tag_of("Gone"), std::pair(0, 0));  // a former keyword of the shadowed record
  // The record's own keyword is not answered; as the former keyword of
  // another element it is not taken over either (its slot is the record's).
  EXPECT_EQ(b.tag_of("Orphan"), std::pair(0, 0));
  EXPECT_EQ(b.tag_of("Kept"), std::pair(0x0010, 0x0040));
  // Asked twice, from the check remembered: the same answers.
  const auto index = taglex::StandardIndex::build(b.view());
  for (int round = 0; round < 2; ++round) {
    const auto dup = index.find_keyword(b.view(), "Dup");
    ASSERT_TRUE(dup);
    EXPECT_EQ(b.view().record(dup->record).element(), 0x0020);
    EXPECT_FALSE(index.find_keyword(b.view(), "Orphan"));
  }
}

// More keywords than one chunk of slots and the first table hold, stored in
// descending tag order: each answers with its own element, and of two
// records with one keyword the lower tag answers, wherever it is stored.
TEST(StandardIndex, ManyKeywordsInAnyOrder) {
  constexpr int kCount = 3000;
  std::vector<std::string> names;
  names.reserve(kCount);
  for (int i = 0; i < kCount; ++i) names.push_back("Keyword" + std::to_string(i));
  std::vector<Built::Row> rows;
  rows.push_back({0x0013, 0x0001, "", "Twice", "VM 1"});
  for (int i = kCount - 1; i >= 0; --i) {
    rows.push_back({static_cast<std::uint16_t>(0x0012 - i / 0x8000),
                    static_cast<std::uint16_t>(i % 0x8000 + 1), "", names[i], "VM 1"});
  }
  rows.push_back({0x0011, 0x0001, "", "Twice", "VM 1"});
  const Built b(rows);
  const auto index = taglex::StandardIndex::build(b.view());
  EXPECT_EQ(index.size(), static_cast<std::size_t>(kCount + 1));
  EXPECT_EQ(index.keywords().size(), static_cast<std::size_t>(kCount + 1));
  for (int i = 0; i < kCount; ++i) {
    const auto found = index.find_keyword(b.view(), names[i]);
    ASSERT_TRUE(found) << names[i];
    EXPECT_EQ(b.view().record(found->record).element(), i % 0x8000 + 1) << names[i];
    EXPECT_LT(found->slot, index.size());
  }
  const auto twice = index.find_keyword(b.view(), "Twice");
  ASSERT_TRUE(twice);
  EXPECT_EQ(b.view().record(twice->record).group(), 0x0011);
  EXPECT_FALSE(index.find_keyword(b.view(), "Keyword3000"));
  EXPECT_FALSE(index.find_keyword(b.view(), ""));
}

TEST(PrivateIndex, CreatorsByCanonicalFormWithTheirEntries) {
  const Built b({
      {0x0029, 0x10, "acme  1.0", "First", "", true},
      {0x0029, 0x11, "ACME 1.0", "Second", "", true},
      {0x0031, 0x10, "SIEMENS CSA HEADER", "Siemens", "", true},
      {0x0031, 0x10, "ACME IKV9HMT", "Colliding", "", true},  // the same hash, another creator
      {0x0031, 0x11, "ACME IKV9HMT", "Old", "", true},
      {0x0031, 0x11, "acme ikv9hmt", "New", "", true},  // the same key and creator: this one answers
  });
  const auto index = taglex::PrivateIndex::build(b.view());
  ASSERT_EQ(index.creators().size(), 3u);
  const auto* acme = index.find("ACME 1.0");
  ASSERT_NE(acme, nullptr);
  EXPECT_EQ(acme->spelling, "acme  1.0");  // the first in index order
  EXPECT_EQ(acme->entries.size(), 2u);
  const auto* colliding = index.find("ACME IKV9HMT");
  ASSERT_NE(colliding, nullptr);
  std::vector<std::string_view> keywords;
  for (const auto k : colliding->entries) keywords.push_back(b.view().record_of_entry(k).keyword());
  EXPECT_EQ(keywords, (std::vector<std::string_view>{"Colliding", "New"}));
  EXPECT_EQ(index.find("acme 1.0"), nullptr);  // found by the canonical form only
}

}  // namespace
