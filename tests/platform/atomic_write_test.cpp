#include "platform/atomic_write.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

// Makes writes past `limit` bytes fail with EFBIG for this process, which also holds for root.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_handler_ = SIG_DFL;
};

TEST(AtomicWriteTest, ReplacesTheContentAndLeavesNothingBeside) {
  TempFolder temp;
  const std::string path = temp.Write("Search.cfg", "old and longer content\r\n");
  ASSERT_TRUE(ReplaceFileAtomically(path, "new\r\n").ok());
  EXPECT_EQ(ReadFile(path), "new\r\n");
  EXPECT_EQ(ListFiles(temp.path()), std::vector<std::string>{"Search.cfg"});
}

TEST(AtomicWriteTest, KeepsTheModeOfTheReplacedFileAndGivesANewOne0644) {
  TempFolder temp;
  const std::string kept = temp.Write("private.ini", "a");
  ASSERT_EQ(::chmod(kept.c_str(), 0600), 0);
  ASSERT_TRUE(ReplaceFileAtomically(kept, "b").ok());
  EXPECT_EQ(ModeOf(kept), 0600u);

  ASSERT_TRUE(ReplaceFileAtomically(temp / "new.ini", "c").ok());
  EXPECT_EQ(ModeOf(temp / "new.ini"), 0644u);
}

TEST(AtomicWriteTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  TempFolder temp;
  const std::string path = temp.Write("Search.cfg", "old\r\n");
  ReplaceResult result;
  {
    FileSizeLimit limit(1024);
    result = ReplaceFileAtomically(path, std::string(4096, 'n'));
  }
  EXPECT_EQ(result.error, EFBIG);
  EXPECT_TRUE(result.created);
  EXPECT_EQ(ReadFile(path), "old\r\n");
  EXPECT_EQ(ListFiles(temp.path()), std::vector<std::string>{"Search.cfg"});
}

TEST(AtomicWriteTest, MissingFolderIsReportedAsNotCreated) {
  TempFolder temp;
  const ReplaceResult result = ReplaceFileAtomically(temp / "missing/Search.cfg", "x");
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_FALSE(result.created);
}

}  // namespace
}  // namespace trovanex
