// The folder choice: what the list offers, what each way of closing the dialog chooses, a new
// folder made on the spot, and several captures worked off by the queue one after the other.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "engine/folder_choice_queue.h"
#include "support/modal_windows.h"
#include "support/recording_message_boxes.h"
#include "ui/save_question_box.h"
#include "ui/select_save_folder_dlg.h"

using namespace trovanex;
using testing::Child;
using testing::VisibleMessageBox;
using testing::WhenShown;

namespace {

constexpr int kWaitMs = 10000;

std::shared_ptr<TSearchCondition> Condition(
    const std::vector<std::pair<QString, QString>>& folders) {  // label, path
  auto condition = std::make_shared<TSearchCondition>();
  condition->ExecType = TExecType::SaveAskFolder;
  for (const auto& [label, path] : folders)
    condition->AppendFolder(path.toStdString(), label.toStdString());
  return condition;
}

// A finished capture whose temporary file lies in `folder`.
SaveRequest Request(const QTemporaryDir& folder, std::shared_ptr<TSearchCondition> condition,
                    const QString& temp) {
  QFile file(folder.filePath(temp));
  if (file.open(QIODevice::WriteOnly)) file.write("captured");
  return SaveRequest{"pic.jpg", file.fileName().toStdString(), std::move(condition)};
}

// Runs `act` once the dialog is on screen, from within whatever event loop runs then. The
// folder question is not modal, so it is found by being visible.
void WhenVisible(QDialog& dialog, std::function<void()> act) {
  auto* poll = new QTimer;
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, &dialog, act] {
    if (!dialog.isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act();
  });
  poll->start();
}

QStringList Lines(const QListWidget* list) {
  QStringList lines;
  for (int row = 0; row < list->count(); ++row) lines << list->item(row)->text();
  return lines;
}

// What the queue does with the choice: move the capture or delete it.
void Carry(TSelectSaveFolderDlg& dialog, const SaveRequest& request, const FolderChoice& choice) {
  testing::RecordingMessageBoxes boxes;
  FolderChoiceQueue(dialog, boxes, [](const std::function<void()>&) {}, {}).Carry(request, choice);
}

// A new folder under `root`.
QString Folder(const QTemporaryDir& root, const QString& name) {
  QDir(root.path()).mkpath(name);
  return root.filePath(name);
}

// Folder dialog and input box answered from a script.
class ScriptedDlg : public TSelectSaveFolderDlg {
 public:
  std::vector<std::optional<QString>> folders;  // one per click on "create new"
  std::vector<QString> labels;                  // one per question; then cancelled (empty)
  std::size_t folder_asks = 0;
  std::size_t label_asks = 0;

 protected:
  std::optional<QString> AskNewFolder() override { return folders.at(folder_asks++); }
  QString AskFolderLabel() override {
    return label_asks < labels.size() ? labels[label_asks++] : QString();
  }
};

}  // namespace

class SelectSaveFolderDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void listsEveryLabelInChainOrderWithNothingSelected() {
    TSelectSaveFolderDlg dialog;
    auto* list = Child<QListWidget>(&dialog, "listFolderList");

    QTemporaryDir folder;
    const auto three = Condition({{"画像", "/a"}, {"", "/b"}, {"動画", "/c"}});
    QStringList shown;
    WhenVisible(dialog, [&] {
      shown = Lines(list);
      QVERIFY(list->selectedItems().isEmpty());
      list->setCurrentRow(2);  // a choice the next question must not inherit
      Child<QPushButton>(&dialog, "buttonCancel")->click();
    });
    dialog.Choose(Request(folder, three, "t1"));
    QCOMPARE(shown, QStringList({"画像", "", "動画"}));

    WhenVisible(dialog, [&] {
      shown = Lines(list);
      QVERIFY(list->selectedItems().isEmpty());
      Child<QPushButton>(&dialog, "buttonCancel")->click();
    });
    dialog.Choose(Request(folder, Condition({{"x", "/x"}}), "t2"));
    QCOMPARE(shown, QStringList({"x"}));
  }

  void okSavesIntoTheSelectedFolderOrTheFirst_data() {
    QTest::addColumn<int>("row");  // -1: none
    QTest::addColumn<bool>("by_enter");
    QTest::addColumn<int>("folder");
    QTest::newRow("nothing selected") << -1 << false << 0;
    QTest::newRow("nothing selected, Enter") << -1 << true << 0;
    QTest::newRow("line 1") << 1 << false << 1;
    QTest::newRow("line 1, Enter") << 1 << true << 1;
  }
  void okSavesIntoTheSelectedFolderOrTheFirst() {
    QFETCH(int, row);
    QFETCH(bool, by_enter);
    QFETCH(int, folder);
    QTemporaryDir root;
    const QString folders[] = {Folder(root, "first"), Folder(root, "second")};
    const auto condition = Condition({{"one", folders[0]}, {"two", folders[1]}});
    const SaveRequest request = Request(root, condition, "tx0001.tmp");

    TSelectSaveFolderDlg dialog;
    WhenVisible(dialog, [&] {
      auto* list = Child<QListWidget>(&dialog, "listFolderList");
      // Focus makes a line current without choosing it.
      list->setFocus();
      if (row >= 0) list->item(row)->setSelected(true);
      if (by_enter)
        QTest::keyClick(&dialog, Qt::Key_Return);
      else
        Child<QPushButton>(&dialog, "buttonOk")->click();
    });
    const FolderChoice choice = dialog.Choose(request);
    QCOMPARE(choice.kind, FolderChoice::Kind::Save);
    QCOMPARE(choice.selected.has_value(), row >= 0);
    if (row >= 0) QCOMPARE(*choice.selected, std::size_t(row));
    QVERIFY(!choice.new_folder);
    Carry(dialog, request, choice);
    QVERIFY(QFile::exists(folders[folder] + "/pic.jpg"));
    QVERIFY(!QFile::exists(folders[1 - folder] + "/pic.jpg"));
    QVERIFY(!QFile::exists(QString::fromStdString(request.TempName)));
  }

  void everyOtherWayOutIsDontSave_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Don't save button") << "button";
    QTest::newRow("Esc") << "esc";
    QTest::newRow("close box") << "close";
  }
  void everyOtherWayOutIsDontSave() {
    QFETCH(QString, how);
    QTemporaryDir root;
    const SaveRequest request = Request(root, Condition({{"one", root.path()}}), "tx0002.tmp");
    TSelectSaveFolderDlg dialog;
    WhenVisible(dialog, [&] {
      Child<QListWidget>(&dialog, "listFolderList")->setCurrentRow(0);  // even so
      if (how == "button") Child<QPushButton>(&dialog, "buttonCancel")->click();
      if (how == "esc") QTest::keyClick(&dialog, Qt::Key_Escape);
      if (how == "close") dialog.close();
    });
    const FolderChoice choice = dialog.Choose(request);
    QCOMPARE(choice.kind, FolderChoice::Kind::DontSave);
    QVERIFY(!dialog.isVisible());
    Carry(dialog, request, choice);
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList());
  }

  void aLineWithoutItsFolderIsReportedAndRefused() {
    QTemporaryDir root;
    TSelectSaveFolderDlg dialog;
    QString reported;
    WhenVisible(dialog, [&] {
      auto* list = Child<QListWidget>(&dialog, "listFolderList");
      list->addItem("stray");
      list->item(1)->setSelected(true);
      WhenShown<QMessageBox>([&reported](QMessageBox* box) {
        reported = box->windowTitle() + "|" + box->text();
        box->accept();
      });
      Child<QPushButton>(&dialog, "buttonOk")->click();
    });
    const FolderChoice choice =
        dialog.Choose(Request(root, Condition({{"one", root.path()}}), "tx0003.tmp"));
    QCOMPARE(reported, QString("Trovanex : error|フォルダアイテム=nil; 何か変"));
    QCOMPARE(choice.kind, FolderChoice::Kind::DontSave);
  }

  void aNewFolderIsChosenAndListedNextTime() {
    QTemporaryDir root;
    const QString made = Folder(root, "made");
    const auto condition = Condition({{"one", root.filePath("one")}});
    const SaveRequest request = Request(root, condition, "tx0004.tmp");

    ScriptedDlg dialog;
    dialog.folders = {std::nullopt, made};  // first cancelled, then chosen
    bool open_after_cancel = false;
    WhenVisible(dialog, [&] {
      auto* create_new = Child<QPushButton>(&dialog, "buttonCreateNew");
      create_new->click();
      open_after_cancel = dialog.isVisible();
      create_new->click();
    });
    const FolderChoice choice = dialog.Choose(request);
    QVERIFY(open_after_cancel);
    QCOMPARE(dialog.folder_asks, std::size_t(2));
    QCOMPARE(choice.kind, FolderChoice::Kind::Save);
    QCOMPARE(choice.new_folder.value_or(""), made.toStdString());
    QCOMPARE(choice.new_label, std::string());
    Carry(dialog, request, choice);
    QVERIFY(QFile::exists(made + "/pic.jpg"));

    QStringList shown;
    WhenVisible(dialog, [&] {
      shown = Lines(Child<QListWidget>(&dialog, "listFolderList"));
      dialog.reject();
    });
    dialog.Choose(Request(root, condition, "tx0005.tmp"));
    QCOMPARE(shown, QStringList({"one", ""}));
  }

  void theToolkitDialogsAskForFolderAndLabel() {
    QTemporaryDir root;
    TSelectSaveFolderDlg dialog;
    const auto condition = Condition({{"one", root.path()}});
    QString start_folder;
    QString input_texts;
    for (const bool label_given : {true, false}) {
      WhenVisible(dialog, [&] {
        WhenShown<QFileDialog>([&](QFileDialog* files) {
          start_folder = files->directory().absolutePath();
          WhenShown<QInputDialog>([&](QInputDialog* input) {
            input_texts =
                input->windowTitle() + "|" + input->labelText() + "|" + input->textValue();
            if (label_given) {
              input->setTextValue("新しい");
              input->accept();
            } else {
              input->reject();
            }
          });
          files->setDirectory(root.path());
          files->selectFile(root.path());
          static_cast<QDialog*>(files)->accept();  // its own check runs
        });
        Child<QPushButton>(&dialog, "buttonCreateNew")->click();
      });
      const FolderChoice choice = dialog.Choose(Request(root, condition, "tx0006.tmp"));
      QCOMPARE(start_folder, QDir(QCoreApplication::applicationDirPath()).absolutePath());
      QCOMPARE(input_texts, QString("保存|選択する際のラベル:|"));
      QCOMPARE(choice.kind, FolderChoice::Kind::Save);
      QCOMPARE(QDir(QString::fromStdString(choice.new_folder.value_or(""))).canonicalPath(),
               QDir(root.path()).canonicalPath());
      QCOMPARE(choice.new_label, label_given ? std::string("新しい") : std::string());
    }
  }

  // A folder typed into the folder dialog that does not exist yet is made and chosen; one that
  // cannot be made is refused with the reason, and the folder dialog stays open.
  void aTypedNewFolderIsMade() {
    QTemporaryDir root;
    QFile plain(root.filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    TSelectSaveFolderDlg dialog;
    const auto condition = Condition({{"one", root.path()}});
    QString refusal;
    WhenVisible(dialog, [&] {
      WhenShown<QFileDialog>([&](QFileDialog* files) {
        files->setDirectory(root.path());
        auto* typed = Child<QLineEdit>(files, "fileNameEdit");
        WhenShown<QMessageBox>([&refusal](QMessageBox* box) {
          refusal = box->text();
          box->accept();
        });
        typed->setText("plain/sub");
        static_cast<QDialog*>(files)->accept();
        QVERIFY(files->isVisible());
        WhenShown<QInputDialog>([](QInputDialog* input) { input->reject(); });
        typed->setText("新しい/下");
        static_cast<QDialog*>(files)->accept();
        if (files->isVisible()) files->reject();  // refused: fail below rather than hang
      });
      Child<QPushButton>(&dialog, "buttonCreateNew")->click();
      if (dialog.isVisible()) dialog.reject();
    });
    const FolderChoice choice = dialog.Choose(Request(root, condition, "tx0007.tmp"));
    QVERIFY2(refusal.contains("plain"), qPrintable(refusal));
    QVERIFY(!QFileInfo::exists(root.filePath("plain/sub")));
    QCOMPARE(choice.kind, FolderChoice::Kind::Save);
    QCOMPARE(QString::fromStdString(choice.new_folder.value_or("")), root.filePath("新しい/下"));
    QVERIFY(QFileInfo(root.filePath("新しい/下")).isDir());
  }

  void theQueueAsksInArrivalOrder() {
    QTemporaryDir root;
    const SaveRequest requests[] = {
        Request(root, Condition({{"A", Folder(root, "a1")}}), "tA.tmp"),
        Request(root, Condition({{"B", Folder(root, "b1")}}), "tB.tmp"),
        Request(root, Condition({{"C", Folder(root, "c1")}, {"C2", Folder(root, "c2")}}),
                "tC.tmp")};

    TSelectSaveFolderDlg dialog;
    testing::RecordingMessageBoxes boxes;
    QObject main_thread;
    std::atomic<int> handed_over{0};
    FolderChoiceQueue queue(
        dialog, boxes,
        [&](const std::function<void()>& work) {
          ++handed_over;
          QMetaObject::invokeMethod(
              &main_thread, [&work] { work(); }, Qt::BlockingQueuedConnection);
        },
        [](const std::string&) {});

    std::atomic<bool> done[3] = {false, false, false};
    std::vector<std::thread> threads;
    const auto enqueue = [&](int i) {
      threads.emplace_back([&, i] {
        queue.Enqueue(requests[i]);
        done[i] = true;
      });
    };
    // Two arrive while the main thread is busy elsewhere, in a known order.
    const auto wait_for_hand_overs = [&](int count) {
      QDeadlineTimer deadline(kWaitMs);
      while (handed_over < count && !deadline.hasExpired()) std::this_thread::yield();
      return handed_over == count;
    };
    enqueue(0);
    QVERIFY(wait_for_hand_overs(1));
    enqueue(1);
    QVERIFY(wait_for_hand_overs(2));

    // The third arrives while the first question is open. Each question is answered once its
    // list shows; only the caller that found the dialog idle waits for them all.
    QStringList shown;
    bool waits_for_all = true;
    bool others_went_on = true;
    auto* answer = new QTimer(&dialog);
    answer->setInterval(5);
    connect(answer, &QTimer::timeout, &dialog, [&] {
      if (!dialog.isVisible()) return;
      auto* list = Child<QListWidget>(&dialog, "listFolderList");
      if (shown.size() == 0) {
        if (threads.size() < 3) enqueue(2);
        if (!done[2]) return;
        others_went_on = done[1];
      }
      shown << list->item(0)->text();
      waits_for_all = waits_for_all && !done[0];
      if (shown.size() == 1) Child<QPushButton>(&dialog, "buttonOk")->click();
      if (shown.size() == 2) Child<QPushButton>(&dialog, "buttonCancel")->click();
      if (shown.size() == 3) {
        list->item(1)->setSelected(true);
        Child<QPushButton>(&dialog, "buttonOk")->click();
      }
    });
    answer->start();

    QTRY_VERIFY_WITH_TIMEOUT(done[0] && done[1] && done[2], kWaitMs);
    for (std::thread& thread : threads) thread.join();
    QCOMPARE(shown, QStringList({"A", "B", "C"}));
    QVERIFY(waits_for_all);
    QVERIFY(others_went_on);

    QCOMPARE(QDir(root.filePath("a1")).entryList(QDir::Files), QStringList({"pic.jpg"}));
    QCOMPARE(QDir(root.filePath("b1")).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(root.filePath("c1")).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(root.filePath("c2")).entryList(QDir::Files), QStringList({"pic.jpg"}));
    // Every temporary file is gone: moved, or deleted on Don't save.
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList());
    QVERIFY(boxes.shown.empty());
  }

  // Another connection's save question opens while the folder question waits: the user can
  // answer it first, with the mouse, and the folder question stays open for its own answer.
  void aSaveQuestionIsAnsweredWhileTheFolderQuestionWaits() {
    QTemporaryDir root;
    TSelectSaveFolderDlg dialog;
    SaveQuestionBoxes questions;
    const QString text = "ファイルq.jpgを保存しますか？";
    std::atomic<int> answer{-1};
    std::thread asker;
    bool open_meanwhile = false;
    WhenVisible(dialog, [&] {
      struct Cancel {  // whatever the checks find, the folder question ends
        TSelectSaveFolderDlg& dialog;
        ~Cancel() { Child<QPushButton>(&dialog, "buttonCancel")->click(); }
      } cancel{dialog};
      asker = std::thread([&] { answer = questions.AskYesNo("Trovan!", text.toStdString()); });
      QMessageBox* box = nullptr;
      QTRY_VERIFY_WITH_TIMEOUT(box = VisibleMessageBox(text), 5000);
      // No modal window may stand over the question: it would take no input until closed.
      QWidget* modal = QApplication::activeModalWidget();
      QVERIFY(!modal || modal == box);
      QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
      QTRY_COMPARE_WITH_TIMEOUT(answer.load(), 1, 5000);
      open_meanwhile = dialog.isVisible();
    });
    const FolderChoice choice =
        dialog.Choose(Request(root, Condition({{"one", root.path()}}), "tx0007.tmp"));
    questions.AnswerAllNo();  // a failed check must not leave the asker waiting
    if (asker.joinable()) asker.join();
    QCOMPARE(answer.load(), 1);
    QVERIFY(open_meanwhile);
    QCOMPARE(choice.kind, FolderChoice::Kind::DontSave);
  }

  // The new folder joins the rule and Search.cfg: a path the file cannot keep is refused and
  // the question stays open; a label it cannot keep is asked for again.
  void aNewFolderSearchCfgCannotKeepIsRefused() {
    QTemporaryDir root;
    const QString bad = Folder(root, "a;b");
    const QString good = Folder(root, "good");
    ScriptedDlg dialog;
    dialog.folders = {bad, good};
    dialog.labels = {"x/y", "ok"};
    QStringList warnings;
    std::function<void(QMessageBox*)> note = [&](QMessageBox* box) {
      warnings << box->text();
      box->accept();
      if (warnings.size() < 2) WhenShown<QMessageBox>(note);
    };
    WhenShown<QMessageBox>(note);
    bool open_after_refusal = false;
    WhenVisible(dialog, [&] {
      auto* create_new = Child<QPushButton>(&dialog, "buttonCreateNew");
      create_new->click();
      open_after_refusal = dialog.isVisible();
      create_new->click();
    });
    const FolderChoice choice =
        dialog.Choose(Request(root, Condition({{"one", root.path()}}), "tx0008.tmp"));
    QVERIFY(open_after_refusal);
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings[0].contains("「;」"));
    QVERIFY(warnings[1].contains("「/」"));
    QCOMPARE(dialog.label_asks, std::size_t(2));
    QCOMPARE(choice.kind, FolderChoice::Kind::Save);
    QCOMPARE(choice.new_folder.value_or(""), good.toStdString());
    QCOMPARE(choice.new_label, std::string("ok"));
  }
};

QTEST_MAIN(SelectSaveFolderDlgTest)
#include "select_save_folder_dlg_test.moc"
