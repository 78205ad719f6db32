// The settings window: the connection settings on one tab, the list of search conditions on
// the other. It edits a working copy of the settings object and never the object that the
// proxy runs with: OK hands the working copy back to become current, anything else throws it
// away, together with every change made to the conditions. Nothing is written to disk here.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <memory>

#include "model/tx_config.h"

namespace trovanex {

class TSearchSettingDlg;

class TSettingDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TSettingDlg(QWidget* parent = nullptr);

  // The editor that Add and Edit open; one of the dialog's own is made when none is set.
  void SetConditionEditor(TSearchSettingDlg* editor);

  // The settings object to keep: a new one on OK, `current` itself otherwise. Given none,
  // returns none and shows nothing.
  std::shared_ptr<TTxConfig> EditConfig(std::shared_ptr<TTxConfig> current);

 private:
  QWidget* CreateConnectionPage();
  QWidget* CreateMatchingPage();
  QLineEdit* AddNumberBox(const char* name);
  void FillControls();
  TSearchSettingDlg& Editor();
  int SelectedRow() const;

  void RefreshMatchList();
  void BtnOKClick();
  void BtnAddClick();
  void BtnEditClick();
  void BtnDeleteClick();

  QLineEdit* textConnectPort_;
  QLineEdit* textConnectTimeout_;
  QLineEdit* textReadTimeout_;
  QCheckBox* checkAllowOuterConnection_;
  QCheckBox* CheckUseProxy_;
  QLineEdit* TextProxyAddr_;
  QLineEdit* TextProxyPort_;
  QLineEdit* textBufferSize_;
  QListWidget* MatchList_;

  QPointer<TSearchSettingDlg> editor_;
  std::shared_ptr<TTxConfig> working_;  // the copy the controls edit, while the window is open
};

}  // namespace trovanex
