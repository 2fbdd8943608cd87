#include "taglex/lookup.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "taglex/canonical.hpp"
#include "taglex/overloaded.hpp"
#include "taglex/text.hpp"
#include "taglex/validate.hpp"

namespace taglex {
namespace {

// The platform's text for an errno value. strerror_r comes in two flavours
// (XSI returns int and fills the buffer; GNU returns a pointer that may or may
// not be the buffer); the overloads pick whichever this libc declares.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* msg, const char*) { return msg; }

void append_os_error(std::string& out, int code) {
  char buf[128] = {};
  const char* msg = strerror_result(::strerror_r(code, buf, sizeof buf), buf);
  if (msg == nullptr) {
    msg = "Unknown error";
  }
  out.append(utf8_lossy(msg));
  out.append(" (os error ");
  append_decimal(out, code);
  out.append(")");
}

Err<TlexError> io_error(int code) { return Err{TlexError{Io{OsError{code}}}}; }

// The key by which the index is sorted, packed so that one integer comparison
// orders (group, element, creator_hash) lexicographically.
constexpr std::uint64_t pack_key(std::uint16_t group, std::uint16_t element,
                                 std::uint32_t hash) noexcept {
  return (std::uint64_t{group} << 48) | (std::uint64_t{element} << 32) | hash;
}

// (group << 16) | element of an entry: the stored word group | element << 16,
// rotated; one 32-bit load fewer than reading the fields.
std::uint32_t pair_of(const std::byte* entry) noexcept {
  return std::rotl(load_le<std::uint32_t>(entry + 8), 16);
}

std::uint64_t key_of(const std::byte* entry) noexcept {
  return (std::uint64_t{pair_of(entry)} << 32) | load_le<std::uint32_t>(entry);
}

// Searches the `size` (> 0) entries from `base` for the last one whose key
// is not greater than `wanted`, with a number of probes that depends only on
// `size`: no early exit on an equal key, so among equal keys the last one
// wins. The entry at `base` when no probe qualifies.
//
// Two probes a round: the keys of this round's probe and of both probes the
// next round may make are loaded at once, before this round's comparison
// picks one, so that each load waits for the comparison two rounds back
// rather than one. The probes that count, and so the result, are those of
// one probe a round.
const std::byte* last_not_greater(const std::byte* base, std::size_t size,
                                  std::uint64_t wanted) noexcept {
  constexpr std::size_t k = IndexEntry::kSize;
  while (size > 2) {
    const std::size_t half = size / 2;
    const std::size_t next = size - half;  // at least 2: the next round probes too
    const std::size_t half2 = next / 2;
    const std::uint64_t here = key_of(base + half * k);
    const std::uint64_t low = key_of(base + half2 * k);
    const std::uint64_t high = key_of(base + (half + half2) * k);
    const bool up = here <= wanted;
    base = up ? base + half * k : base;
    const std::uint64_t then = up ? high : low;
    base = then <= wanted ? base + half2 * k : base;
    size = next - half2;
  }
  if (size == 2 && key_of(base + k) <= wanted) base += k;
  return base;
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

void append_to(std::string& out, const IoError& e) {
  std::visit(Overloaded{
                 [&](const OsError& x) { append_os_error(out, x.code); },
                 [&](std::string_view fixed) { out.append(fixed); },
             },
             e);
}

void append_to(std::string& out, const TlexError& e) {
  std::visit(Overloaded{
                 [&](const Io& x) {
                   out.append("io error: ");
                   append_to(out, x.error);
                 },
                 [&](const TooSmall& x) {
                   out.append("file too small (");
                   append_decimal(out, x.length);
                   out.append(" bytes) to contain a header");
                 },
                 [&](const BadMagic& x) {
                   out.append("bad magic bytes [");
                   for (std::size_t i = 0; i < x.bytes.size(); ++i) {
                     if (i > 0) out.append(", ");
                     append_decimal(out, x.bytes[i]);
                   }
                   out.append("]");
                 },
                 [&](const UnsupportedVersion& x) {
                   out.append("unsupported version ");
                   append_decimal(out, x.version);
                 },
                 [&](const Integrity& x) {
                   out.append("archive integrity check failed: ");
                   out.append(x.text);
                 },
             },
             e.kind);
}

std::string to_string(const TlexError& e) {
  std::string out;
  append_to(out, e);
  return out;
}

InternalError::InternalError(std::string message, SourceLocation where)
    : message_(std::move(message)), where_(where) {
  report_internal_error(message_, where_);
}

void report_internal_error(std::string_view message, const SourceLocation& where) noexcept {
  std::fprintf(stderr, "taglex: internal error at %s:%u in %s: %.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Views

Sources::iterator::iterator(std::string_view rest) noexcept : rest_(rest) { advance(); }

Sources::iterator& Sources::iterator::operator++() noexcept {
  advance();
  return *this;
}

void Sources::iterator::advance() noexcept {
  const std::size_t first = rest_.find_first_not_of('|');
  if (first == std::string_view::npos) {
    piece_ = {};
    rest_ = {};
    return;
  }
  rest_.remove_prefix(first);
  const std::size_t bar = std::min(rest_.find('|'), rest_.size());
  piece_ = rest_.substr(0, bar);
  rest_.remove_prefix(bar);
}

std::string_view TagView::creator() const {
  if (record_.creator_len() == 0) {
    return {};
  }
  return text(record_.creator_offset(), record_.creator_len());
}

std::string_view TagView::vr() const noexcept {
  // Validation at open admits only codes inside the table, but the records are
  // read where they lie: a file rewritten after open may hold any byte here.
  return kVrNames[std::min<std::size_t>(record_.vr(), kVrCount - 1)];
}

void TagView::check_texts() const {
  check_range(record_.keyword_offset(), record_.keyword_len());
  check_range(record_.name_offset(), record_.name_len());
  if (record_.creator_len() != 0) check_range(record_.creator_offset(), record_.creator_len());
  check_range(record_.description_offset(), record_.description_len());
  check_range(record_.sources_offset(), record_.sources_len());
}

std::string_view TagView::text(std::uint32_t offset, std::uint32_t len) const {
  check_range(offset, len);
  const std::string_view bytes(reinterpret_cast<const char*>(strings_) + offset, len);
  return is_valid_utf8(bytes) ? bytes : std::string_view();
}

void TagView::check_range(std::uint32_t offset, std::uint32_t len) const {
  const std::uint64_t end = std::uint64_t{offset} + len;
  if (end > strings_len_) [[unlikely]] {
    std::string msg;
    if (offset > strings_len_) {
      msg.append("range start index ");
      append_decimal(msg, offset);
    } else {
      msg.append("range end index ");
      append_decimal(msg, end);
    }
    msg.append(" out of range for slice of length ");
    append_decimal(msg, strings_len_);
    throw InternalError(std::move(msg));
  }
}

Result<DictionaryView, TlexError> DictionaryView::from_file_bytes(
    std::span<const std::byte> file) noexcept {
  const std::optional<FileHeader> parsed = FileHeader::from_bytes(file);
  if (!parsed) {
    return Err{TlexError{TooSmall{file.size()}}};
  }
  const FileHeader& header = *parsed;
  if (header.magic != kMagic) {
    return Err{TlexError{BadMagic{header.magic}}};
  }
  if (header.version != kSupportedVersion) {
    return Err{TlexError{UnsupportedVersion{header.version}}};
  }
  const std::byte* body = file.data() + kHeaderSize;
  auto root = check_archived_root(body, file.size() - kHeaderSize);
  if (!root) {
    // Rendering allocates; only a failed open pays for it.
    try {
      std::string words;
      explain_to(words, root.error());
      return Err{TlexError{Integrity{to_string(root.error()), std::move(words)}}};
    } catch (const std::bad_alloc&) {
      return Err{TlexError{Integrity{}}};
    }
  }
  return DictionaryView(body, root.value());
}

std::optional<TagView> DictionaryView::lookup(std::uint16_t group, std::uint16_t element,
                                              std::optional<std::string_view> creator) const {
  if (!creator) {
    return lookup_hash(group, element, 0);
  }
  const std::uint32_t n = index_count_;
  if (n == 0) {
    return std::nullopt;
  }
  // The same search as lookup_hash, begun before the creator is hashed: as
  // long as a probed entry differs from (group, element), that pair alone
  // decides the step, so these steps do not wait for the hash and run while
  // it is computed. The first probe that matches the pair stops them; from
  // there on the full key decides, as in lookup_hash. Every probe and every
  // step are those of lookup_hash, sorted index or not.
  const std::uint32_t wanted_pair = (std::uint32_t{group} << 16) | element;
  const std::byte* found = index_;
  std::size_t size = n;
  constexpr std::size_t k = IndexEntry::kSize;
  // Two probes a round, as in last_not_greater; a probe that meets the pair
  // stops the search before its own step.
  while (size > 2) {
    const std::size_t half = size / 2;
    const std::size_t next = size - half;
    const std::size_t half2 = next / 2;
    const std::uint32_t here = pair_of(found + half * k);
    const std::uint32_t low = pair_of(found + half2 * k);
    const std::uint32_t high = pair_of(found + (half + half2) * k);
    if (here == wanted_pair) [[unlikely]] {
      break;
    }
    const bool up = here < wanted_pair;
    const std::byte* const after = up ? found + half * k : found;
    const std::uint32_t then = up ? high : low;
    if (then == wanted_pair) [[unlikely]] {
      found = after;
      size = next;
      break;
    }
    found = then < wanted_pair ? after + half2 * k : after;
    size = next - half2;
  }
  if (size == 2) {
    const std::uint32_t pair = pair_of(found + k);
    if (pair != wanted_pair && pair < wanted_pair) {
      found += k;
      size = 1;
    }
  }
  const std::uint64_t wanted = pack_key(group, element, creator_hash(*creator));
  return record_of(last_not_greater(found, size, wanted), wanted);
}

std::optional<TagView> DictionaryView::lookup_hash(std::uint16_t group, std::uint16_t element,
                                                   std::uint32_t creator_hash) const {
  const std::uint32_t n = index_count_;
  if (n == 0) {
    return std::nullopt;
  }
  const std::uint64_t wanted = pack_key(group, element, creator_hash);
  return record_of(last_not_greater(index_, n, wanted), wanted);
}

std::optional<TagView> DictionaryView::record_of(const std::byte* entry,
                                                 std::uint64_t wanted) const {
  if (key_of(entry) != wanted) {
    return std::nullopt;
  }
  return record(IndexEntry(entry).record_index());
}

void DictionaryView::throw_record_out_of_bounds(std::uint32_t r) const {
  std::string msg("index out of bounds: the len is ");
  append_decimal(msg, records_count_);
  msg.append(" but the index is ");
  append_decimal(msg, r);
  throw InternalError(std::move(msg));
}

std::uint32_t DictionaryView::position_of(std::uint16_t group, std::uint16_t element,
                                          std::uint32_t creator_hash) const noexcept {
  if (index_count_ == 0) return 0;
  const std::byte* found =
      last_not_greater(index_, index_count_, pack_key(group, element, creator_hash));
  return static_cast<std::uint32_t>(static_cast<std::size_t>(found - index_) / IndexEntry::kSize);
}

// ---------------------------------------------------------------------------
// Owning handles

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void FileDescriptor::reset() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void Mapping::reset() noexcept {
  if (data_ != nullptr) {
    // An empty file was mapped with one byte.
    ::munmap(const_cast<std::byte*>(data_), std::max<std::size_t>(length_, 1));
    data_ = nullptr;
    length_ = 0;
  }
}

Result<TlexDict, TlexError> TlexDict::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Err{TlexError{Io{kNulInPath}}};
  }
  const std::string c_path(path);

  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer;
  // the FIFO then fails to map. For a file under another process's write
  // lease it fails with EWOULDBLOCK instead of waiting for the lease to be
  // broken: then open again without it (a FIFO never fails that way).
  // O_NOCTTY: a terminal must not become the controlling terminal.
  const auto open_retrying = [&](int flags) {
    int fd;
    do {
      fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  int fd = open_retrying(O_NONBLOCK);
  if (fd < 0 && errno == EWOULDBLOCK) fd = open_retrying(0);
  if (fd < 0) {
    return io_error(errno);
  }
  FileDescriptor file(fd);

  struct stat st;
  if (::fstat(file.get(), &st) != 0) {
    const int err = errno;
    file.reset();
    return io_error(err);
  }
  const auto length = static_cast<std::size_t>(st.st_size);

  void* const p =
      ::mmap(nullptr, std::max<std::size_t>(length, 1), PROT_READ, MAP_SHARED, file.get(), 0);
  if (p == MAP_FAILED) {
    const int err = errno;
    file.reset();
    return io_error(err);
  }
  Mapping map(static_cast<const std::byte*>(p), length);

  auto view = DictionaryView::from_file_bytes(map.bytes());
  if (!view) {
    // Remove the mapping, then close the descriptor.
    map.reset();
    file.reset();
    return Err{std::move(view.error())};
  }
  return TlexDict(std::move(file), std::move(map), view.value());
}

TlexDict& TlexDict::operator=(TlexDict&& other) noexcept {
  if (this != &other) {
    release();
    file_ = std::move(other.file_);
    map_ = std::move(other.map_);
    view_ = other.view_;
  }
  return *this;
}

TlexDict::~TlexDict() { release(); }

void TlexDict::release() noexcept {
  // Close the descriptor first, then remove the mapping.
  file_.reset();
  map_.reset();
}

}  // namespace taglex
