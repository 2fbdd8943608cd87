// Lookups and record views over in-memory images: the search, the creator
// key, texts read in place, and the internal errors of broken references.
#include "taglex/lookup.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "taglex/canonical.hpp"
#include "tlex_builder.hpp"

namespace {

using tlex_test::Image;
using tlex_test::Record;
using tlex_test::Text;

// A validated image kept alive together with its view.
class Dict {
 public:
  explicit Dict(const Image& img) : bytes_(img.build().bytes) {
    auto r = taglex::DictionaryView::from_file_bytes(std::as_bytes(std::span(bytes_)));
    if (r.ok()) {
      view_ = r.value();
    } else {
      ADD_FAILURE() << taglex::to_string(r.error());
    }
  }
  const taglex::DictionaryView* operator->() const { return &view_.value(); }

 private:
  tlex_test::Bytes bytes_;
  std::optional<taglex::DictionaryView> view_;
};

// The keyword of what a lookup found, or "(nothing)".
std::string found(const std::optional<taglex::TagView>& v) {
  return v ? std::string(v->keyword()) : "(nothing)";
}

std::vector<std::string> sources_of(const taglex::TagView& v) {
  std::vector<std::string> out;
  for (std::string_view s : v.sources()) out.emplace_back(s);
  return out;
}

// A record whose keyword names it.
Record named(Image& img, std::string_view keyword, std::uint16_t group = 0,
             std::uint16_t element = 0) {
  Record r;
  r.group = group;
  r.element = element;
  r.keyword = img.add(keyword);
  return r;
}

// The message of the InternalError that `f` throws.
std::string internal_error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const taglex::InternalError& e) {
    EXPECT_NE(e.where().line(), 0u);
    EXPECT_EQ(e.what(), e.message());
    return e.message();
  }
  return "(no internal error)";
}

TEST(Lookup, WorkedExample) {
  const Dict d(tlex_test::worked_example());
  EXPECT_EQ(d->len(), 2u);
  const auto pn = d->lookup(0x0010, 0x0010, std::nullopt);
  ASSERT_TRUE(pn.has_value());
  EXPECT_EQ(pn->group(), 0x0010);
  EXPECT_EQ(pn->element(), 0x0010);
  EXPECT_EQ(pn->keyword(), "PatientName");
  EXPECT_EQ(pn->name(), "Patient's Name");
  EXPECT_EQ(pn->description(), "");
  EXPECT_EQ(pn->creator(), "");
  EXPECT_EQ(pn->vr(), "PN");
  EXPECT_FALSE(pn->retired());
  EXPECT_FALSE(pn->element_is_block_offset());
  EXPECT_EQ(sources_of(*pn), (std::vector<std::string>{"x", "y"}));

  const auto acme = d->lookup(0x0029, 0x0010, "  acme   1.0 ");
  ASSERT_TRUE(acme.has_value());
  EXPECT_EQ(acme->group(), 0x0029);
  EXPECT_EQ(acme->element(), 0x0010);
  EXPECT_EQ(acme->keyword(), "AcmeFlags");
  EXPECT_EQ(acme->name(), "Acme Flags");
  EXPECT_EQ(acme->creator(), "ACME 1.0");
  EXPECT_EQ(acme->vr(), "UL");
  EXPECT_TRUE(acme->element_is_block_offset());
  EXPECT_TRUE(sources_of(*acme).empty());
}

TEST(Lookup, WorkedExampleByKey) {
  const Dict d(tlex_test::worked_example());
  struct Case {
    std::uint16_t group, element;
    std::optional<std::string_view> creator;
    const char* keyword;
  };
  const Case cases[] = {
      {0x0029, 0x0010, std::nullopt, "(nothing)"},  // a private tag needs its creator
      {0x0010, 0x0010, "", "(nothing)"},            // an empty creator is not "no creator"
      {0x0010, 0x0010, " ", "(nothing)"},
      {0x0029, 0x1010, "ACME 1.0", "(nothing)"},  // element numbers are not masked
      {0x0029, 0x0010, "ACME 1.1", "(nothing)"},
      {0x0029, 0x0010, "ACME1.0", "(nothing)"},
      {0x0010, 0x0011, std::nullopt, "(nothing)"},
      {0x1010, 0x0010, std::nullopt, "(nothing)"},
      {0x0029, 0x0010, "ACME 1.0", "AcmeFlags"},
      {0x0029, 0x0010, "\tAcme\n1.0\r", "AcmeFlags"},
      {0x0029, 0x0010, "acme\u00A01.0", "AcmeFlags"},
      {0x0029, 0x0010, "acme\u30001.0", "AcmeFlags"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(found(d->lookup(c.group, c.element, c.creator)), c.keyword)
        << std::hex << c.group << "," << c.element << " creator '" << c.creator.value_or("(none)")
        << "'";
  }
}

TEST(Lookup, EmptyAndBlankCreatorsHashToTheOffsetBasis) {
  Image img;
  img.records = {named(img, "blank")};
  img.index = {{0x0009, 0x0010, 0x811C9DC5, 0}};
  const Dict d(img);
  for (std::string_view creator : {"", " ", "\t\n \u3000"}) {
    EXPECT_EQ(found(d->lookup(0x0009, 0x0010, creator)), "blank") << "'" << creator << "'";
  }
  EXPECT_EQ(found(d->lookup(0x0009, 0x0010, std::nullopt)), "(nothing)");
}

// Sizes 0 to 64, keys spread over each part's whole range (so comparisons
// must be unsigned), every part even so that each neighbour at distance one is
// absent, records stored in reverse order.
TEST(Lookup, BinarySearchFindsEveryKeyAndNoNeighbourAtEverySize) {
  struct Key {
    std::uint16_t g, e;
    std::uint32_t h;
  };
  for (std::uint32_t n = 0; n <= 64; ++n) {
    Image img;
    std::vector<Key> keys;
    img.records.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      keys.push_back({static_cast<std::uint16_t>(i / 8 * 0x2002 + 2),
                      static_cast<std::uint16_t>(i / 2 % 4 * 0x4002 + 2),
                      i % 2 ? 0xFFFFFFF0u : 0x10u});
      img.index.push_back({keys[i].g, keys[i].e, keys[i].h, n - 1 - i});
      img.records[n - 1 - i] = named(img, "k" + std::to_string(i), keys[i].g, keys[i].e);
    }
    const Dict d(img);
    ASSERT_EQ(d->len(), n);
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto [g, e, h] = keys[i];
      EXPECT_EQ(found(d->lookup_hash(g, e, h)), "k" + std::to_string(i)) << "n " << n;
      const Key absent[] = {{g, e, h - 1},
                            {g, e, h + 1},
                            {g, static_cast<std::uint16_t>(e - 1), h},
                            {g, static_cast<std::uint16_t>(e + 1), h},
                            {static_cast<std::uint16_t>(g - 1), e, h},
                            {static_cast<std::uint16_t>(g + 1), e, h}};
      for (const Key& k : absent) {
        EXPECT_EQ(found(d->lookup_hash(k.g, k.e, k.h)), "(nothing)")
            << "n " << n << " near key " << i << ": " << std::hex << k.g << "," << k.e << ","
            << k.h;
      }
    }
    EXPECT_EQ(found(d->lookup_hash(0, 0, 0)), "(nothing)") << "n " << n;
    EXPECT_EQ(found(d->lookup(0xFFFF, 0xFFFF, "x")), "(nothing)") << "n " << n;
  }
}

// A lookup with a creator starts its search before hashing the creator, on
// (group, element) alone; it must probe and decide exactly as the documented
// search does, also over an index that is not sorted (where the result is not
// the matching entry but still a fixed one). Indexes of 1 to 80 entries drawn
// from few groups, elements and creators, so that runs of equal pairs and of
// equal keys are common, in sorted and in shuffled order; every pair asked
// with every creator, and with a creator no entry has.
TEST(Lookup, LookupWithCreatorFindsWhatTheDocumentedSearchFinds) {
  const std::string_view creators[] = {"ACME 1", "acme  2", "\u00DF", "ZZ"};
  std::mt19937 rng(12345);
  const auto reference = [](const Image& img, std::uint16_t g, std::uint16_t e,
                            std::uint32_t h) -> std::string {
    const auto key = [&](std::size_t i) {
      const auto& x = img.index[i];
      return (std::uint64_t{x.group} << 48) | (std::uint64_t{x.element} << 32) | x.hash;
    };
    const std::uint64_t wanted = (std::uint64_t{g} << 48) | (std::uint64_t{e} << 32) | h;
    std::size_t base = 0, size = img.index.size();
    while (size > 1) {
      const std::size_t half = size / 2;
      if (key(base + half) <= wanted) base += half;
      size -= half;
    }
    return key(base) == wanted ? "r" + std::to_string(img.index[base].record) : "(nothing)";
  };
  for (std::uint32_t n = 1; n <= 80; ++n) {
    for (const bool sorted : {true, false}) {
      Image img;
      for (std::uint32_t i = 0; i < n; ++i) {
        img.records.push_back(named(img, "r" + std::to_string(i)));
        const auto g = static_cast<std::uint16_t>(0x0009 + 2 * (rng() % 2));
        const auto e = static_cast<std::uint16_t>(0x10 + rng() % 3);
        const std::uint32_t h = rng() % 5 == 0 ? 0 : taglex::creator_hash(creators[rng() % 3]);
        img.index.push_back({g, e, h, i});
      }
      if (sorted) {
        std::stable_sort(img.index.begin(), img.index.end(), [](const auto& a, const auto& b) {
          return std::tie(a.group, a.element, a.hash) < std::tie(b.group, b.element, b.hash);
        });
      }
      const Dict d(img);
      for (const std::uint16_t g : {0x0009, 0x000B, 0x000D}) {
        for (std::uint16_t e = 0x0F; e <= 0x13; ++e) {
          for (const std::string_view c : creators) {
            const std::uint32_t h = taglex::creator_hash(c);
            EXPECT_EQ(found(d->lookup(g, e, c)), reference(img, g, e, h))
                << "n " << n << (sorted ? " sorted" : " shuffled") << " at " << std::hex << g << ","
                << e << " '" << c << "'";
          }
          EXPECT_EQ(found(d->lookup(g, e, std::nullopt)), reference(img, g, e, 0)) << "n " << n;
        }
      }
    }
  }
}

// Runs of equal keys at the start, middle and end of indexes of several
// sizes (entry i leads to record i): the last entry of the run wins.
TEST(Lookup, AmongEqualKeysTheLastEntryWins) {
  struct Case {
    std::uint32_t n, first, run;
  };
  for (const Case c : {Case{8, 5, 3}, Case{3, 0, 3}, Case{8, 0, 3}, Case{8, 3, 3}, Case{9, 2, 5},
                       Case{2, 0, 2}, Case{16, 1, 14}}) {
    Image img;
    for (std::uint32_t i = 0; i < c.n; ++i) {
      img.records.push_back(named(img, "r" + std::to_string(i)));
      const std::uint32_t element = i < c.first ? i : i < c.first + c.run ? 100 : 200 + i;
      img.index.push_back({0x0008, static_cast<std::uint16_t>(element), 0, i});
    }
    const Dict d(img);
    EXPECT_EQ(found(d->lookup(0x0008, 100, std::nullopt)),
              "r" + std::to_string(c.first + c.run - 1))
        << c.n << " entries, run of " << c.run << " from " << c.first;
  }
}

TEST(Lookup, LenCountsIndexEntriesNotRecords) {
  Image img;
  img.records = {named(img, "shared", 0x0008, 0x0001)};
  img.index = {{0x0008, 0x0001, 0, 0},
               {0x0008, 0x0002, 0, 0},
               {0x0008, 0x0003, 0, 0},
               {0x0008, 0x0003, 7, 0}};
  const Dict d(img);
  EXPECT_EQ(d->len(), 4u);
  for (std::uint16_t e : {1, 2, 3}) {
    const auto v = d->lookup(0x0008, e, std::nullopt);
    ASSERT_TRUE(v.has_value()) << e;
    EXPECT_EQ(v->element(), 0x0001);  // the record's own element, not the entry's
  }
}

// "VENDOR 332789" and "VENDOR 529192" differ but share the FNV-1a hash
// 0x7E0C998B. Only hashes are compared: whichever spelling is given finds the
// last entry of the shared key, whatever creator text its record holds.
TEST(Lookup, CreatorsWithTheSameHashShareTheirEntries) {
  ASSERT_EQ(taglex::fnv1a32("VENDOR 332789"), 0x7E0C998Bu);
  ASSERT_EQ(taglex::fnv1a32("VENDOR 529192"), 0x7E0C998Bu);
  Image img;
  img.records = {named(img, "first"), named(img, "second"), named(img, "lone")};
  img.records[0].creator = img.add("VENDOR 332789");
  img.records[1].creator = img.records[2].creator = img.add("VENDOR 529192");
  img.index = {{0x0019, 0x0010, 0x7E0C998B, 0},
               {0x0019, 0x0010, 0x7E0C998B, 1},
               {0x0019, 0x0011, 0x7E0C998B, 2}};
  const Dict d(img);
  for (std::string_view creator :
       {"VENDOR 332789", "vendor 332789", "VENDOR 529192", " Vendor  529192 "}) {
    const auto v = d->lookup(0x0019, 0x0010, creator);
    EXPECT_EQ(found(v), "second") << creator;
    EXPECT_EQ(v ? v->creator() : "", "VENDOR 529192");
    EXPECT_EQ(found(d->lookup(0x0019, 0x0011, creator)), "lone") << creator;
  }
  EXPECT_EQ(found(d->lookup(0x0019, 0x0010, "VENDOR 332788")), "(nothing)");
}

TEST(TagView, VrTableAndFlags) {
  constexpr std::string_view kExpected[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD",
                                            "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                            "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                            "UI", "UL", "UN", "UR", "US", "UT", "UV", "??"};
  Image img;
  for (std::uint8_t code = 0; code < 35; ++code) {
    img.records.push_back({.vr = code,
                           .block = static_cast<std::uint8_t>(code / 2 % 2),
                           .retired = static_cast<std::uint8_t>(code % 2)});
    img.index.push_back({0x0001, code, 0, code});
  }
  const Dict d(img);
  for (std::uint8_t code = 0; code < 35; ++code) {
    const auto v = d->lookup(0x0001, code, std::nullopt);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->vr(), kExpected[code]) << int{code};
    EXPECT_EQ(v->retired(), code % 2 == 1) << int{code};
    EXPECT_EQ(v->element_is_block_offset(), code / 2 % 2 == 1) << int{code};
  }
}

// A single-record dictionary whose record `set` fills in, found at (1,1).
std::optional<taglex::TagView> only_record(const Dict& d) {
  return d->lookup(0x0001, 0x0001, std::nullopt);
}
Image one_record(const std::function<void(Image&, Record&)>& set) {
  Image img;
  Record r;
  set(img, r);
  img.records = {r};
  img.index = {{0x0001, 0x0001, 0, 0}, {0x0002, 0x0002, 0, 0}};
  return img;
}

TEST(TagView, Sources) {
  struct Case {
    std::string_view text;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"x|y", {"x", "y"}}, {"a||b|", {"a", "b"}}, {"|", {}},        {"", {}},
      {"||", {}},          {"|a", {"a"}},         {"abc", {"abc"}}, {" a | b ", {" a ", " b "}},
      {"\xFF|a", {}},      {"é|ü", {"é", "ü"}}};
  for (const Case& c : cases) {
    const Dict d(one_record([&](Image& img, Record& r) { r.sources = img.add(c.text); }));
    const auto v = only_record(d);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(sources_of(*v), c.pieces) << c.text;
    EXPECT_EQ(sources_of(*v), c.pieces) << "read twice: " << c.text;
  }
}

TEST(TagView, TextsThatAreNotUtf8ReadAsEmpty) {
  for (std::string_view bad :
       {"\xFF", "Patient\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82"}) {
    const Dict d(one_record([&](Image& img, Record& r) {
      r.keyword = img.add(bad);
      r.name = img.add("Name \u00E9\u4E2D\U0001F600");
      r.creator = img.add("C");
    }));
    const auto v = only_record(d);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->keyword(), "") << testing::PrintToString(std::string(bad));
    EXPECT_EQ(v->name(), "Name \u00E9\u4E2D\U0001F600");
    EXPECT_EQ(v->creator(), "C");
  }
}

TEST(TagView, CreatorOfLengthZeroIsEmptyWhateverItsOffset) {
  const Dict d(one_record([](Image& img, Record& r) {
    r.keyword = img.add("kw");
    r.creator = {0xFFFFFFFF, 0};
  }));
  const auto v = only_record(d);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->creator(), "");
  EXPECT_EQ(v->keyword(), "kw");
}

// Text references past the strings table (10 bytes here) fail with the
// messages of a bounds-checked slice; the record's other texts and the other
// lookups keep working.
TEST(TagView, TextPastTheStringsTableIsAnInternalError) {
  struct Case {
    Text Record::*field;
    Text text;
    std::function<void(const taglex::TagView&)> read;
    const char* message;
  };
  const Case cases[] = {
      {&Record::name,
       {8, 3},
       &taglex::TagView::name,
       "range end index 11 out of range for slice of length 10"},
      {&Record::keyword,
       {11, 0},
       &taglex::TagView::keyword,
       "range start index 11 out of range for slice of length 10"},
      {&Record::description,
       {0xFFFFFFFF, 0xFFFFFFFF},
       &taglex::TagView::description,
       "range start index 4294967295 out of range for slice of length 10"},
      {&Record::description,
       {1, 0xFFFFFFFF},
       &taglex::TagView::description,
       "range end index 4294967296 out of range for slice of length 10"},
      {&Record::creator,
       {5, 6},
       &taglex::TagView::creator,
       "range end index 11 out of range for slice of length 10"},
      {&Record::sources,
       {10, 1},
       &taglex::TagView::sources,
       "range end index 11 out of range for slice of length 10"},
  };
  for (const Case& c : cases) {
    const Dict d(one_record([&](Image& img, Record& r) {
      r.name = img.add("0123456789");
      r.description = {10, 0};  // empty, at the very end: fine
      r.*c.field = c.text;
    }));
    const auto v = only_record(d);
    ASSERT_TRUE(v.has_value()) << c.message;
    EXPECT_EQ(internal_error_of([&] { c.read(*v); }), c.message);
    EXPECT_EQ(v->vr(), "AE") << c.message;
    if (c.field != &Record::name) {
      EXPECT_EQ(v->name(), "0123456789") << c.message;
    }
    EXPECT_TRUE(d->lookup(0x0002, 0x0002, std::nullopt).has_value()) << c.message;
  }
}

TEST(Lookup, EntryNamingAMissingRecordIsAnInternalError) {
  struct Case {
    std::uint32_t records, index;
    const char* message;
  };
  for (const Case c :
       {Case{2, 2, "index out of bounds: the len is 2 but the index is 2"},
        Case{2, 0xFFFFFFFF, "index out of bounds: the len is 2 but the index is 4294967295"},
        Case{0, 0, "index out of bounds: the len is 0 but the index is 0"}}) {
    Image img;
    for (std::uint32_t i = 0; i < c.records; ++i)
      img.records.push_back(named(img, "r" + std::to_string(i)));
    img.index = {{0x0007, 0x0001, 0, 0}, {0x0007, 0x0002, 0, c.index}, {0x0007, 0x0003, 0, 1}};
    const Dict d(img);
    EXPECT_EQ(internal_error_of([&] { d->lookup(0x0007, 0x0002, std::nullopt); }), c.message);
    // The entries around it, and a second try at it, behave as before.
    if (c.records > 0) {
      EXPECT_EQ(found(d->lookup(0x0007, 0x0001, std::nullopt)), "r0");
      EXPECT_EQ(found(d->lookup(0x0007, 0x0003, std::nullopt)), "r1");
    }
    EXPECT_EQ(found(d->lookup(0x0007, 0x0004, std::nullopt)), "(nothing)");
    EXPECT_EQ(internal_error_of([&] { d->lookup(0x0007, 0x0002, std::nullopt); }), c.message);
  }
}

}  // namespace
