// The canonical form of a private creator, and the hash it is indexed under.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "taglex/schema.hpp"

namespace taglex {

// The canonical form of a private creator: the text split at every Unicode
// White_Space character, the non-empty pieces joined with one U+0020, and the
// result upper-cased with the full (unconditional) mapping of Unicode 17.0.
// Bytes that are not valid UTF-8 are kept as they are.
std::string canonicalize_creator(std::string_view text);

// The creator_hash under which a data element with this creator is indexed:
// fnv1a32(canonicalize_creator(creator)), computed in the same single pass
// without building the canonical text, so it allocates nothing; an ASCII
// creator touches no Unicode table.
std::uint32_t creator_hash(std::string_view creator) noexcept;

// The hash of a creator that is printable ASCII already in canonical form
// (no lower-case letter, one space between words, none at either end), which
// is then its own canonical form; nothing for any other creator.
std::optional<std::uint32_t> canonical_ascii_hash(std::string_view text) noexcept;

// canonicalize_creator(text) written into `out` (its old content replaced),
// and the hash of it, in one pass.
std::uint32_t canonicalize_and_hash(std::string_view text, std::string& out);

// Whether canonicalize_creator(text) == canonical, without building it.
bool canonical_equals(std::string_view text, std::string_view canonical) noexcept;

// Unicode properties behind canonicalize_creator, exposed for tests.
namespace unicode {
bool is_white_space(char32_t cp) noexcept;
// Appends the UTF-8 encoding of the full upper-case mapping of `cp` (itself
// when it has none) to `out`.
void append_upper(char32_t cp, std::string& out);
}  // namespace unicode

}  // namespace taglex
