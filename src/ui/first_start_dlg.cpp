#include "ui/first_start_dlg.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/ok_cancel_row.h"
#include "ui/window_font.h"

namespace trovanex {

TFirstStartDlg::TFirstStartDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("FirstStartDlg");
  setWindowTitle("Trovanex : はじめの設定");
  setFont(WindowFont());
  auto* intro = new QLabel(
      "Trovanex はブラウザの通信を中継し、検索条件に合う内容を保存します。"
      "あとからトレイメニューの「はじめの設定」でいつでも変更できます。",
      this);
  intro->setWordWrap(true);
  checkSystemProxy_ = new QCheckBox(
      "このデスクトップのプロキシとして使う（起動中はブラウザの通信が Trovanex を通ります）(&P)",
      this);
  checkSystemProxy_->setObjectName("checkSystemProxy");
  checkTrustCa_ = new QCheckBox(
      "ブラウザでローカル CA を信頼する（HTTPS の内容を保存するのに必要です）(&T)", this);
  checkTrustCa_->setObjectName("checkTrustCa");
  checkFirstRule_ = new QCheckBox("続けて最初の検索条件を作る(&R)", this);
  checkFirstRule_->setObjectName("checkFirstRule");

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(intro);
  layout->addWidget(checkSystemProxy_);
  layout->addWidget(checkTrustCa_);
  layout->addWidget(checkFirstRule_);
  layout->addLayout(OkCancelRow(this, &TFirstStartDlg::BtnOKClick));
  resize(460, 200);
}

bool TFirstStartDlg::Ask(bool system_proxy_on) {
  checkSystemProxy_->setChecked(system_proxy_on);
  checkTrustCa_->setChecked(false);
  checkFirstRule_->setChecked(true);
  return exec() == QDialog::Accepted;
}

}  // namespace trovanex
