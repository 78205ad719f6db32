#include "model/condition_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/atomic_write.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/text_lines.h"

namespace trovanex {
namespace {

constexpr char kBadFileText[] = "error: 検索設定ファイルがおかしいです";
constexpr char kBadFileCaption[] = "trovanex : error";

bool IsEndLine(std::string_view line) {
  return AsciiLower(line) == "[end]";
}

// Folder paths hold "/" as "\" in the file; names are stored as they are.
std::string PathFromFile(std::string path) {
  if constexpr (kPathSeparator == '/') std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string PathToFile(std::string path) {
  if constexpr (kPathSeparator == '/') std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Scans one "Folder" value; the pending name carries over from earlier values of the file.
void ReadFolderEntries(std::string_view value, std::string& pending_name,
                       TSearchCondition& condition) {
  std::string current;
  for (const char c : value) {
    if (c == '/') {
      pending_name = std::move(current);
      current.clear();
    } else if (c == ';') {
      condition.AppendFolder(PathFromFile(std::move(current)), pending_name);
      current.clear();
    } else if (c != '?') {
      current.push_back(c);
    }
  }
  if (!current.empty()) condition.AppendFolder(PathFromFile(std::move(current)), pending_name);
}

void ReadTypeValue(std::string_view value, TSearchCondition& condition) {
  if (value.empty()) return;
  const bool standard = AsciiLower(TrimControls(value)) == "standard";
  condition.SetType(standard ? TSearchType::Standard : TSearchType::Regexp);
}

void ReadExecTypeValue(std::string_view value, TSearchCondition& condition) {
  const std::string text(TrimControls(AsciiLower(value)));
  if (text == "view") condition.ExecType = TExecType::View;
  if (text == "save") condition.ExecType = TExecType::Save;
  if (text == "saveask") condition.ExecType = TExecType::SaveAsk;
  if (text == "saveaskfolder") condition.ExecType = TExecType::SaveAskFolder;
}

const char* ExecTypeText(TExecType type) {
  switch (type) {
    case TExecType::Save:
      return "Save";
    case TExecType::SaveAsk:
      return "SaveAsk";
    case TExecType::SaveAskFolder:
      return "SaveAskFolder";
    case TExecType::View:
      return "View";
  }
  return nullptr;
}

}  // namespace

TSearchConditionChain ParseSearchConditions(const std::string& text, MessageBoxes& boxes) {
  const std::string_view content(text.data(), std::min(text.size(), text.find('\0')));
  TSearchConditionChain accepted;
  auto record = std::make_unique<TSearchCondition>();
  std::string pending_name;

  ForEachLine(content, [&](std::string_view line) {
    const auto eq = line.find('=');
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : line.substr(eq + 1);
    if (key == "SearchString") {
      record->SetSearchString(std::string(value));
    } else if (key == "Folder") {
      ReadFolderEntries(value, pending_name, *record);
    } else if (key == "Type") {
      ReadTypeValue(value, *record);
    } else if (key == "ExecType") {
      ReadExecTypeValue(value, *record);
    } else if (key == "Name") {
      if (!value.empty()) record->Name = std::string(value);
    } else if (IsEndLine(line)) {
      if (!record->SearchString().empty() && record->FirstFolder()) {
        if (!accepted.empty()) accepted.back()->Next = record.get();
        accepted.push_back(std::move(record));
        record = std::make_unique<TSearchCondition>();
      } else {
        boxes.ShowMessage(kBadFileText, kBadFileCaption);
      }
    }
  });
  return accepted;  // a last record without "[end]" is dropped with `record`
}

TSearchConditionChain LoadSearchConditions(const std::string& program_folder, MessageBoxes& boxes) {
  const std::string path = program_folder + kConditionFileName;
  if (!FileExists(path)) return {};
  const auto text = ReadWholeFile(path);
  if (!text) throw FileError("ファイル " + path + " は開けません");
  return ParseSearchConditions(*text, boxes);
}

std::string FormatSearchConditions(const TSearchConditionList& list) {
  std::string text;
  for (const TSearchCondition* condition = list.First(); condition; condition = condition->Next) {
    text += "Name=" + condition->Name + "\r\n";
    text += "SearchString=" + condition->SearchString() + "\r\n";
    // A condition without folders gets no Folder line; reading then refuses the record.
    if (condition->FirstFolder()) {
      text += "Folder=";
      for (auto* folder = condition->FirstFolder(); folder; folder = folder->NextItem()) {
        if (folder != condition->FirstFolder()) text += ";";
        text += folder->Name + "/" + PathToFile(folder->Path);
        // Only a ";" ends an empty path: at the end of the value it would be read as no folder.
        if (!folder->NextItem() && folder->Path.empty()) text += ";";
      }
      text += "\r\n";
    }
    text += condition->Type() == TSearchType::Standard ? "Type= Standard\r\n" : "Type= Regexp\r\n";
    if (const char* exec = ExecTypeText(condition->ExecType))
      text += std::string("ExecType= ") + exec + "\r\n";
    text += "[end]\r\n";
  }
  return text;
}

void SaveSearchConditions(const std::string& program_folder, const TSearchConditionList* list) {
  if (!list || list->Count() == 0) return;
  const std::string path = program_folder + kConditionFileName;
  const ReplaceResult result = ReplaceFileAtomically(path, FormatSearchConditions(*list));
  if (!result.created) throw FileError("ファイル " + path + " を作成できません");
  if (!result.ok()) throw FileError("ストリームへの書き込みエラー");
}

}  // namespace trovanex
