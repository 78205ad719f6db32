// The notice that stays above the other windows while the hash list is rebuilt, with how many
// of the files have been digested so far.
#pragma once

#include <QDialog>
#include <QLabel>
#include <cstddef>

namespace trovanex {

class THashRefreshDlg : public QDialog {
  Q_OBJECT
 public:
  explicit THashRefreshDlg(QWidget* parent = nullptr);

  // Files digested so far of all the files found.
  void SetProgress(std::size_t done, std::size_t total);
  QString ProgressText() const { return progress_->text(); }

 private:
  QLabel* progress_;
};

}  // namespace trovanex
