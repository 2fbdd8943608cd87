// Structural validation of archived bodies, run on copies placed at chosen
// addresses so that every address in a message follows from the body's start.
#include "taglex/validate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "tlex_builder.hpp"

namespace {

using tlex_test::expand;
using tlex_test::Field;
using tlex_test::File;
using tlex_test::Record;

// A copy of a body whose first byte lies `shift` bytes past a multiple of 64.
struct Placed {
  Placed(std::span<const std::uint8_t> body, std::size_t shift) : store(body.size() + 64 + shift) {
    const auto base = reinterpret_cast<std::uintptr_t>(store.data());
    start = store.data() + ((64 - base % 64) % 64 + shift);
    std::copy(body.begin(), body.end(), start);
    len = body.size();
  }
  std::uintptr_t S() const { return reinterpret_cast<std::uintptr_t>(start); }
  auto check() const {
    return taglex::check_archived_root(reinterpret_cast<const std::byte*>(start), len);
  }
  std::vector<std::uint8_t> store;
  std::uint8_t* start;
  std::size_t len;
};

// A body of `len` bytes whose root fields point at the given positions.
File body(std::size_t len, std::int64_t index, std::uint32_t n_index, std::int64_t records,
          std::uint32_t n_records, std::int64_t strings, std::uint32_t n_strings) {
  File f = File::blank(len);
  f.target(Field::index, index, n_index).target(Field::records, records, n_records);
  return f.target(Field::strings, strings, n_strings);
}

// Six zeroed records filling positions 0..264, with some bytes replaced.
File six_records(
    std::initializer_list<std::tuple<std::size_t, std::uint8_t, std::uint8_t, std::uint8_t>>
        bytes) {
  File f = body(288, 0, 0, 0, 6, 264, 0);
  for (auto [i, block, retired, vr] : bytes)
    f.record(44 * i, Record{.vr = vr, .block = block, .retired = retired});
  return f;
}

const std::string kIndex = "check bytes error: check failed for struct member index: ";
const std::string kRecords = "check bytes error: check failed for struct member records: ";
const std::string kStrings = "check bytes error: check failed for struct member strings: ";
std::string slice(int i, std::string_view tail) {
  return kRecords + "check failed for slice index " + std::to_string(i) +
         ": check failed for struct member " + std::string(tail);
}
const std::string kBool = "check failed for bool: expected 0 or 1, found ";

struct FailCase {
  const char* name;
  File file;
  std::string text;  // "@N" is the address S + N
};

const FailCase kFailures[] = {
    // Root-level checks.
    {"EmptyBody", File::blank(0),
     "context error: pointer out of bounds: base @0 offset -24 not in range @0..@0"},
    {"Body23", File::blank(23),
     "context error: pointer out of bounds: base @0 offset -1 not in range @0..@23"},
    {"Body26", File::blank(26),
     "context error: unaligned pointer: ptr @2 unaligned for alignment 4"},
    {"Body49", body(49, 0, 0, 0, 0, 0, 0),
     "context error: unaligned pointer: ptr @25 unaligned for alignment 4"},
    // The empty index may sit at the root, the empty records 8 bytes past it may not.
    {"TwentyFourZeroBytes", File::blank(24),
     kRecords + "subtree pointer out of bounds: ptr @8 not in range @0..@0"},
    // Target outside the body: the base is the address of the field itself.
    {"IndexBeforeBody", File::blank(24).relvec(Field::index, -4, 0),
     kIndex + "pointer out of bounds: base @0 offset -4 not in range @0..@24"},
    {"RecordsPastBody", body(48, 0, 0, 0, 0, 0, 0).relvec(Field::records, 17, 0),
     kRecords + "pointer out of bounds: base @32 offset 17 not in range @0..@48"},
    {"StringsOffsetMin", body(24, 0, 0, 0, 0, 0, 0).relvec(Field::strings, INT32_MIN, 0),
     kStrings + "pointer out of bounds: base @16 offset -2147483648 not in range @0..@24"},
    {"StringsOffsetMax", body(24, 0, 0, 0, 0, 0, 0).relvec(Field::strings, INT32_MAX, 0),
     kStrings + "pointer out of bounds: base @16 offset 2147483647 not in range @0..@24"},
    // Target alignment comes before any size check.
    {"IndexTargetUnaligned", body(48, 1, 0, 24, 0, 24, 0),
     kIndex + "unaligned pointer: ptr @1 unaligned for alignment 4"},
    {"RecordsTargetTwoOff", body(48, 0, 0, 2, 1000000, 24, 0),
     kRecords + "unaligned pointer: ptr @2 unaligned for alignment 4"},
    // Room in the body, sizes in 64 bits.
    {"IndexOverrun", body(48, 0, 5, 24, 0, 24, 0),
     kIndex + "pointer overran buffer: ptr @0 size 60 in range @0..@48"},
    {"RecordsCountMax", body(48, 0, 0, 0, 0xFFFFFFFF, 24, 0),
     kRecords + "pointer overran buffer: ptr @0 size 188978560980 in range @0..@48"},
    {"StringsPastBody", body(48, 0, 0, 0, 0, 40, 9),
     kStrings + "pointer overran buffer: ptr @40 size 9 in range @0..@48"},
    // Order and bounds of non-empty arrays.
    {"RecordsOverlapIndex", body(80, 0, 1, 8, 1, 56, 0),
     kRecords + "subtree pointer out of bounds: ptr @8 not in range @12..@56"},
    {"RecordsBeforeIndex", body(80, 44, 1, 0, 1, 56, 0),
     kRecords + "subtree pointer out of bounds: ptr @0 not in range @56..@56"},
    {"NonEmptyIndexAtRoot", body(48, 24, 1, 36, 0, 36, 0),
     kIndex + "subtree pointer out of bounds: ptr @24 not in range @0..@24"},
    {"IndexReachesIntoRoot", body(48, 4, 2, 24, 0, 24, 0),
     kIndex + "subtree pointer overran range: ptr @4 size 24 in range @0..@24"},
    {"StringsReachIntoRoot", body(48, 0, 0, 0, 0, 20, 5),
     kStrings + "subtree pointer overran range: ptr @20 size 5 in range @0..@24"},
    // Empty arrays keep the order; only their end bound is inclusive.
    {"EmptyRecordsInsideIndex", body(80, 0, 1, 8, 0, 56, 0),
     kRecords + "subtree pointer out of bounds: ptr @8 not in range @12..@56"},
    {"EmptyIndexPastRoot", body(48, 28, 0, 28, 0, 28, 0),
     kIndex + "subtree pointer out of bounds: ptr @28 not in range @0..@24"},
    {"EmptyIndexAtBodyEnd", body(48, 48, 0, 48, 0, 48, 0),
     kIndex + "subtree pointer out of bounds: ptr @48 not in range @0..@24"},
    {"StringsBeforeEmptyRecords", body(48, 0, 0, 12, 0, 8, 0),
     kStrings + "subtree pointer out of bounds: ptr @8 not in range @12..@24"},
    // Record bytes: the first bad record, and within it block, retired, vr.
    {"Block2", six_records({{0, 2, 0, 0}}), slice(0, "element_is_block_offset: " + kBool + "2")},
    {"Retired255", six_records({{3, 1, 255, 34}}), slice(3, "retired: " + kBool + "255")},
    {"Vr35", six_records({{5, 1, 1, 35}}), slice(5, "vr: invalid tag for enum: 35")},
    {"Vr255", six_records({{4, 0, 0, 255}}), slice(4, "vr: invalid tag for enum: 255")},
    {"RetiredBeforeVr", six_records({{0, 0, 2, 200}}), slice(0, "retired: " + kBool + "2")},
    {"BlockBeforeRetired", six_records({{0, 2, 2, 200}}),
     slice(0, "element_is_block_offset: " + kBool + "2")},
    {"Record0BeforeRecord5", six_records({{5, 3, 0, 0}, {0, 0, 0, 40}}),
     slice(0, "vr: invalid tag for enum: 40")},
};

class Rejects : public ::testing::TestWithParam<FailCase> {};

TEST_P(Rejects, WithTheExactTextAtAnyBodyAddress) {
  for (std::size_t shift : {0, 4, 8, 36}) {
    const Placed p(GetParam().file.body(), shift);
    const auto r = p.check();
    ASSERT_FALSE(r.ok()) << "shift " << shift;
    EXPECT_EQ(taglex::to_string(r.error()), expand(GetParam().text, p.S())) << "shift " << shift;
  }
}

INSTANTIATE_TEST_SUITE_P(Validate, Rejects, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Validate, UnderalignedBodyReportsTheLargestPowerOfTwoDividingItsAddress) {
  const File smallest = body(24, 0, 0, 0, 0, 0, 0);
  for (std::size_t shift : {1, 2, 3, 6, 10, 34}) {
    const Placed p(smallest.body(), shift);
    const std::uintptr_t actual = p.S() & (~p.S() + 1);
    ASSERT_EQ(actual, shift & (~shift + 1)) << "shift " << shift;
    const auto r = p.check();
    ASSERT_FALSE(r.ok()) << "shift " << shift;
    EXPECT_EQ(taglex::to_string(r.error()),
              "context error: archive underaligned: need alignment 4 but have alignment " +
                  std::to_string(actual));
  }
  // A body too short for a root is reported first.
  const Placed p(File::blank(0).body(), 2);
  ASSERT_FALSE(p.check().ok());
  EXPECT_EQ(taglex::to_string(p.check().error()),
            expand("context error: pointer out of bounds: base @0 offset -24 not in range @0..@0",
                   p.S()));
}

TEST(Validate, FailureCarriesItsFields) {
  const Placed p(File::blank(26).body(), 0);
  const auto r = p.check();
  ASSERT_FALSE(r.ok());
  const auto* ctx = std::get_if<taglex::ContextError>(&r.error());
  ASSERT_NE(ctx, nullptr);
  const auto* un = std::get_if<taglex::Unaligned>(&ctx->error);
  ASSERT_NE(un, nullptr);
  EXPECT_EQ(un->ptr, p.S() + 2);
  EXPECT_EQ(un->align, 4u);
}

// Indexes naming missing records, texts past the strings table, and every
// byte that validation does not look at set to 0xFF.
File unvalidated_junk() {
  File f = body(104, 4, 1, 16, 1, 60, 3);
  f.entry(4, {0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF}).raw(60, "\xFF\xFE\xC0");
  return f.record(16, {.vr = 34,
                       .block = 1,
                       .retired = 1,
                       .group = 0xFFFF,
                       .element = 0xFFFF,
                       .keyword = {0xFFFFFFF0, 0xFFFF},
                       .name = {1000, 1},
                       .creator = {0xFFFFFFFF, 0xFFFF},
                       .description = {0xFFFFFFFF, 0xFFFFFFFF},
                       .sources = {5, 0xFFFFFFFF},
                       .reserved38 = 0xFFFF,
                       .padding = 0xFF});
}

struct PassCase {
  const char* name;
  File file;
  std::size_t root;
};

const PassCase kPasses[] = {
    {"SmallestBody", body(24, 0, 0, 0, 0, 0, 0), 0},
    {"WorkedExample", tlex_test::worked_example().build(), 168},
    {"LegalExtremes", six_records({{0, 1, 1, 34}, {5, 1, 0, 34}, {3, 0, 1, 33}}), 264},
    // Only `count` records are checked: what follows them is strings.
    {"BytesAfterTheRecords", body(112, 0, 0, 0, 1, 44, 44).raw(44 + 40, "\xC8\x02\x02"), 88},
    {"GapsBetweenArrays", body(128, 8, 1, 28, 1, 90, 5), 104},
    {"EmptyArraysInOrder", body(48, 8, 0, 12, 0, 24, 0), 24},
    {"UnalignedStrings", body(48, 0, 0, 0, 0, 3, 21), 24},
    {"ContentsAreNotValidated", unvalidated_junk(), 80},
};

class Accepts : public ::testing::TestWithParam<PassCase> {};

TEST_P(Accepts, AndReturnsTheRootPosition) {
  for (std::size_t shift : {0, 4, 12, 32}) {
    const Placed p(GetParam().file.body(), shift);
    const auto r = p.check();
    ASSERT_TRUE(r.ok()) << "shift " << shift << ": " << taglex::to_string(r.error());
    EXPECT_EQ(r.value().position, GetParam().root);
  }
}

INSTANTIATE_TEST_SUITE_P(Validate, Accepts, ::testing::ValuesIn(kPasses),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Lookups rely on the positions and counts that validation read, not on the
// root as it may read later.
TEST(Validate, ReturnsWhereTheArraysLie) {
  const auto places = [](const File& f) {
    const Placed p(f.body(), 0);
    const auto r = p.check();
    EXPECT_TRUE(r.ok());
    const taglex::ValidatedRoot& v = r.value();
    return std::vector<std::size_t>{v.index.position, v.index.count,      v.records.position,
                                    v.records.count,  v.strings.position, v.strings.count};
  };
  EXPECT_EQ(places(six_records({})), (std::vector<std::size_t>{0, 0, 0, 6, 264, 0}));
  EXPECT_EQ(places(body(48, 0, 0, 0, 0, 3, 21)), (std::vector<std::size_t>{0, 0, 0, 0, 3, 21}));
  EXPECT_EQ(places(body(96, 0, 2, 24, 1, 68, 4)), (std::vector<std::size_t>{0, 2, 24, 1, 68, 4}));
}

}  // namespace
