// The folder choice for a finished capture: the user picks one of the matched condition's
// folders, makes a new one, or refuses. One window for the whole run, shown for one request at a
// time by the folder-choice queue on the main thread; the queue carries out what Choose returns.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <optional>

#include "engine/save_questions.h"

namespace trovanex {

// The lines of the folder list: each folder's label, in chain order.
QStringList FolderListLines(const TSearchCondition& condition);

// The folder that list line `row` stands for, the first folder when no line is selected; none
// when the chain is shorter than the list.
const TSaveFolderListItem* FolderForLine(const TSearchCondition& condition,
                                         std::optional<std::size_t> row);

class TSelectSaveFolderDlg : public QDialog, public trovanex::FolderChooser {
  Q_OBJECT
 public:
  explicit TSelectSaveFolderDlg(QWidget* parent = nullptr);
  FolderChoice Choose(const SaveRequest& request) override;

 protected:
  void showEvent(QShowEvent* event) override;

  // The new folder the user picks or makes; none when the folder dialog was cancelled.
  virtual std::optional<QString> AskNewFolder();
  // The label the new folder is listed under; empty when the input box was cancelled.
  virtual QString AskFolderLabel();

 private:
  void FillFolderList();
  std::optional<std::size_t> SelectedLine() const;
  void buttonOkClick();
  void buttonCreateNewClick();

  QListWidget* listFolderList_;
  const TSearchCondition* condition_ = nullptr;  // the request on screen; main thread only
  FolderChoice choice_;                          // valid when the dialog closed with OK
};

}  // namespace trovanex
