// Handing work from connection threads to the main thread: status figures in call order,
// message boxes that hold only their caller, and the gate that stops serving at exit.
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <thread>

#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "model/tx_config.h"
#include "ui/qt_views.h"
#include "ui/status_frm.h"

using namespace trovanex;

namespace {

constexpr int kWaitMs = 5000;

}  // namespace

class QtViewsTest : public QObject {
  Q_OBJECT

 private slots:
  void figuresEndOnTheLastOneGiven() {
    QTemporaryDir folder;
    SettingsHolder settings(std::make_shared<TTxConfig>());
    std::atomic<bool> saving{true};
    THashList hash_list(folder.filePath("hash.dat").toStdString());
    TStatusFrm frm(StatusFrmServices{settings, saving, hash_list, nullptr, {}});
    QtMonitorViews views;
    views.Bind(&frm, nullptr, nullptr);

    std::thread counting([&views] {
      for (int i = 1; i <= 500; ++i) {
        const std::string figure = std::to_string(i) + "/" + std::to_string(i);
        views.SetConnectCounter(figure);
        views.SetMessagePanel("message " + std::to_string(i));
      }
      views.SetThroughput("12Kbps");
    });
    counting.join();
    auto* counter = frm.findChild<QLabel*>("ConnectCounter");
    QTRY_COMPARE_WITH_TIMEOUT(counter->text(), QString("500/500"), kWaitMs);
    QVERIFY(frm.findChildren<QLabel*>().size() > 2);
    bool message_shown = false;
    bool throughput_shown = false;
    for (const QLabel* label : frm.findChildren<QLabel*>()) {
      message_shown = message_shown || label->text() == "message 500";
      throughput_shown = throughput_shown || label->text() == "12Kbps";
    }
    QVERIFY(message_shown);
    QVERIFY(throughput_shown);
  }

  void messageBoxFromAnotherThreadWaitsForTheUser() {
    QtMessageBoxes boxes;
    std::atomic<bool> returned{false};
    QString caption;
    QString text;
    bool returned_while_open = true;
    QTimer user;  // runs inside the box's own event loop
    connect(&user, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      caption = box->windowTitle();
      text = box->text();
      returned_while_open = returned;
      box->accept();
    });
    user.start(20);
    std::thread asking([&] {
      boxes.ShowMessage("フォルダリストの中身が有りません！", "Trovanex : error");
      returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), kWaitMs);
    asking.join();
    QCOMPARE(caption, QString("Trovanex : error"));
    QCOMPARE(text, QString("フォルダリストの中身が有りません！"));
    QVERIFY(!returned_while_open);
  }

  void gateRunsWorkOnTheMainThread() {
    MainThreadGate gate;
    std::thread::id ran_on;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      gate.Run([&] { ran_on = std::this_thread::get_id(); });
      returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), kWaitMs);
    worker.join();
    QCOMPARE(ran_on, std::this_thread::get_id());

    bool ran_here = false;
    gate.Run([&] { ran_here = true; });
    QVERIFY(ran_here);
  }

  // At exit the main thread stops serving: a connection already waiting is let go without the
  // work, and later ones do not wait at all.
  void closedGateLetsWaitingThreadsGo() {
    MainThreadGate gate;
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> handing_over{false};
    std::thread waiting([&] {
      handing_over = true;
      gate.Run([&] { ran = true; });
      returned = true;
    });
    while (!handing_over) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it post and block
    gate.Close();
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), kWaitMs);
    waiting.join();
    QVERIFY(!ran);

    std::thread late([&] { gate.Run([&] { ran = true; }); });
    late.join();  // would hang if it waited for a main thread that is not serving
    QVERIFY(!ran);
  }
};

QTEST_MAIN(QtViewsTest)
#include "qt_views_test.moc"
