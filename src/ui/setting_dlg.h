// The settings window: the connection settings on one tab, the list of search conditions on
// the next, and the HTTPS capture settings on the last. It edits a working copy of the settings
// object and never the object that the proxy runs with: OK hands the working copy back to become
// current, anything else throws it away, together with every change made to the conditions. Nothing
// is written to disk here.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "model/tx_config.h"
#include "ui/background_work.h"

namespace trovanex {

class TSearchSettingDlg;

class TSettingDlg : public QDialog {
  Q_OBJECT
 public:
  // The PEM text of the local certificate authority's certificate, or nothing with `error`
  // saying why it cannot be had.
  using CaCertificateSource = std::function<std::optional<std::string>(std::string& error)>;

  explicit TSettingDlg(QWidget* parent = nullptr);

  // What the "save the local CA certificate" button saves; the button is disabled until set.
  void SetCaCertificateSource(CaCertificateSource source);

  // What the buttons that trust the local CA in the browsers, and take that trust back, run:
  // given true to trust, false to take back; returns the text to show. The buttons are
  // disabled until set.
  using BrowserTrust = std::function<std::string(bool trust)>;
  void SetBrowserTrust(BrowserTrust change);

  // The editor that Add and Edit open; one of the dialog's own is made when none is set.
  void SetConditionEditor(TSearchSettingDlg* editor);

  // The settings object to keep: a new one on OK, `current` itself otherwise. Given none,
  // returns none and shows nothing.
  std::shared_ptr<TTxConfig> EditConfig(std::shared_ptr<TTxConfig> current);

 private:
  QWidget* CreateConnectionPage();
  QWidget* CreateMatchingPage();
  QWidget* CreateHttpsPage();
  QLineEdit* AddNumberBox(const char* name);
  void FillControls();
  TSearchSettingDlg& Editor();
  int SelectedRow() const;

  void RefreshMatchList();
  void BtnOKClick();
  void BtnAddClick();
  void BtnEditClick();
  void BtnDeleteClick();
  void BtnExtraCaFileClick();
  void BtnSaveCaCertificateClick();
  // Runs the change off the window's thread; the buttons are off and the cursor busy meanwhile.
  void ChangeBrowserTrust(bool trust);
  void EnableTrustButtons();

  // Controls are named as this window has always named them, letter case included (their
  // object names, which tests and scripts find them by), plus the members' underscore; the
  // controls added since follow its "text", "check" and "button" prefixes.
  QLineEdit* textConnectPort_;
  QLineEdit* textConnectTimeout_;
  QLineEdit* textReadTimeout_;
  QCheckBox* checkAllowOuterConnection_;
  QCheckBox* checkSystemProxy_;
  QCheckBox* CheckUseProxy_;
  QLineEdit* TextProxyAddr_;
  QLineEdit* TextProxyPort_;
  QLineEdit* textBufferSize_;
  QListWidget* MatchList_;
  QCheckBox* checkHttpsCapture_;
  QLineEdit* textHttpsHosts_;
  QLineEdit* textExtraCaFile_;
  QPushButton* buttonSaveCaCertificate_;
  QPushButton* buttonTrustCa_;
  QPushButton* buttonUntrustCa_;
  QTabWidget* pages_;

  CaCertificateSource ca_certificate_;
  BrowserTrust browser_trust_;
  BackgroundWork trust_work_;

  QPointer<TSearchSettingDlg> editor_;
  std::shared_ptr<TTxConfig> working_;  // the copy the controls edit, while the window is open
};

}  // namespace trovanex
