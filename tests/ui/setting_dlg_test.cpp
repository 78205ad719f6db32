// The settings window driven through its controls; each modal window is handled by a timer
// that waits for it to come up.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <chrono>
#include <functional>
#include <semaphore>

#include "support/modal_windows.h"
#include "ui/search_setting_dlg.h"
#include "ui/setting_dlg.h"

using namespace trovanex;
using trovanex::testing::Child;
using trovanex::testing::Click;
using trovanex::testing::WhenShown;

namespace {

QLineEdit* Box(QWidget* window, const char* name) {
  return Child<QLineEdit>(window, name);
}
QListWidget* MatchList(QWidget* window) {
  return Child<QListWidget>(window, "MatchList");
}

void Select(QWidget* window, int row) {
  MatchList(window)->item(row)->setSelected(true);
}

// Answers the next message box with `answer`, remembering its caption and text.
void Answer(QMessageBox::StandardButton answer, QString* seen = nullptr) {
  WhenShown<QMessageBox>([answer, seen](QMessageBox* box) {
    if (seen) *seen = box->windowTitle() + "|" + box->text();
    box->button(answer)->click();
  });
}

std::shared_ptr<TTxConfig> Defaults(const std::string& conditions = "") {
  auto config = std::make_shared<TTxConfig>();
  config->ListenPort = 81;
  config->ProxyPort = 8080;
  config->ConnectionTimeout = 5000;
  config->ReadTimeout = 30000;
  config->BufferSize = kDefaultBufferSize;
  config->TrayDoubleClickMode = 1;
  for (const char name : conditions) {
    auto condition = std::make_unique<TSearchCondition>();
    condition->Name = name == '_' ? "" : std::string(1, name);
    condition->SetSearchString(std::string("search ") + name);
    condition->AppendFolder("/save", "");
    config->Conditions->Add(std::move(condition));
  }
  return config;
}

std::string ConditionNames(const TTxConfig& config) {
  std::string names;
  for (const TSearchCondition* c = config.FirstCondition(); c; c = c->Next) names += c->Name;
  return names;
}

}  // namespace

class SettingDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void NumbersShownAndStored() {
    const struct {
      const char* box;
      const char* typed;
      std::int32_t TTxConfig::*field;
      std::int32_t stored;
    } cases[] = {
        {"textBufferSize", "31", &TTxConfig::BufferSize, 31744},  // as shown for 32767
        {"textBufferSize", "32", &TTxConfig::BufferSize, 32768},
        {"textConnectPort", "abc", &TTxConfig::ListenPort, 81},
        {"textConnectTimeout", "abc", &TTxConfig::ConnectionTimeout, 5000},
        {"textReadTimeout", "", &TTxConfig::ReadTimeout, 30000},
        {"TextProxyPort", "x", &TTxConfig::ProxyPort, 8080},
    };
    TSettingDlg dialog;
    for (const auto& test_case : cases) {
      auto current = Defaults();
      current->ListenPort = 1;
      current->ConnectionTimeout = 2;
      current->ReadTimeout = 3;
      current->ProxyPort = 4;
      current->TrayDoubleClickMode = 0;
      WhenShown<TSettingDlg>([&test_case](QWidget* window) {
        QCOMPARE(Box(window, "textBufferSize")->text(), "31");
        Box(window, test_case.box)->setText(test_case.typed);
        Click(window, "BtnOK");
      });
      const std::shared_ptr<TTxConfig> kept = dialog.EditConfig(current);
      QVERIFY(kept && kept != current);
      QCOMPARE((*kept).*test_case.field, test_case.stored);
      QCOMPARE(kept->TrayDoubleClickMode, 0);
      QCOMPARE(current->BufferSize, kDefaultBufferSize);
    }
  }

  void UnusableBufferSizeIsRefusedAndTheWindowStaysOpen() {
    TSettingDlg dialog;
    QStringList refusals;
    WhenShown<TSettingDlg>([&refusals](QWidget* window) {
      for (const char* typed : {"", "0", "2097152"}) {
        QString seen;
        Answer(QMessageBox::Ok, &seen);
        Box(window, "textBufferSize")->setText(typed);
        Click(window, "BtnOK");
        QVERIFY(window->isVisible());
        refusals << seen;
      }
      Box(window, "textBufferSize")->setText("8");
      Click(window, "BtnOK");
    });
    const std::shared_ptr<TTxConfig> kept = dialog.EditConfig(Defaults());
    QCOMPARE(refusals.size(), 3);
    for (const QString& seen : refusals) QVERIFY2(seen.startsWith("trovanex|"), qPrintable(seen));
    QCOMPARE(kept->BufferSize, 8192);
  }

  void HttpsAndDesktopFieldsShownAndStored() {
    TSettingDlg dialog;
    auto current = Defaults();
    current->UseAsSystemProxy = true;
    current->Https.Capture = true;
    current->Https.Hosts = HttpsHosts::Parse("*.example.com");
    current->Https.ExtraCaFile = "/etc/extra.pem";
    WhenShown<TSettingDlg>([](QWidget* window) {
      QVERIFY(Child<QCheckBox>(window, "checkHttpsCapture")->isChecked());
      QCOMPARE(Box(window, "textHttpsHosts")->text(), "*.example.com");
      QCOMPARE(Box(window, "textExtraCaFile")->text(), "/etc/extra.pem");
      QVERIFY(Child<QCheckBox>(window, "checkSystemProxy")->isChecked());
      Child<QCheckBox>(window, "checkSystemProxy")->setChecked(false);
      Child<QCheckBox>(window, "checkHttpsCapture")->setChecked(false);
      Box(window, "textHttpsHosts")->setText(" a.test ; *.b.test ;");
      Box(window, "textExtraCaFile")->setText("");
      Click(window, "BtnOK");
    });
    const std::shared_ptr<TTxConfig> kept = dialog.EditConfig(current);
    QVERIFY(kept && kept != current);
    QVERIFY(!kept->Https.Capture);
    QVERIFY(!kept->UseAsSystemProxy);
    QVERIFY(current->UseAsSystemProxy);
    QCOMPARE(kept->Https.Hosts.Text(), " a.test ; *.b.test ;");
    QVERIFY(kept->Https.Hosts.Matches("x.b.test"));
    QCOMPARE(kept->Https.ExtraCaFile, "");
    QCOMPARE(current->Https.Hosts.Text(), "*.example.com");
  }

  // The refused list is shown on its own page and nothing of the window is taken over.
  void HostThatIsNoPatternIsRefused() {
    TSettingDlg dialog;
    QString seen;
    WhenShown<TSettingDlg>([&seen](QWidget* window) {
      Box(window, "textConnectPort")->setText("9000");
      Box(window, "textHttpsHosts")->setText("a.test;*");
      Answer(QMessageBox::Ok, &seen);
      Click(window, "BtnOK");
      QVERIFY(window->isVisible());
      QCOMPARE(Child<QTabWidget>(window, "PageControl1")->currentWidget()->objectName(),
               "HttpsPage");
      Click(window, "BtnCancel");
    });
    const auto current = Defaults();
    QCOMPARE(dialog.EditConfig(current), current);
    QVERIFY2(seen.startsWith("trovanex|") && seen.contains("「*」"), qPrintable(seen));
    QCOMPARE(current->ListenPort, 81);
  }

  void LocalCaCertificateSavedWhereTheUserPicks() {
    TSettingDlg dialog;
    QTemporaryDir folder;
    const QString path = folder.filePath("ca.crt");
    QVERIFY(!Child<QPushButton>(&dialog, "buttonSaveCaCertificate")->isEnabled());
    bool fails = true;
    dialog.SetCaCertificateSource([&fails](std::string& error) -> std::optional<std::string> {
      if (fails) {
        error = "trovanex-ca.key を読めません";
        return std::nullopt;
      }
      return std::string("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
    });
    QString seen;
    bool chooser_without_certificate = false;
    WhenShown<TSettingDlg>([&](QWidget* window) {
      // Without a certificate, no file is asked for.
      const QPointer<QTimer> watch = WhenShown<QFileDialog>([&](QFileDialog* chooser) {
        chooser_without_certificate = true;
        chooser->reject();
      });
      Answer(QMessageBox::Ok, &seen);
      Click(window, "buttonSaveCaCertificate");
      delete watch.data();

      fails = false;
      WhenShown<QFileDialog>([&path](QFileDialog* chooser) {
        chooser->selectFile(path);
        static_cast<QDialog*>(chooser)->accept();
      });
      Click(window, "buttonSaveCaCertificate");
      Click(window, "BtnCancel");
    });
    dialog.EditConfig(Defaults());
    QVERIFY(!chooser_without_certificate);
    QCOMPARE(seen, "trovanex|ローカル CA 証明書を用意できません: trovanex-ca.key を読めません");
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
  }

  // The two trust buttons run the change they name, off the window's thread, and show what it
  // reports; they are off while a change runs, and while nothing can change the browsers.
  void BrowserTrustButtonsShowWhatChanged() {
    TSettingDlg dialog;
    QVERIFY(!Child<QPushButton>(&dialog, "buttonTrustCa")->isEnabled());
    QVERIFY(!Child<QPushButton>(&dialog, "buttonUntrustCa")->isEnabled());
    QStringList asked;
    std::binary_semaphore go(0);
    dialog.SetBrowserTrust([&asked, &go](bool trust) {
      // Held until the test has looked at the window; a change run on the window's own thread
      // goes on after ten seconds, and the test then fails instead of hanging.
      asked << (go.try_acquire_for(std::chrono::seconds(10)) ? "" : "held ") +
                   QString(trust ? "trust" : "untrust");
      return std::string(trust ? "added" : "removed");
    });
    QStringList seen;
    QList<bool> enabled_while_running;
    WhenShown<TSettingDlg>([&](QWidget* window) {
      for (const char* button : {"buttonTrustCa", "buttonUntrustCa"}) {
        QString shown;
        Answer(QMessageBox::Ok, &shown);
        Click(window, button);
        QCoreApplication::processEvents();  // the window still answers
        for (const char* either : {"buttonTrustCa", "buttonUntrustCa"})
          enabled_while_running << Child<QPushButton>(window, either)->isEnabled();
        go.release();
        QTRY_VERIFY(!shown.isEmpty());
        seen << shown;
        QVERIFY(Child<QPushButton>(window, button)->isEnabled());
      }
      Click(window, "BtnCancel");
    });
    dialog.EditConfig(Defaults());
    QCOMPARE(asked, (QStringList{"trust", "untrust"}));
    QCOMPARE(seen, (QStringList{"trovanex|added", "trovanex|removed"}));
    QCOMPARE(enabled_while_running, (QList<bool>{false, false, false, false}));
  }

  void CancelKeepsTheGivenSettingsAfterEveryConditionIsDeleted() {
    TSettingDlg dialog;
    const auto current = Defaults("AB");
    QString question;
    WhenShown<TSettingDlg>([&question](QWidget* window) {
      Box(window, "textConnectPort")->setText("9999");
      for (int i = 0; i < 2; ++i) {
        Select(window, 0);
        Answer(QMessageBox::Ok, &question);
        Click(window, "btnDelete");
      }
      QCOMPARE(MatchList(window)->count(), 0);
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditConfig(current), current);
    QCOMPARE(question, "検索条件|本当に削除しますか？");
    QCOMPARE(ConditionNames(*current), "AB");
    QCOMPARE(current->ListenPort, 81);
  }

  void ConditionButtonsLeaveNoRowSelected() {
    TSettingDlg dialog;
    TSearchSettingDlg editor;
    dialog.SetConditionEditor(&editor);
    bool asked_without_selection = false;
    WhenShown<TSettingDlg>([&](QWidget* window) {
      WhenShown<TSearchSettingDlg>([](QWidget* edit) {
        Box(edit, "textSettingName")->setText("C");
        Box(edit, "textSearchText")->setText("c");
        Box(edit, "textSaveFolder")->setText("/c");
        Click(edit, "BtnOK");
      });
      Click(window, "btnAdd");
      QCOMPARE(MatchList(window)->count(), 3);
      QVERIFY(MatchList(window)->selectedItems().isEmpty());

      Select(window, 1);
      WhenShown<TSearchSettingDlg>([](QWidget* edit) {
        QCOMPARE(Box(edit, "textSettingName")->text(), "B");
        Box(edit, "textSettingName")->setText("E");
        Click(edit, "BtnOK");
      });
      Click(window, "btnEdit");
      QCOMPARE(MatchList(window)->item(1)->text(), "E");
      QVERIFY(MatchList(window)->selectedItems().isEmpty());

      Select(window, 0);
      Answer(QMessageBox::Cancel);
      Click(window, "btnDelete");
      QCOMPARE(MatchList(window)->count(), 3);
      Answer(QMessageBox::Ok);
      Click(window, "btnDelete");
      QVERIFY(MatchList(window)->selectedItems().isEmpty());

      // Nothing selected: no question, nothing deleted.
      const QPointer<QTimer> watch =
          WhenShown<QMessageBox>([&asked_without_selection](QMessageBox* box) {
            asked_without_selection = true;
            box->button(QMessageBox::Cancel)->click();
          });
      Click(window, "btnDelete");
      delete watch.data();
      QCOMPARE(MatchList(window)->count(), 2);
      Click(window, "BtnOK");
    });
    const std::shared_ptr<TTxConfig> kept = dialog.EditConfig(Defaults("AB"));
    QCOMPARE(ConditionNames(*kept), "EC");
    QVERIFY(!asked_without_selection);
  }

  void RowsPaintTheConditionItself() {
    TSettingDlg dialog;
    QImage painted;
    WhenShown<TSettingDlg>([&painted](QWidget* window) {
      Child<QTabWidget>(window, "PageControl1")->setCurrentIndex(1);
      QListWidget* list = MatchList(window);
      QCOMPARE(list->item(0)->text(), "no name");
      QCOMPARE(list->sizeHintForRow(0), 36);
      list->setCurrentRow(-1);
      list->clearSelection();
      painted = list->viewport()->grab().toImage();
      Click(window, "BtnCancel");
    });
    dialog.EditConfig(Defaults("_"));
    QVERIFY(!painted.isNull());
    const int right = painted.width() - 3;
    QCOMPARE(painted.pixelColor(right, 10), QColor(205, 221, 255));  // empty name: a bare band
    QCOMPARE(painted.pixelColor(right, 28), dialog.palette().color(QPalette::Base));
    QCOMPARE(painted.pixelColor(right, 35), dialog.palette().color(QPalette::Text));
  }

  void NothingShownWithoutACopyableObject() {
    TSettingDlg dialog;
    QCOMPARE(dialog.EditConfig(nullptr), nullptr);

    auto broken = Defaults("A");
    broken->Conditions->Add(std::make_unique<TSearchCondition>());  // without folder
    QString seen;
    Answer(QMessageBox::Ok, &seen);
    QCOMPARE(dialog.EditConfig(broken), broken);
    QVERIFY(!dialog.isVisible());
    QVERIFY2(seen.startsWith("trovanex|"), qPrintable(seen));
    // The user is told what it means, not the text of the check that found it.
    QVERIFY2(!seen.contains("nil") && !seen.contains("srcfolder"), qPrintable(seen));
  }

  // A rule whose only folder was deleted in a cancelled editor still saves after OK here, and
  // the window opens again.
  void CancelledEditorLeavesTheRuleWhole() {
    TSettingDlg dialog;
    TSearchSettingDlg editor;
    dialog.SetConditionEditor(&editor);
    WhenShown<TSettingDlg>([](QWidget* window) {
      Select(window, 0);
      WhenShown<TSearchSettingDlg>([](QWidget* edit) {
        Click(edit, "radioSelectFolder");
        Click(edit, "buttonFolderDelete");
        Click(edit, "BtnCancel");
      });
      Click(window, "btnEdit");
      Click(window, "BtnOK");
    });
    const std::shared_ptr<TTxConfig> kept = dialog.EditConfig(Defaults("A"));
    QVERIFY(kept);
    const TSearchCondition* rule = kept->FirstCondition();
    QVERIFY(rule && rule->FirstFolder());
    QCOMPARE(rule->FirstFolder()->Path, "/save");
    QCOMPARE(rule->ExecType, TExecType::Save);
    QVERIFY(rule->Matches("h/search A"));

    bool opened_again = false;
    WhenShown<TSettingDlg>([&opened_again](QWidget* window) {
      opened_again = true;
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditConfig(kept), kept);
    QVERIFY(opened_again);
  }
};

QTEST_MAIN(SettingDlgTest)
#include "setting_dlg_test.moc"
