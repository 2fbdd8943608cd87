// The reverse indexes of one dictionary: by keyword, by private creator, and
// the repeating masks, built from its records when first needed.
//
//   auto keywords = taglex::StandardIndex::build(view);
//   if (auto k = keywords.find("PatientName")) use(view.record_of_entry(*k));
//
// Both indexes name index entries by their position in the index (so that a
// caller has the entry's key and its record), hold views into the mapped
// strings and never outlive the dictionary they were built from. They are
// immutable once built. Building reads every index entry and record once; a
// text that cannot be read (a reference past the strings table) throws
// InternalError, as a lookup does.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "taglex/description.hpp"
#include "taglex/lookup.hpp"

namespace taglex {

// Keyword to index entry, for the data elements without a creator. Of the
// entries sharing a keyword the first in index order (the lowest tag)
// answers; a former keyword (a description's "formerly" part) answers with
// its element unless some element has it as its own keyword.
class StandardIndex {
 public:
  // How keywords are hashed for the table: a caller that holds a ready
  // hash of the texts it asks (an interpreter's own string hash) builds the
  // index with that function and asks with find_keyword(keyword, hash).
  using Hash = std::size_t (*)(std::string_view) noexcept;
  static std::size_t default_hash(std::string_view keyword) noexcept;

  static StandardIndex build(const DictionaryView& view, Hash hash = &default_hash);

  std::optional<std::uint32_t> find(std::string_view keyword) const noexcept;

  // find(), and whether the keyword is also that of a repeating mask (the
  // keyword of a repeating group's elements), in one probe.
  struct Found {
    std::uint32_t entry;
    bool repeating;
    std::uint32_t slot;  // a number below size(), the same for the same keyword
  };
  std::size_t size() const noexcept { return slots_.size(); }
  std::optional<Found> find_keyword(std::string_view keyword) const noexcept;
  // The same, `hash` being the index's Hash of `keyword`.
  std::optional<Found> find_keyword(std::string_view keyword, std::size_t hash) const noexcept;

  // Every keyword the index answers, current ones first, each once.
  std::vector<std::string_view> keywords() const;

  // The repeating masks of the registry ("repeating (60xx,3000)" of an
  // element, or "also repeating (mask) Keyword" of the element a mask
  // meets), each once, in index order, with the keyword that goes with it.
  struct Repeater {
    description::Mask mask;
    std::string_view keyword;
  };
  const std::vector<Repeater>& repeaters() const noexcept { return repeaters_; }

 private:
  struct Slot {
    std::size_t hash;
    std::string_view keyword;
    std::uint32_t entry;
    bool repeating = false;
  };
  const Slot* slot_of(std::string_view keyword, std::size_t hash) const noexcept;
  Hash hash_ = &default_hash;
  void insert(std::string_view keyword, std::uint32_t entry);
  void rehash(std::size_t capacity);
  std::vector<Slot> slots_;            // dense, in insertion order
  std::vector<std::uint32_t> table_;   // slot number + 1, 0 for free; a power of two
  std::size_t current_ = 0;            // slots_[0, current_) are own keywords
  std::vector<Repeater> repeaters_;
};

// The private creators of a dictionary and their elements. A creator is
// known by its canonical form; its spelling is that of its first entry in
// index order.
class PrivateIndex {
 public:
  static PrivateIndex build(const DictionaryView& view);

  struct Creator {
    std::string canonical;
    std::string_view spelling;
    std::vector<std::uint32_t> entries;  // index positions, in index order
  };
  const std::vector<Creator>& creators() const noexcept { return creators_; }

  // The creator whose canonical form is `canonical`.
  const Creator* find(std::string_view canonical) const noexcept;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::vector<Creator> creators_;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> by_canonical_;
};

// Whether index entry k is the one a lookup of its key answers among the
// entries with an equal key: the last of them, or for a private entry the
// last with the same creator (by canonical form). `canonical` is the
// canonical creator of entry k's record, empty for an entry without one.
bool answers_for_its_key(const DictionaryView& view, std::uint32_t k, std::string_view canonical);

}  // namespace taglex
