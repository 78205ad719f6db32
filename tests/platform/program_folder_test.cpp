#include "platform/program_folder.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"

namespace trovanex {
namespace {

TEST(ProgramFolderTest, SettingsPathReplacesOnlyTheExtensionOfTheName) {
  const struct {
    const char* executable;
    const char* settings;
  } rows[] = {
      {"/opt/x/trovanexd", "/opt/x/trovanexd.ini"},  {"/opt/x/prog.bin", "/opt/x/prog.ini"},
      {"/opt/x.y/prog", "/opt/x.y/prog.ini"},  // a dot in a folder is not an extension
      {"/opt/x/prog.tar.gz", "/opt/x/prog.tar.ini"}, {"prog.exe", "prog.ini"},
  };
  for (const auto& row : rows) EXPECT_EQ(SettingsPathFor(row.executable), row.settings);
}

TEST(ProgramFolderTest, FolderEndsWithTheSeparator) {
  EXPECT_EQ(FolderOf("/opt/x/trovanexd"), "/opt/x/");
  EXPECT_EQ(FolderOf("trovanexd"), "./");
}

TEST(ProgramFolderTest, ExecutablePathNamesThisProgram) {
  const std::string path = ExecutablePath();
  EXPECT_TRUE(path.ends_with("/platform_tests")) << path;
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(FolderExists(FolderOf(path)));
}

}  // namespace
}  // namespace trovanex
