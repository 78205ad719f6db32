#include "engine/capture_naming.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

struct NameRow {
  const char* address;
  const char* name;
};

TEST(CaptureNamingTest, UrlToFileNameTakesTheLastPieceCutAtItsFirstQuestionMark) {
  const NameRow rows[] = {
      {"h/a/b.jpg", "b.jpg"},
      {"h/a/b.jpg?s=1", "b.jpg"},
      {"h/a/b?x=1?y=2", "b"},
      {"h/get.cgi?f=c/d.png", "d.png"},  // the walk stops at the last "/" of the whole text
      {"h/a/", ""},
      {"h/%2e%2e", "%2e%2e"},  // escapes are not decoded
      {"h", "h"},
      {"", ""},
  };
  for (const NameRow& row : rows) EXPECT_EQ(UrlToFileName(row.address), row.name) << row.address;
}

TEST(CaptureNamingTest, TargetInFolderNeverNamesTheFolderItselfOrItsParent) {
  TempFolder temp;
  const std::string folder = temp.MakeFolder("img");
  const char* hostile[] = {"h/a/..", "h/..", "h/%2e%2e", "h/a/..?x", "h/a/.", "h/a/", "h/a/?x=/"};
  for (const char* address : hostile) {
    const std::filesystem::path target = TargetInFolder(folder, UrlToFileName(address)).value();
    EXPECT_EQ(target.parent_path(), std::filesystem::path(folder)) << address << " -> " << target;
    const std::string name = target.filename().string();
    EXPECT_TRUE(name != "" && name != "." && name != "..") << address << " -> " << target;
  }
  EXPECT_EQ(TargetInFolder(folder, ".."), temp / "img/_..");
  EXPECT_EQ(TargetInFolder(folder, ""), temp / "img/_");
  temp.Write("img/_", "");
  EXPECT_EQ(TargetInFolder(folder + "/", ""), temp / "img/_[0]");
  // What would break a line of the hash list, or could not be a file name at all.
  EXPECT_EQ(TargetInFolder(folder, "a<>b<c>.jpg"), temp / "img/a__b<c>.jpg");
  EXPECT_EQ(TargetInFolder(folder, std::string("b.jpg\0.x\r\n\t\x7f", 12)),
            temp / "img/b.jpg_.x____");
}

TEST(CaptureNamingTest, TheSearchForAFreeNameEnds) {
  TempFolder temp;
  temp.Write("b.jpg", "");
  // The NUL would hide the rest of the name from the file system: every try would be "b.jpg".
  EXPECT_EQ(MakeUniqueName(temp / std::string("b.jpg\0.x", 9)), std::nullopt);
}

TEST(CaptureNamingTest, ALongNameIsShortenedToFitKeepingExtensionAndCounter) {
  TempFolder temp;
  std::string long_base;
  for (int i = 0; i < 100; ++i) long_base += "あ";  // 300 bytes, 3 to a character
  const std::string kept_83 = long_base.substr(0, 83 * 3);
  EXPECT_EQ(MakeUniqueName(temp / (long_base + ".jpg")), temp / (kept_83 + ".jpg"));
  temp.Write(kept_83 + ".jpg", "");
  EXPECT_EQ(MakeUniqueName(temp / (long_base + ".jpg")),
            temp / (long_base.substr(0, 82 * 3) + "[0].jpg"));
  // An extension too long to keep is cut like the rest of the name.
  const std::string long_extension = "a." + std::string(300, 'x');
  EXPECT_EQ(MakeUniqueName(temp / long_extension), temp / long_extension.substr(0, 255));
  temp.Write(long_extension.substr(0, 255), "");
  EXPECT_EQ(MakeUniqueName(temp / long_extension), temp / (long_extension.substr(0, 252) + "[0]"));
  // A run of continuation bytes is no character: walking back through it would leave no name.
  const std::string no_character = "\xE2" + std::string(300, '\x82');
  EXPECT_EQ(MakeUniqueName(temp / no_character), temp / no_character.substr(0, 255));
  // A name that fits is left alone, however close to the limit.
  const std::string exact = std::string(251, 'n') + ".jpg";
  EXPECT_EQ(MakeUniqueName(temp / exact), temp / exact);
}

TEST(CaptureNamingTest, ContentTypeToExtKnowsEveryRowOfTheTableAndNothingElse) {
  const NameRow rows[] = {
      {"image/jpg", ".jpg"},
      {"image/gif", ".gif"},
      {"image/png", ".png"},
      {"image/bmp", ".bmp"},
      {"image/tiff", ".tiff"},
      {"audio/wav", ".wav"},
      {"audio/mp3", ".mp3"},
      {"audio/mpeg", ".mp3"},
      {"audio/x-mp3", ".mp3"},
      {"audio/x-mpeg", ".mp3"},
      {"audio/aiff", ".aiff"},
      {"video/mpg", ".mpg"},
      {"video/mpeg", ".mpg"},
      {"video/x-ms-asf", ".asx"},
      {"video/x-msvideo", ".avi"},
      {"video/flv", ".flv"},
      {"video/mp4", ".mp4"},
      {"text/plain", ".txt"},
      {"text/html", ".html"},
      {"text/css", ".css"},
      {"text/xml", ".xml"},
      // Exact, case-sensitive and untrimmed: only the parameters after ";" are ignored.
      {"image/jpeg", ""},
      {"text/html; charset=utf-8", ".html"},
      {"text/html;", ".html"},
      {"TEXT/HTML", ""},
      {" text/html", ""},
      {"text/html ", ""},
      {"text/html ; x=y", ""},
      {"", ""},
      {";text/html", ""},
      {"image/pngx", ""},
  };
  for (const NameRow& row : rows)
    EXPECT_EQ(ContentTypeToExt(row.address), row.name) << '"' << row.address << '"';
}

TEST(CaptureNamingTest, MakeUniqueNameNumbersTheNameBeforeItsExtension) {
  TempFolder temp;
  EXPECT_EQ(MakeUniqueName(temp / "a.jpg"), temp / "a.jpg");
  temp.Write("a.jpg", "");
  EXPECT_EQ(MakeUniqueName(temp / "a.jpg"), temp / "a[0].jpg");
  temp.Write("a[0].jpg", "");
  EXPECT_EQ(MakeUniqueName(temp / "a.jpg"), temp / "a[1].jpg");
  temp.Write("b", "");
  EXPECT_EQ(MakeUniqueName(temp / "b"), temp / "b[0]");
  temp.Write("t.tar.gz", "");
  EXPECT_EQ(MakeUniqueName(temp / "t.tar.gz"), temp / "t.tar[0].gz");
  temp.Write(".html", "");
  EXPECT_EQ(MakeUniqueName(temp / ".html"), temp / "[0].html");
}

TEST(CaptureNamingTest, MakeUniqueNameIgnoresFoldersAndTheirDots) {
  TempFolder temp;
  temp.MakeFolder("c.jpg");
  EXPECT_EQ(MakeUniqueName(temp / "c.jpg"), temp / "c.jpg");
  temp.Write("x.y/b", "");
  EXPECT_EQ(MakeUniqueName(temp / "x.y/b"), temp / "x.y/b[0]");
}

TEST(StoreCaptureTest, NeverReplacesAFileAndTakesTheNextFreeName) {
  TempFolder temp;
  const std::string target = MakeUniqueName(temp / "img/a.jpg").value();
  temp.Write("img/a.jpg", "first");  // another capture took the name after it was chosen
  temp.Write("img/a[0].jpg", "second");
  int error = -1;
  const auto stored = StoreCapture(temp.Write("tx0001.tmp", "third"), target, error);
  ASSERT_TRUE(stored);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(*stored, temp / "img/a[1].jpg");
  EXPECT_EQ(ReadFile(temp / "img/a.jpg"), "first");
  EXPECT_EQ(ReadFile(temp / "img/a[0].jpg"), "second");
  EXPECT_EQ(ReadFile(*stored), "third");
  EXPECT_FALSE(FileExists(temp / "tx0001.tmp"));
}

// A page that keeps failing its moves must not fill the program folder with leftovers.
TEST(StoreCaptureTest, AFailedMoveRemovesTheTemporaryFile) {
  TempFolder temp;
  const std::string temp_file = temp.Write("tx0002.tmp", "data");
  int error = 0;
  EXPECT_FALSE(StoreCapture(temp_file, temp / "missing/a.jpg", error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(FileExists(temp_file));
  temp.Write("tx0002.tmp", "data");
  temp.MakeFolder("img/a.jpg");  // a folder where the file should go
  EXPECT_FALSE(StoreCapture(temp_file, temp / "img/a.jpg", error));
  EXPECT_FALSE(FileExists(temp_file));
  EXPECT_TRUE(ListFiles(temp / "img").empty());
}

}  // namespace
}  // namespace trovanex
