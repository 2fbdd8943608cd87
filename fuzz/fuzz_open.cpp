// Coverage-guided fuzz target for the dictionary library (libFuzzer).
//
// Input layout:   [ file bytes ][ query bytes ][ q ]
//
// The last byte q says how many bytes before it form the query trailer
// (clamped to what is there); everything before the trailer is a whole .tlex
// file. The trailer is a sequence of queries, each
//
//   group (u16 LE) | element (u16 LE) | n (u8) | n creator bytes
//
// and every query is looked up twice: without a creator and with the n bytes
// as the creator (arbitrary bytes, so canonicalisation sees broken UTF-8 too).
// On a file that opens, the key of every index entry is looked up as well
// (and its neighbours), so that the fuzzer reaches records without having to
// guess hashes.
//
// Besides memory safety (ASan, UBSan; the file is copied into a buffer of
// exactly its length) the target compares the library with a plain reference
// model written here from the file format's rules, and aborts on any
// difference:
//   - acceptance: the outcome of the header checks and of validation (too
//     small, bad magic, unsupported version, integrity failure, accepted);
//   - len(): the index count stored 20 bytes before the end of the file;
//   - lookups on a sorted index: the record of the last entry with the key,
//     nothing, or the "index out of bounds" internal error, exactly as a
//     linear scan finds them; on an unsorted index: whatever is found belongs
//     to an entry with that key;
//   - every text of a found record: the exact bytes of the strings table when
//     they are valid UTF-8 (the same address, not a copy), empty when they are
//     not, or the range-check internal error with its exact message; sources
//     split at "|" with empty pieces dropped;
//   - lookup(g, e, creator) against lookup_hash(g, e, hash of the canonical
//     creator), and without a creator against lookup_hash(g, e, 0);
//   - canonicalize_creator against a straightforward reference (decode, split
//     at White_Space, join with one space, upper-case each code point through
//     the library's own table lookup), and for ASCII input against a purely
//     ASCII rule; White_Space against its fixed list of code points;
//   - a body at a misaligned address is refused with "underaligned".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "taglex/canonical.hpp"
#include "taglex/description.hpp"
#include "taglex/index.hpp"
#include "taglex/lookup.hpp"
#include "taglex/schema.hpp"
#include "taglex/validate.hpp"

namespace {

using taglex::DictionaryView;
using taglex::InternalError;
using taglex::TagView;

// Lookups of index keys per input: enough for every seed, few enough that a
// large index does not slow the fuzzer down.
constexpr std::size_t kMaxIndexProbes = 64;
// Queries read from the trailer per input.
constexpr int kMaxQueries = 16;

// Reported on stdout as well: tools/fuzz.sh closes stderr (-close_fd_mask=2)
// to silence the library's reports of internal errors.
[[noreturn]] void fail(const char* what, int line) {
  std::printf("fuzz_open.cpp:%d: property violated: %s\n", line, what);
  std::fflush(stdout);
  std::fprintf(stderr, "fuzz_open.cpp:%d: property violated: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                \
  do {                                  \
    if (!(cond)) fail(#cond, __LINE__); \
  } while (0)

// A heap copy of the input at an address of our choosing, exactly as long as
// the input so that ASan reports a read one byte past its end.
class Buffer {
 public:
  // `misalign` bytes past a 16-byte boundary. With 0 the body (at +32) is
  // 16-aligned, as it is in a mapping.
  Buffer(const std::uint8_t* data, std::size_t size, std::size_t misalign) {
    void* p = nullptr;
    if (posix_memalign(&p, 16, size + misalign) != 0) std::abort();
    raw_ = static_cast<std::byte*>(p);
    data_ = raw_ + misalign;
    if (size != 0) std::memcpy(data_, data, size);
    size_ = size;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(raw_); }
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  const std::uint8_t* u8() const { return reinterpret_cast<const std::uint8_t*>(data_); }

 private:
  std::byte* raw_ = nullptr;
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

std::uint16_t rd16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t rd32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// ---------------------------------------------------------------------------
// Reference model of the file

enum class Verdict { TooSmall, BadMagic, BadVersion, Integrity, Accepted };

struct RefEntry {
  std::uint16_t group, element;
  std::uint32_t hash, record;
  std::uint64_t key() const {
    return std::uint64_t{group} << 48 | std::uint64_t{element} << 32 | hash;
  }
};

struct RefRecord {
  std::uint32_t keyword_off, name_off, creator_off, description_off, description_len;
  std::uint32_t sources_off, sources_len;
  std::uint16_t group, element, keyword_len, name_len, creator_len;
  std::uint8_t vr, block, retired;
};

struct RefFile {
  Verdict verdict = Verdict::TooSmall;
  std::vector<RefEntry> index;
  std::uint32_t records_count = 0;
  const std::uint8_t* records = nullptr;
  const std::uint8_t* strings = nullptr;
  std::uint32_t strings_count = 0;
  std::uint32_t index_count = 0;

  RefRecord record(std::uint32_t r) const {
    const std::uint8_t* p = records + std::size_t{r} * 44;
    return {rd32(p),      rd32(p + 4),  rd32(p + 8),  rd32(p + 12), rd32(p + 16),
            rd32(p + 20), rd32(p + 24), rd16(p + 28), rd16(p + 30), rd16(p + 32),
            rd16(p + 34), rd16(p + 36), p[40],        p[41],        p[42]};
  }
};

// The acceptance rules of a .tlex file, checked in their order.
RefFile reference_file(const std::uint8_t* f, std::size_t n) {
  RefFile ref;
  if (n < 32) return ref;
  if (std::memcmp(f, "TLEX", 4) != 0) {
    ref.verdict = Verdict::BadMagic;
    return ref;
  }
  if (rd16(f + 4) != 2) {
    ref.verdict = Verdict::BadVersion;
    return ref;
  }
  ref.verdict = Verdict::Integrity;
  const std::uint8_t* body = f + 32;
  const std::int64_t b = static_cast<std::int64_t>(n - 32);
  if (b < 24 || b % 4 != 0) return ref;
  const std::int64_t root = b - 24;
  const std::int64_t elem[3] = {12, 44, 1};
  const std::int64_t align[3] = {4, 4, 1};
  std::int64_t start = 0;
  const std::int64_t end = root;
  std::int64_t target[3] = {};
  std::uint32_t count[3] = {};
  for (int k = 0; k < 3; ++k) {
    const std::int64_t at = root + 8 * k;
    const auto offset = static_cast<std::int32_t>(rd32(body + at));
    count[k] = rd32(body + at + 4);
    const std::int64_t t = at + offset;
    const std::int64_t size = std::int64_t{count[k]} * elem[k];
    if (t < 0 || t > b) return ref;
    if (t % align[k] != 0) return ref;
    if (b - t < size) return ref;
    if (count[k] > 0 ? (t < start || t >= end || end - t < size) : (t < start || t > end))
      return ref;
    if (k == 1) {
      for (std::uint32_t i = 0; i < count[k]; ++i) {
        const std::uint8_t* rec = body + t + std::int64_t{i} * 44;
        if (rec[41] > 1 || rec[42] > 1 || rec[40] > 34) return ref;
      }
    }
    target[k] = t;
    start = t + size;
  }
  ref.verdict = Verdict::Accepted;
  ref.index_count = count[0];
  for (std::uint32_t i = 0; i < count[0]; ++i) {
    const std::uint8_t* e = body + target[0] + std::int64_t{i} * 12;
    ref.index.push_back({rd16(e + 8), rd16(e + 10), rd32(e), rd32(e + 4)});
  }
  ref.records = body + target[1];
  ref.records_count = count[1];
  ref.strings = body + target[2];
  ref.strings_count = count[2];
  return ref;
}

Verdict verdict_of(const taglex::TlexError& e) {
  switch (e.kind.index()) {
    case 1:
      return Verdict::TooSmall;
    case 2:
      return Verdict::BadMagic;
    case 3:
      return Verdict::BadVersion;
    case 4:
      return Verdict::Integrity;
    default:
      fail("DictionaryView::from_file_bytes reported an I/O error", __LINE__);
  }
}

// Length of the well-formed UTF-8 sequence at s (Unicode's table of
// well-formed byte sequences), or 0 when there is none.
std::size_t utf8_sequence(const std::uint8_t* s, std::size_t n, char32_t* cp = nullptr) {
  const std::uint8_t c = s[0];
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c < 0x80) {
    if (cp) *cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF)
    need = 1;
  else if (c == 0xE0)
    need = 2, lo = 0xA0;
  else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
    need = 2;
  else if (c == 0xED)
    need = 2, hi = 0x9F;
  else if (c == 0xF0)
    need = 3, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3)
    need = 3;
  else if (c == 0xF4)
    need = 3, hi = 0x8F;
  else
    return 0;
  if (n - 1 < need || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t j = 2; j <= need; ++j) {
    if (s[j] < 0x80 || s[j] > 0xBF) return 0;
  }
  if (cp) {
    char32_t v = c & (0x7F >> (need + 1));
    for (std::size_t j = 1; j <= need; ++j) v = v << 6 | (s[j] & 0x3F);
    *cp = v;
  }
  return need + 1;
}

bool utf8_valid(const std::uint8_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const std::size_t len = utf8_sequence(s + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// What reading one text must give: an internal error with this message, or
// exactly these bytes (possibly none).
struct RefText {
  std::optional<std::string> error;
  const char* data = nullptr;
  std::size_t size = 0;
};

RefText reference_text(const RefFile& ref, std::uint32_t offset, std::uint32_t len) {
  RefText out;
  const std::uint64_t end = std::uint64_t{offset} + len;
  if (end > ref.strings_count) {
    std::string m = offset > ref.strings_count ? "range start index " + std::to_string(offset)
                                               : "range end index " + std::to_string(end);
    out.error = m + " out of range for slice of length " + std::to_string(ref.strings_count);
    return out;
  }
  if (utf8_valid(ref.strings + offset, len)) {
    out.data = reinterpret_cast<const char*>(ref.strings) + offset;
    out.size = len;
  }
  return out;
}

// Runs `read` (which returns a string_view) and compares it with `want`.
template <class Read>
void check_text(const RefText& want, Read&& read) {
  std::string_view got;
  try {
    got = read();
  } catch (const InternalError& e) {
    FUZZ_CHECK(want.error.has_value());
    FUZZ_CHECK(e.message() == *want.error);
    return;
  }
  FUZZ_CHECK(!want.error.has_value());
  FUZZ_CHECK(got.size() == want.size);
  if (want.size != 0) FUZZ_CHECK(got.data() == want.data);
}

void check_sources(const RefText& want, const TagView& tag) {
  std::vector<std::string_view> pieces;
  try {
    for (const std::string_view piece : tag.sources()) pieces.push_back(piece);
  } catch (const InternalError& e) {
    FUZZ_CHECK(want.error.has_value());
    FUZZ_CHECK(e.message() == *want.error);
    return;
  }
  FUZZ_CHECK(!want.error.has_value());
  std::size_t k = 0;
  const std::string_view text(want.data, want.size);
  for (std::size_t i = 0; i <= text.size();) {
    const std::size_t bar = std::min(text.find('|', i), text.size());
    if (bar > i) {
      FUZZ_CHECK(k < pieces.size());
      FUZZ_CHECK(pieces[k].data() == text.data() + i && pieces[k].size() == bar - i);
      ++k;
    }
    i = bar + 1;
  }
  FUZZ_CHECK(k == pieces.size());
}

// Every accessor of a view that must show record r.
void check_view(const RefFile& ref, std::uint32_t r, const TagView& tag) {
  const RefRecord rec = ref.record(r);
  FUZZ_CHECK(tag.group() == rec.group);
  FUZZ_CHECK(tag.element() == rec.element);
  FUZZ_CHECK(tag.retired() == (rec.retired == 1));
  FUZZ_CHECK(tag.element_is_block_offset() == (rec.block == 1));
  FUZZ_CHECK(tag.vr() == taglex::kVrNames[rec.vr]);
  check_text(reference_text(ref, rec.keyword_off, rec.keyword_len), [&] { return tag.keyword(); });
  check_text(reference_text(ref, rec.name_off, rec.name_len), [&] { return tag.name(); });
  check_text(reference_text(ref, rec.description_off, rec.description_len),
             [&] { return tag.description(); });
  check_text(
      rec.creator_len == 0 ? RefText{} : reference_text(ref, rec.creator_off, rec.creator_len),
      [&] { return tag.creator(); });
  check_sources(reference_text(ref, rec.sources_off, rec.sources_len), tag);
}

std::string index_error(std::uint32_t m, std::uint32_t r) {
  return "index out of bounds: the len is " + std::to_string(m) + " but the index is " +
         std::to_string(r);
}

// ---------------------------------------------------------------------------
// Lookups

// One lookup by hash, checked against the reference.
void probe_hash(const DictionaryView& view, const RefFile& ref, bool sorted, std::uint16_t group,
                std::uint16_t element, std::uint32_t hash) {
  const std::uint64_t key = RefEntry{group, element, hash, 0}.key();
  std::optional<std::uint32_t> last;  // record number of the last entry with the key
  for (const RefEntry& e : ref.index) {
    if (e.key() == key) last = e.record;
  }
  std::optional<TagView> found;
  try {
    found = view.lookup_hash(group, element, hash);
  } catch (const InternalError& e) {
    if (sorted) {
      FUZZ_CHECK(last.has_value() && *last >= ref.records_count);
      FUZZ_CHECK(e.message() == index_error(ref.records_count, *last));
    } else {
      bool named = false;
      for (const RefEntry& x : ref.index) {
        named = named || (x.key() == key && x.record >= ref.records_count &&
                          e.message() == index_error(ref.records_count, x.record));
      }
      FUZZ_CHECK(named);
    }
    return;
  }
  if (sorted) {
    FUZZ_CHECK(found.has_value() == last.has_value());
    if (found) check_view(ref, *last, *found);
    return;
  }
  if (!found) return;  // an unsorted index may hide entries
  // Whatever was found is the record of some entry with this key; when only
  // one record can be meant, every accessor is checked against it.
  std::vector<std::uint32_t> candidates;
  for (const RefEntry& x : ref.index) {
    if (x.key() == key && x.record < ref.records_count) candidates.push_back(x.record);
  }
  bool matched = false;
  for (const std::uint32_t r : candidates) {
    const RefRecord rec = ref.record(r);
    matched = matched ||
              (found->group() == rec.group && found->element() == rec.element &&
               found->vr() == taglex::kVrNames[rec.vr] && found->retired() == (rec.retired == 1) &&
               found->element_is_block_offset() == (rec.block == 1));
  }
  FUZZ_CHECK(matched);
  std::sort(candidates.begin(), candidates.end());
  if (candidates.front() == candidates.back()) check_view(ref, candidates.front(), *found);
}

// The same search by text and by the hash it reduces to must agree.
void probe_text(const DictionaryView& view, std::uint16_t group, std::uint16_t element,
                std::optional<std::string_view> creator) {
  const std::uint32_t hash = creator ? taglex::creator_hash(*creator) : 0;
  // What a search ended with: its error, nothing, or the record it found
  // (told apart by its fixed fields and where its name and keyword lie).
  auto outcome = [](auto&& search) -> std::string {
    std::optional<TagView> tag;
    try {
      tag = search();
    } catch (const InternalError& e) {
      return "error: " + e.message();
    }
    if (!tag) return "none";
    std::string out = std::to_string(tag->group()) + "/" + std::to_string(tag->element()) + "/" +
                      std::string(tag->vr());
    for (auto text : {&TagView::keyword, &TagView::name}) {
      try {
        out += "/" + std::to_string(reinterpret_cast<std::uintptr_t>(((*tag).*text)().data()));
      } catch (const InternalError& e) {
        out += "/" + e.message();
      }
    }
    return out;
  };
  const std::string by_text = outcome([&] { return view.lookup(group, element, creator); });
  const std::string by_hash = outcome([&] { return view.lookup_hash(group, element, hash); });
  FUZZ_CHECK(by_text == by_hash);
}

// ---------------------------------------------------------------------------
// Creator canonicalisation

// White_Space, as listed for the creator rule.
bool reference_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string reference_canonical(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(s + i, text.size() - i, &cp);
    if (len == 0) {  // not UTF-8: kept as it is, byte by byte
      pieces.back().push_back(static_cast<char>(s[i]));
      ++i;
      continue;
    }
    FUZZ_CHECK(taglex::unicode::is_white_space(cp) == reference_white_space(cp));
    if (reference_white_space(cp)) {
      if (!pieces.back().empty()) pieces.emplace_back();
    } else {
      taglex::unicode::append_upper(cp, pieces.back());
    }
    i += len;
  }
  if (pieces.back().empty()) pieces.pop_back();
  std::string out;
  for (const std::string& p : pieces) {
    if (!out.empty()) out.push_back(' ');
    out += p;
  }
  return out;
}

void check_canonical(std::string_view creator) {
  const std::string got = taglex::canonicalize_creator(creator);
  FUZZ_CHECK(got == reference_canonical(creator));
  FUZZ_CHECK(taglex::canonicalize_creator(got) == got);
  FUZZ_CHECK(taglex::creator_hash(creator) == taglex::fnv1a32(got));
  const bool ascii =
      std::all_of(creator.begin(), creator.end(), [](char c) { return (c & 0x80) == 0; });
  if (ascii) {
    std::string want;
    bool gap = false;
    for (const char c : creator) {
      if ((c >= 0x09 && c <= 0x0D) || c == ' ') {
        gap = !want.empty();
        continue;
      }
      if (gap) want.push_back(' ');
      gap = false;
      want.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    FUZZ_CHECK(got == want);
  }
}

// ---------------------------------------------------------------------------

void run_queries(const DictionaryView* view, const RefFile& ref, bool sorted,
                 std::span<const std::uint8_t> trailer) {
  std::size_t at = 0;
  for (int q = 0; q < kMaxQueries && trailer.size() - at >= 5; ++q) {
    const std::uint16_t group = rd16(trailer.data() + at);
    const std::uint16_t element = rd16(trailer.data() + at + 2);
    const std::size_t n = std::min<std::size_t>(trailer[at + 4], trailer.size() - at - 5);
    const std::string_view creator(reinterpret_cast<const char*>(trailer.data() + at + 5), n);
    at += 5 + n;
    check_canonical(creator);
    if (view == nullptr) continue;
    probe_text(*view, group, element, std::nullopt);
    probe_text(*view, group, element, creator);
    probe_hash(*view, ref, sorted, group, element, 0);
    probe_hash(*view, ref, sorted, group, element, taglex::creator_hash(creator));
  }
}

void run_index_keys(const DictionaryView& view, const RefFile& ref, bool sorted) {
  const std::size_t n = std::min(ref.index.size(), kMaxIndexProbes);
  for (std::size_t k = 0; k < n; ++k) {
    const RefEntry& e = ref.index[k];
    probe_hash(view, ref, sorted, e.group, e.element, e.hash);
    // Keys next to a stored one: misses on either side, or other entries.
    probe_hash(view, ref, sorted, e.group, e.element, e.hash + 1);
    probe_hash(view, ref, sorted, e.group, static_cast<std::uint16_t>(e.element - 1), e.hash);
  }
}

void check_misaligned(const std::uint8_t* data, std::size_t size) {
  for (const std::size_t misalign : {std::size_t{1}, std::size_t{2}}) {
    const Buffer shifted(data, size, misalign);
    const auto file = shifted.bytes();
    if (file.size() < taglex::kHeaderSize) continue;
    const std::byte* body = file.data() + taglex::kHeaderSize;
    const std::size_t body_len = file.size() - taglex::kHeaderSize;
    const auto checked = taglex::check_archived_root(body, body_len);
    FUZZ_CHECK(!checked.ok());
    const auto* context = std::get_if<taglex::ContextError>(&checked.error());
    FUZZ_CHECK(context != nullptr);
    if (body_len < taglex::Dictionary::kSize) {
      FUZZ_CHECK(std::holds_alternative<taglex::OutOfBounds>(context->error));
    } else {
      const auto* under = std::get_if<taglex::Underaligned>(&context->error);
      FUZZ_CHECK(under != nullptr);
      FUZZ_CHECK(under->expected_align == 4 && under->actual_align == misalign);
      FUZZ_CHECK(taglex::to_string(checked.error()) ==
                 "context error: archive underaligned: need alignment 4 but have alignment " +
                     std::to_string(misalign));
    }
    const auto opened = DictionaryView::from_file_bytes(file);
    FUZZ_CHECK(!opened.ok());
  }
}

}  // namespace

// The reverse indexes of an accepted file: built, or refused with an
// InternalError for a text past the strings table, never a read outside;
// every answer names an index entry whose record has what it was found by.
// The description of every record parses.
void run_reverse_indexes(const DictionaryView& view) {
  try {
    const auto standard = taglex::StandardIndex::build(view);
    for (const std::string_view keyword : standard.keywords()) {
      // An answer is a record the index answers for its tag, with the keyword
      // (a former keyword answers with the record whose description has it).
      const auto found = standard.find_keyword(view, keyword);
      if (!found) continue;
      FUZZ_CHECK(found->record < view.record_count() && found->slot < standard.size());
      const TagView r = view.record(found->record);
      // A lookup finds the record by its own tag, or (a damaged file whose
      // entry and record disagree on the tag) by the tag of an entry naming it.
      const auto hit = view.lookup_hash(r.group(), r.element(), 0);
      bool found_by_tag = hit.has_value() && hit->raw().keyword_offset() == r.raw().keyword_offset();
      for (std::uint32_t k = 0; !found_by_tag && k < view.len(); ++k) {
        const auto e = view.index_entry(k);
        found_by_tag = e.record_index() == found->record && e.creator_hash() == 0 &&
                       view.position_of(e.group(), e.element(), 0) == k;
      }
      FUZZ_CHECK(found_by_tag);
    }
    for (const auto& r : standard.repeaters()) (void)r.mask.text();
  } catch (const InternalError&) {
  }
  try {
    const auto priv = taglex::PrivateIndex::build(view);
    for (const auto& c : priv.creators()) {
      FUZZ_CHECK(priv.find(c.canonical) == &c);
      for (const std::uint32_t k : c.entries) {
        FUZZ_CHECK(k < view.len());
        FUZZ_CHECK(taglex::canonical_equals(view.record_of_entry(k).creator(), c.canonical));
      }
    }
  } catch (const InternalError&) {
  }
  for (std::uint32_t r = 0; r < view.record_count() && r < 64; ++r) {
    try {
      const std::string_view text = view.record(r).description();
      const auto parsed = taglex::description::parse(text);
      (void)taglex::description::vm_bounds(parsed.vm);
      (void)taglex::description::vr_codes(parsed.vr);
      (void)taglex::description::split_list(parsed.formerly);
      (void)taglex::description::parse_deidentification(parsed.deidentification);
      (void)taglex::description::also_parts(text);
    } catch (const InternalError&) {
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t q = std::min<std::size_t>(data[size - 1], size - 1);
  const std::size_t file_len = size - 1 - q;
  const std::span<const std::uint8_t> trailer(data + file_len, q);

  const Buffer aligned(data, file_len, 0);
  const auto file = aligned.bytes();
  const RefFile ref = reference_file(aligned.u8(), file_len);
  const auto opened = DictionaryView::from_file_bytes(file);
  if (!opened) {
    FUZZ_CHECK(verdict_of(opened.error()) == ref.verdict);
    FUZZ_CHECK(!taglex::to_string(opened.error()).empty());
    run_queries(nullptr, ref, false, trailer);
  } else {
    FUZZ_CHECK(ref.verdict == Verdict::Accepted);
    const DictionaryView view = opened.value();
    FUZZ_CHECK(view.len() == ref.index_count);
    FUZZ_CHECK(view.len() == rd32(aligned.u8() + file_len - 20));
    const bool sorted =
        std::is_sorted(ref.index.begin(), ref.index.end(),
                       [](const RefEntry& a, const RefEntry& b) { return a.key() < b.key(); });
    run_queries(&view, ref, sorted, trailer);
    run_index_keys(view, ref, sorted);
    run_reverse_indexes(view);
  }
  check_misaligned(data, file_len);
  return 0;
}
