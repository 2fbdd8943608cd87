#include "taglex/description.hpp"

#include <algorithm>
#include <charconv>

namespace taglex::description {
namespace {

constexpr std::string_view kListSeparator = ", ";
constexpr std::string_view kVmPrefix = "VM ";
constexpr std::string_view kVrPrefix = "VR ";
constexpr std::string_view kNotGiven = "not given";
constexpr std::string_view kRepeating = "repeating ";
constexpr std::string_view kSince = "since ";
constexpr std::string_view kFormerly = "formerly ";
constexpr std::string_view kDeidentification = "de-identification ";
constexpr std::string_view kListed = "listed as ";
constexpr std::string_view kDisputed = "VR disputed: ";
constexpr std::string_view kAlso = "also ";
constexpr std::string_view kVrOr = " or ";

bool starts_with(std::string_view text, std::string_view prefix) noexcept {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Calls f(part) for each part between separators, in order, until f returns
// false.
template <class F>
void for_each_part(std::string_view text, F&& f) {
  while (true) {
    const std::size_t at = text.find(kSeparator);
    if (!f(text.substr(0, at))) return;
    if (at == std::string_view::npos) return;
    text.remove_prefix(at + kSeparator.size());
  }
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An upper-case letter or underscore code of at least two characters, with
// a letter in it: "OB", "OB_OW".
bool is_vr_token(std::string_view token) noexcept {
  if (token.size() < 2) return false;
  bool letter = false;
  for (const char c : token) {
    if (c >= 'A' && c <= 'Z') {
      letter = true;
    } else if (c != '_') {
      return false;
    }
  }
  return letter;
}

bool all_vr_tokens(std::string_view vr) noexcept {
  while (true) {
    const std::size_t at = vr.find(kVrOr);
    if (!is_vr_token(vr.substr(0, at))) return false;
    if (at == std::string_view::npos) return true;
    vr.remove_prefix(at + kVrOr.size());
  }
}

bool holds_separator(std::string_view s) noexcept {
  return s.find(kSeparator) != std::string_view::npos;
}

// A word without spaces or separators: a keyword, an action, an edition.
bool is_word(std::string_view s) noexcept {
  return !s.empty() && std::none_of(s.begin(), s.end(), [](char c) {
    return is_space(c) || c == ',' || c == ';';
  });
}

}  // namespace

bool is_safe_private_label(std::string_view label) noexcept {
  constexpr std::string_view kHead = "DICOM PS3.15 ";
  constexpr std::string_view kTail = " safe private";
  return label.size() > kHead.size() + kTail.size() && starts_with(label, kHead) &&
         label.substr(label.size() - kTail.size()) == kTail;
}

std::string Mask::text() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(8, 'x');
  for (int i = 0; i < 8; ++i) {
    const int shift = 28 - 4 * i;
    if (((care >> shift) & 0xF) != 0) out[static_cast<std::size_t>(i)] = kDigits[(value >> shift) & 0xF];
  }
  return out;
}

std::optional<Mask> parse_mask(std::string_view text) noexcept {
  if (text.size() != 11 || text[0] != '(' || text[5] != ',' || text[10] != ')') return std::nullopt;
  Mask m;
  for (std::size_t i = 1; i < 10; ++i) {
    if (i == 5) continue;
    const char c = text[i];
    m.value <<= 4;
    m.care <<= 4;
    if (c == 'x' || c == 'X') continue;
    const int v = hex_value(c);
    if (v < 0) return std::nullopt;
    m.value |= static_cast<std::uint32_t>(v);
    m.care |= 0xF;
  }
  return m;
}

Parsed parse(std::string_view text) noexcept {
  Parsed p;
  std::size_t i = 0;
  bool vm_first = false;
  for_each_part(text, [&](std::string_view part) {
    if (i == 0 && starts_with(part, kVmPrefix)) {
      vm_first = true;
      const std::string_view vm = trim(part.substr(kVmPrefix.size()));
      if (vm != kNotGiven) p.vm = vm;
    } else if (i == 1 && vm_first && starts_with(part, kVrPrefix)) {
      const std::string_view vr = part.substr(kVrPrefix.size());
      if (all_vr_tokens(vr)) p.vr = vr;
    } else if (starts_with(part, kRepeating)) {
      if (!p.repeating) p.repeating = parse_mask(part.substr(kRepeating.size(), 11));
    } else if (starts_with(part, kSince)) {
      if (p.since.empty()) p.since = trim(part.substr(kSince.size()));
    } else if (starts_with(part, kFormerly)) {
      if (p.formerly.empty()) p.formerly = trim(part.substr(kFormerly.size()));
    } else if (starts_with(part, kDeidentification)) {
      if (p.deidentification.empty()) p.deidentification = trim(part.substr(kDeidentification.size()));
    }
    ++i;
    return true;
  });
  return p;
}

std::vector<std::string_view> split_list(std::string_view list) {
  std::vector<std::string_view> out;
  list = trim(list);
  while (!list.empty()) {
    const std::size_t at = list.find(',');
    const std::string_view item = trim(list.substr(0, at));
    if (!item.empty()) out.push_back(item);
    if (at == std::string_view::npos) break;
    list.remove_prefix(at + 1);
  }
  return out;
}

std::vector<std::string_view> vr_codes(std::string_view vr) {
  std::vector<std::string_view> out;
  if (vr.empty() || !all_vr_tokens(vr)) return out;
  while (true) {
    const std::size_t at = vr.find(kVrOr);
    std::string_view token = vr.substr(0, at);
    if (token == "OB_OW") {
      out.push_back(token.substr(0, 2));
      out.push_back(token.substr(3, 2));
    } else {
      out.push_back(token);
    }
    if (at == std::string_view::npos) break;
    vr.remove_prefix(at + kVrOr.size());
  }
  return out;
}

Deidentification parse_deidentification(std::string_view text) {
  Deidentification d;
  const std::vector<std::string_view> items = split_list(text);
  if (items.empty()) return d;
  d.basic = items[0];
  for (const std::string_view option : kOptions) {
    for (std::size_t k = 1; k < items.size(); ++k) {
      const std::string_view item = items[k];
      const std::size_t space = item.find(' ');
      if (space == std::string_view::npos || item.substr(0, space) != option) continue;
      const std::string_view action = trim(item.substr(space + 1));
      if (!action.empty()) d.options.emplace_back(option, action);
      break;
    }
  }
  return d;
}

std::vector<Also> also_parts(std::string_view text) {
  std::vector<Also> out;
  for_each_part(text, [&](std::string_view part) {
    if (!starts_with(part, kAlso)) return true;
    part.remove_prefix(kAlso.size());
    Also a;
    if (starts_with(part, kRepeating)) {
      a.repeating = true;
      part.remove_prefix(kRepeating.size());
    }
    const std::optional<Mask> mask = parse_mask(part.substr(0, 11));
    if (!mask) return true;
    a.mask = *mask;
    a.keyword = trim(part.substr(std::min<std::size_t>(11, part.size())));
    out.push_back(a);
    return true;
  });
  return out;
}

VmBounds vm_bounds(std::string_view vm) noexcept {
  VmBounds b;
  const auto number = [](std::string_view s) -> std::optional<std::uint32_t> {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    std::uint32_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc()) return std::nullopt;
    return v;
  };
  const std::size_t dash = vm.find('-');
  const std::optional<std::uint32_t> low = number(vm.substr(0, dash));
  if (!low) return b;
  b.min = low;
  if (dash == std::string_view::npos) {
    b.max = low;
    return b;
  }
  const std::string_view high = vm.substr(dash + 1);
  if (const auto h = number(high)) {
    b.max = h;
  } else if (!high.empty() && high.back() == 'n') {
    const std::string_view times = high.substr(0, high.size() - 1);
    if (const auto t = number(times); t && *t > 0) b.step = *t;
  }
  return b;
}

Result<std::string, std::string> compose(const Parts& parts) {
  std::string out;
  std::string why;
  const auto refuse = [&](std::string_view what, std::string_view value, std::string_view rule) {
    why = std::string(what);
    why += " '";
    why += value;
    why += "' ";
    why += rule;
  };
  const auto add = [&](std::string_view head, std::string_view tail = {}) {
    if (!out.empty()) out += kSeparator;
    out += head;
    out += tail;
  };
  const auto text_ok = [&](std::string_view what, std::string_view value) {
    if (value.empty()) {
      refuse(what, value, "is empty");
      return false;
    }
    if (holds_separator(value) || value.find('\n') != std::string_view::npos) {
      refuse(what, value, "holds \"; \" or a line break");
      return false;
    }
    return true;
  };
  const auto word_ok = [&](std::string_view what, std::string_view value) {
    if (!is_word(value)) {
      refuse(what, value, "is not one word (no spaces, commas or semicolons)");
      return false;
    }
    return true;
  };
  const auto mask_ok = [&](std::string_view what, std::string_view value) {
    if (!parse_mask(value)) {
      refuse(what, value, "is not a tag written (gggg,eeee), x for any digit");
      return false;
    }
    return true;
  };

  if (parts.vm) {
    if (!text_ok("VM", *parts.vm)) return Err{why};
    add(kVmPrefix, *parts.vm);
  } else {
    add(kVmPrefix, kNotGiven);
  }
  if (parts.vrs.size() > 1) {
    std::string vr;
    for (const std::string& code : parts.vrs) {
      if (!is_vr_token(code)) {
        refuse("VR", code, "is not a VR code");
        return Err{why};
      }
      if (!vr.empty()) vr += kVrOr;
      vr += code;
    }
    add(kVrPrefix, vr);
  } else if (parts.vrs.empty()) {
    add(kVrPrefix, kNotGiven);
  }
  if (!parts.repeating.empty()) {
    if (!mask_ok("repeating", parts.repeating)) return Err{why};
    add(kRepeating, parts.repeating);
  }
  if (!parts.since.empty()) {
    if (!word_ok("since", parts.since)) return Err{why};
    add(kSince, parts.since);
  }
  if (!parts.formerly.empty()) {
    std::string list;
    for (const std::string& keyword : parts.formerly) {
      if (!word_ok("former keyword", keyword)) return Err{why};
      if (!list.empty()) list += kListSeparator;
      list += keyword;
    }
    add(kFormerly, list);
  }
  if (parts.deidentification) {
    if (!word_ok("de-identification action", *parts.deidentification)) return Err{why};
    std::string item = *parts.deidentification;
    for (const auto& [option, action] : parts.options) {
      if (std::find(kOptions.begin(), kOptions.end(), option) == kOptions.end()) {
        refuse("option", option, "is not a de-identification option");
        return Err{why};
      }
      if (!word_ok("action", action)) return Err{why};
    }
    for (const std::string_view option : kOptions) {
      for (const auto& [name, action] : parts.options) {
        if (name != option) continue;
        item += kListSeparator;
        item += name;
        item += ' ';
        item += action;
        break;
      }
    }
    add(kDeidentification, item);
  } else if (!parts.options.empty()) {
    why = "de-identification options need a basic action";
    return Err{why};
  }
  for (const auto& [source, said] : parts.differences) {
    if (!text_ok("source", source) || source.find(':') != std::string::npos) {
      if (why.empty()) refuse("source", source, "holds ':'");
      return Err{why};
    }
    std::string list;
    for (const std::string& what : said) {
      if (!text_ok("difference", what) || what.find(',') != std::string::npos) {
        if (why.empty()) refuse("difference", what, "holds ','");
        return Err{why};
      }
      if (!list.empty()) list += kListSeparator;
      list += what;
    }
    std::string head = source;
    head += ": ";
    add(head, list);
  }
  if (!parts.listed.empty()) {
    if (!mask_ok("listed", parts.listed)) return Err{why};
    add(kListed, parts.listed);
  }
  if (!parts.disputed.empty()) {
    std::string list;
    for (const auto& [source, vr] : parts.disputed) {
      if (!text_ok("source", source) || source.find(',') != std::string::npos) {
        if (why.empty()) refuse("source", source, "holds ','");
        return Err{why};
      }
      if (!text_ok("VR", vr) || vr.find(',') != std::string::npos) {
        if (why.empty()) refuse("VR", vr, "holds ','");
        return Err{why};
      }
      if (!list.empty()) list += kListSeparator;
      list += source;
      list += ' ';
      list += vr;
    }
    add(kDisputed, list);
  }
  for (const Parts::AlsoPart& also : parts.also) {
    if (!mask_ok("also", also.where)) return Err{why};
    std::string head(kAlso);
    if (also.repeating) head += kRepeating;
    head += also.where;
    if (!also.keyword.empty()) {
      if (!text_ok("also", also.keyword)) return Err{why};
      head += ' ';
      head += also.keyword;
    }
    add(head);
  }
  for (const std::string& note : parts.notes) {
    if (!text_ok("note", note)) return Err{why};
    add(note);
  }
  return out;
}

}  // namespace taglex::description
