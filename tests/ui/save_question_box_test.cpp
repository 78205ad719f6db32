// The save question as message boxes: each asking thread waits for its own box only, and at
// exit every waiting thread is let go with No.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <thread>

#include "support/modal_windows.h"
#include "ui/japanese_qt_texts.h"
#include "ui/save_question_box.h"

using namespace trovanex;
using testing::VisibleMessageBox;

namespace {

constexpr int kWaitMs = 5000;

int VisibleBoxes() {
  int count = 0;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(widget) && widget->isVisible()) ++count;
  return count;
}

// A connection thread that asks one question and keeps the answer.
class Asker {
 public:
  Asker(SaveQuestionBoxes& questions, std::string text)
      : questions_(questions), thread_([this, &questions, text] {
          yes_ = questions.AskYesNo("Trovan!", text);
          done_ = true;
        }) {}
  ~Asker() {
    questions_.AnswerAllNo();  // a failed test must not leave the thread waiting
    thread_.join();
  }
  bool done() const { return done_; }
  bool yes() const { return yes_; }

 private:
  SaveQuestionBoxes& questions_;
  std::atomic<bool> done_{false};
  std::atomic<bool> yes_{false};
  std::thread thread_;
};

}  // namespace

class SaveQuestionBoxTest : public QObject {
  Q_OBJECT

 private slots:
  void aBoxAnswersForItsThread_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("yes");
    QTest::newRow("Yes button") << "yes" << true;
    QTest::newRow("No button") << "no" << false;
    QTest::newRow("Esc") << "esc" << false;
    QTest::newRow("close box") << "close" << false;
  }
  void aBoxAnswersForItsThread() {
    QFETCH(QString, how);
    QFETCH(bool, yes);
    SaveQuestionBoxes questions;
    // An address may hold anything; it must reach the user as written.
    const QString text = "ファイル<b>x</b>.jpgを保存しますか？\nURL=http://h/<b>x</b>.jpg";
    Asker asker(questions, text.toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox(text), kWaitMs);
    QMessageBox* box = VisibleMessageBox(text);
    QCOMPARE(box->windowTitle(), QString("Trovan!"));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QVERIFY(box->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!box->isModal());
    QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    QVERIFY(!asker.done());

    if (how == "yes") box->button(QMessageBox::Yes)->click();
    if (how == "no") box->button(QMessageBox::No)->click();
    if (how == "esc") QTest::keyClick(box, Qt::Key_Escape);
    if (how == "close") box->close();
    QTRY_VERIFY_WITH_TIMEOUT(asker.done(), kWaitMs);
    QCOMPARE(asker.yes(), yes);
    QTRY_COMPARE_WITH_TIMEOUT(VisibleBoxes(), 0, kWaitMs);
  }

  void twoOpenQuestionsAnsweredInTheOppositeOrderKeepTheirAnswers() {
    SaveQuestionBoxes questions;
    Asker first(questions, "first");
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox("first"), kWaitMs);
    Asker second(questions, "second");
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox("second"), kWaitMs);
    QVERIFY(VisibleMessageBox("first"));

    VisibleMessageBox("second")->button(QMessageBox::No)->click();
    QTRY_VERIFY_WITH_TIMEOUT(second.done(), kWaitMs);
    QVERIFY(!second.yes());
    QVERIFY(!first.done());
    QVERIFY(VisibleMessageBox("first"));

    VisibleMessageBox("first")->button(QMessageBox::Yes)->click();
    QTRY_VERIFY_WITH_TIMEOUT(first.done(), kWaitMs);
    QVERIFY(first.yes());
  }

  void answerAllNoLetsEveryWaitingThreadGoAndRefusesLaterQuestions() {
    SaveQuestionBoxes questions;
    Asker first(questions, "first");
    Asker second(questions, "second");
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox("first") && VisibleMessageBox("second"), kWaitMs);

    questions.AnswerAllNo();
    QTRY_VERIFY_WITH_TIMEOUT(first.done() && second.done(), kWaitMs);
    QVERIFY(!first.yes());
    QVERIFY(!second.yes());
    QTRY_COMPARE_WITH_TIMEOUT(VisibleBoxes(), 0, kWaitMs);

    // The program is ending: no more boxes, from any thread.
    {
      Asker late(questions, "late");
      QTRY_VERIFY_WITH_TIMEOUT(late.done(), kWaitMs);
      QVERIFY(!late.yes());
    }
    QVERIFY(!questions.AskYesNo("Trovan!", "main"));
    QCoreApplication::processEvents();
    QCOMPARE(VisibleBoxes(), 0);
  }

  void destroyingTheBoxesLetsWaitingThreadsGo() {
    auto questions = std::make_unique<SaveQuestionBoxes>();
    std::atomic<int> answer{-1};
    std::thread waiting(
        [asked = questions.get(), &answer] { answer = asked->AskYesNo("Trovan!", "waiting"); });
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox("waiting"), kWaitMs);
    questions.reset();
    QTRY_COMPARE_WITH_TIMEOUT(answer.load(), 0, kWaitMs);
    waiting.join();
    QTRY_COMPARE_WITH_TIMEOUT(VisibleBoxes(), 0, kWaitMs);
  }

  void onTheMainThreadTheBoxRunsThere() {
    SaveQuestionBoxes questions;
    QTimer::singleShot(0, [] {
      QMessageBox* box = VisibleMessageBox("main");
      QVERIFY(box);
      box->button(QMessageBox::Yes)->click();
    });
    QVERIFY(questions.AskYesNo("Trovan!", "main"));

    // The program ending while the box is open answers it No.
    QTimer::singleShot(0, [&questions] {
      QVERIFY(VisibleMessageBox("main"));
      questions.AnswerAllNo();
    });
    QVERIFY(!questions.AskYesNo("Trovan!", "main"));
    QCOMPARE(VisibleBoxes(), 0);
  }

  // The question reads Japanese to its last word: Qt's own button texts come from its
  // translation, which the program installs at start.
  void theButtonsSpeakJapanese() {
    QVERIFY2(InstallJapaneseQtTexts(*QCoreApplication::instance()),
             "Qt's Japanese texts are missing");
    SaveQuestionBoxes questions;
    const QString text = "ファイルa.jpgを保存しますか？";
    Asker asker(questions, text.toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(VisibleMessageBox(text), kWaitMs);
    QMessageBox* box = VisibleMessageBox(text);
    QVERIFY(box->button(QMessageBox::Yes)->text().startsWith("はい"));
    QVERIFY(box->button(QMessageBox::No)->text().startsWith("いいえ"));
    box->button(QMessageBox::Yes)->click();
    QTRY_VERIFY_WITH_TIMEOUT(asker.done(), kWaitMs);
    QVERIFY(asker.yes());
  }
};

QTEST_MAIN(SaveQuestionBoxTest)
#include "save_question_box_test.moc"
