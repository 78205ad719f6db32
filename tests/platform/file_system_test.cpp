#include "platform/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::TempFolder;

TEST(FileSystemTest, ListedFileSizeIsTheLow32BitsOfAFileAndZeroForAnythingElse) {
  TempFolder temp;
  const std::string three = temp.Write("three", "abc");
  const std::string empty = temp.Write("empty", "");
  const std::string folder = temp.MakeFolder("folder");
  // Sparse, so it costs no disk: 4 GiB and 5 bytes is listed as 5.
  const std::string huge = temp.Write("huge", "");
  const int fd = ::open(huge.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 5), 0);
  ::close(fd);

  EXPECT_EQ(ListedFileSize(three), 3u);
  EXPECT_EQ(ListedFileSize(empty), 0u);
  EXPECT_EQ(ListedFileSize(huge), 5u);
  EXPECT_EQ(ListedFileSize(folder), 0u);
  EXPECT_EQ(ListedFileSize(folder + "/"), 0u);
  EXPECT_EQ(ListedFileSize(temp / "missing"), 0u);
}

TEST(FileSystemTest, ListFilesTakesHiddenFilesButNoFoldersNorWhatIsInThem) {
  TempFolder temp;
  temp.Write("save/a.jpg", "a");
  temp.Write("save/.hidden", "");
  temp.Write("save/sub/inner.jpg", "inner");
  temp.MakeFolder("save/.hidden-folder");
  ASSERT_EQ(::symlink((temp / "save/sub").c_str(), (temp / "save/link-to-folder").c_str()), 0);

  for (const std::string& folder : {temp / "save", temp / "save/"}) {
    std::vector<std::string> names = ListFiles(folder);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.jpg"})) << folder;
  }
  EXPECT_TRUE(ListFiles(temp / "missing").empty());
  EXPECT_TRUE(ListFiles(temp / "save/a.jpg").empty());
}

}  // namespace
}  // namespace trovanex
