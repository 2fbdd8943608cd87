#include "taglex/validate.hpp"

#include <bit>
#include <iterator>

#include "taglex/overloaded.hpp"
#include "taglex/schema.hpp"
#include "taglex/text.hpp"

namespace taglex {
namespace {

// The largest power of two that divides `addr` (0 has every alignment; report
// the largest one representable).
std::uint64_t alignment_of(std::uintptr_t addr) noexcept {
  return addr == 0 ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << std::countr_zero(addr));
}

void append_range(std::string& out, const AddressRange& r) {
  append_address(out, r.start);
  out.append("..");
  append_address(out, r.end);
}

// One array that the root refers to, and how its elements are laid out.
struct RootField {
  std::string_view name;
  std::size_t position_in_root;
  std::uint64_t element_size;
  std::uint64_t align;
};
constexpr RootField kRootFields[] = {
    {"index", Dictionary::kIndexField, IndexEntry::kSize, 4},
    {"records", Dictionary::kRecordsField, TagRecord::kSize, 4},
    {"strings", Dictionary::kStringsField, 1, 1},
};

// Every failure leaves through one of these two.
Err<CheckArchiveError> context_error(ArchiveError e) {
  return Err{CheckArchiveError{ContextError{e}}};
}
Err<CheckArchiveError> field_error(std::string_view field,
                                   std::variant<ArchiveError, CheckBytes> inner) {
  return Err{CheckArchiveError{CheckBytesError{RootCheckError{field, std::move(inner)}}}};
}

// Checks the three bytes of every record in [body + target, + count * 44);
// returns the first failure, if any.
std::optional<CheckBytes> check_records(const std::byte* first, std::uint32_t count) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    const TagRecord rec(first + i * TagRecord::kSize);
    if (const auto b = rec.element_is_block_offset(); b > 1) {
      return CheckBytes{i, {"element_is_block_offset", BoolCheckError{b}}};
    }
    if (const auto b = rec.retired(); b > 1) {
      return CheckBytes{i, {"retired", BoolCheckError{b}}};
    }
    if (const auto v = rec.vr(); v >= kVrCount) {
      return CheckBytes{i, {"vr", InvalidTag{v}}};
    }
  }
  return std::nullopt;
}

}  // namespace

void append_to(std::string& out, const ArchiveError& e) {
  std::visit(Overloaded{
                 [&](const Underaligned& x) {
                   out.append("archive underaligned: need alignment ");
                   append_decimal(out, x.expected_align);
                   out.append(" but have alignment ");
                   append_decimal(out, x.actual_align);
                 },
                 [&](const OutOfBounds& x) {
                   out.append("pointer out of bounds: base ");
                   append_address(out, x.base);
                   out.append(" offset ");
                   append_decimal(out, x.offset);
                   out.append(" not in range ");
                   append_range(out, x.range);
                 },
                 [&](const Overrun& x) {
                   out.append("pointer overran buffer: ptr ");
                   append_address(out, x.ptr);
                   out.append(" size ");
                   append_decimal(out, x.size);
                   out.append(" in range ");
                   append_range(out, x.range);
                 },
                 [&](const Unaligned& x) {
                   out.append("unaligned pointer: ptr ");
                   append_address(out, x.ptr);
                   out.append(" unaligned for alignment ");
                   append_decimal(out, x.align);
                 },
                 [&](const SubtreePointerOutOfBounds& x) {
                   out.append("subtree pointer out of bounds: ptr ");
                   append_address(out, x.ptr);
                   out.append(" not in range ");
                   append_range(out, x.subtree_range);
                 },
                 [&](const SubtreePointerOverrun& x) {
                   out.append("subtree pointer overran range: ptr ");
                   append_address(out, x.ptr);
                   out.append(" size ");
                   append_decimal(out, x.size);
                   out.append(" in range ");
                   append_range(out, x.subtree_range);
                 },
             },
             e);
}

void append_to(std::string& out, const RecordCheckError& e) {
  out.append("check failed for struct member ");
  out.append(e.field_name);
  out.append(": ");
  std::visit(Overloaded{
                 [&](const BoolCheckError& x) {
                   out.append("check failed for bool: expected 0 or 1, found ");
                   append_decimal(out, x.invalid_value);
                 },
                 [&](const InvalidTag& x) {
                   out.append("invalid tag for enum: ");
                   append_decimal(out, x.value);
                 },
             },
             e.inner);
}

void append_to(std::string& out, const CheckBytes& e) {
  out.append("check failed for slice index ");
  append_decimal(out, e.index);
  out.append(": ");
  append_to(out, e.error);
}

void append_to(std::string& out, const RootCheckError& e) {
  out.append("check failed for struct member ");
  out.append(e.field_name);
  out.append(": ");
  std::visit([&](const auto& inner) { append_to(out, inner); }, e.inner);
}

void append_to(std::string& out, const CheckArchiveError& e) {
  std::visit(Overloaded{
                 [&](const ContextError& x) {
                   out.append("context error: ");
                   append_to(out, x.error);
                 },
                 [&](const CheckBytesError& x) {
                   out.append("check bytes error: ");
                   append_to(out, x.error);
                 },
             },
             e);
}

void explain_to(std::string& out, const CheckArchiveError& e) {
  const auto explain_array = [&](const ArchiveError& a) {
    std::visit(Overloaded{
                   [&](const Underaligned&) { out.append("is not aligned in memory"); },
                   [&](const OutOfBounds&) { out.append("lies outside the file"); },
                   [&](const Overrun&) { out.append("runs past the end of the file"); },
                   [&](const Unaligned&) { out.append("does not start at a multiple of 4 bytes"); },
                   [&](const SubtreePointerOutOfBounds&) {
                     out.append("does not lie between the array before it and the root");
                   },
                   [&](const SubtreePointerOverrun&) {
                     out.append("runs into the root or the array after it");
                   },
               },
               a);
  };
  std::visit(Overloaded{
                 [&](const ContextError& x) {
                   if (std::holds_alternative<OutOfBounds>(x.error)) {
                     out.append("it is too short to hold the 24-byte root record");
                   } else if (std::holds_alternative<Unaligned>(x.error)) {
                     out.append("its size is not a multiple of 4 bytes");
                   } else {
                     out.append("it is not aligned in memory");
                   }
                 },
                 [&](const CheckBytesError& x) {
                   const RootCheckError& root = x.error;
                   if (const auto* bytes = std::get_if<CheckBytes>(&root.inner)) {
                     out.append("record ");
                     append_decimal(out, bytes->index);
                     std::visit(Overloaded{
                                    [&](const BoolCheckError& b) {
                                      out.append(" holds ");
                                      append_decimal(out, b.invalid_value);
                                      out.append(" in its ");
                                      out.append(bytes->error.field_name);
                                      out.append(" flag, which must be 0 or 1");
                                    },
                                    [&](const InvalidTag& t) {
                                      out.append(" holds the unknown VR code ");
                                      append_decimal(out, t.value);
                                    },
                                },
                                bytes->error.inner);
                     return;
                   }
                   out.append("the ");
                   out.append(root.field_name);
                   out.append(" array ");
                   explain_array(std::get<ArchiveError>(root.inner));
                 },
             },
             e);
}

std::string to_string(const CheckArchiveError& e) {
  std::string out;
  append_to(out, e);
  return out;
}

Result<ValidatedRoot, CheckArchiveError> check_archived_root(const std::byte* body,
                                                             std::size_t body_len) noexcept {
  const auto s = reinterpret_cast<std::uintptr_t>(body);
  const std::int64_t b = static_cast<std::int64_t>(body_len);
  const AddressRange whole{s, s + body_len};

  // The root must fit, and the body and the root must be 4-aligned.
  if (b < static_cast<std::int64_t>(Dictionary::kSize)) {
    return context_error(OutOfBounds{s, b - static_cast<std::int64_t>(Dictionary::kSize), whole});
  }
  if (s % 4 != 0) {
    return context_error(Underaligned{4, alignment_of(s)});
  }
  const std::int64_t root = b - static_cast<std::int64_t>(Dictionary::kSize);
  if ((s + static_cast<std::uintptr_t>(root)) % 4 != 0) {
    return context_error(Unaligned{s + static_cast<std::uintptr_t>(root), 4});
  }

  // Each array must lie inside the body, after the previous one and before
  // the root: [start, end) is the part of the body still unclaimed.
  std::int64_t start = 0;
  const std::int64_t end = root;
  ArrayPlace places[std::size(kRootFields)];
  const auto subtree = [&] {
    return AddressRange{s + static_cast<std::uintptr_t>(start),
                        s + static_cast<std::uintptr_t>(end)};
  };
  for (const RootField& field : kRootFields) {
    const std::int64_t f = root + static_cast<std::int64_t>(field.position_in_root);
    const RelVec rel(body + f);
    const std::int32_t offset = rel.offset();
    const std::uint32_t count = rel.count();
    const std::int64_t t = f + offset;
    const std::uint64_t size = std::uint64_t{count} * field.element_size;
    const auto at = [&] { return s + static_cast<std::uintptr_t>(t); };

    if (t < 0 || t > b) {
      return field_error(
          field.name, ArchiveError{OutOfBounds{s + static_cast<std::uintptr_t>(f), offset, whole}});
    }
    if (field.align == 4) {
      // Cannot fire after the body check above; kept so each field's checks stand alone.
      if (s % 4 != 0) {
        return field_error(field.name, ArchiveError{Underaligned{4, alignment_of(s)}});
      }
      if (t % 4 != 0) {
        return field_error(field.name, ArchiveError{Unaligned{at(), 4}});
      }
    }
    if (static_cast<std::uint64_t>(b - t) < size) {
      return field_error(field.name, ArchiveError{Overrun{at(), size, whole}});
    }
    const bool outside = count > 0 ? (t < start || t >= end) : (t < start || t > end);
    if (outside) {
      return field_error(field.name, ArchiveError{SubtreePointerOutOfBounds{at(), subtree()}});
    }
    if (count > 0 && static_cast<std::uint64_t>(end - t) < size) {
      return field_error(field.name, ArchiveError{SubtreePointerOverrun{at(), size, subtree()}});
    }
    if (field.position_in_root == Dictionary::kRecordsField) {
      if (auto bad = check_records(body + t, count)) {
        return field_error(field.name, std::move(*bad));
      }
    }
    start = t + static_cast<std::int64_t>(size);
    places[&field - kRootFields] = {static_cast<std::size_t>(t), count};
  }
  return ValidatedRoot{static_cast<std::size_t>(root), places[0], places[1], places[2]};
}

}  // namespace taglex
