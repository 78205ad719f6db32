// The editor of one search condition: its name, its match text, plain or regular expression,
// and where captured content goes: one folder (saved directly or after a question) or a list
// of named folders to choose from. The window is made once and reused; what its boxes show
// carries over from one use to the next, except the name of a new condition.
//
// Nothing reaches the condition before OK: the folder buttons and the radio buttons change a
// draft, and OK writes the draft and the boxes into the condition together.
#pragma once

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <memory>
#include <optional>

#include "model/condition_editing.h"
#include "model/search_condition.h"

namespace trovanex {

class TSearchSettingDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TSearchSettingDlg(QWidget* parent = nullptr);

  // A new condition: returned on OK, for the caller to keep; none on Cancel.
  std::unique_ptr<TSearchCondition> EditNewCondition();
  // Edits `existing` in place and returns it on OK; none on Cancel, `existing` unchanged.
  TSearchCondition* EditCondition(TSearchCondition& existing);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  bool Run();
  bool SingleFolder() const { return radioNotSelectFolder_->isChecked(); }
  int CurrentRow() const { return gridFolderList_->currentRow(); }

  void SelectFolderRadioButtonClick();
  void RefreshFolderGrid();
  void GridFolderListSelectCell(int row);
  void ButtonFolderAddClick();
  void ButtonFolderEditClick();
  void ButtonFolderDeleteClick();
  // Shows why a folder button changed nothing, or the grid as it now stands.
  void RefuseOrRefresh(const std::optional<std::string>& refusal);
  void ChooseFolderInto(QLineEdit* box);
  void BtnOKClick();

  QLineEdit* textSettingName_;
  QLineEdit* textSearchText_;
  QButtonGroup* searchType_;
  QRadioButton* radioNotSelectFolder_;
  QLineEdit* textSaveFolder_;
  QPushButton* buttonReferenceFolderNS_;
  QCheckBox* checkSaveCheck_;
  QRadioButton* radioSelectFolder_;
  QTableWidget* gridFolderList_;
  QLineEdit* textFolderName_;
  QLineEdit* textAddingFolder_;
  QPushButton* buttonReferenceFolderSF_;
  QPushButton* buttonFolderAdd_;
  QPushButton* buttonFolderEdit_;
  QPushButton* buttonFolderDelete_;

  std::optional<ConditionEditing> editing_;  // while the window is open
};

}  // namespace trovanex
