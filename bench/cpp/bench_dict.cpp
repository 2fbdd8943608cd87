// The dictionary library alone, side by side with DCMTK's data dictionary.
//
//   taglex_bench_cpp --dict=python/taglex/data/dicom.tlex \
//                    [--dcmtk-dir=/usr/share/libdcmtk17] [Google Benchmark flags]
//
// Opening: TlexDict::open of a .tlex file (open, map, header check, structural
// validation; then close and unmap) against the load of DCMTK's text
// dictionaries (a DcmDataDictionary constructed from dicom.dic and
// private.dic, the files DCMTK reads at first use; and from dicom.dic alone).
// Lookup: TlexDict::lookup against DcmDataDictionary::findEntry, for the same
// standard tag, private tag and creator, and a tag that neither holds; and for
// a few hundred private tags that both dictionaries hold, asked in an order
// that a branch predictor cannot learn (one tag, asked again and again, lets
// every branch of the search be predicted, which varied tags do not).

#include <benchmark/benchmark.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dchashdi.h>
#include <dcmtk/dcmdata/dctagkey.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "taglex/lookup.hpp"

namespace {

std::string g_dict_path;                            // the .tlex file
std::string g_dcmtk_dir = "/usr/share/libdcmtk17";  // dicom.dic, private.dic

// The tags every benchmark uses. The private tag is (0029,xx10) of the
// creator "SIEMENS CSA HEADER"; taglex is asked with the creator in another
// case and spacing, DCMTK (which matches creators exactly) with the stored one.
constexpr std::uint16_t kStdGroup = 0x0010, kStdElement = 0x0010;  // PatientName
constexpr std::uint16_t kPrivGroup = 0x0029, kPrivElement = 0x10;  // xx10
constexpr std::uint16_t kPrivFullElement = 0x1010;                 // block 0x10
constexpr const char* kCreator = "SIEMENS CSA HEADER";  // for DCMTK, which takes a C string
constexpr std::string_view kCreatorView = kCreator;      // the same text, its length known
constexpr std::string_view kCreatorOtherSpelling = "  siemens   Csa header ";
constexpr std::uint16_t kMissGroup = 0x0010, kMissElement = 0x0003;  // undefined

const taglex::TlexDict& tlex() {
  static const taglex::TlexDict dict = [] {
    auto opened = taglex::TlexDict::open(g_dict_path);
    if (!opened) {
      std::fprintf(stderr, "cannot open %s: %s\n", g_dict_path.c_str(),
                   taglex::to_string(opened.error()).c_str());
      std::exit(2);
    }
    return std::move(opened).value();
  }();
  return dict;
}

std::string dcmtk_file(const char* name) { return g_dcmtk_dir + "/" + name; }

// A dictionary loaded the way DCMTK loads its global one at first use: the
// external dictionaries of DCMDICTPATH, or of DCM_DICT_DEFAULT_PATH when that
// is unset (in this Debian build: dicom.dic, then private.dic).
std::unique_ptr<DcmDataDictionary> load_dcmtk_default() {
  auto dict = std::make_unique<DcmDataDictionary>(OFFalse, OFTrue);
  if (!dict->isDictionaryLoaded()) {
    std::fprintf(stderr, "DCMTK could not load its dictionaries (%s)\n", DCM_DICT_DEFAULT_PATH);
    std::exit(2);
  }
  return dict;
}

const DcmDataDictionary& dcmtk() {
  static const std::unique_ptr<DcmDataDictionary> dict = load_dcmtk_default();
  return *dict;
}

// Private tags that both dictionaries hold, with their creators: every
// private entry of DCMTK's dictionary with an element in block form (xx00 to
// xxFF) that taglex finds too, thinned to at most kMixedCount. taglex is
// asked with the low byte of the element, DCMTK with the element in block
// 0x10, as for the single private tag.
struct PrivateTag {
  std::uint16_t group;
  std::uint16_t element;  // the low byte
  std::string creator;
};
constexpr std::size_t kMixedCount = 256;

const std::vector<PrivateTag>& mixed_private_tags() {
  static const std::vector<PrivateTag> tags = [] {
    auto dict = load_dcmtk_default();
    std::vector<PrivateTag> all;
    for (auto it = dict->normalBegin(); it != dict->normalEnd(); ++it) {
      const DcmDictEntry* e = *it;
      if (e->getPrivateCreator() == nullptr || e->getElement() > 0xFF) continue;
      PrivateTag tag{e->getGroup(), e->getElement(), e->getPrivateCreator()};
      if (!tlex().lookup(tag.group, tag.element, tag.creator)) continue;
      all.push_back(std::move(tag));
    }
    std::vector<PrivateTag> some;
    const std::size_t stride = std::max<std::size_t>(1, all.size() / kMixedCount);
    for (std::size_t i = 0; i < all.size() && some.size() < kMixedCount; i += stride) {
      some.push_back(all[i]);
    }
    return some;
  }();
  return tags;
}

// The next index into the mixed tags: xorshift64, the same sequence for both
// dictionaries.
std::size_t next_mixed(std::uint64_t& state, std::size_t count) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return static_cast<std::size_t>(state % count);
}

// ---------------------------------------------------------------------------
// Opening

void BM_Tlex_Open(benchmark::State& state) {
  std::uint32_t entries = 0;
  for (auto _ : state) {
    auto opened = taglex::TlexDict::open(g_dict_path);
    if (!opened) {
      state.SkipWithError("open failed");
      break;
    }
    entries = opened.value().len();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = entries;
}
BENCHMARK(BM_Tlex_Open)->Unit(benchmark::kMicrosecond);

// The floor of opening: map the same file the same way (read-only, shared),
// read one byte of every page, unmap and close.
void BM_Touch_Pages(benchmark::State& state) {
  std::size_t pages = 0;
  for (auto _ : state) {
    const int fd = ::open(g_dict_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      state.SkipWithError("cannot open the file");
      break;
    }
    const auto length = static_cast<std::size_t>(st.st_size);
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      ::close(fd);
      state.SkipWithError("mmap failed");
      break;
    }
    const volatile unsigned char* bytes = static_cast<const unsigned char*>(p);
    unsigned sum = 0;
    pages = 0;
    for (std::size_t at = 0; at < length; at += 4096, ++pages) sum += bytes[at];
    benchmark::DoNotOptimize(sum);
    ::close(fd);
    ::munmap(p, length);
  }
  state.counters["pages"] = static_cast<double>(pages);
}
BENCHMARK(BM_Touch_Pages)->Unit(benchmark::kMicrosecond);

// DcmDataDictionary(false, true): what DCMTK reads at first use of its
// dictionary (dicom.dic and private.dic in this build), into a fresh object.
void BM_Dcmtk_Load_Default(benchmark::State& state) {
  int entries = 0;
  for (auto _ : state) {
    auto dict = load_dcmtk_default();
    entries = dict->numberOfEntries();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = entries;
}
BENCHMARK(BM_Dcmtk_Load_Default)->Unit(benchmark::kMicrosecond);

// The standard dictionary alone (dicom.dic).
void BM_Dcmtk_Load_DicomDic(benchmark::State& state) {
  int entries = 0;
  const std::string file = dcmtk_file("dicom.dic");
  for (auto _ : state) {
    DcmDataDictionary dict(OFFalse, OFFalse);
    if (!dict.loadDictionary(file.c_str())) {
      state.SkipWithError("loadDictionary failed");
      break;
    }
    entries = dict.numberOfEntries();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = entries;
}
BENCHMARK(BM_Dcmtk_Load_DicomDic)->Unit(benchmark::kMicrosecond);

// DcmDataDictionary(true, false): the dictionary compiled into libdcmdata.
// This Debian build compiles none in (it reads the text files instead), so
// the benchmark reports the entry count it finds and is skipped when it is 0.
void BM_Dcmtk_Load_Builtin(benchmark::State& state) {
  int entries = 0;
  {
    DcmDataDictionary probe(OFTrue, OFFalse);
    // Two skeleton entries are always present.
    if (probe.numberOfEntries() <= 2) {
      state.SkipWithError("no built-in dictionary in this DCMTK build");
      return;
    }
  }
  for (auto _ : state) {
    DcmDataDictionary dict(OFTrue, OFFalse);
    entries = dict.numberOfEntries();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = entries;
}
BENCHMARK(BM_Dcmtk_Load_Builtin)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Lookups

void BM_Tlex_Lookup_Standard(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kStdGroup, kStdElement, std::nullopt);
    benchmark::DoNotOptimize(tag);
  }
  if (!dict.lookup(kStdGroup, kStdElement, std::nullopt))
    state.SkipWithError("standard tag not found");
}
BENCHMARK(BM_Tlex_Lookup_Standard);

// The lookup and every field read, as the extension reads them.
void BM_Tlex_Lookup_Standard_Fields(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kStdGroup, kStdElement, std::nullopt);
    std::size_t n = tag->keyword().size() + tag->name().size() + tag->creator().size() +
                    tag->vr().size() + tag->description().size() + tag->group() + tag->element() +
                    tag->retired() + tag->element_is_block_offset();
    for (std::string_view s : tag->sources()) n += s.size();
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_Tlex_Lookup_Standard_Fields);

void BM_Tlex_Lookup_Private(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kPrivGroup, kPrivElement, kCreatorOtherSpelling);
    benchmark::DoNotOptimize(tag);
  }
  if (!dict.lookup(kPrivGroup, kPrivElement, kCreatorOtherSpelling)) {
    state.SkipWithError("private tag not found");
  }
}
BENCHMARK(BM_Tlex_Lookup_Private);

void BM_Tlex_Lookup_Private_ExactCreator(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kPrivGroup, kPrivElement, kCreatorView);
    benchmark::DoNotOptimize(tag);
  }
  if (!dict.lookup(kPrivGroup, kPrivElement, kCreatorView)) {
    state.SkipWithError("private tag not found");
  }
}
BENCHMARK(BM_Tlex_Lookup_Private_ExactCreator);

void BM_Tlex_Lookup_Private_Mixed(benchmark::State& state) {
  const auto& dict = tlex();
  const auto& tags = mixed_private_tags();
  if (tags.empty()) {
    state.SkipWithError("no private tag in both dictionaries");
    return;
  }
  std::uint64_t x = 0x9E3779B97F4A7C15;
  for (auto _ : state) {
    const PrivateTag& t = tags[next_mixed(x, tags.size())];
    auto tag = dict.lookup(t.group, t.element, t.creator);
    benchmark::DoNotOptimize(tag);
  }
  state.counters["tags"] = static_cast<double>(tags.size());
}
BENCHMARK(BM_Tlex_Lookup_Private_Mixed);

void BM_Tlex_Lookup_Miss(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kMissGroup, kMissElement, std::nullopt);
    benchmark::DoNotOptimize(tag);
  }
  if (dict.lookup(kMissGroup, kMissElement, std::nullopt)) state.SkipWithError("miss tag found");
}
BENCHMARK(BM_Tlex_Lookup_Miss);

// Lookups per second from several threads sharing one dictionary.
void BM_Tlex_Lookup_Threads(benchmark::State& state) {
  const auto& dict = tlex();
  for (auto _ : state) {
    auto tag = dict.lookup(kStdGroup, kStdElement, std::nullopt);
    benchmark::DoNotOptimize(tag);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Tlex_Lookup_Threads)->Threads(1)->Threads(2)->UseRealTime();

void BM_Dcmtk_Find_Standard(benchmark::State& state) {
  const auto& dict = dcmtk();
  const DcmTagKey key(kStdGroup, kStdElement);
  for (auto _ : state) {
    const DcmDictEntry* entry = dict.findEntry(key, nullptr);
    benchmark::DoNotOptimize(entry);
  }
  if (dict.findEntry(key, nullptr) == nullptr) state.SkipWithError("standard tag not found");
}
BENCHMARK(BM_Dcmtk_Find_Standard);

void BM_Dcmtk_Find_Private(benchmark::State& state) {
  const auto& dict = dcmtk();
  const DcmTagKey key(kPrivGroup, kPrivFullElement);
  for (auto _ : state) {
    const DcmDictEntry* entry = dict.findEntry(key, kCreator);
    benchmark::DoNotOptimize(entry);
  }
  if (dict.findEntry(key, kCreator) == nullptr) state.SkipWithError("private tag not found");
}
BENCHMARK(BM_Dcmtk_Find_Private);

void BM_Dcmtk_Find_Private_Mixed(benchmark::State& state) {
  const auto& dict = dcmtk();
  const auto& tags = mixed_private_tags();
  if (tags.empty()) {
    state.SkipWithError("no private tag in both dictionaries");
    return;
  }
  // The keys are built outside the timed loop, as the single private tag's.
  std::vector<DcmTagKey> keys;
  for (const PrivateTag& t : tags) keys.emplace_back(t.group, 0x1000 | t.element);
  std::uint64_t x = 0x9E3779B97F4A7C15;
  for (auto _ : state) {
    const std::size_t i = next_mixed(x, tags.size());
    const DcmDictEntry* entry = dict.findEntry(keys[i], tags[i].creator.c_str());
    benchmark::DoNotOptimize(entry);
  }
  state.counters["tags"] = static_cast<double>(tags.size());
}
BENCHMARK(BM_Dcmtk_Find_Private_Mixed);

void BM_Dcmtk_Find_Miss(benchmark::State& state) {
  const auto& dict = dcmtk();
  const DcmTagKey key(kMissGroup, kMissElement);
  for (auto _ : state) {
    const DcmDictEntry* entry = dict.findEntry(key, nullptr);
    benchmark::DoNotOptimize(entry);
  }
  if (dict.findEntry(key, nullptr) != nullptr) state.SkipWithError("miss tag found");
}
BENCHMARK(BM_Dcmtk_Find_Miss);

// ---------------------------------------------------------------------------
// Ratios

// Google Benchmark's console output, followed by the ratio of each taglex
// benchmark to its DCMTK counterpart from the same run: CPU time per
// iteration, the median over repetitions (--benchmark_repetitions), so that a
// busy machine's preemptions weigh little.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With --benchmark_report_aggregates_only only the aggregates come here.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double seconds =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (run.run_type == Run::RT_Iteration) {
        seconds_[run.run_name.str()].push_back(seconds);
      } else if (run.aggregate_name == "median") {
        seconds_[run.run_name.str()] = {seconds};
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    struct Pair {
      const char* what;
      const char* ours;
      const char* theirs;
    };
    static constexpr Pair kPairs[] = {
        {"open / load (default dictionaries)", "BM_Tlex_Open", "BM_Dcmtk_Load_Default"},
        {"standard lookup", "BM_Tlex_Lookup_Standard", "BM_Dcmtk_Find_Standard"},
        {"private lookup, other spelling", "BM_Tlex_Lookup_Private", "BM_Dcmtk_Find_Private"},
        {"private lookup, stored spelling", "BM_Tlex_Lookup_Private_ExactCreator",
         "BM_Dcmtk_Find_Private"},
        {"private lookup, mixed tags", "BM_Tlex_Lookup_Private_Mixed",
         "BM_Dcmtk_Find_Private_Mixed"},
        {"miss", "BM_Tlex_Lookup_Miss", "BM_Dcmtk_Find_Miss"},
    };
    std::printf("\n%-36s %12s %12s %8s\n", "taglex / DCMTK, same run", "taglex ns", "DCMTK ns",
                "ratio");
    for (const Pair& p : kPairs) {
      const auto ours = seconds_.find(p.ours);
      const auto theirs = seconds_.find(p.theirs);
      if (ours == seconds_.end() || theirs == seconds_.end()) continue;
      const double a = median(ours->second), b = median(theirs->second);
      std::printf("%-36s %12.1f %12.1f %8.2f\n", p.what, a * 1e9, b * 1e9, a / b);
    }
  }

 private:
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  // Take our own flags out before Google Benchmark reads the rest.
  std::vector<char*> rest;
  bool console = true;  // the ratio table only follows the console report
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.starts_with("--benchmark_format=")) console = arg == "--benchmark_format=console";
    if (arg.starts_with("--dict=")) {
      g_dict_path = arg.substr(7);
    } else if (arg.starts_with("--dcmtk-dir=")) {
      g_dcmtk_dir = arg.substr(12);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (g_dict_path.empty()) {
    std::fprintf(stderr, "usage: %s --dict=FILE.tlex [--dcmtk-dir=DIR] [benchmark flags]\n",
                 argv[0]);
    return 2;
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 2;
  if (console) {
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  return 0;
}
