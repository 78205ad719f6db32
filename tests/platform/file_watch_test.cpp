#include "platform/file_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::TempFolder;

void AppendTo(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

class FileWatchTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  std::string watched_ = temp_ / "hash.dat";
};

TEST_F(FileWatchTest, FirstCallReportsAChangeThenQuietUntilTheFileIsTouched) {
  temp_.Write("hash.dat", "line\r\n");
  FileChangeWatch watch(watched_);
  EXPECT_TRUE(watch.MaybeChanged());
  EXPECT_FALSE(watch.MaybeChanged());
  // Reading is not a change.
  EXPECT_EQ(testing::ReadFile(watched_), "line\r\n");
  EXPECT_FALSE(watch.MaybeChanged());
}

TEST_F(FileWatchTest, ReportsEachKindOfChangeOnceByTheVeryNextCall) {
  temp_.Write("hash.dat", "one\r\n");
  FileChangeWatch watch(watched_);
  ASSERT_TRUE(watch.MaybeChanged());

  AppendTo(watched_, "two\r\n");
  EXPECT_TRUE(watch.MaybeChanged()) << "append";
  EXPECT_FALSE(watch.MaybeChanged());

  temp_.Write("hash.dat", "ONE\r\n");  // same size, written in place
  EXPECT_TRUE(watch.MaybeChanged()) << "rewrite";
  EXPECT_FALSE(watch.MaybeChanged());

  ASSERT_EQ(::chmod(watched_.c_str(), 0600), 0);
  EXPECT_TRUE(watch.MaybeChanged()) << "attributes";

  const std::string replacement = temp_.Write("hash.dat.new", "three\r\n");
  ASSERT_EQ(std::rename(replacement.c_str(), watched_.c_str()), 0);
  EXPECT_TRUE(watch.MaybeChanged()) << "renamed over";
  EXPECT_FALSE(watch.MaybeChanged());

  // The name now stands for the file renamed into place: its writes must be seen too.
  AppendTo(watched_, "four\r\n");
  EXPECT_TRUE(watch.MaybeChanged()) << "write to the replacement";

  ASSERT_EQ(::unlink(watched_.c_str()), 0);
  EXPECT_TRUE(watch.MaybeChanged()) << "deleted";
  EXPECT_FALSE(watch.MaybeChanged());
}

TEST_F(FileWatchTest, SeesTheFileCreatedAfterTheWatchAndItsLaterWrites) {
  FileChangeWatch watch(watched_);
  ASSERT_TRUE(watch.MaybeChanged());
  EXPECT_FALSE(watch.MaybeChanged());

  temp_.Write("hash.dat", "");
  EXPECT_TRUE(watch.MaybeChanged()) << "created";
  EXPECT_FALSE(watch.MaybeChanged());

  AppendTo(watched_, "line\r\n");
  EXPECT_TRUE(watch.MaybeChanged()) << "written after creation";
}

TEST_F(FileWatchTest, OtherNamesInTheFolderAreNotReported) {
  temp_.Write("hash.dat", "line\r\n");
  FileChangeWatch watch(watched_);
  ASSERT_TRUE(watch.MaybeChanged());

  // The rebuild's new file is made beside the old one under a longer name.
  const std::string beside = temp_.Write("hash.dat.Ab12Cd", "new\r\n");
  AppendTo(beside, "more\r\n");
  ASSERT_EQ(std::rename(beside.c_str(), (temp_ / "hash").c_str()), 0);
  temp_.Write("hash.da", "x");
  ASSERT_EQ(::unlink((temp_ / "hash").c_str()), 0);
  EXPECT_FALSE(watch.MaybeChanged());
}

TEST_F(FileWatchTest, WithoutItsFolderEveryCallReportsAChange) {
  FileChangeWatch watch(temp_ / "missing/hash.dat");
  EXPECT_TRUE(watch.MaybeChanged());
  EXPECT_TRUE(watch.MaybeChanged());
}

}  // namespace
}  // namespace trovanex
