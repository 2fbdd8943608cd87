// The description grammar: what parse() reads, and compose() writing what
// parse() reads back.
#include "taglex/description.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace desc = taglex::description;

TEST(Description, ParsesEveryKnownPart) {
  const std::string text =
      "VM 1-n; VR OB or OW; repeating (60xx,3000); since 2024d; formerly A, B; "
      "de-identification X/Z, retain_uids K, clean_graphics C; DCMTK 2026b: VR US, retired; "
      "also repeating (0028,04x0) RowsForNthOrderCoefficients; free note";
  const desc::Parsed p = desc::parse(text);
  EXPECT_EQ(p.vm, "1-n");
  EXPECT_EQ(p.vr, "OB or OW");
  ASSERT_TRUE(p.repeating);
  EXPECT_EQ(p.repeating->text(), "60xx3000");
  EXPECT_TRUE(p.repeating->matches(0x601E3000));
  EXPECT_FALSE(p.repeating->matches(0x601E3001));
  EXPECT_EQ(p.since, "2024d");
  EXPECT_EQ(desc::split_list(p.formerly), (std::vector<std::string_view>{"A", "B"}));
  const desc::Deidentification d = desc::parse_deidentification(p.deidentification);
  EXPECT_EQ(d.basic, "X/Z");
  ASSERT_EQ(d.options.size(), 2u);
  EXPECT_EQ(d.options[0], (std::pair<std::string_view, std::string_view>{"retain_uids", "K"}));
  EXPECT_EQ(d.options[1].first, "clean_graphics");
  const std::vector<desc::Also> also = desc::also_parts(text);
  ASSERT_EQ(also.size(), 1u);
  EXPECT_TRUE(also[0].repeating);
  EXPECT_EQ(also[0].mask.text(), "002804x0");
  EXPECT_EQ(also[0].keyword, "RowsForNthOrderCoefficients");
}

TEST(Description, ReadsOnlyWhatIsThere) {
  // No VM, VR not first, VR not given, unknown parts: nothing is invented.
  EXPECT_EQ(desc::parse("").vm, "");
  EXPECT_EQ(desc::parse("VM not given; VR not given").vm, "");
  EXPECT_EQ(desc::parse("VM not given; VR not given").vr, "");
  EXPECT_EQ(desc::parse("free text; VR CS or LO").vr, "");
  EXPECT_EQ(desc::parse("VM 1; note; VR CS or LO").vr, "");
  EXPECT_EQ(desc::parse("VM 1; VR OB_OW").vr, "OB_OW");
  EXPECT_EQ(desc::vr_codes("OB_OW or US"), (std::vector<std::string_view>{"OB", "OW", "US"}));
  EXPECT_TRUE(desc::vr_codes("ob or OW").empty());
  EXPECT_FALSE(desc::parse("repeating (60xx,300)").repeating);
  EXPECT_TRUE(desc::parse_deidentification("").basic.empty());
  EXPECT_TRUE(desc::parse_deidentification("X, not_an_option K").options.empty());
  EXPECT_TRUE(desc::is_safe_private_label("DICOM PS3.15 2026c safe private"));
  EXPECT_FALSE(desc::is_safe_private_label("DICOM PS3.15  safe private x"));
}

TEST(Description, VmBounds) {
  const auto b = [](std::string_view vm) {
    const desc::VmBounds v = desc::vm_bounds(vm);
    return std::tuple(v.min.value_or(0), v.max.value_or(0), v.step);
  };
  EXPECT_EQ(b("1"), std::tuple(1u, 1u, 1u));
  EXPECT_EQ(b("1-3"), std::tuple(1u, 3u, 1u));
  EXPECT_EQ(b("1-n"), std::tuple(1u, 0u, 1u));
  EXPECT_EQ(b("2-2n"), std::tuple(2u, 0u, 2u));
  EXPECT_EQ(b("1-n or 1"), std::tuple(1u, 0u, 1u));
  EXPECT_FALSE(desc::vm_bounds("").min);
  EXPECT_FALSE(desc::vm_bounds("n").min);
}

TEST(Description, ComposeWritesWhatParseReads) {
  desc::Parts parts;
  parts.vm = "1-n";
  parts.vrs = {"US", "SS", "OW"};
  parts.repeating = "(50xx,3000)";
  parts.since = "2019a";
  parts.formerly = {"Old", "Older"};
  parts.deidentification = "X/D";
  parts.options = {{"clean_descriptors", "C"}, {"retain_uids", "K"}};  // any order in
  parts.differences = {{"DCMTK 2026b", {"VR US", "retired"}}};
  parts.listed = "(0029,1010)";
  parts.disputed = {{"d3t", "OB"}, {"dcmtk", "UN"}};
  parts.also = {{"(0028,04x0)", "Rows", true}};
  parts.notes = {"a note"};
  const auto text = desc::compose(parts);
  ASSERT_TRUE(text) << text.error();
  EXPECT_EQ(text.value(),
            "VM 1-n; VR US or SS or OW; repeating (50xx,3000); since 2019a; formerly Old, Older; "
            "de-identification X/D, retain_uids K, clean_descriptors C; DCMTK 2026b: VR US, "
            "retired; listed as (0029,1010); VR disputed: d3t OB, dcmtk UN; also repeating "
            "(0028,04x0) Rows; a note");
  const desc::Parsed p = desc::parse(text.value());
  EXPECT_EQ(p.vm, "1-n");
  EXPECT_EQ(p.vr, "US or SS or OW");
  EXPECT_EQ(p.since, "2019a");

  desc::Parts one;
  one.vrs = {"LO"};
  EXPECT_EQ(desc::compose(one).value(), "VM not given");
  one.vrs.clear();
  EXPECT_EQ(desc::compose(one).value(), "VM not given; VR not given");
}

TEST(Description, ComposeRefusesWhatCannotBeReadBack) {
  const auto refused = [](auto change) {
    desc::Parts p;
    p.vm = "1";
    p.vrs = {"LO"};
    change(p);
    return !desc::compose(p).ok();
  };
  EXPECT_TRUE(refused([](desc::Parts& p) { p.vm = "1; 2"; }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.vrs = {"OB", "ow"}; }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.repeating = "(60xx,30000)"; }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.formerly = {"Two words"}; }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.options = {{"retain_uids", "K"}}; }));
  EXPECT_TRUE(refused([](desc::Parts& p) {
    p.deidentification = "X";
    p.options = {{"retain_everything", "K"}};
  }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.notes = {""}; }));
  EXPECT_TRUE(refused([](desc::Parts& p) { p.disputed = {{"d3t", "OB, OW"}}; }));
}

}  // namespace
