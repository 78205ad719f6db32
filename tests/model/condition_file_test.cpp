#include "model/condition_file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/errors.h"
#include "support/file_error_of.h"
#include "support/recording_message_boxes.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::FileErrorOf;
using testing::ReadFile;
using testing::RecordingMessageBoxes;
using testing::TempFolder;

constexpr char kBadText[] = "error: 検索設定ファイルがおかしいです";
constexpr char kBadCaption[] = "trovanex : error";

// "name|path" per folder, ";" between them.
std::string Folders(const TSearchCondition& condition) {
  std::string text;
  for (auto* f = condition.FirstFolder(); f; f = f->NextItem())
    text += (text.empty() ? "" : ";") + f->Name + "|" + f->Path;
  return text;
}

// One record, "SearchString=x" and one folder, plus the given lines before its "[end]".
TSearchConditionChain ReadRecord(const std::string& lines) {
  RecordingMessageBoxes boxes;
  auto read = ParseSearchConditions("SearchString=x\nFolder=/\\d\n" + lines + "\n[end]\n", boxes);
  EXPECT_TRUE(boxes.shown.empty());
  return read;
}

TEST(ConditionFileRead, TypeAndExecTypeValues) {
  constexpr auto kStd = TSearchType::Standard;
  constexpr auto kRe = TSearchType::Regexp;
  const struct {
    const char* lines;
    TSearchType type;
    TExecType exec;
  } rows[] = {
      {"Type= Regexp", kRe, TExecType::Save},
      {"Type=regexp", kRe, TExecType::Save},
      {"Type=anything", kRe, TExecType::Save},
      {"Type=  ", kRe, TExecType::Save},
      {"Type=Regexp\nType=STANDARD", kStd, TExecType::Save},
      {"Type=Regexp\nType= \tstandard \t", kStd, TExecType::Save},
      {"Type=Regexp\nType=", kRe, TExecType::Save},
      {"Type=Regexp\nType", kRe, TExecType::Save},
      {"type=Regexp", kStd, TExecType::Save},
      {"ExecType=  SAVEASK  ", kStd, TExecType::SaveAsk},
      {"ExecType= saveaskfolder", kStd, TExecType::SaveAskFolder},
      {"ExecType= View", kStd, TExecType::View},
      {"ExecType=SaveAsk\nExecType=ask", kStd, TExecType::SaveAsk},
      {"ExecType=SaveAsk\nExecType=", kStd, TExecType::SaveAsk},
      {"ExecType=View\nExecType=save", kStd, TExecType::Save},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    const auto read = ReadRecord(row.lines);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0]->Type(), row.type);
    EXPECT_EQ(read[0]->ExecType, row.exec);
  }
}

TEST(ConditionFileRead, KeysAndValues) {
  const struct {
    const char* lines;
    const char* name;
    const char* search;
  } rows[] = {
      {"name=n", "", "x"},
      {"Name =n\n Name=m", "", "x"},
      {"Name=n\nName=", "n", "x"},
      {"Name=a=b\nSearchString=s=t", "a=b", "s=t"},
      {"garbage\n\nUnknown=1", "", "x"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    const auto read = ReadRecord(row.lines);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0]->Name, row.name);
    EXPECT_EQ(read[0]->SearchString(), row.search);
  }
}

TEST(ConditionFileRead, EndLine) {
  const struct {
    const char* line;
    std::size_t accepted;
  } rows[] = {{"[end]", 1},  {"[END]", 1},  {"[eNd]", 1},  {" [end]", 0},
              {"[end] ", 0}, {"[end]=", 0}, {"[end]x", 0}, {"end", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    RecordingMessageBoxes boxes;
    const std::string text = std::string("SearchString=x\nFolder=/\\d\n") + row.line + "\n";
    EXPECT_EQ(ParseSearchConditions(text, boxes).size(), row.accepted);
    EXPECT_TRUE(boxes.shown.empty());  // an unclosed last record goes silently
  }
}

TEST(ConditionFileRead, FolderValues) {
  const struct {
    const char* lines;
    const char* folders;
  } rows[] = {
      {"Folder=a/\\x;b/\\y", "a|/x;b|/y"},
      {"Folder=n/\\p\nFolder=\\x", "n|/p;n|/x"},
      {"Folder=a/\nFolder=b/\\y", "b|/y"},
      {"Folder=a/;b/\\y", "a|;b|/y"},
      {"Folder=a/\\wh?at", "a|/what"},
      {"Folder=x/y/\\p", "y|/p"},
      {"Folder=a/\\x;", "a|/x"},
      {"Folder=;a/\\x", "|;a|/x"},
      {"Folder=\nFolder=/\\x", "|/x"},
      {"Folder=C:\\n/\\x\\y", "C:\\n|/x/y"},  // only the path turns "\" into "/"
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    RecordingMessageBoxes boxes;
    const auto read =
        ParseSearchConditions(std::string("SearchString=s\n") + row.lines + "\n[end]\n", boxes);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(Folders(*read[0]), row.folders);
  }
}

TEST(ConditionFileRead, PendingFolderNameCarriesIntoLaterRecords) {
  RecordingMessageBoxes boxes;
  const auto read = ParseSearchConditions(
      "SearchString=x\nFolder=n/\\p\n[end]\nSearchString=y\nFolder=\\q\n[end]\n", boxes);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(Folders(*read[1]), "n|/q");
}

TEST(ConditionFileRead, RefusedRecordGoesOnFillingTheSameCondition) {
  RecordingMessageBoxes boxes;
  const auto read = ParseSearchConditions(
      "Name=a\nSearchString=x\nSearchString=\nFolder=n/\\p\n[end]\n"
      "SearchString=y\nFolder=m/\\q\n[end]\n",
      boxes);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kBadText);
  EXPECT_EQ(boxes.shown[0].caption, kBadCaption);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0]->Name, "a");
  EXPECT_EQ(read[0]->SearchString(), "y");
  EXPECT_EQ(Folders(*read[0]), "n|/p;m|/q");

  // Without a folder: one message per "[end]".
  boxes.shown.clear();
  EXPECT_TRUE(ParseSearchConditions("SearchString=x\n[end]\n[end]\n", boxes).empty());
  EXPECT_EQ(boxes.shown.size(), 2u);
}

TEST(ConditionFileRead, LineEndsAndNul) {
  const std::string record = "SearchString=x\nFolder=/\\d\n[end]\n";
  const struct {
    const char* name;
    std::string text;
    std::size_t accepted;
  } rows[] = {
      {"LF", record + record, 2},
      {"CR LF", "SearchString=x\r\nFolder=/\\d\r\n[end]\r\n" + record, 2},
      {"CR", "SearchString=x\rFolder=/\\d\r[end]\r" + record, 2},
      {"no last line end", record + "SearchString=x\nFolder=/\\d\n[end]", 2},
      {"NUL between records", record + std::string(1, '\0') + record, 1},
      {"NUL inside a line", std::string("SearchString=x\0y\n", 17) + record, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingMessageBoxes boxes;
    const auto read = ParseSearchConditions(row.text, boxes);
    ASSERT_EQ(read.size(), row.accepted);
    for (std::size_t i = 0; i < read.size(); ++i)
      EXPECT_EQ(read[i]->Next, i + 1 < read.size() ? read[i + 1].get() : nullptr);
    for (const auto& condition : read) EXPECT_EQ(Folders(*condition), "|/d");
  }
}

class ConditionFile : public ::testing::Test {
 protected:
  TSearchCondition& Add(const std::string& name, const std::string& search) {
    auto condition = std::make_unique<TSearchCondition>();
    condition->Name = name;
    condition->SetSearchString(search);
    TSearchCondition& added = *condition;
    list_.Add(std::move(condition));
    return added;
  }

  TempFolder folder_;
  TSearchConditionList list_;
  RecordingMessageBoxes boxes_;
};

TEST_F(ConditionFile, WritesEveryRecordByteForByte) {
  TSearchCondition& a = Add("gallery", "example/photos/");
  a.AppendFolder("/home/u/photos", "");
  a.ExecType = TExecType::SaveAsk;
  TSearchCondition& b = Add("", "\\.jpg$");
  b.SetType(TSearchType::Regexp);
  b.ExecType = TExecType::SaveAskFolder;
  b.AppendFolder("/a/b", "画像");
  b.AppendFolder("/m", "動画");
  TSearchCondition& c = Add("v", "s");
  c.SetType(static_cast<TSearchType>(2));
  c.ExecType = TExecType::View;
  c.AppendFolder("/v", "x\\y");
  TSearchCondition& d = Add("odd", "t");
  d.ExecType = static_cast<TExecType>(9);  // no ExecType line
  d.AppendFolder("rel", "n");

  SaveSearchConditions(folder_.path(), &list_);
  EXPECT_EQ(ReadFile(folder_ / "Search.cfg"),
            "Name=gallery\r\nSearchString=example/photos/\r\nFolder=/\\home\\u\\photos\r\n"
            "Type= Standard\r\nExecType= SaveAsk\r\n[end]\r\n"
            "Name=\r\nSearchString=\\.jpg$\r\nFolder=画像/\\a\\b;動画/\\m\r\n"
            "Type= Regexp\r\nExecType= SaveAskFolder\r\n[end]\r\n"
            "Name=v\r\nSearchString=s\r\nFolder=x\\y/\\v\r\nType= Regexp\r\nExecType= View\r\n"
            "[end]\r\n"
            "Name=odd\r\nSearchString=t\r\nFolder=n/rel\r\nType= Standard\r\n[end]\r\n");
  // Written in one step: nothing else is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path()), {}), 1);
}

TEST_F(ConditionFile, ReadsBackWhatItWrote) {
  TSearchCondition& a = Add("画像", "\\.jpg$");
  a.SetType(TSearchType::Regexp);
  a.ExecType = TExecType::SaveAskFolder;
  a.AppendFolder("/save/img", "img");
  a.AppendFolder("/save/other", "");
  Add("", "png").AppendFolder("/p", "p");
  Add("e", "e").AppendFolder("", "last path empty");  // would end the value as no folder

  SaveSearchConditions(folder_.path(), &list_);
  TSearchConditionList read;
  read.AddChain(LoadSearchConditions(folder_.path(), boxes_));
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(FormatSearchConditions(read), FormatSearchConditions(list_));
  EXPECT_EQ(Folders(read.Items(0)), "img|/save/img;|/save/other");
  EXPECT_EQ(read.FindMatch("h/a/b.jpg"), &read.Items(0));  // compiled as a regexp
}

TEST_F(ConditionFile, EmptyListLeavesTheFileUntouched) {
  const std::string path = folder_.Write("Search.cfg", "old content");
  SaveSearchConditions(folder_.path(), &list_);
  SaveSearchConditions(folder_.path(), nullptr);
  EXPECT_EQ(ReadFile(path), "old content");
}

// The editor must not produce one, but exit must not fail on it either.
TEST_F(ConditionFile, ConditionWithoutFolderIsWrittenAndRefusedOnRead) {
  Add("a", "x");
  ASSERT_NO_THROW(SaveSearchConditions(folder_.path(), &list_));
  EXPECT_TRUE(LoadSearchConditions(folder_.path(), boxes_).empty());
  EXPECT_EQ(boxes_.shown.size(), 1u);
}

TEST_F(ConditionFile, MissingFileGivesNothingSilently) {
  EXPECT_TRUE(LoadSearchConditions(folder_.path(), boxes_).empty());
  EXPECT_TRUE(boxes_.shown.empty());
}

TEST_F(ConditionFile, FileThatCannotBeOpened) {
  // A socket node exists but cannot be opened by anyone, root included.
  const std::string path = folder_ / "Search.cfg";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  EXPECT_EQ(FileErrorOf([&] { LoadSearchConditions(folder_.path(), boxes_); }),
            "ファイル " + path + " は開けません");
}

TEST_F(ConditionFile, FileThatCannotBeCreated) {
  Add("a", "x").AppendFolder("/p", "");
  const std::string missing = folder_ / "missing/";
  EXPECT_EQ(FileErrorOf([&] { SaveSearchConditions(missing, &list_); }),
            "ファイル " + missing + "Search.cfg を作成できません");
}

TEST_F(ConditionFile, FolderInPlaceOfTheFileIsReportedAsNotCreated) {
  Add("a", "x").AppendFolder("/p", "");
  const std::string blocked = folder_.MakeFolder("blocked/Search.cfg");
  EXPECT_EQ(FileErrorOf([&] { SaveSearchConditions(folder_ / "blocked/", &list_); }),
            "ファイル " + blocked + " を作成できません");
}

}  // namespace
}  // namespace trovanex
