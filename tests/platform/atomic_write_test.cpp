#include "platform/atomic_write.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_system.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(AtomicWriteTest, ReplacesContentKeepingTheModeAndLeavesNothingBeside) {
  TempFolder temp;
  const std::string path = temp.Write("Search.cfg", "old and longer content\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(ReplaceFileAtomically(path, "new\r\n").ok());
  EXPECT_EQ(ReadFile(path), "new\r\n");
  EXPECT_EQ(ModeOf(path), 0600u);
  // Told not to replace: the file there stays as it was, and nothing is left beside it.
  EXPECT_EQ(ReplaceFileAtomically(path, "other", {.mode = {}, .replace_existing = false}).error,
            EEXIST);
  EXPECT_EQ(ReadFile(path), "new\r\n");
  EXPECT_EQ(ListFiles(temp.path()), std::vector<std::string>{"Search.cfg"});

  ASSERT_TRUE(ReplaceFileAtomically(temp / "new.ini", "").ok());
  EXPECT_EQ(ModeOf(temp / "new.ini"), 0644u);
}

TEST(AtomicWriteTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  TempFolder temp;
  const std::string path = temp.Write("Search.cfg", "old\r\n");
  // Writes past 1 KiB fail with EFBIG, for root too.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit lowered = saved;
  lowered.rlim_cur = 1024;
  const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &lowered);
  const ReplaceResult result = ReplaceFileAtomically(path, std::string(4096, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous_handler);

  EXPECT_EQ(result.error, EFBIG);
  EXPECT_EQ(ReadFile(path), "old\r\n");
  EXPECT_EQ(ListFiles(temp.path()), std::vector<std::string>{"Search.cfg"});

  EXPECT_FALSE(ReplaceFileAtomically(temp / "missing/Search.cfg", "x").created);
}

TEST(AtomicWriteTest, ALinkStaysALinkAndItsTargetGetsTheContent) {
  TempFolder temp;
  const std::string target = temp.Write("real/trovanexd.ini", "old");
  ASSERT_EQ(::symlink(target.c_str(), (temp / "trovanexd.ini").c_str()), 0);
  ASSERT_TRUE(ReplaceFileAtomically(temp / "trovanexd.ini", "new").ok());
  struct stat st {};
  ASSERT_EQ(::lstat((temp / "trovanexd.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(ListFiles(temp / "real"), std::vector<std::string>{"trovanexd.ini"});
}

}  // namespace
}  // namespace trovanex
