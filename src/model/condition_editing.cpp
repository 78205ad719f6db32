#include "model/condition_editing.h"

#include <algorithm>

#include "platform/text.h"

namespace trovanex {
namespace {

std::size_t RowIndex(int current_row) {
  return static_cast<std::size_t>(std::max(current_row, 0));
}

bool HasAnyOf(std::string_view text, std::string_view characters) {
  return text.find_first_of(characters) != std::string_view::npos;
}

std::optional<std::string> FolderProblem(std::string_view name, std::string_view path) {
  if (auto problem = FolderNameProblem(name)) return problem;
  return FolderPathProblem(path);
}

}  // namespace

TExecType FolderModeExecType(bool single_folder, bool confirm_save) {
  if (!single_folder) return TExecType::SaveAskFolder;
  return confirm_save ? TExecType::SaveAsk : TExecType::Save;
}

std::optional<std::string> FolderNameProblem(std::string_view name) {
  if (HasAnyOf(name, std::string_view("/;?\r\n", 5)))
    return "保存箇所の名前に「/」「;」「?」は使えません。";
  return std::nullopt;
}

std::optional<std::string> FolderPathProblem(std::string_view path) {
  if (HasAnyOf(path, std::string_view(";?\\\r\n", 5)))
    return "保存フォルダのパスに「;」「?」「\\」や改行は使えません。別のフォルダを選んでください。";
  return std::nullopt;
}

void ConditionEditing::SelectFolderMode(bool single_folder, bool confirm_save) {
  condition_.ExecType = FolderModeExecType(single_folder, confirm_save);
}

void ConditionEditing::RefreshRows() {
  rows_.clear();
  if (condition_.ExecType != TExecType::SaveAskFolder) return;
  for (auto* folder = condition_.FirstFolder(); folder; folder = folder->NextItem())
    rows_.push_back({folder->Name, folder->Path});
}

std::optional<std::string> ConditionEditing::AddFolder(int current_row, std::string name,
                                                       std::string path) {
  if (auto problem = FolderProblem(name, path)) return problem;
  const std::size_t position = rows_.empty() ? 0 : std::max<std::size_t>(RowIndex(current_row), 1);
  condition_.InsertFolder(position, std::move(path), std::move(name));
  RefreshRows();
  return std::nullopt;
}

std::optional<std::string> ConditionEditing::EditFolder(int current_row, std::string name,
                                                        std::string path) {
  if (auto problem = FolderProblem(name, path)) return problem;
  if (TSaveFolderListItem* folder = condition_.FolderAt(RowIndex(current_row))) {
    folder->Name = std::move(name);
    folder->Path = std::move(path);
  }
  RefreshRows();
  return std::nullopt;
}

void ConditionEditing::DeleteFolder(int current_row) {
  condition_.RemoveFolder(RowIndex(current_row));
  RefreshRows();
}

std::optional<std::string> ConditionEditing::Confirm(const ConditionFields& fields) {
  // Capture and the folder choice rely on every rule having a folder to save in.
  if (fields.single_folder && TrimBlanks(fields.single_folder_path).empty())
    return "保存するフォルダが指定されていません。フォルダを入力するか「参照」で選んでください。";
  if (!fields.single_folder && !condition_.FirstFolder())
    return "保存するフォルダがリストにありません。「追加」でフォルダを一つ以上登録してください。";
  if (fields.single_folder) {
    if (auto problem = FolderPathProblem(fields.single_folder_path)) return problem;
  }
  if (fields.search_string.empty())
    return "一致条件が空です。保存するアドレスに含まれる文字列か正規表現を入力してください。";

  condition_.Name = fields.name;
  condition_.SetSearchString(fields.search_string);
  condition_.SetType(fields.type);
  condition_.ExecType = FolderModeExecType(fields.single_folder, fields.confirm_save);
  if (fields.single_folder) {
    condition_.KeepOnlyFirstFolder();
    if (TSaveFolderListItem* first = condition_.FolderAt(0))
      first->Path = fields.single_folder_path;
    else
      condition_.AppendFolder(fields.single_folder_path, "");
  }
  RefreshRows();
  return std::nullopt;
}

}  // namespace trovanex
