#include "platform/file_move.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/file_system.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

TEST(FileMoveTest, WithinAFileSystemMovesButNeverReplaces) {
  TempFolder temp;
  const std::string from = temp.Write("tx0001.tmp", "new");
  const std::string stored = temp.Write("stored.jpg", "stored");
  EXPECT_EQ(MoveFileNoReplace(from, stored), EEXIST);
  EXPECT_EQ(ReadFile(from), "new");
  EXPECT_EQ(ReadFile(stored), "stored");

  EXPECT_EQ(MoveFileNoReplace(from, temp / "a.jpg"), 0);
  EXPECT_FALSE(FileExists(from));
  EXPECT_EQ(ReadFile(temp / "a.jpg"), "new");
  EXPECT_EQ(MoveFileNoReplace(from, temp / "b.jpg"), ENOENT);
}

// Captures are made in the program folder and stored wherever the user's folders are.
class FileMoveAcrossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat memory {
    }, usual{};
    if (::stat("/dev/shm", &memory) != 0 || ::stat(temp_.path().c_str(), &usual) != 0 ||
        memory.st_dev == usual.st_dev)
      GTEST_SKIP() << "no second file system at /dev/shm";
    std::string pattern = "/dev/shm/trovanex-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    other_ = pattern + "/";
  }
  void TearDown() override {
    std::error_code ignored;
    if (!other_.empty()) std::filesystem::remove_all(other_, ignored);
  }
  // A file of `content` on the other file system.
  std::string WriteOther(const std::string& name, const std::string& content) {
    std::filesystem::copy_file(temp_.Write("staging", content), other_ + name);
    return other_ + name;
  }

  TempFolder temp_;
  std::string other_;
};

TEST_F(FileMoveAcrossTest, CopiesContentAndModeThenRemovesTheSource) {
  std::string content(200000, 'x');  // more than one copy buffer
  content.back() = 'y';
  const std::string from = WriteOther("tx0001.tmp", content);
  ASSERT_EQ(::chmod(from.c_str(), 0640), 0);

  EXPECT_EQ(MoveFileNoReplace(from, temp_ / "a.jpg"), 0);
  EXPECT_FALSE(FileExists(from));
  EXPECT_EQ(ReadFile(temp_ / "a.jpg"), content);
  struct stat st {};
  ASSERT_EQ(::stat((temp_ / "a.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileMoveAcrossTest, NeverReplacesAndKeepsTheSourceWhenItFails) {
  const std::string from = WriteOther("tx0001.tmp", "new");
  const std::string stored = temp_.Write("stored.jpg", "stored");
  EXPECT_EQ(MoveFileNoReplace(from, stored), EEXIST);
  EXPECT_EQ(ReadFile(stored), "stored");
  EXPECT_EQ(MoveFileNoReplace(from, temp_ / "missing/a.jpg"), ENOENT);
  EXPECT_EQ(ReadFile(from), "new");
}

}  // namespace
}  // namespace trovanex
