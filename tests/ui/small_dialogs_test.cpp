// The folder auto-renew dialog's digit-only boxes, the about box, and the rebuild notice.
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include "ui/auto_renew_dlg.h"
#include "ui/hash_refresh_dlg.h"
#include "ui/version_dlg.h"

using namespace trovanex;

class SmallDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void keyFilterLetsDigitsAndBackspaceThrough() {
    for (char32_t c = U'0'; c <= U'9'; ++c) QVERIFY(PressKeyCheck(c));
    QVERIFY(PressKeyCheck(8));
    for (const char32_t c : {U'a', U'/', U':', U' ', U'-', U'+', char32_t(0), char32_t(7),
                             char32_t(9), char32_t(127), U'１', U'٣'})
      QVERIFY2(!PressKeyCheck(c), qPrintable(QString::number(c)));
  }

  void countBoxesTakeOnlyDigits_data() {
    QTest::addColumn<QString>("box");
    QTest::newRow("days") << "editDayCount";
    QTest::newRow("months") << "editMonthCount";
    QTest::newRow("files") << "editFileCount";
  }
  void countBoxesTakeOnlyDigits() {
    QFETCH(QString, box);
    TOKBottomDlg1 dialog;
    dialog.show();
    auto* edit = dialog.findChild<QLineEdit*>(box);
    QVERIFY(edit);
    edit->setFocus();
    QTest::keyClicks(edit, "12a3");
    QCOMPARE(edit->text(), QString("123"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), QString("12"));
    QTest::keyClick(edit, Qt::Key_Left);
    QTest::keyClick(edit, Qt::Key_Delete);
    QCOMPARE(edit->text(), QString("1"));
  }

  void autoRenewStartsOnDaysWithNoNamingChosen() {
    TOKBottomDlg1 dialog;
    QCOMPARE(dialog.windowTitle(), QString("OKBottomDlg1"));
    QVERIFY(dialog.findChild<QRadioButton*>("radioDays")->isChecked());
    dialog.findChild<QRadioButton*>("radioFiles")->click();
    QVERIFY(!dialog.findChild<QRadioButton*>("radioDays")->isChecked());
    for (const QRadioButton* item :
         dialog.findChild<QGroupBox*>("RadioGroup1")->findChildren<QRadioButton*>())
      QVERIFY(!item->isChecked());
  }

  void aboutBoxShowsTheVersionEachTimeAndEndsWithOk() {
    TVersionDlg about;
    for (int round = 0; round < 2; ++round) {
      QTimer::singleShot(0, &about, [&about] {
        QCOMPARE(about.findChild<QLabel*>("labelVersion")->text(), QString("0.16"));
        about.close();  // the title bar's close button
      });
      QCOMPARE(about.exec(), int(QDialog::Accepted));
    }
    QTimer::singleShot(0, &about, [&about] { QTest::keyClick(&about, Qt::Key_Escape); });
    QCOMPARE(about.exec(), int(QDialog::Accepted));
    QVERIFY(!about.findChild<QLabel*>("Image1")->pixmap().isNull());
  }

  void rebuildNoticeShowsTheFigure() {
    THashRefreshDlg notice;
    notice.SetProgress(3, 40);
    QCOMPARE(notice.ProgressText(), QString("3 / 40"));
    QVERIFY(notice.windowFlags() & Qt::WindowStaysOnTopHint);
  }
};

QTEST_MAIN(SmallDialogsTest)
#include "small_dialogs_test.moc"
