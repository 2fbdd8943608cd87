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
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "taglex/description.hpp"
#include "taglex/lookup.hpp"

namespace taglex {

// Keyword to record, for the data elements without a creator. Of the
// records sharing a keyword the one of the lowest tag answers; a former
// keyword (a description's "formerly" part) answers with its element unless
// some element has it as its own keyword. Built from the records alone, in
// one pass (the index array is not read); an answer counts only when the
// index answers that record for its tag, which is checked once per keyword.
class StandardIndex {
 public:
  // How keywords are hashed for the table: a caller that holds a ready
  // hash of the texts it asks (an interpreter's own string hash) builds the
  // index with that function and asks with find_keyword(view, keyword, hash).
  using Hash = std::size_t (*)(std::string_view) noexcept;
  static std::size_t default_hash(std::string_view keyword) noexcept;

  static StandardIndex build(const DictionaryView& view, Hash hash = &default_hash);

  StandardIndex() = default;
  StandardIndex(StandardIndex&&) noexcept = default;
  StandardIndex& operator=(StandardIndex&&) noexcept = default;

  struct Found {
    std::uint32_t record;
    bool repeating;      // the keyword is also that of a repeating mask
    std::uint32_t slot;  // a number below size(), the same for the same keyword
  };
  std::size_t size() const noexcept { return slots_.size(); }

  // The record `keyword` answers with in `view` (the dictionary the index
  // was built from): its own, or for a file whose index does not answer
  // that record for its tag (a duplicate key, a record no entry names), the
  // first entry in index order that has the keyword. `hash` is the index's
  // Hash of `keyword`. Thread-safe.
  std::optional<Found> find_keyword(const DictionaryView& view, std::string_view keyword,
                                    std::size_t hash) const;
  std::optional<Found> find_keyword(const DictionaryView& view, std::string_view keyword) const;

  // Every keyword the index answers, current ones first, each once.
  std::vector<std::string_view> keywords() const;

  // The repeating masks of the registry ("repeating (60xx,3000)" of an
  // element, or "also repeating (mask) Keyword" of the element a mask
  // meets), each once, in the order of their fixed digits (the tag order of
  // the registry), with the keyword that goes with it.
  struct Repeater {
    description::Mask mask;
    std::string_view keyword;
  };
  const std::vector<Repeater>& repeaters() const noexcept { return repeaters_; }

 private:
  // 16 bytes a keyword: the low half of its hash, where its text lies in the
  // strings table, and the record it answers with.
  struct Slot {
    std::uint32_t hash;
    std::uint32_t offset;
    std::uint32_t record;
    std::uint16_t length;
    bool repeating = false;
  };
  // Slots in chunks of a fixed size, so that growing never copies (nor
  // leaves the memory of a smaller copy behind).
  class Slots {
   public:
    std::size_t size() const noexcept { return size_; }
    Slot& operator[](std::size_t i) noexcept { return chunks_[i / kChunk][i % kChunk]; }
    const Slot& operator[](std::size_t i) const noexcept { return chunks_[i / kChunk][i % kChunk]; }
    void push_back(const Slot& s) {
      if (size_ % kChunk == 0) chunks_.push_back(std::make_unique<Slot[]>(kChunk));
      (*this)[size_++] = s;
    }

   private:
    static constexpr std::size_t kChunk = 512;
    std::vector<std::unique_ptr<Slot[]>> chunks_;
    std::size_t size_ = 0;
  };
  std::string_view keyword_of(const Slot& s) const noexcept { return {base_ + s.offset, s.length}; }
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  std::size_t slot_of(std::string_view keyword, std::size_t hash) const noexcept;
  const char* base_ = nullptr;  // the strings table, which every keyword lies in
  Hash hash_ = &default_hash;
  // The slot of `keyword`, made for `record` if there is none; an existing
  // slot takes `record` when its tag is lower (and `replace` allows it).
  std::size_t insert(const DictionaryView& view, std::string_view keyword, std::uint32_t record,
                     bool replace);
  std::optional<Found> fallback(const DictionaryView& view, std::string_view keyword) const;
  // Per slot: 0 not checked yet, 1 the index answers its record, 2 it does not.
  std::unique_ptr<std::atomic<std::uint8_t>[]> checked_;
  void rehash(std::size_t capacity);
  Slots slots_;                        // dense, in insertion order
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
