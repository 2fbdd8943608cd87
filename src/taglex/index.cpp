#include "taglex/index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include "taglex/canonical.hpp"
#include "taglex/tag_text.hpp"

namespace taglex {
namespace {

}  // namespace

// A hash for keywords (short ASCII texts), eight bytes at a time.
std::size_t StandardIndex::default_hash(std::string_view s) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = s.size() * kMul;
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = std::rotl((h ^ w) * kMul, 29);
  }
  if (n != 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = std::rotl((h ^ w) * kMul, 29);
  }
  h ^= h >> 32;
  return static_cast<std::size_t>(h * kMul);
}

namespace {

bool same_key(const IndexEntry& a, const IndexEntry& b) noexcept {
  return a.group() == b.group() && a.element() == b.element() &&
         a.creator_hash() == b.creator_hash();
}

std::uint32_t tag_of(const TagView& r) noexcept {
  return std::uint32_t{r.group()} << 16 | r.element();
}

// A record that stands for a data element without a creator.
bool is_standard(const TagView& r) noexcept {
  return r.raw().creator_len() == 0 && !r.element_is_block_offset();
}

}  // namespace

bool answers_for_its_key(const DictionaryView& view, std::uint32_t k, std::string_view canonical) {
  const IndexEntry entry = view.index_entry(k);
  std::string other;
  for (std::uint32_t j = k + 1; j < view.len(); ++j) {
    const IndexEntry next = view.index_entry(j);
    if (!same_key(entry, next)) return true;
    if (canonical.empty()) return false;
    if (canonical_equals(view.record_of_entry(j).creator(), canonical)) return false;
  }
  return true;
}

// --- StandardIndex -------------------------------------------------------------

void StandardIndex::rehash(std::size_t capacity) {
  table_.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    std::size_t at = slots_[i].hash & mask;  // capacities stay far below 2^32
    while (table_[at] != 0) at = (at + 1) & mask;
    table_[at] = static_cast<std::uint32_t>(i + 1);
  }
}

std::size_t StandardIndex::insert(const DictionaryView& view, std::string_view keyword,
                                  std::uint32_t record, bool replace) {
  if (keyword.size() > 0xFFFF || keyword.data() < base_) return kNoSlot;  // no keyword of a record
  if ((slots_.size() + 1) * 4 > table_.size() * 3) rehash(table_.empty() ? 1024 : table_.size() * 2);
  const auto hash = static_cast<std::uint32_t>(hash_(keyword));
  const std::size_t mask = table_.size() - 1;
  std::size_t at = hash & mask;
  while (table_[at] != 0) {
    const std::size_t i = table_[at] - 1;
    Slot& s = slots_[i];
    if (s.hash == hash && keyword_of(s) == keyword) {
      if (replace && tag_of(view.record(record)) < tag_of(view.record(s.record))) s.record = record;
      return i;
    }
    at = (at + 1) & mask;
  }
  slots_.push_back(Slot{hash, static_cast<std::uint32_t>(keyword.data() - base_), record,
                        static_cast<std::uint16_t>(keyword.size())});
  table_[at] = static_cast<std::uint32_t>(slots_.size());
  return slots_.size() - 1;
}

std::size_t StandardIndex::slot_of(std::string_view keyword, std::size_t hash) const noexcept {
  if (table_.empty()) return kNoSlot;
  const std::size_t mask = table_.size() - 1;
  const auto low = static_cast<std::uint32_t>(hash);
  for (std::size_t at = low & mask; table_[at] != 0; at = (at + 1) & mask) {
    const std::size_t i = table_[at] - 1;
    const Slot& s = slots_[i];
    if (s.hash == low && keyword_of(s) == keyword) return i;
  }
  return kNoSlot;
}

std::optional<StandardIndex::Found> StandardIndex::find_keyword(const DictionaryView& view,
                                                                std::string_view keyword) const {
  return find_keyword(view, keyword, hash_(keyword));
}

std::optional<StandardIndex::Found> StandardIndex::find_keyword(const DictionaryView& view,
                                                                std::string_view keyword,
                                                                std::size_t hash) const {
  const std::size_t i = slot_of(keyword, hash);
  if (i == kNoSlot) return std::nullopt;
  const Slot& s = slots_[i];
  const Found found{s.record, s.repeating, static_cast<std::uint32_t>(i)};
  std::atomic<std::uint8_t>& checked = checked_[i];
  std::uint8_t state = checked.load(std::memory_order_relaxed);
  if (state == 0) {
    // The index must answer this record for its tag (the last of equal
    // keys, the record it names): otherwise the record is not part of what
    // the dictionary answers.
    const TagView r = view.record(s.record);
    state = 2;
    if (view.len() != 0) {
      const std::uint32_t k = view.position_of(r.group(), r.element(), 0);
      const IndexEntry e = view.index_entry(k);
      if (e.group() == r.group() && e.element() == r.element() && e.creator_hash() == 0 &&
          e.record_index() == s.record) {
        state = 1;
      }
    }
    checked.store(state, std::memory_order_relaxed);
  }
  if (state == 1) return found;
  if (i >= current_) return std::nullopt;  // a former keyword of such a record
  auto other = fallback(view, keyword);
  if (other) other->repeating = s.repeating, other->slot = found.slot;
  return other;
}

std::optional<StandardIndex::Found> StandardIndex::fallback(const DictionaryView& view,
                                                            std::string_view keyword) const {
  const std::uint32_t n = view.len();
  for (std::uint32_t k = 0; k < n; ++k) {
    const IndexEntry entry = view.index_entry(k);
    if (entry.creator_hash() != 0) continue;
    const TagView record = view.record(entry.record_index());
    // The entry counts only if a lookup of its tag finds it (in a file whose
    // index is not sorted, the search may not).
    if (is_standard(record) && record.keyword() == keyword &&
        view.position_of(entry.group(), entry.element(), 0) == k) {
      return Found{entry.record_index(), false, 0};
    }
  }
  return std::nullopt;
}

std::vector<std::string_view> StandardIndex::keywords() const {
  std::vector<std::string_view> out;
  out.reserve(slots_.size());
  for (std::size_t i = 0; i < slots_.size(); ++i) out.push_back(keyword_of(slots_[i]));
  return out;
}

StandardIndex StandardIndex::build(const DictionaryView& view, Hash hash) {
  StandardIndex index;
  index.hash_ = hash;
  index.base_ = reinterpret_cast<const char*>(view.strings_data());
  index.rehash(1024);
  // Texts are shared between records (every element of a repeating group
  // has the same keyword and description): a text met at the same offset,
  // with the same length, as a recent one was handled already.
  constexpr std::size_t kSeen = 1024;
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  struct Seen {
    std::uint64_t key;
    std::size_t slot;
  };
  std::vector<Seen> seen_keyword(kSeen, Seen{kNone, kNoSlot});
  std::vector<std::uint64_t> seen_description(kSeen, kNone);
  const auto text_key = [](std::uint32_t offset, std::uint32_t len) {
    return std::uint64_t{len} << 32 | offset;
  };
  struct Former {
    std::string_view keyword;
    std::uint32_t record;
  };
  std::vector<Former> former;
  std::vector<std::uint64_t> masks_seen;

  // Records in the order the file stores them, which the validator has
  // just read through: no page of the index array is touched.
  const std::uint32_t n = view.record_count();
  // While the records come in ascending tag order (as a writer stores
  // them), a record never has a lower tag than one met before it.
  bool ascending = true;
  std::uint32_t last_tag = 0;
  for (std::uint32_t r = 0; r < n; ++r) {
    const TagView record = view.record(r);
    if (!is_standard(record)) continue;
    const std::uint32_t tag = tag_of(record);
    ascending = ascending && tag >= last_tag;
    last_tag = tag;

    const std::uint32_t kw_offset = record.raw().keyword_offset();
    const std::uint64_t kw_key = text_key(kw_offset, record.raw().keyword_len());
    Seen& kw_seen = seen_keyword[kw_offset % kSeen];
    if (kw_seen.key == kw_key) {
      if (!ascending && kw_seen.slot != kNoSlot) {
        Slot& s = index.slots_[kw_seen.slot];
        if (tag < tag_of(view.record(s.record))) s.record = r;
      }
    } else {
      const std::string_view keyword = record.keyword();
      kw_seen = {kw_key, keyword.empty() ? kNoSlot : index.insert(view, keyword, r, true)};
    }

    const std::uint32_t de_offset = record.raw().description_offset();
    const std::uint64_t de_key = text_key(de_offset, record.raw().description_len());
    std::uint64_t& de_seen = seen_description[de_offset % kSeen];
    if (de_seen == de_key) continue;
    de_seen = de_key;
    const std::string_view text = record.description();
    if (text.empty()) continue;
    const description::Parsed parsed = description::parse(text);
    for (const std::string_view old : description::split_list(parsed.formerly)) {
      former.push_back(Former{old, r});
    }
    const auto add_mask = [&](const description::Mask& mask, std::string_view keyword) {
      const std::uint64_t key = std::uint64_t{mask.value} << 32 | mask.care;
      for (const std::uint64_t m : masks_seen) {
        if (m == key) return;
      }
      masks_seen.push_back(key);
      index.repeaters_.push_back(Repeater{mask, keyword});
    };
    if (parsed.repeating) add_mask(*parsed.repeating, record.keyword());
    if (text.find("also ") != std::string_view::npos) {
      for (const description::Also& also : description::also_parts(text)) {
        if (also.repeating && is_keyword_text(also.keyword)) add_mask(also.mask, also.keyword);
      }
    }
  }
  index.current_ = index.slots_.size();
  for (const Former& f : former) {
    // A current keyword keeps its slot; of the records a former one names,
    // the lowest tag.
    const std::size_t i = index.slot_of(f.keyword, hash(f.keyword));
    if (i == kNoSlot || i >= index.current_) index.insert(view, f.keyword, f.record, true);
  }
  for (const Repeater& r : index.repeaters_) {
    const std::size_t i = index.slot_of(r.keyword, hash(r.keyword));
    if (i != kNoSlot) index.slots_[i].repeating = true;
  }
  std::stable_sort(index.repeaters_.begin(), index.repeaters_.end(),
                   [](const Repeater& a, const Repeater& b) {
                     return std::pair(a.mask.value, a.mask.care) < std::pair(b.mask.value, b.mask.care);
                   });
  index.checked_ = std::make_unique<std::atomic<std::uint8_t>[]>(index.slots_.size());
  return index;
}

// --- PrivateIndex --------------------------------------------------------------

const PrivateIndex::Creator* PrivateIndex::find(std::string_view canonical) const noexcept {
  const auto it = by_canonical_.find(canonical);
  return it == by_canonical_.end() ? nullptr : &creators_[it->second];
}

PrivateIndex PrivateIndex::build(const DictionaryView& view) {
  PrivateIndex index;
  // The canonical form of each creator text, by its offset and length.
  std::unordered_map<std::uint64_t, std::uint32_t> by_offset;
  std::string canonical;
  const std::uint32_t n = view.len();
  for (std::uint32_t k = 0; k < n; ++k) {
    const IndexEntry entry = view.index_entry(k);
    if (entry.creator_hash() == 0) continue;
    const TagView record = view.record(entry.record_index());
    if (record.raw().creator_len() == 0) continue;
    const std::uint64_t offset =
        std::uint64_t{record.raw().creator_len()} << 32 | record.raw().creator_offset();
    std::uint32_t id;
    if (const auto known = by_offset.find(offset); known != by_offset.end()) {
      id = known->second;
    } else {
      const std::string_view spelling = record.creator();
      canonicalize_and_hash(spelling, canonical);
      const auto [it, added] =
          index.by_canonical_.try_emplace(canonical, static_cast<std::uint32_t>(index.creators_.size()));
      if (added) index.creators_.push_back(Creator{canonical, spelling, {}});
      id = it->second;
      by_offset.emplace(offset, id);
    }
    if (k + 1 < n && same_key(entry, view.index_entry(k + 1)) &&
        !answers_for_its_key(view, k, index.creators_[id].canonical)) {
      continue;
    }
    index.creators_[id].entries.push_back(k);
  }
  return index;
}

}  // namespace taglex
