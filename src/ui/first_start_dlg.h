// The short dialog of the desktop program's first start (no settings file yet), and of the tray
// menu's "はじめの設定": whether this desktop's browsers go through the proxy while it runs,
// whether they trust its local certificate authority, and whether the first rule is made now.
// It only asks; the main window does what was chosen.
#pragma once

#include <QCheckBox>
#include <QDialog>

namespace trovanex {

class TFirstStartDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TFirstStartDlg(QWidget* parent = nullptr);

  // Shows the dialog with the proxy switch checked or not; true on OK.
  bool Ask(bool system_proxy_on);

  bool UseAsSystemProxy() const { return checkSystemProxy_->isChecked(); }
  bool TrustInBrowsers() const { return checkTrustCa_->isChecked(); }
  bool MakeFirstRule() const { return checkFirstRule_->isChecked(); }

 private:
  void BtnOKClick() { accept(); }

  QCheckBox* checkSystemProxy_;
  QCheckBox* checkTrustCa_;
  QCheckBox* checkFirstRule_;
};

}  // namespace trovanex
