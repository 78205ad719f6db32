#include "platform/temp_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::TempFolder;

std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

TEST(TempFileTest, NamesArePrefixFourUpperCaseHexDigitsAndTmpCreatedEmptyInTheFolder) {
  TempFolder temp;
  const std::regex form("tx[0-9A-F]{4}\\.tmp");
  for (const std::string& folder : {temp.path(), temp.path().substr(0, temp.path().size() - 1)}) {
    const std::string path = CreateTempFile(folder, "tx");
    EXPECT_EQ(path, temp / NameOf(path));
    EXPECT_TRUE(std::regex_match(NameOf(path), form)) << path;
    EXPECT_EQ(ReadWholeFile(path), "");
  }
}

TEST(TempFileTest, NeverTakesANameThatIsAlreadyThere) {
  TempFolder temp;
  // Names are tried in sequence: occupy the next few and check they are skipped, not emptied.
  const std::string probe = NameOf(CreateTempFile(temp.path(), "tx"));
  const unsigned last = std::stoul(probe.substr(2, 4), nullptr, 16);
  std::set<std::string> occupied;
  for (unsigned step = 1; step <= 5; ++step) {
    char name[16];
    std::snprintf(name, sizeof name, "tx%04X.tmp", (last + step) & 0xFFFF);
    occupied.insert(temp.Write(name, "kept"));
  }
  const std::string path = CreateTempFile(temp.path(), "tx");
  EXPECT_EQ(occupied.count(path), 0u) << path;
  EXPECT_EQ(ReadWholeFile(path), "");
  for (const std::string& taken : occupied) EXPECT_EQ(ReadWholeFile(taken), "kept") << taken;
}

TEST(TempFileTest, ThreadsGetDistinctFiles) {
  TempFolder temp;
  constexpr int kThreads = 8;
  constexpr int kEach = 50;
  std::vector<std::vector<std::string>> made(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) made[t].push_back(CreateTempFile(temp.path(), "tx"));
      });
  }
  std::set<std::string> distinct;
  for (const auto& paths : made) distinct.insert(paths.begin(), paths.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(ListFiles(temp.path()).size(), distinct.size());
}

TEST(TempFileTest, MissingFolderIsAFileError) {
  TempFolder temp;
  EXPECT_THROW(CreateTempFile(temp / "missing", "tx"), FileError);
}

// Left by a killed run: exactly the names CreateTempFile makes are removed, nothing else.
TEST(TempFileTest, StaleTemporaryFilesAreRemovedAndCounted) {
  TempFolder temp;
  const char* stale[] = {"tx0001.tmp", "txABCD.tmp", "txF09E.tmp"};
  const char* kept[] = {"txabcd.tmp",   "tx12345.tmp", "tx123.tmp",  "ty0001.tmp", "tx0001.tmp.x",
                        "x.tx0001.tmp", "tx00G1.tmp",  "TX0001.tmp", "tx0001.TMP", "tx 001.tmp"};
  for (const char* name : stale) temp.Write(name, "left");
  for (const char* name : kept) temp.Write(name, "mine");
  temp.MakeFolder("tx0002.tmp");
  EXPECT_EQ(RemoveStaleTempFiles(temp.path(), "tx"), 3u);
  std::set<std::string> left(std::begin(kept), std::end(kept));
  left.insert("tx0002.tmp");
  std::vector<std::string> names = ListFiles(temp.path());
  names.push_back("tx0002.tmp");  // folders are not listed, and not removed
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), left);
  EXPECT_TRUE(FolderExists(temp / "tx0002.tmp"));
  EXPECT_EQ(RemoveStaleTempFiles(temp / "missing", "tx"), 0u);
}

}  // namespace
}  // namespace trovanex
