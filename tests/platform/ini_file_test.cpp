#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

TEST(IniInteger, Forms) {
  const struct {
    const char* text;
    std::optional<std::int32_t> value;
  } rows[] = {
      {"81", 81},
      {" \t81\t ", 81},
      {"00081", 81},
      {"0x51", 81},
      {"0X51", 81},
      {"$51", 81},
      {"$aB", 0xAB},
      {"-5", -5},
      {"+5", 5},
      {"-0x10", -16},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"0x7FFFFFFF", INT_MAX},
      {"0x80000000", INT_MIN},
      {"0xFFFFFFFF", -1},
      {"0x100000000", std::nullopt},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"-", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"abc", std::nullopt},
      {"51h", std::nullopt},
      {"0x1g", std::nullopt},
      {"1 2", std::nullopt},
      {"- 5", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("\"") + row.text + "\"");
    EXPECT_EQ(ParseIniInteger(row.text), row.value);
  }
}

TEST(IniFile, Lookup) {
  const IniFile ini = IniFile::Parse(
      "ListenPort=1\n"  // before any section
      "[settings]\r\n"
      "  listenport = 81  \r\n"
      "ListenPort=99\r\n"
      ";UseProxy=1\r"
      "ProxyAddress=\"quoted\"\n"
      "Empty=\n"
      "NoValue\n"
      " [ Other ] \n"
      "UseProxy=a=b\n");
  const struct {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } rows[] = {
      {"Settings", "ListenPort", "81"},        {"SETTINGS", "UseProxy", std::nullopt},
      {"Settings", "ProxyAddress", "quoted"},  {"Settings", "Empty", ""},
      {"Settings", "NoValue", std::nullopt},   {"Other", "useproxy", "a=b"},
      {"Missing", "ListenPort", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.section) + "/" + row.key);
    EXPECT_EQ(ini.Get(row.section, row.key), row.value);
  }
}

TEST(IniFile, SetChangesOnlyWhatItMust) {
  IniFile ini =
      IniFile::Parse("; top\n[A]\nkey = old ; not a comment\n;c\n\n[B]\nx=1\n[Empty]\n\n");
  ini.Set("a", "KEY", "new");  // the first line of the key, in its place
  ini.Set("A", "added", "1");  // after the section's last line, before the blank one
  ini.Set("Empty", "e", "2");
  ini.Set("New", "n", "3");
  EXPECT_EQ(ini.Serialize(),
            "; top\r\n[A]\r\nKEY=new\r\n;c\r\nadded=1\r\n\r\n[B]\r\nx=1\r\n[Empty]\r\ne=2\r\n"
            "\r\n[New]\r\nn=3\r\n");
  // Values that Get would trim or unquote are written inside quotes, and read back as given.
  for (const char* value : {" blank ends ", "'quoted'", "\"\"", "a\"", "\"", "in side"}) {
    ini.Set("B", "v", value);
    EXPECT_EQ(IniFile::Parse(ini.Serialize()).Get("B", "v"), value);
  }
}

TEST(IniFile, SaveAndLoad) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  EXPECT_EQ(IniFile::Load(path).Get("S", "k"), std::nullopt);
  IniFile ini;
  ini.Set("S", "k", "v");
  ASSERT_TRUE(ini.Save(path));
  EXPECT_EQ(ReadFile(path), "[S]\r\nk=v\r\n");
  EXPECT_EQ(IniFile::Load(path).Get("S", "k"), "v");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  EXPECT_FALSE(ini.Save(folder / "missing/x.ini"));
}

}  // namespace
}  // namespace trovanex
