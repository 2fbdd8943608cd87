// Opening a .tlex file and looking tags up in it.
//
//   auto opened = taglex::TlexDict::open("/data/tags.tlex");
//   if (!opened) { report(to_string(opened.error())); return; }
//   const taglex::TlexDict& dict = opened.value();
//   if (auto tag = dict.lookup(0x0029, 0x10, "acme 1.0")) use(tag->keyword());
//
// A TlexDict owns the file descriptor and a read-only shared mapping of the
// whole file, and is immutable once open: any number of threads may look tags
// up in it at once. A TagView borrows from its TlexDict and must not outlive it.
//
// Failures of opening are values (TlexError). Contract violations that only a
// lookup can discover (an index entry naming a missing record, a text reference
// past the strings table) throw InternalError; the dictionary stays usable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "taglex/result.hpp"
#include "taglex/schema.hpp"
#include "taglex/source_location.hpp"
#include "taglex/validate.hpp"

namespace taglex {

// ---------------------------------------------------------------------------
// Errors

// The I/O error of a failed open: an OS error number, or a fixed message.
struct OsError {
  int code = 0;
};
using IoError = std::variant<OsError, std::string_view>;
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

struct Io {
  IoError error;
};
struct TooSmall {
  std::uint64_t length = 0;
};
struct BadMagic {
  std::array<std::uint8_t, 4> bytes{};
};
struct UnsupportedVersion {
  std::uint16_t version = 0;
};
struct Integrity {
  std::string text;   // the validation failure, rendered
  std::string words;  // the same in words, without addresses (explain_to)
};

// Why TlexDict::open failed. Renders as one line of text.
struct TlexError {
  std::variant<Io, TooSmall, BadMagic, UnsupportedVersion, Integrity> kind;
};
void append_to(std::string& out, const IoError& e);
void append_to(std::string& out, const TlexError& e);
std::string to_string(const TlexError& e);

// A contract violation found by a lookup. Carries its message and the place
// in the source where it arose; constructing one writes a short report of both
// to standard error.
class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message, SourceLocation where = SourceLocation::current());
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const SourceLocation& where() const noexcept { return where_; }

 private:
  std::string message_;
  SourceLocation where_;
};

// Writes the report of an internal failure to standard error:
// "taglex: internal error at FILE:LINE in FUNCTION: MESSAGE".
void report_internal_error(std::string_view message, const SourceLocation& where) noexcept;

// ---------------------------------------------------------------------------
// Views

// The pieces of a sources text between "|" bytes, empty pieces left out.
class Sources {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;
    iterator() = default;
    iterator(std::string_view rest) noexcept;
    std::string_view operator*() const noexcept { return piece_; }
    iterator& operator++() noexcept;
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const noexcept {
      return piece_.data() == other.piece_.data() && piece_.size() == other.piece_.size();
    }

   private:
    void advance() noexcept;
    std::string_view piece_;
    std::string_view rest_;
  };
  explicit Sources(std::string_view text) noexcept : text_(text) {}
  iterator begin() const noexcept { return iterator(text_); }
  iterator end() const noexcept { return iterator(); }

 private:
  std::string_view text_;
};

// A borrowed view of one tag record and the strings table it refers to.
// Cheap to copy; valid while the dictionary it came from is alive.
class TagView {
 public:
  TagView(TagRecord record, const std::byte* strings, std::uint32_t strings_len) noexcept
      : record_(record), strings_(strings), strings_len_(strings_len) {}

  // Texts read in place. A text that is not valid UTF-8 reads as empty. A
  // text reference past the strings table throws InternalError.
  std::string_view keyword() const { return text(record_.keyword_offset(), record_.keyword_len()); }
  std::string_view name() const { return text(record_.name_offset(), record_.name_len()); }
  std::string_view description() const {
    return text(record_.description_offset(), record_.description_len());
  }
  // Empty when the record has no creator, whatever its offset says.
  std::string_view creator() const;
  Sources sources() const { return Sources(sources_text()); }
  // The sources text whole, the labels joined by "|".
  std::string_view sources_text() const {
    return text(record_.sources_offset(), record_.sources_len());
  }
  // The two-letter code from the fixed VR table.
  std::string_view vr() const noexcept;

  std::uint16_t group() const noexcept { return record_.group(); }
  std::uint16_t element() const noexcept { return record_.element(); }
  bool retired() const noexcept { return record_.retired() != 0; }
  bool element_is_block_offset() const noexcept { return record_.element_is_block_offset() != 0; }
  // Throws the InternalError that reading the first text whose reference
  // runs past the strings table would throw; checks ranges only.
  void check_texts() const;
  // The record's own bytes, for readers that need offsets or raw codes.
  const TagRecord& raw() const noexcept { return record_; }

 private:
  std::string_view text(std::uint32_t offset, std::uint32_t len) const;
  void check_range(std::uint32_t offset, std::uint32_t len) const;
  TagRecord record_;
  const std::byte* strings_;
  std::uint32_t strings_len_;
};

// A validated body, borrowed: the part of TlexDict that needs no file. Also
// what the fuzz target and in-memory tests use.
//
// The positions and counts of the index, the records and the strings are taken
// once, from the validator, and bound every later read: a file rewritten in
// place after validation gives wrong texts or an InternalError, never a read
// outside the body.
class DictionaryView {
 public:
  // Checks a whole file's bytes (length, magic, version, then the body's
  // structure) and returns a view over it. Never reads outside `file`.
  static Result<DictionaryView, TlexError> from_file_bytes(
      std::span<const std::byte> file) noexcept;

  // The number of index entries, as validated.
  std::uint32_t len() const noexcept { return index_count_; }

  // The record of the last index entry whose key equals (group, element,
  // creator_hash), where creator_hash is 0 without a creator and the FNV-1a
  // hash of the canonical creator otherwise. Allocates nothing, with or
  // without a creator. Throws InternalError when the entry names a missing
  // record.
  std::optional<TagView> lookup(std::uint16_t group, std::uint16_t element,
                                std::optional<std::string_view> creator) const;
  std::optional<TagView> lookup_hash(std::uint16_t group, std::uint16_t element,
                                     std::uint32_t creator_hash) const;

  // The position of the last index entry whose key is not greater than
  // (group, element, creator_hash): the one lookup_hash finds when the keys
  // are equal. 0 when every key is greater, or the index is empty.
  std::uint32_t position_of(std::uint16_t group, std::uint16_t element,
                            std::uint32_t creator_hash) const noexcept;

  // Index entry k (k < len()) and record r, read where they lie. record()
  // throws InternalError for r past the records array.
  std::uint32_t record_count() const noexcept { return records_count_; }
  std::uint32_t strings_len() const noexcept { return strings_len_; }
  const std::byte* strings_data() const noexcept { return strings_; }
  IndexEntry index_entry(std::uint32_t k) const noexcept {
    return IndexEntry(index_ + std::size_t{k} * IndexEntry::kSize);
  }
  TagView record(std::uint32_t r) const {
    if (r >= records_count_) [[unlikely]] throw_record_out_of_bounds(r);
    return TagView(TagRecord(records_ + std::size_t{r} * TagRecord::kSize), strings_, strings_len_);
  }
  // The record of index entry k; throws InternalError as lookup does.
  TagView record_of_entry(std::uint32_t k) const { return record(index_entry(k).record_index()); }

 private:
  [[noreturn]] void throw_record_out_of_bounds(std::uint32_t r) const;
  // The record of the index entry `entry` found for `wanted`, if its key is
  // `wanted`.
  std::optional<TagView> record_of(const std::byte* entry, std::uint64_t wanted) const;

  DictionaryView(const std::byte* body, const ValidatedRoot& root) noexcept
      : index_(body + root.index.position),
        records_(body + root.records.position),
        strings_(body + root.strings.position),
        index_count_(root.index.count),
        records_count_(root.records.count),
        strings_len_(root.strings.count) {}
  const std::byte* index_;
  const std::byte* records_;
  const std::byte* strings_;
  std::uint32_t index_count_;
  std::uint32_t records_count_;
  std::uint32_t strings_len_;
};

// ---------------------------------------------------------------------------
// Owning handles

// A file descriptor, closed on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  int get() const noexcept { return fd_; }
  // Closes the descriptor (errors ignored).
  void reset() noexcept;

 private:
  int fd_ = -1;
};

// A read-only mapping, removed on destruction. `length` is the file's length
// (possibly 0, in which case one byte is mapped).
class Mapping {
 public:
  Mapping() = default;
  Mapping(const std::byte* data, std::size_t length) noexcept : data_(data), length_(length) {}
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }
  std::span<const std::byte> bytes() const noexcept { return {data_, length_}; }
  // Unmaps (errors ignored).
  void reset() noexcept;

 private:
  const std::byte* data_ = nullptr;
  std::size_t length_ = 0;
};

// An open dictionary file.
class TlexDict {
 public:
  static constexpr std::size_t kBodyOffset = kHeaderSize;

  // Opens `path` (file-system bytes, passed to the OS unchanged), maps the
  // whole file read-only and shared, checks the header and validates the body.
  // On failure nothing stays open.
  static Result<TlexDict, TlexError> open(std::string_view path);

  TlexDict(TlexDict&&) noexcept = default;
  TlexDict& operator=(TlexDict&&) noexcept;
  TlexDict(const TlexDict&) = delete;
  TlexDict& operator=(const TlexDict&) = delete;
  // Closes the descriptor, then removes the mapping.
  ~TlexDict();

  std::uint32_t len() const noexcept { return view_.len(); }
  std::optional<TagView> lookup(std::uint16_t group, std::uint16_t element,
                                std::optional<std::string_view> creator) const {
    return view_.lookup(group, element, creator);
  }

  const DictionaryView& view() const noexcept { return view_; }
  int file() const noexcept { return file_.get(); }
  std::span<const std::byte> mapping() const noexcept { return map_.bytes(); }
  std::size_t body_offset() const noexcept { return kBodyOffset; }

 private:
  TlexDict(FileDescriptor file, Mapping map, DictionaryView view) noexcept
      : file_(std::move(file)), map_(std::move(map)), view_(view) {}
  void release() noexcept;
  FileDescriptor file_;
  Mapping map_;
  DictionaryView view_;
};

}  // namespace taglex
