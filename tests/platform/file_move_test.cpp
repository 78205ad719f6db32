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

// A folder on another file system than TempFolder's, or none when there is no such one here.
class OtherDeviceFolder {
 public:
  explicit OtherDeviceFolder(const std::string& than) {
    struct stat memory {
    }, usual{};
    if (::stat("/dev/shm", &memory) != 0 || ::stat(than.c_str(), &usual) != 0 ||
        memory.st_dev == usual.st_dev)
      return;
    std::string pattern = "/dev/shm/trovanex-test-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern + "/";
  }
  ~OtherDeviceFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FileMoveTest, MovesWithinAFolder) {
  TempFolder temp;
  const std::string from = temp.Write("tx0001.tmp", "content");
  EXPECT_EQ(MoveFileNoReplace(from, temp / "a.jpg"), 0);
  EXPECT_FALSE(FileExists(from));
  EXPECT_EQ(ReadFile(temp / "a.jpg"), "content");
}

TEST(FileMoveTest, NeverReplacesAnExistingFile) {
  TempFolder temp;
  const std::string from = temp.Write("tx0001.tmp", "new");
  const std::string to = temp.Write("a.jpg", "stored");
  EXPECT_EQ(MoveFileNoReplace(from, to), EEXIST);
  EXPECT_EQ(ReadFile(from), "new");
  EXPECT_EQ(ReadFile(to), "stored");
}

TEST(FileMoveTest, MissingSourceIsReported) {
  TempFolder temp;
  EXPECT_EQ(MoveFileNoReplace(temp / "missing", temp / "a.jpg"), ENOENT);
  EXPECT_FALSE(FileExists(temp / "a.jpg"));
}

TEST(FileMoveTest, AcrossFileSystemsCopiesWithModeThenRemovesTheSource) {
  TempFolder temp;
  OtherDeviceFolder other(temp.path());
  if (other.path().empty()) GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string from = other.path() + "tx0001.tmp";
  std::string content(200000, 'x');  // more than one copy buffer
  content.back() = 'y';
  temp.Write("staging", content);
  ASSERT_EQ(std::filesystem::copy_file(temp / "staging", from), true);
  ASSERT_EQ(::chmod(from.c_str(), 0640), 0);

  EXPECT_EQ(MoveFileNoReplace(from, temp / "a.jpg"), 0);
  EXPECT_FALSE(FileExists(from));
  EXPECT_EQ(ReadFile(temp / "a.jpg"), content);
  struct stat st {};
  ASSERT_EQ(::stat((temp / "a.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(FileMoveTest, AcrossFileSystemsNeverReplacesAndKeepsTheSource) {
  TempFolder temp;
  OtherDeviceFolder other(temp.path());
  if (other.path().empty()) GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string from = other.path() + "tx0001.tmp";
  std::filesystem::copy_file(temp.Write("staging", "new"), from);
  const std::string to = temp.Write("a.jpg", "stored");

  EXPECT_EQ(MoveFileNoReplace(from, to), EEXIST);
  EXPECT_EQ(ReadFile(from), "new");
  EXPECT_EQ(ReadFile(to), "stored");

  // Into a folder that does not exist: nothing is left half-way.
  EXPECT_EQ(MoveFileNoReplace(from, temp / "missing/a.jpg"), ENOENT);
  EXPECT_EQ(ReadFile(from), "new");
}

}  // namespace
}  // namespace trovanex
