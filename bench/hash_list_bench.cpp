// LocalFileFor runs for every request the proxy serves; IsKnown at the end of every capture.
// These measure them against hash lists of 100, 100,000 and 1,000,000 lines, next to a plain
// read of the whole file per lookup, in the same run; and what the index costs: the memory it
// adds, and how long the first requests after start wait for it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "model/hash_list.h"
#include "model/hash_list_index.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

constexpr int kStoredFiles = 64;

// A digest per line, all different, as a list of distinct stored contents has them.
std::string DigestOf(int line) {
  char digest[33];
  std::snprintf(digest, sizeof digest, "%08x%024x", static_cast<unsigned>(line) * 2654435761u,
                static_cast<unsigned>(line));
  return digest;
}

struct Fixture {
  std::string folder;
  std::string hash_file;
  std::string last_address;  // the line nearest the end: the worst case for reading the file
  std::string last_digest;
  std::uint32_t last_size = 0;  // what IsKnown compares for the last line

  explicit Fixture(int lines) {
    std::string pattern = (std::filesystem::temp_directory_path() / "trovanex-bench-XXXXXX");
    folder = std::string(::mkdtemp(pattern.data())) + "/";
    for (int i = 0; i < kStoredFiles; ++i)
      std::ofstream(folder + "f" + std::to_string(i) + ".jpg") << "content " << i;
    hash_file = folder + "hash.dat";
    std::ofstream out(hash_file, std::ios::binary);
    for (int i = 0; i < lines; ++i) {
      const std::string address = "img.example.test/gallery/" + std::to_string(i) + ".jpg";
      const std::string path = folder + "f" + std::to_string(i % kStoredFiles) + ".jpg";
      out << FormatHashLine(DigestOf(i), path, 48213, &address);
      last_address = address;
      last_digest = DigestOf(i);
      last_size = ListedFileSize(path);
    }
  }
  ~Fixture() { std::filesystem::remove_all(folder); }
};

// One file per size for the whole run: the million-line file takes a while to write.
const Fixture& FixtureOf(int lines) {
  static std::map<int, std::unique_ptr<Fixture>> fixtures;
  auto& fixture = fixtures[lines];
  if (!fixture) fixture = std::make_unique<Fixture>(lines);
  return *fixture;
}

// Returns once the list's index is built.
void WaitForIndex(THashList& list) {
  if (!list.WaitUntilIndexed(std::chrono::minutes(1))) std::abort();
}

// The lookup as it reads with no index: the whole file, line by line, per request.
std::string LocalFileByReading(const std::string& hash_file, const std::string& address) {
  std::ifstream in(hash_file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const HashLine parsed = ParseHashLine(line);
    if (parsed.address == address && FileExists(std::string(parsed.path)))
      return std::string(parsed.path);
  }
  return {};
}

void Sizes(benchmark::internal::Benchmark* bench) {
  bench->Arg(100)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
}

void BM_LocalFileFor_Hit(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  WaitForIndex(list);
  if (list.LocalFileFor(fixture.last_address).empty()) state.SkipWithError("no hit");
  for (auto _ : state) benchmark::DoNotOptimize(list.LocalFileFor(fixture.last_address));
}
BENCHMARK(BM_LocalFileFor_Hit)->Apply(Sizes);

void BM_LocalFileFor_Miss(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  const std::string address = "other.example.test/never-saved.html";
  WaitForIndex(list);
  for (auto _ : state) benchmark::DoNotOptimize(list.LocalFileFor(address));
}
BENCHMARK(BM_LocalFileFor_Miss)->Apply(Sizes);

void BM_IsKnownContent_Hit(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  WaitForIndex(list);
  if (!list.IsKnownContent(fixture.last_digest, fixture.last_size)) state.SkipWithError("no hit");
  for (auto _ : state)
    benchmark::DoNotOptimize(list.IsKnownContent(fixture.last_digest, fixture.last_size));
}
BENCHMARK(BM_IsKnownContent_Hit)->Apply(Sizes);

void BM_IsKnownContent_Miss(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  WaitForIndex(list);
  const std::string digest = "ffffffffffffffffffffffffffffffff";
  for (auto _ : state) benchmark::DoNotOptimize(list.IsKnownContent(digest, 1));
}
BENCHMARK(BM_IsKnownContent_Miss)->Apply(Sizes);

void BM_LocalFileFor_ReadingWholeFile(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(LocalFileByReading(fixture.hash_file, fixture.last_address));
}
BENCHMARK(BM_LocalFileFor_ReadingWholeFile)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Memory in kB from /proc/self/status: the resident size now (VmRSS) or its peak (VmHWM).
long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(line.find(':') + 1));
  return -1;
}

// What a list with a built index adds to the process: resident memory once built, and at the
// peak while building (the peak mark is reset first), in MB, beside the bytes of the index's
// own tables. The resident figures are clean only in a process of their own
// (--benchmark_filter=BM_IndexMemory/100000/): memory freed by earlier benchmarks is reused.
void BM_IndexMemory(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  double added = 0, peak = 0;
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to VmRSS
    const long before = StatusKb("VmRSS:");
    {
      THashList list(fixture.hash_file);
      WaitForIndex(list);
      added = static_cast<double>(StatusKb("VmRSS:") - before) / 1024;
      peak = static_cast<double>(StatusKb("VmHWM:") - before) / 1024;
      state.counters["index_MB"] = static_cast<double>(list.IndexMemoryBytes()) / (1024 * 1024);
      benchmark::DoNotOptimize(list.LocalFileFor(fixture.last_address));
    }
  }
  state.counters["added_MB"] = added;
  state.counters["peak_MB"] = peak;
  state.counters["bytes_per_line"] = added * 1024 * 1024 / static_cast<double>(state.range(0));
}
BENCHMARK(BM_IndexMemory)->Apply(Sizes)->Iterations(1);

// CPU time of the calling thread, in ms: what a request costs whatever else the machine runs.
double ThreadCpuMs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The start: a list made over an existing file, then requests one after another right away.
// Reports the first request's wait, the longest wait of any request until the index is ready
// (and the most CPU time one took), and when that was.
void BM_FirstLookupsAfterStart(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  double first = 0, worst = 0, worst_cpu = 0, ready = 0, lookups = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    THashList list(fixture.hash_file);
    for (bool is_first = true;; is_first = false) {
      const double cpu_before = ThreadCpuMs();
      const auto before = Clock::now();
      if (list.LocalFileFor(fixture.last_address).empty()) state.SkipWithError("no hit");
      const auto after = Clock::now();
      worst_cpu = std::max(worst_cpu, ThreadCpuMs() - cpu_before);
      if (is_first) first = std::max(first, ms(after - before));
      worst = std::max(worst, ms(after - before));
      lookups += 1;
      if (list.WaitUntilIndexed(std::chrono::milliseconds(0))) {
        ready = std::max(ready, ms(Clock::now() - start));
        break;
      }
    }
  }
  state.counters["first_ms"] = first;
  state.counters["worst_ms"] = worst;
  state.counters["worst_cpu_ms"] = worst_cpu;
  state.counters["ready_ms"] = ready;
  state.counters["lookups_before_ready"] = lookups / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FirstLookupsAfterStart)->Apply(Sizes)->Iterations(5);

// The cost of noticing that another program rewrote the file: every lookup here sees a new file.
void BM_LocalFileFor_AfterOutsideChange(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  const std::string copy = fixture.hash_file + ".copy";
  std::filesystem::copy_file(fixture.hash_file, copy,
                             std::filesystem::copy_options::overwrite_existing);
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(copy, fixture.hash_file + ".new",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::rename(fixture.hash_file + ".new", fixture.hash_file);
    state.ResumeTiming();
    benchmark::DoNotOptimize(list.LocalFileFor(fixture.last_address));
  }
  std::filesystem::remove(copy);
}
BENCHMARK(BM_LocalFileFor_AfterOutsideChange)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Also the longest single append: now and then the lines appended are merged into the index.
void BM_AppendHash(benchmark::State& state) {
  const Fixture& fixture = FixtureOf(static_cast<int>(state.range(0)));
  // A copy: the appended lines must not reach the files the other benchmarks read.
  const std::string hash_file = fixture.folder + "appended.dat";
  std::filesystem::copy_file(fixture.hash_file, hash_file,
                             std::filesystem::copy_options::overwrite_existing);
  THashList list(hash_file);
  const std::string stored = fixture.folder + "f0.jpg";
  WaitForIndex(list);
  int n = 0;
  double worst_us = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    list.AppendHash(stored, "new.example.test/" + std::to_string(n++));
    worst_us =
        std::max(worst_us,
                 std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  state.counters["worst_us"] = worst_us;
  std::filesystem::remove(hash_file);
}
BENCHMARK(BM_AppendHash)->Apply(Sizes);

}  // namespace
}  // namespace trovanex
