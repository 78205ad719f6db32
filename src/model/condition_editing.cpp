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

// Makes `to` the same rule as `from`: name, match text, types and the folders in order.
void CopyCondition(const TSearchCondition& from, TSearchCondition& to) {
  to.Name = from.Name;
  to.CopySearchFrom(from);
  to.ExecType = from.ExecType;
  while (to.FirstFolder()) to.RemoveFolder(0);
  for (auto* folder = from.FirstFolder(); folder; folder = folder->NextItem())
    to.AppendFolder(folder->Path, folder->Name);
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

std::optional<std::string> RuleWithoutFolderProblem(const TSearchConditionList& conditions) {
  for (const TSearchCondition* rule = conditions.First(); rule; rule = rule->Next) {
    if (!rule->FirstFolder())
      return "検索条件「" + (rule->Name.empty() ? std::string("no name") : rule->Name) +
             "」に保存するフォルダがありません。「編集」でフォルダを指定してください。";
  }
  return std::nullopt;
}

ConditionEditing::ConditionEditing(TSearchCondition& condition) : condition_(condition) {
  CopyCondition(condition_, draft_);
  RefreshRows();
}

void ConditionEditing::SelectFolderMode(bool single_folder, bool confirm_save) {
  draft_.ExecType = FolderModeExecType(single_folder, confirm_save);
}

void ConditionEditing::RefreshRows() {
  rows_.clear();
  if (draft_.ExecType != TExecType::SaveAskFolder) return;
  for (auto* folder = draft_.FirstFolder(); folder; folder = folder->NextItem())
    rows_.push_back({folder->Name, folder->Path});
}

std::optional<std::string> ConditionEditing::AddFolder(int current_row, std::string name,
                                                       std::string path) {
  if (auto problem = FolderProblem(name, path)) return problem;
  const std::size_t position = rows_.empty() ? 0 : std::max<std::size_t>(RowIndex(current_row), 1);
  draft_.InsertFolder(position, std::move(path), std::move(name));
  RefreshRows();
  return std::nullopt;
}

std::optional<std::string> ConditionEditing::EditFolder(int current_row, std::string name,
                                                        std::string path) {
  if (auto problem = FolderProblem(name, path)) return problem;
  if (TSaveFolderListItem* folder = draft_.FolderAt(RowIndex(current_row))) {
    folder->Name = std::move(name);
    folder->Path = std::move(path);
  }
  RefreshRows();
  return std::nullopt;
}

void ConditionEditing::DeleteFolder(int current_row) {
  draft_.RemoveFolder(RowIndex(current_row));
  RefreshRows();
}

std::optional<std::string> ConditionEditing::Confirm(const ConditionFields& fields) {
  // Capture and the folder choice rely on every rule having a folder to save in.
  if (fields.single_folder && TrimBlanks(fields.single_folder_path).empty())
    return "保存するフォルダが指定されていません。フォルダを入力するか「参照」で選んでください。";
  if (!fields.single_folder && !draft_.FirstFolder())
    return "保存するフォルダがリストにありません。「追加」でフォルダを一つ以上登録してください。";
  if (fields.single_folder) {
    if (auto problem = FolderPathProblem(fields.single_folder_path)) return problem;
  }
  if (fields.search_string.empty())
    return "一致条件が空です。保存するアドレスに含まれる文字列か正規表現を入力してください。";

  draft_.Name = fields.name;
  draft_.SetSearchString(fields.search_string);
  draft_.SetType(fields.type);
  draft_.ExecType = FolderModeExecType(fields.single_folder, fields.confirm_save);
  if (fields.single_folder) {
    draft_.KeepOnlyFirstFolder();
    if (TSaveFolderListItem* first = draft_.FolderAt(0))
      first->Path = fields.single_folder_path;
    else
      draft_.AppendFolder(fields.single_folder_path, "");
  }
  CopyCondition(draft_, condition_);
  RefreshRows();
  return std::nullopt;
}

}  // namespace trovanex
