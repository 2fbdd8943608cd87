// The reverse indexes: keywords of the standard elements (former ones and
// repeating masks included), and the private creators with their elements.
#include "taglex/index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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
      img.index.push_back({row.group, row.element,
                           row.creator.empty() ? 0 : taglex::creator_hash(row.creator),
                           static_cast<std::uint32_t>(img.records.size())});
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
