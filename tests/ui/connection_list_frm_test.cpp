// The connection list window over the core's list: it catches up when shown after changes
// made while hidden, and keeps up with many connections coming and going while visible.
#include <QListWidget>
#include <QtTest>
#include <algorithm>
#include <thread>
#include <vector>

#include "monitor/connection_list.h"
#include "ui/connection_list_frm.h"
#include "ui/qt_views.h"

using namespace trovanex;

namespace {

constexpr int kWaitMs = 5000;

QStringList AsQt(const std::vector<std::string>& entries) {
  QStringList list;
  for (const std::string& entry : entries) list << QString::fromStdString(entry);
  return list;
}

}  // namespace

class ConnectionListFrmTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    window_ = std::make_unique<TConnectionListFrm>();
    views_ = std::make_unique<QtMonitorViews>();
    views_->Bind(nullptr, nullptr, window_.get());
    list_ = std::make_unique<ConnectionList>(*views_);
    connect(window_.get(), &TConnectionListFrm::Activated, this, [this] { list_->Refresh(); });
  }
  void cleanup() {
    list_.reset();
    views_.reset();
    window_.reset();
  }

  void showsWhatChangedWhileHidden() {
    list_->AddConnection("a: GET / HTTP/1.1");
    list_->AddConnection("b: GET /x HTTP/1.1");
    list_->AddConnection("c: GET /y HTTP/1.0");
    list_->RemoveConnection("B: GET /x HTTP/1.1");  // letter case does not matter
    QTest::qWait(20);
    QVERIFY(window_->Shown().isEmpty());

    window_->show();
    QTRY_COMPARE_WITH_TIMEOUT(window_->Shown(),
                              (QStringList{"a: GET / HTTP/1.1", "c: GET /y HTTP/1.0"}), kWaitMs);

    window_->hide();
    list_->RemoveConnection("a: GET / HTTP/1.1");
    list_->AddConnection("d: GET /z HTTP/1.1");
    window_->show();
    window_->activateWindow();
    QTRY_COMPARE_WITH_TIMEOUT(window_->Shown(),
                              (QStringList{"c: GET /y HTTP/1.0", "d: GET /z HTTP/1.1"}), kWaitMs);
  }

  void equalEntriesAreKeptApart() {
    window_->show();
    list_->AddConnection("a: GET / HTTP/1.1");
    list_->AddConnection("a: GET / HTTP/1.1");
    QTRY_COMPARE_WITH_TIMEOUT(window_->Shown().size(), 2, kWaitMs);
    list_->RemoveConnection("a: GET / HTTP/1.1");
    list_->RemoveConnection("not listed");
    QTRY_COMPARE_WITH_TIMEOUT(window_->Shown(), QStringList{"a: GET / HTTP/1.1"}, kWaitMs);
  }

  // Copies are handed over in the order they were made, so the last one shown is the list as
  // it stands, never an older copy that arrived late.
  void endsOnTheCurrentListAfterManyChanges() {
    window_->show();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([this, t] {
        for (int i = 0; i < 100; ++i) {
          const std::string entry = "h" + std::to_string(t) + ": GET /" + std::to_string(i);
          list_->AddConnection(entry);
          if (i % 3 != 0) list_->RemoveConnection(entry);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    const QStringList expected = AsQt(list_->Entries());
    QCOMPARE(expected.size(), 6 * 34);
    QTRY_COMPARE_WITH_TIMEOUT(window_->Shown(), expected, kWaitMs);
  }

  // Rows are changed in place: a row still wanted keeps its item, and the list never passes
  // through empty while connections are open (a rebuilt list showed empty frames).
  void changesOnlyTheRowsThatDiffer_data() {
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("one added at the end") << QStringList{"a", "b"} << QStringList{"a", "b", "c"};
    QTest::newRow("one ended in the middle") << QStringList{"a", "b", "c"} << QStringList{"a", "c"};
    QTest::newRow("the first ended, two came")
        << QStringList{"a", "b"} << QStringList{"b", "c", "d"};
    QTest::newRow("equal entries, the first ended")
        << QStringList{"a", "a", "b"} << QStringList{"a", "b"};
    QTest::newRow("all ended") << QStringList{"a", "b"} << QStringList{};
    QTest::newRow("all replaced") << QStringList{"a"} << QStringList{"x", "y"};
    QTest::newRow("order changed") << QStringList{"a", "b", "c"} << QStringList{"c", "a", "b"};
  }
  void changesOnlyTheRowsThatDiffer() {
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    window_->ShowConnections(before);
    auto* list = window_->findChild<QListWidget*>("ConnectionList");
    QVERIFY(list);
    QList<QListWidgetItem*> items;
    for (int row = 0; row < list->count(); ++row) items << list->item(row);
    int fewest = list->count();
    connect(list->model(), &QAbstractItemModel::rowsRemoved, this,
            [&] { fewest = std::min(fewest, list->count()); });
    window_->ShowConnections(after);
    QCOMPARE(window_->Shown(), after);
    // Which rows could stay: those of `before` that start `after`'s order, matched in turn.
    int kept = 0;
    for (int row = 0; row < before.size() && kept < after.size(); ++row)
      if (before[row] == after[kept]) QCOMPARE(list->item(kept++), items[row]);
    const bool both_open = !before.isEmpty() && !after.isEmpty();
    if (both_open && kept > 0) QVERIFY2(fewest > 0, "the list was emptied on the way");
  }

 private:
  std::unique_ptr<TConnectionListFrm> window_;
  std::unique_ptr<QtMonitorViews> views_;
  std::unique_ptr<ConnectionList> list_;
};

QTEST_MAIN(ConnectionListFrmTest)
#include "connection_list_frm_test.moc"
