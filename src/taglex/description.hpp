// The grammar of a record's description text.
//
// A description is a list of parts joined by "; ". The parts that mean
// something to a reader, in the order a writer puts them:
//
//   VM 1-n                       the value multiplicity ("VM not given": none)
//   VR OB or OW                  the VRs the element may have, when more than
//                                the stored one ("VR not given": none at all)
//   repeating (60xx,3000)        the registry's mask, x standing for any digit
//   since 2024d                  the first edition that lists the element
//   formerly A, B                keywords the element had before, oldest first
//   de-identification X/Z, retain_uids K
//                                the action of the de-identification profile,
//                                then the action of each option that has one
//   <source>: <differences>      what a second registry says otherwise
//   listed as (gggg,eeee)        where a private source placed the element
//   VR disputed: a OB, b UN      what each private source gives as the VR
//   also repeating (0028,04x0) K / also (gggg,eeee) K
//                                another registry entry for the same tag
//
// Any other part is a note and is kept as it is. The VM, when given, is the
// first part and the VR alternatives the second. Parsing never fails: parts
// that do not read as one of the kinds above are notes. Everything parsed is
// a view into the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "taglex/result.hpp"

namespace taglex::description {

inline constexpr std::string_view kSeparator = "; ";

// The options of the de-identification profile, in the order of its table.
inline constexpr std::array<std::string_view, 10> kOptions = {
    "retain_safe_private",
    "retain_uids",
    "retain_device_identity",
    "retain_institution_identity",
    "retain_patient_characteristics",
    "retain_long_full_dates",
    "retain_long_modified_dates",
    "clean_descriptors",
    "clean_structured_content",
    "clean_graphics",
};

// Whether a source label marks a safe private attribute of the
// de-identification profile: "DICOM PS3.15 2026c safe private".
bool is_safe_private_label(std::string_view label) noexcept;

// A tag mask such as (60xx,3000): `value` holds the fixed digits, `care` has
// 0xF in every digit that is fixed and 0 where an x stands. A tag t matches
// when (t ^ value) & care == 0.
struct Mask {
  std::uint32_t value = 0;
  std::uint32_t care = 0;
  bool matches(std::uint32_t tag) const noexcept { return ((tag ^ value) & care) == 0; }
  // Eight characters, lower-case x for a free digit: "60xx3000".
  std::string text() const;
};

// Reads "(gggg,eeee)" with hex digits or x; nothing if it is not one.
std::optional<Mask> parse_mask(std::string_view text) noexcept;

struct Parsed {
  std::string_view vm;          // "1-n"; empty when none is given
  std::string_view vr;          // "OB or OW"; empty when the stored VR is the only one
  std::optional<Mask> repeating;
  std::string_view since;       // "2024d"; empty when not given
  std::string_view formerly;    // "A, B": split with split_list
  std::string_view deidentification;  // "X/Z, retain_uids K": see parse_deidentification
};

Parsed parse(std::string_view text) noexcept;

// The items of a list part ("A, B"), in order.
std::vector<std::string_view> split_list(std::string_view list);

// The VR codes of a VR part: "OB or OW" gives OB and OW, and the old form
// "OB_OW" gives the same. Empty if it is not such a list.
std::vector<std::string_view> vr_codes(std::string_view vr);

struct Deidentification {
  std::string_view basic;
  // (option, action) in the order of kOptions.
  std::vector<std::pair<std::string_view, std::string_view>> options;
};

// Reads the text after "de-identification ". Unknown options are left out.
Deidentification parse_deidentification(std::string_view text);

// Another registry entry that stands for the same tag ("also repeating
// (0028,04x0) RowsForNthOrderCoefficients").
struct Also {
  Mask mask;
  bool repeating = false;
  std::string_view keyword;
};
std::vector<Also> also_parts(std::string_view text);

// Numeric bounds of a VM: "1" (1, 1, 1), "1-3" (1, 3, 1), "1-n" (1, none, 1),
// "2-2n" (2, none, 2). Nothing readable gives (none, none, 1).
struct VmBounds {
  std::optional<std::uint32_t> min, max;
  std::uint32_t step = 1;
};
VmBounds vm_bounds(std::string_view vm) noexcept;

// What a writer says of an element; compose() turns it into the text.
struct Parts {
  std::optional<std::string> vm;  // nothing: "VM not given"
  std::vector<std::string> vrs;   // more than one: "VR a or b"; none: "VR not given"
  std::string repeating;          // "(60xx,3000)"; empty: not repeating
  std::string since;
  std::vector<std::string> formerly;
  std::optional<std::string> deidentification;  // the basic action
  std::vector<std::pair<std::string, std::string>> options;  // option, action
  std::vector<std::pair<std::string, std::vector<std::string>>> differences;  // source, what
  std::string listed;             // "(gggg,eeee)"
  std::vector<std::pair<std::string, std::string>> disputed;  // source, VR text
  struct AlsoPart {
    std::string where;  // "(0028,04x0)"
    std::string keyword;  // or the name, for an entry without a keyword
    bool repeating = false;
  };
  std::vector<AlsoPart> also;
  std::vector<std::string> notes;  // free parts, last
};

// The text of `parts`, or the reason it cannot be written (a part holding
// "; ", a list item holding ", ", an unknown option, a mask that is not one).
Result<std::string, std::string> compose(const Parts& parts);

}  // namespace taglex::description
