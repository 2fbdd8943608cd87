// Which operations allocate. Every global operator new of this executable is
// replaced by one that counts its calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "taglex/lookup.hpp"
#include "taglex/validate.hpp"
#include "tlex_builder.hpp"

namespace {
std::atomic<long> g_allocations{0};

void* counted(std::size_t n, std::size_t align = alignof(std::max_align_t)) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (n == 0) n = 1;
  return align > alignof(std::max_align_t)
             ? std::aligned_alloc(align, (n + align - 1) / align * align)
             : std::malloc(n);
}
// Out of line, so that the compiler does not pair the malloc inside the
// replaced operator new with a free it sees in a replaced operator delete.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  if (void* p = counted(n, static_cast<std::size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }

namespace {

long allocations() { return g_allocations.load(std::memory_order_relaxed); }

// Reads every field of a view, so that nothing about it can be skipped.
std::size_t touch(const taglex::TagView& v) {
  std::size_t n = v.keyword().size() + v.name().size() + v.description().size() +
                  v.creator().size() + v.vr().size() + v.group() + v.element() + v.retired() +
                  v.element_is_block_offset();
  for (std::string_view s : v.sources()) n += s.size();
  return n;
}

class Allocations : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = taglex::DictionaryView::from_file_bytes(std::as_bytes(std::span(bytes_)));
    ASSERT_TRUE(r.ok()) << taglex::to_string(r.error());
    view_.emplace(r.value());
  }
  tlex_test::Bytes bytes_ = tlex_test::worked_example().build().bytes;
  std::optional<taglex::DictionaryView> view_;
};

TEST_F(Allocations, LookupWithoutCreatorAllocatesNothing) {
  const long before = allocations();
  const auto hit = view_->lookup(0x0010, 0x0010, std::nullopt);
  const auto miss = view_->lookup(0x0029, 0x0010, std::nullopt);
  const auto by_hash = view_->lookup_hash(0x0029, 0x0010, 0xC8BEE2EA);
  const std::size_t read = hit ? touch(*hit) : 0;
  const std::size_t read_private = by_hash ? touch(*by_hash) : 0;
  const long after = allocations();
  EXPECT_EQ(after, before);
  ASSERT_TRUE(hit.has_value());
  EXPECT_FALSE(miss.has_value());
  ASSERT_TRUE(by_hash.has_value());
  EXPECT_EQ(read, std::size_t{11 + 14 + 2 + 0x10 + 0x10 + 2});
  EXPECT_EQ(read_private, std::size_t{9 + 10 + 8 + 2 + 0x29 + 0x10 + 1});
}

TEST_F(Allocations, LookupWithCreatorAllocatesNothing) {
  // The creator is canonicalised and hashed in one pass, never stored: not
  // for a creator found in another spelling, not for one whose canonical form
  // is too long for any small-string buffer, not for one that goes through
  // the Unicode tables (U+00DF upper-cases to "SS", U+3000 separates).
  const long before = allocations();
  const auto hit = view_->lookup(0x0029, 0x0010, "  acme \t 1.0");
  const auto ascii = view_->lookup(0x0029, 0x0010, " acme  corporation private tags 1.0 ");
  const auto unicode = view_->lookup(0x0029, 0x0010, "stra\u00dfe\u3000gro\u00df corporation 1.0");
  const std::size_t read = hit ? touch(*hit) : 0;
  const long after = allocations();
  EXPECT_EQ(after, before);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(read, std::size_t{9 + 10 + 8 + 2 + 0x29 + 0x10 + 1});
  EXPECT_FALSE(ascii.has_value());
  EXPECT_FALSE(unicode.has_value());
}

TEST_F(Allocations, SuccessfulValidationAllocatesNothing) {
  const std::byte* body = reinterpret_cast<const std::byte*>(bytes_.data()) + 32;
  const long before = allocations();
  const auto r = taglex::check_archived_root(body, bytes_.size() - 32);
  const long after = allocations();
  EXPECT_EQ(after, before);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().position, 168u);
}

}  // namespace
