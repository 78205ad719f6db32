// The edits the condition editor makes to one search condition, without a window: the folder
// mode chosen with the two radio buttons, the rows of the folder grid, the folder buttons, and
// OK. Every edit goes to a draft of the condition; only OK writes the draft into the condition,
// and never one without a folder, so a cancelled editor leaves the rule exactly as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>
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

// Why a folder's name or path cannot be kept in Search.cfg as typed, or nothing when it can.
// The file separates folders with ";" and a name from its path with "/", drops "?", stores
// the path separator as "\\" and ends a line at CR or LF: such a character would split or
// change the folder when the file is read at the next start.
std::optional<std::string> FolderNameProblem(std::string_view name);
std::optional<std::string> FolderPathProblem(std::string_view path);

// The name of the first rule without a folder to save in, as a refusal for the settings
// window; nothing when every rule has one.
std::optional<std::string> RuleWithoutFolderProblem(const TSearchConditionList& conditions);

class ConditionEditing {
 public:
  // Edits a draft of `condition`, which must outlive this object and changes only at Confirm.
  explicit ConditionEditing(TSearchCondition& condition);

  // The condition as edited so far.
  const TSearchCondition& Draft() const { return draft_; }

  // A radio button was clicked: the draft takes the mode's execution type at once. The grid
  // rows stay as they are.
  void SelectFolderMode(bool single_folder, bool confirm_save);

  // One row per folder, in order, while the condition chooses among several; none otherwise.
  const std::vector<FolderRow>& Rows() const { return rows_; }
  void RefreshRows();

  // `current_row` is the grid's current row; a negative one counts as the first. Add puts the
  // folder in front when the grid shows none, else above the current row but never above the
  // first one. Edit and Delete act on the draft's folder at that position, also when the
  // grid shows none, and do nothing past the last folder. Each refreshes the rows. Add and
  // Edit refuse, with the text that says why and without changing anything, a name or path
  // that Search.cfg cannot keep.
  std::optional<std::string> AddFolder(int current_row, std::string name, std::string path);
  std::optional<std::string> EditFolder(int current_row, std::string name, std::string path);
  void DeleteFolder(int current_row);

  // OK: writes the fields and the folders into the condition. Refuses, with the text that says
  // why and without changing anything, a condition that would be left without a folder to save in,
  // one without match text (Search.cfg refuses such a record at the next start and merges
  // the next rule into it) and a single folder that Search.cfg cannot keep.
  std::optional<std::string> Confirm(const ConditionFields& fields);

 private:
  TSearchCondition& condition_;
  TSearchCondition draft_;
  std::vector<FolderRow> rows_;
};

}  // namespace trovanex
