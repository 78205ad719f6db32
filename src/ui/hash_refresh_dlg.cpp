#include "ui/hash_refresh_dlg.h"

#include "ui/window_font.h"

namespace trovanex {

THashRefreshDlg::THashRefreshDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint),
      progress_(new QLabel(this)) {
  setWindowTitle("更新中...");
  setFont(WindowFont());
  // One line more than the notice alone needs, for the progress figure.
  setGeometry(467, 194, 201, 57);
  setFixedSize(size());
  auto* notice = new QLabel("ハッシュリストを更新しています...", this);
  notice->move(16, 16);
  progress_->setGeometry(16, 34, 170, 14);
}

void THashRefreshDlg::SetProgress(std::size_t done, std::size_t total) {
  progress_->setText(QString("%1 / %2").arg(done).arg(total));
}

}  // namespace trovanex
