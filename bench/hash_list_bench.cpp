// LocalFileFor runs for every request the proxy serves; IsKnown at the end of every capture.
// These measure them against hash lists of 100 and 100,000 lines, next to a plain read of the
// whole file per lookup, in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "model/hash_list.h"
#include "model/hash_list_index.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

constexpr int kStoredFiles = 64;

struct Fixture {
  std::string folder;
  std::string hash_file;
  std::string last_address;  // the line nearest the end: the worst case for reading the file

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
      out << FormatHashLine("0123456789abcdef0123456789abcdef", path, 48213, &address);
      last_address = address;
    }
  }
  ~Fixture() { std::filesystem::remove_all(folder); }
};

// The lookup as it reads with no index: the whole file, line by line, per request.
std::string LocalFileByReading(const std::string& hash_file, const std::string& address) {
  std::ifstream in(hash_file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const HashLine parsed = ParseHashLine(line);
    if (parsed.address == address && FileExists(std::string(parsed.path))) return std::string(parsed.path);
  }
  return {};
}

void BM_LocalFileFor_Hit(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  list.LocalFileFor(fixture.last_address);  // the first call builds the index
  for (auto _ : state) benchmark::DoNotOptimize(list.LocalFileFor(fixture.last_address));
  state.SetLabel("lines=" + std::to_string(state.range(0)));
}
BENCHMARK(BM_LocalFileFor_Hit)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_LocalFileFor_Miss(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  const std::string address = "other.example.test/never-saved.html";
  list.LocalFileFor(address);
  for (auto _ : state) benchmark::DoNotOptimize(list.LocalFileFor(address));
}
BENCHMARK(BM_LocalFileFor_Miss)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_LocalFileFor_ReadingWholeFile(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(LocalFileByReading(fixture.hash_file, fixture.last_address));
}
BENCHMARK(BM_LocalFileFor_ReadingWholeFile)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The cost of noticing that another program rewrote the file: every lookup here sees a new file.
void BM_LocalFileFor_AfterOutsideChange(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  const std::string copy = fixture.hash_file + ".copy";
  std::filesystem::copy_file(fixture.hash_file, copy);
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(copy, fixture.hash_file + ".new",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::rename(fixture.hash_file + ".new", fixture.hash_file);
    state.ResumeTiming();
    benchmark::DoNotOptimize(list.LocalFileFor(fixture.last_address));
  }
}
BENCHMARK(BM_LocalFileFor_AfterOutsideChange)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_AppendHash(benchmark::State& state) {
  Fixture fixture(static_cast<int>(state.range(0)));
  THashList list(fixture.hash_file);
  const std::string stored = fixture.folder + "f0.jpg";
  list.LocalFileFor(fixture.last_address);
  int n = 0;
  for (auto _ : state) list.AppendHash(stored, "new.example.test/" + std::to_string(n++));
}
BENCHMARK(BM_AppendHash)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace trovanex
