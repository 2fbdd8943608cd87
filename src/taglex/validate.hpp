// Structural validation of an archived body.
//
// check_archived_root runs once per file, when it is opened. It proves that
// the root record lies at the end of the body, that the three arrays it refers
// to (index, records, strings) lie inside the body, aligned, in that order,
// without overlap and before the root, and that every tag record holds legal
// bytes in its two flags and its VR code. Lookups rely on these facts and do
// not check them again.
//
// Failures are values, nested the way they arose, and rendered as one line of
// text only when someone asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "taglex/result.hpp"

namespace taglex {

// A range of memory addresses [start, end).
struct AddressRange {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
};

// Pointer-rule failures.
struct Underaligned {
  std::uint64_t expected_align = 0;
  std::uint64_t actual_align = 0;
};
struct OutOfBounds {
  std::uintptr_t base = 0;
  std::int64_t offset = 0;
  AddressRange range;
};
struct Overrun {
  std::uintptr_t ptr = 0;
  std::uint64_t size = 0;
  AddressRange range;
};
struct Unaligned {
  std::uintptr_t ptr = 0;
  std::uint64_t align = 0;
};
struct SubtreePointerOutOfBounds {
  std::uintptr_t ptr = 0;
  AddressRange subtree_range;
};
struct SubtreePointerOverrun {
  std::uintptr_t ptr = 0;
  std::uint64_t size = 0;
  AddressRange subtree_range;
};
using ArchiveError = std::variant<Underaligned, OutOfBounds, Overrun, Unaligned,
                                  SubtreePointerOutOfBounds, SubtreePointerOverrun>;

// Failures of one byte of a tag record.
struct BoolCheckError {
  std::uint8_t invalid_value = 0;
};
struct InvalidTag {
  std::uint8_t value = 0;
};

// A failure inside the named member of a struct; owns the inner failure.
template <class Inner>
struct StructCheckError {
  std::string_view field_name;
  Inner inner;
};

// A record member ("element_is_block_offset", "retired" or "vr") that failed.
using RecordCheckError = StructCheckError<std::variant<BoolCheckError, InvalidTag>>;

// The first element of `records` that failed, by its zero-based number.
struct CheckBytes {
  std::uint64_t index = 0;
  RecordCheckError error;
};

// A root member ("index", "records" or "strings") that failed.
using RootCheckError = StructCheckError<std::variant<ArchiveError, CheckBytes>>;

// The two top-level outcomes of a failed validation.
struct ContextError {
  ArchiveError error;
};
struct CheckBytesError {
  RootCheckError error;
};
using CheckArchiveError = std::variant<ContextError, CheckBytesError>;

// Each failure's one-line text: its own format with the nested failure's text
// in the last place.
void append_to(std::string& out, const ArchiveError& e);
void append_to(std::string& out, const RecordCheckError& e);
void append_to(std::string& out, const CheckBytes& e);
void append_to(std::string& out, const RootCheckError& e);
void append_to(std::string& out, const CheckArchiveError& e);
std::string to_string(const CheckArchiveError& e);

// What is wrong, in words and without addresses, for someone who does not
// know the layout: "the records array runs past the end of the file".
void explain_to(std::string& out, const CheckArchiveError& e);

// Where one array of a validated body lies: the position of its first element
// in the body and its element count.
struct ArrayPlace {
  std::size_t position = 0;
  std::uint32_t count = 0;
};

// The root of a validated body: its own position (body_len - 24) and the
// arrays it refers to, as read once and proved by the validator.
struct ValidatedRoot {
  std::size_t position = 0;
  ArrayPlace index, records, strings;
};

// Validates the body that starts at `body` and is `body_len` bytes long, and
// returns its root. Reads the body
// only; allocates nothing on success. `body` need not be aligned: an
// unaligned body is reported, not assumed away.
Result<ValidatedRoot, CheckArchiveError> check_archived_root(const std::byte* body,
                                                             std::size_t body_len) noexcept;

}  // namespace taglex
