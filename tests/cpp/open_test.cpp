// Opening real files: every way an open can fail, the texts it reports, and
// that no descriptor or mapping outlives a failed open or a released
// dictionary.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "taglex/lookup.hpp"
#include "tlex_builder.hpp"

namespace {

using tlex_test::Bytes;

// A fresh directory for this run's files, removed at the end.
struct TempDir : ::testing::Environment {
  void SetUp() override {
    char tmpl[] = "/tmp/taglex-open-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr) << std::strerror(errno);
    path = std::filesystem::canonical(tmpl).string();
  }
  void TearDown() override { std::filesystem::remove_all(path); }
  static inline std::string path;
};
[[maybe_unused]] const auto* const kTempDir = ::testing::AddGlobalTestEnvironment(new TempDir);

std::string write(const std::string& name, const Bytes& bytes) {
  const std::string path = TempDir::path + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

// Descriptors open in this process, and mappings of one file.
struct Held {
  int fds = 0, maps = 0;
  bool operator==(const Held&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Held& h) {
  return os << "{fds " << h.fds << ", maps " << h.maps << "}";
}

Held held(const std::string& path) {
  Held h;
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
    ++h.fds;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) h.maps += line.ends_with(" " + path);
  return h;
}

// Opens `path` expecting a failure; checks that nothing stays open and
// returns the failure's text.
std::string open_fails(const std::string& path) {
  const Held before = held(path);
  std::string text;
  if (auto r = taglex::TlexDict::open(path); !r.ok()) {
    text = taglex::to_string(r.error());
  } else {
    ADD_FAILURE() << path << " opened";
  }
  EXPECT_EQ(held(path), before) << path;
  return text;
}

std::string os_error(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// "io error: <the system's text for N> (os error N)" for some N > 0.
void expect_io_errno(const std::string& text) {
  const auto at = text.rfind(" (os error ");
  ASSERT_NE(at, std::string::npos) << text;
  const int code = std::atoi(text.c_str() + at + 11);
  EXPECT_GT(code, 0) << text;
  EXPECT_EQ(text, "io error: " + os_error(code));
}

Bytes example(std::size_t len = 224, std::size_t at = 0,
              std::initializer_list<std::uint8_t> bytes = {}) {
  Bytes f = tlex_test::worked_example().build().bytes;
  for (std::uint8_t b : bytes) f.at(at++) = b;
  f.resize(len, 0);
  return f;
}

Bytes record7_vr200() {
  tlex_test::Image img;
  img.records.resize(9);
  img.records[7].vr = 200;
  return img.build().bytes;
}

struct Refusal {
  const char* name;
  Bytes file;
  const char* text;  // "@N" stands for the address of body byte N
};

const std::string kIntegrity = "archive integrity check failed: ";
const Refusal kRefusals[] = {
    {"Empty", {}, "file too small (0 bytes) to contain a header"},
    {"ThirtyOneBytesOfAGoodHeader", example(31), "file too small (31 bytes) to contain a header"},
    {"ThirtyOneBytesOfJunk", Bytes(31, 0xEE), "file too small (31 bytes) to contain a header"},
    {"ZipMagic", example(224, 0, {80, 75, 3, 4}), "bad magic bytes [80, 75, 3, 4]"},
    {"MagicReversed", example(224, 0, {'X', 'E', 'L', 'T'}), "bad magic bytes [88, 69, 76, 84]"},
    {"MagicLowerCase", example(224, 0, {'t', 'l', 'e', 'x'}),
     "bad magic bytes [116, 108, 101, 120]"},
    {"BadMagicAndBadVersion", example(224, 0, {0xFF, 0, 0, 1, 3, 0}),
     "bad magic bytes [255, 0, 0, 1]"},
    {"Version1", example(224, 4, {1, 0}), "unsupported version 1"},
    {"Version3", example(224, 4, {3, 0}), "unsupported version 3"},
    {"VersionBigEndian2", example(224, 4, {0, 2}), "unsupported version 512"},
    {"Version65535", example(224, 4, {0xFF, 0xFF}), "unsupported version 65535"},
    {"Version3WithoutBody", example(32, 4, {3, 0}), "unsupported version 3"},
    {"Record7Vr200", record7_vr200(),
     "archive integrity check failed: check bytes error: check failed for struct member records: "
     "check failed for "
     "slice index 7: check failed for struct member vr: invalid tag for enum: 200"},
    {"HeaderOnly", example(32),
     "archive integrity check failed: context error: pointer out of bounds: base @0 offset -24 not "
     "in range @0..@0"},
    {"ZeroRoot", tlex_test::File::blank(24).bytes,
     "archive integrity check failed: check bytes error: check failed for struct member records: "
     "subtree pointer out "
     "of bounds: ptr @8 not in range @0..@0"},
    {"LengthNotMultipleOfFour", example(226),
     "archive integrity check failed: context error: unaligned pointer: ptr @170 unaligned for "
     "alignment 4"},
};

class Refuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refuses, WithItsTextAndReleasesEverything) {
  const Refusal& c = GetParam();
  const std::string text = open_fails(write(std::string(c.name) + ".tlex", c.file));
  std::uintptr_t body = 0;
  // An address names the body inside the mapping: 32 bytes into a page.
  const std::string_view tmpl = c.text;
  if (const auto at = tmpl.find('@'); at != std::string_view::npos) {
    const auto hex = text.find("0x");
    ASSERT_NE(hex, std::string::npos) << text;
    body = std::strtoull(text.c_str() + hex, nullptr, 16) -
           std::strtoull(tmpl.data() + at + 1, nullptr, 10);
    EXPECT_EQ(body % static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), 32u) << text;
  }
  EXPECT_EQ(text, tlex_test::expand(tmpl, body));
  // The in-memory entry point judges the same bytes the same way.
  const auto mem = taglex::DictionaryView::from_file_bytes(std::as_bytes(std::span(c.file)));
  ASSERT_FALSE(mem.ok());
  EXPECT_EQ(taglex::to_string(mem.error()),
            tlex_test::expand(tmpl, reinterpret_cast<std::uintptr_t>(c.file.data()) + 32));
}

INSTANTIATE_TEST_SUITE_P(Open, Refuses, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Open, MissingFile) {
  EXPECT_EQ(open_fails(TempDir::path + "/no-such-file.tlex"), "io error: " + os_error(ENOENT));
  EXPECT_EQ(open_fails(TempDir::path + "/no-such-dir/x.tlex"), "io error: " + os_error(ENOENT));
}

TEST(Open, PathWithNulIsRefusedBeforeTheSystemSeesIt) {
  // What precedes the NUL names a valid dictionary: it must not be opened.
  const std::string good = write("nul-prefix.tlex", example());
  ASSERT_TRUE(taglex::TlexDict::open(good).ok());
  for (const std::string& path :
       {good + std::string(1, '\0'), good + std::string("\0x", 2), std::string(1, '\0')}) {
    EXPECT_EQ(open_fails(path), "io error: file name contained an unexpected NUL byte");
  }
}

TEST(Open, DirectoryFailsWithAnOsError) { expect_io_errno(open_fails(TempDir::path)); }

TEST(Open, FifoDoesNotWaitForAWriter) {
  const std::string path = TempDir::path + "/fifo.tlex";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
  std::promise<std::string> result;
  std::future<std::string> done = result.get_future();
  std::thread opener([&] { result.set_value(open_fails(path)); });
  // A guard against hanging, not a measurement: an open that waits for a
  // writer never returns on its own, so give it one and report the failure.
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    opener.join();
    if (writer >= 0) ::close(writer);
    FAIL() << "opening a FIFO waited for a writer";
  }
  opener.join();
  expect_io_errno(done.get());
}

TEST(Open, WorkedExampleAndSmallestFile) {
  const std::string path = write("example.tlex", example());
  auto r = taglex::TlexDict::open(path);
  ASSERT_TRUE(r.ok()) << taglex::to_string(r.error());
  const taglex::TlexDict& d = r.value();
  EXPECT_EQ(d.len(), 2u);
  EXPECT_EQ(d.body_offset(), 32u);
  EXPECT_EQ(d.mapping().size(), 224u);
  struct stat by_fd {
  }, by_path{};
  ASSERT_EQ(::fstat(d.file(), &by_fd), 0);
  ASSERT_EQ(::stat(path.c_str(), &by_path), 0);
  EXPECT_EQ(by_fd.st_ino, by_path.st_ino);
  EXPECT_EQ(::fcntl(d.file(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(::fcntl(d.file(), F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_TRUE(d.lookup(0x0010, 0x0010, std::nullopt).has_value());
  EXPECT_TRUE(d.lookup(0x0029, 0x0010, "  acme   1.0 ").has_value());

  auto smallest = taglex::TlexDict::open(write("smallest.tlex", tlex_test::Image{}.build().bytes));
  ASSERT_TRUE(smallest.ok()) << taglex::to_string(smallest.error());
  EXPECT_EQ(smallest.value().len(), 0u);
  EXPECT_FALSE(smallest.value().lookup(0, 0, std::nullopt).has_value());
  EXPECT_FALSE(smallest.value().lookup(0xFFFF, 0xFFFF, "").has_value());
}

TEST(Open, BytesNobodyInterpretsChangeNothing) {
  Bytes f = example();
  for (std::size_t i = 6; i < 32; ++i) f[i] = static_cast<std::uint8_t>(0x80 + i);
  for (std::size_t at : {56 + 38, 56 + 39, 56 + 43, 100 + 38, 100 + 39, 100 + 43, 199})
    f[at] = 0xFF;  // reserved, padding
  auto r = taglex::TlexDict::open(write("junk.tlex", f));
  ASSERT_TRUE(r.ok()) << taglex::to_string(r.error());
  EXPECT_EQ(r.value().len(), 2u);
  const auto pn = r.value().lookup(0x0010, 0x0010, std::nullopt);
  ASSERT_TRUE(pn.has_value());
  EXPECT_EQ(pn->name(), "Patient's Name");
  EXPECT_EQ(pn->vr(), "PN");
  EXPECT_FALSE(pn->retired());
  const auto acme = r.value().lookup(0x0029, 0x0010, "ACME 1.0");
  ASSERT_TRUE(acme.has_value());
  EXPECT_EQ(acme->creator(), "ACME 1.0");
  EXPECT_TRUE(acme->element_is_block_offset());
}

TEST(Open, EachOpenHoldsOneDescriptorAndOneMappingUntilReleased) {
  const std::string path = write("held.tlex", example());
  const Held before = held(path);
  std::vector<taglex::TlexDict> dicts;
  for (int i = 0; i < 3; ++i) {
    auto r = taglex::TlexDict::open(path);
    ASSERT_TRUE(r.ok()) << taglex::to_string(r.error());
    dicts.push_back(std::move(r).value());
  }
  EXPECT_EQ(held(path), (Held{before.fds + 3, before.maps + 3}));
  // Moving hands ownership over; assigning releases what the target held.
  taglex::TlexDict moved = std::move(dicts.back());
  dicts.pop_back();
  EXPECT_EQ(held(path), (Held{before.fds + 3, before.maps + 3}));
  moved = std::move(dicts.back());
  dicts.pop_back();
  EXPECT_EQ(held(path), (Held{before.fds + 2, before.maps + 2}));
  EXPECT_TRUE(moved.lookup(0x0010, 0x0010, std::nullopt).has_value());
  dicts.clear();
  EXPECT_EQ(held(path), (Held{before.fds + 1, before.maps + 1}));
  { const taglex::TlexDict last = std::move(moved); }
  EXPECT_EQ(held(path), before);
}

}  // namespace
