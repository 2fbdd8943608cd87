#include "taglex/tag_text.hpp"

namespace taglex {
namespace {

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits, or nothing.
bool hex4(std::string_view s, std::uint16_t& out) noexcept {
  if (s.size() != 4) return false;
  unsigned v = 0;
  for (const char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<unsigned>(d);
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

}  // namespace

std::string_view trim_ascii(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

Result<WrittenTag, TagTextError> parse_tag_text(std::string_view text) noexcept {
  using Kind = TagTextError::Kind;
  std::string_view s = trim_ascii(text);
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') {
    s = s.substr(1, s.size() - 2);
    if (s.find(',') == std::string_view::npos) return Err{TagTextError{Kind::kNoComma, {}}};
  }
  std::string_view group_text, element_text;
  if (const std::size_t comma = s.find(','); comma != std::string_view::npos) {
    group_text = trim_ascii(s.substr(0, comma));
    element_text = trim_ascii(s.substr(comma + 1));
  } else {
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.size() != 8) return Err{TagTextError{Kind::kNotEightDigits, {}}};
    group_text = s.substr(0, 4);
    element_text = s.substr(4);
  }
  WrittenTag tag;
  if (!hex4(group_text, tag.group)) return Err{TagTextError{Kind::kBadGroup, group_text}};
  if (element_text.size() == 4 && (element_text[0] == 'x' || element_text[0] == 'X') &&
      (element_text[1] == 'x' || element_text[1] == 'X')) {
    const int hi = hex_digit(element_text[2]);
    const int lo = hex_digit(element_text[3]);
    if (hi >= 0 && lo >= 0) {
      tag.element = static_cast<std::uint16_t>(hi << 4 | lo);
      tag.block = true;
      return tag;
    }
  }
  if (!hex4(element_text, tag.element)) return Err{TagTextError{Kind::kBadElement, element_text}};
  return tag;
}

bool is_keyword_text(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!(letter || (i > 0 && digit))) return false;
  }
  return true;
}

std::string format_tag(std::uint16_t group, std::uint16_t element, bool block) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "(";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(group >> shift) & 0xF];
  out += ',';
  if (block) {
    out += "xx";
    out += kDigits[(element >> 4) & 0xF];
    out += kDigits[element & 0xF];
  } else {
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(element >> shift) & 0xF];
  }
  out += ')';
  return out;
}

}  // namespace taglex
