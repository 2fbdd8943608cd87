// DICOM tags as people write them.
//
// A tag is written (gggg,eeee), gggg,eeee, ggggeeee or 0xggggeeee, with hex
// digits in either case and white space allowed around the whole and around
// each number. A private element in block form writes its element xxee, as
// in (0029,xx10): its element number is the low byte ee. A keyword is an
// ASCII identifier such as PatientName.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "taglex/result.hpp"

namespace taglex {

struct WrittenTag {
  std::uint16_t group = 0;
  std::uint16_t element = 0;  // the low byte alone when `block`
  bool block = false;
};

// Why a text is not a tag, with the piece of the text that is at fault (a
// view into it; empty for kNoComma and kNotEightDigits).
struct TagTextError {
  enum class Kind {
    kNoComma,         // "(...)" without a comma
    kNotEightDigits,  // neither a comma nor eight hex digits
    kBadGroup,        // the group is not four hex digits
    kBadElement,      // the element is neither four hex digits nor xxee
  };
  Kind kind;
  std::string_view part;
};

Result<WrittenTag, TagTextError> parse_tag_text(std::string_view text) noexcept;

// The text without the ASCII white space around it.
std::string_view trim_ascii(std::string_view text) noexcept;

// Whether `text` is an ASCII identifier: a letter or "_", then letters,
// digits and "_".
bool is_keyword_text(std::string_view text) noexcept;

// (GGGG,EEEE), or (GGGG,xxEE) for a block-form private element.
std::string format_tag(std::uint16_t group, std::uint16_t element, bool block);

}  // namespace taglex
