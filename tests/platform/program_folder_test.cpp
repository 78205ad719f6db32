#include "platform/program_folder.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(FolderOf("/opt/x.y/trovanexd"), "/opt/x.y/");
  EXPECT_EQ(FolderOf("trovanexd"), "./");
}

}  // namespace
}  // namespace trovanex
