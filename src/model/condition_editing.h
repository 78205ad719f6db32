// The edits the condition editor makes to one search condition, without a window: the folder
// mode chosen with the two radio buttons, the rows of the folder grid, the folder buttons that
// act on the condition at once, and OK, which writes the rest and never leaves the condition
// without a folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/search_condition.h"

namespace trovanex {

// What the editor's boxes hold when OK is pressed.
struct ConditionFields {
  std::string name;
  std::string search_string;
  TSearchType type = TSearchType::Standard;
  bool single_folder = true;  // "単独フォルダ" rather than "複数から選択..."
  bool confirm_save = false;  // "保存するときに確認する"
  std::string single_folder_path;
};

struct FolderRow {
  std::string name;
  std::string path;
};

// The execution type that the folder mode stands for.
TExecType FolderModeExecType(bool single_folder, bool confirm_save);

class ConditionEditing {
 public:
  explicit ConditionEditing(TSearchCondition& condition) : condition_(condition) { RefreshRows(); }

  TSearchCondition& Condition() const { return condition_; }

  // A radio button was clicked: the condition takes the mode's execution type at once. The
  // grid rows stay as they are.
  void SelectFolderMode(bool single_folder, bool confirm_save);

  // One row per folder, in order, while the condition chooses among several; none otherwise.
  const std::vector<FolderRow>& Rows() const { return rows_; }
  void RefreshRows();

  // `current_row` is the grid's current row; a negative one counts as the first. Add puts the
  // folder in front when the grid shows none, else above the current row but never above the
  // first one. Edit and Delete act on the condition's folder at that position, also when the
  // grid shows none, and do nothing past the last folder. Each refreshes the rows.
  void AddFolder(int current_row, std::string name, std::string path);
  void EditFolder(int current_row, std::string name, std::string path);
  void DeleteFolder(int current_row);

  // OK: writes the fields into the condition. Refuses, with the text that says why and
  // without changing anything, a condition that would be left without a folder to save in.
  std::optional<std::string> Confirm(const ConditionFields& fields);

 private:
  TSearchCondition& condition_;
  std::vector<FolderRow> rows_;
};

}  // namespace trovanex
