#include "model/condition_editing.h"

#include <algorithm>

#include "platform/text.h"

namespace trovanex {
namespace {

std::size_t RowIndex(int current_row) {
  return static_cast<std::size_t>(std::max(current_row, 0));
}

}  // namespace

TExecType FolderModeExecType(bool single_folder, bool confirm_save) {
  if (!single_folder) return TExecType::SaveAskFolder;
  return confirm_save ? TExecType::SaveAsk : TExecType::Save;
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

void ConditionEditing::AddFolder(int current_row, std::string name, std::string path) {
  const std::size_t position = rows_.empty() ? 0 : std::max<std::size_t>(RowIndex(current_row), 1);
  condition_.InsertFolder(position, std::move(path), std::move(name));
  RefreshRows();
}

void ConditionEditing::EditFolder(int current_row, std::string name, std::string path) {
  if (TSaveFolderListItem* folder = condition_.FolderAt(RowIndex(current_row))) {
    folder->Name = std::move(name);
    folder->Path = std::move(path);
  }
  RefreshRows();
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
