// The condition editor driven through its controls; each modal window is handled by a timer
// that waits for it to come up.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "support/modal_windows.h"
#include "ui/search_setting_dlg.h"

using namespace trovanex;
using trovanex::testing::Child;
using trovanex::testing::Click;
using trovanex::testing::WhenShown;

namespace {

void Type(QWidget* window, const char* name, const QString& text) {
  Child<QLineEdit>(window, name)->setText(text);
}

std::unique_ptr<TSearchCondition> ConditionWith(const std::string& names, TExecType exec_type) {
  auto condition = std::make_unique<TSearchCondition>();
  condition->Name = "rule";
  condition->SetSearchString("jpg");
  condition->ExecType = exec_type;
  for (const char name : names) condition->AppendFolder("/p" + std::string(1, name), {name});
  return condition;
}

std::string FolderNames(const TSearchCondition& condition) {
  std::string names;
  for (auto* folder = condition.FirstFolder(); folder; folder = folder->NextItem())
    names += folder->Name;
  return names;
}

// The grid's rows as "name=path;" each; an empty row shows as "=;".
QString GridText(QWidget* window) {
  auto* grid = Child<QTableWidget>(window, "gridFolderList");
  QString text;
  for (int row = 0; row < grid->rowCount(); ++row) {
    for (int column = 0; column < 2; ++column) {
      const QTableWidgetItem* item = grid->item(row, column);
      text += (item ? item->text() : QString()) + (column == 0 ? "=" : ";");
    }
  }
  return text;
}

// Clicks the grid's row as the user would.
void ClickRow(QWidget* window, int row) {
  auto* grid = Child<QTableWidget>(window, "gridFolderList");
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                    grid->visualRect(grid->model()->index(row, 0)).center());
}

// Makes `row` the grid's current row, then types a folder N into the boxes.
void PickRowAndTypeN(QWidget* window, int row) {
  ClickRow(window, row);
  Type(window, "textFolderName", "N");
  Type(window, "textAddingFolder", "/pN");
}

}  // namespace

class SearchSettingDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void NewConditionWithOneFolder() {
    for (const bool confirm : {false, true}) {
      TSearchSettingDlg dialog;
      WhenShown<TSearchSettingDlg>([confirm](QWidget* window) {
        Type(window, "textSearchText", "jpg");
        Type(window, "textSaveFolder", "/save");
        Child<QCheckBox>(window, "checkSaveCheck")->setChecked(confirm);
        Click(window, "BtnOK");
      });
      const std::unique_ptr<TSearchCondition> made = dialog.EditNewCondition();
      QVERIFY(made);
      QCOMPARE(made->Type(), TSearchType::Standard);
      QCOMPARE(made->ExecType, confirm ? TExecType::SaveAsk : TExecType::Save);
      QCOMPARE(made->FolderCount(), 1u);
      QCOMPARE(made->FirstFolder()->Name, "");
      QCOMPARE(made->FirstFolder()->Path, "/save");
    }
  }

  void OpeningShowsRowsOnlyForSeveralFolders() {
    TSearchSettingDlg dialog;
    auto several = ConditionWith("ABC", TExecType::SaveAskFolder);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      QCOMPARE(GridText(window), "A=/pA;B=/pB;C=/pC;");
      QVERIFY(Child<QWidget>(window, "buttonFolderAdd")->isEnabled());
      QVERIFY(!Child<QWidget>(window, "textSaveFolder")->isEnabled());
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditCondition(*several), nullptr);

    auto single = ConditionWith("S", TExecType::SaveAsk);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      QCOMPARE(GridText(window), "=;");
      QCOMPARE(Child<QLineEdit>(window, "textSaveFolder")->text(), "/pS");
      QVERIFY(Child<QCheckBox>(window, "checkSaveCheck")->isChecked());
      QVERIFY(!Child<QWidget>(window, "gridFolderList")->isEnabled());
      Click(window, "BtnOK");
    });
    QCOMPARE(dialog.EditCondition(*single), single.get());
  }

  void AddGoesAboveTheCurrentRowButNeverAboveTheFirst() {
    const struct {
      int row;
      const char* folders;
    } cases[] = {{0, "ANBC"}, {1, "ANBC"}, {2, "ABNC"}};
    TSearchSettingDlg dialog;
    for (const auto& test_case : cases) {
      auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
      const int row = test_case.row;
      WhenShown<TSearchSettingDlg>([row](QWidget* window) {
        ClickRow(window, row);
        // Selecting a row shows its folder in the two boxes.
        QCOMPARE(Child<QLineEdit>(window, "textAddingFolder")->text(),
                 QString("/p%1").arg(QChar('A' + row)));
        PickRowAndTypeN(window, row);
        Click(window, "buttonFolderAdd");
        Click(window, "BtnOK");
      });
      QVERIFY(dialog.EditCondition(*condition));
      QCOMPARE(FolderNames(*condition), test_case.folders);
    }
  }

  void SwitchedToSeveralTheGridStaysEmptyUntilAFolderButton() {
    TSearchSettingDlg dialog;
    auto added = ConditionWith("S", TExecType::Save);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      Click(window, "radioSelectFolder");
      QCOMPARE(GridText(window), "=;");
      PickRowAndTypeN(window, 0);
      Click(window, "buttonFolderAdd");
      QCOMPARE(GridText(window), "N=/pN;S=/pS;");
      Click(window, "BtnOK");
    });
    QVERIFY(dialog.EditCondition(*added));
    QCOMPARE(added->ExecType, TExecType::SaveAskFolder);

    auto edited = ConditionWith("S", TExecType::Save);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      Click(window, "radioSelectFolder");
      PickRowAndTypeN(window, 0);
      Click(window, "buttonFolderEdit");
      QCOMPARE(GridText(window), "N=/pN;");
      Click(window, "BtnOK");
    });
    QVERIFY(dialog.EditCondition(*edited));
    QCOMPARE(FolderNames(*edited), "N");
  }

  void OkWithOneFolderKeepsOnlyTheFirst() {
    TSearchSettingDlg dialog;
    auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      Click(window, "radioNotSelectFolder");
      Type(window, "textSaveFolder", "/one");
      Click(window, "BtnOK");
    });
    QVERIFY(dialog.EditCondition(*condition));
    QCOMPARE(condition->ExecType, TExecType::Save);
    QCOMPARE(FolderNames(*condition), "A");
    QCOMPARE(condition->FirstFolder()->Path, "/one");
  }

  void NewConditionKeepsWhatTheLastUseShowedButTheName() {
    TSearchSettingDlg dialog;
    auto previous = ConditionWith("X", TExecType::SaveAsk);
    previous->SetType(TSearchType::Regexp);
    WhenShown<TSearchSettingDlg>([](QWidget* window) { Click(window, "BtnOK"); });
    QVERIFY(dialog.EditCondition(*previous));

    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      QCOMPARE(Child<QLineEdit>(window, "textSettingName")->text(), "");
      QCOMPARE(Child<QLineEdit>(window, "textSearchText")->text(), "jpg");
      QVERIFY(Child<QGroupBox>(window, "radioSearchType")
                  ->findChildren<QRadioButton*>()
                  .at(1)
                  ->isChecked());
      QVERIFY(Child<QRadioButton>(window, "radioNotSelectFolder")->isChecked());
      QCOMPARE(Child<QLineEdit>(window, "textSaveFolder")->text(), "/pX");
      QVERIFY(Child<QCheckBox>(window, "checkSaveCheck")->isChecked());
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditNewCondition(), nullptr);
  }

  // Cancel leaves the rule as it was, whatever the folder and radio buttons did meanwhile.
  void CancelChangesNothing() {
    TSearchSettingDlg dialog;
    auto several = ConditionWith("ABC", TExecType::SaveAskFolder);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      ClickRow(window, 1);
      Click(window, "buttonFolderDelete");
      QCOMPARE(GridText(window), "A=/pA;C=/pC;");
      Click(window, "radioNotSelectFolder");
      Type(window, "textSettingName", "not kept");
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditCondition(*several), nullptr);
    QCOMPARE(FolderNames(*several), "ABC");
    QCOMPARE(several->ExecType, TExecType::SaveAskFolder);
    QCOMPARE(several->Name, "rule");

    // The only folder of a single-folder rule, deleted while the grid shows none.
    auto single = ConditionWith("S", TExecType::Save);
    WhenShown<TSearchSettingDlg>([](QWidget* window) {
      Click(window, "radioSelectFolder");
      Click(window, "buttonFolderDelete");
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditCondition(*single), nullptr);
    QCOMPARE(FolderNames(*single), "S");
    QCOMPARE(single->ExecType, TExecType::Save);
  }

  // With "several" still checked, a new condition stays Save until a radio click, so Add shows
  // nothing; OK without any folder is refused and the window stays open.
  void NoConditionWithoutFolderIsConfirmed() {
    TSearchSettingDlg dialog;
    auto several = ConditionWith("A", TExecType::SaveAskFolder);
    WhenShown<TSearchSettingDlg>([](QWidget* window) { Click(window, "BtnOK"); });
    QVERIFY(dialog.EditCondition(*several));

    QString refusal;
    WhenShown<TSearchSettingDlg>([&refusal](QWidget* window) {
      WhenShown<QMessageBox>([&refusal](QMessageBox* box) {
        refusal = box->text();
        box->button(QMessageBox::Ok)->click();
      });
      Click(window, "BtnOK");
      QVERIFY(window->isVisible());
      PickRowAndTypeN(window, 0);
      Click(window, "buttonFolderAdd");
      QCOMPARE(GridText(window), "=;");
      Click(window, "BtnOK");
    });
    const std::unique_ptr<TSearchCondition> made = dialog.EditNewCondition();
    QVERIFY(!refusal.isEmpty());
    QVERIFY(made);
    QCOMPARE(made->ExecType, TExecType::SaveAskFolder);
    QCOMPARE(FolderNames(*made), "N");

    bool refused_empty_box = false;
    WhenShown<TSearchSettingDlg>([&refused_empty_box](QWidget* window) {
      Click(window, "radioNotSelectFolder");
      Type(window, "textSaveFolder", "");
      WhenShown<QMessageBox>([&refused_empty_box](QMessageBox* box) {
        refused_empty_box = true;
        box->button(QMessageBox::Ok)->click();
      });
      Click(window, "BtnOK");
      QVERIFY(window->isVisible());
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditNewCondition(), nullptr);
    QVERIFY(refused_empty_box);
  }

  void BrowseReplacesTheBoxOnlyWhenAFolderIsPicked() {
    QTemporaryDir picked;
    TSearchSettingDlg dialog;
    QString title;
    WhenShown<TSearchSettingDlg>([&](QWidget* window) {
      Type(window, "textSaveFolder", "/before");
      WhenShown<QFileDialog>([&title](QFileDialog* chooser) {
        title = chooser->windowTitle();
        chooser->reject();
      });
      Click(window, "buttonReferenceFolderNS");
      QCOMPARE(Child<QLineEdit>(window, "textSaveFolder")->text(), "/before");
      WhenShown<QFileDialog>([&picked](QFileDialog* chooser) {
        chooser->setDirectory(picked.path());
        static_cast<QDialog*>(chooser)->accept();
      });
      Click(window, "buttonReferenceFolderNS");
      QCOMPARE(Child<QLineEdit>(window, "textSaveFolder")->text(), picked.path());
      Click(window, "BtnCancel");
    });
    QCOMPARE(dialog.EditNewCondition(), nullptr);
    QCOMPARE(title, "リストに追加するフォルダの選択...");
  }
};

QTEST_MAIN(SearchSettingDlgTest)
#include "search_setting_dlg_test.moc"
