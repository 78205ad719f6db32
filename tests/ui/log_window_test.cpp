// The HTTP log window: colours by serial number, a list that only holds lines added while it
// is visible, header blocks from many threads that arrive whole, and bursts shown in few
// appends.
#include <QListView>
#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

#include "monitor/http_log.h"
#include "ui/log_window.h"
#include "ui/qt_views.h"

using namespace trovanex;

namespace {

constexpr int kWaitMs = 5000;

QStringList Lines(const TLogWindow& window) {
  QStringList lines;
  for (int row = 0; row < window.LineCount(); ++row) lines << window.LineAt(row);
  return lines;
}

}  // namespace

class LogWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    window_ = std::make_unique<TLogWindow>();
    views_ = std::make_unique<QtMonitorViews>();
    views_->Bind(nullptr, window_.get(), nullptr);
  }
  void cleanup() {
    views_.reset();
    window_.reset();
  }

  void linesAreDrawnOnTheirConnectionsColour_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QColor>("background");
    QTest::newRow("12 is green, index 12") << "12 :Host: a" << QColor(0, 128, 0);
    QTest::newRow("16 wraps to sky blue") << "16 : x" << QColor(166, 202, 240);
    QTest::newRow("4 is cream") << "4 : << Connection end >>" << QColor(255, 251, 240);
    QTest::newRow("no colon") << "no colon at all" << QColor(255, 0, 0);
    QTest::newRow("no number before the colon") << "### warning : x" << QColor(255, 0, 0);
    QTest::newRow("-1") << "-1 : x" << QColor(255, 0, 0);
    QTest::newRow("number glued to text") << "12connect error: x" << QColor(255, 0, 0);
  }
  // Drawn by the list itself, 12 pixels a line, selected or not.
  void linesAreDrawnOnTheirConnectionsColour() {
    QFETCH(QString, line);
    QFETCH(QColor, background);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    window_->AppendLines({"1 : first", line});
    auto* list = window_->findChild<QListView*>("Log");
    QVERIFY(list);
    QCOMPARE(list->visualRect(list->model()->index(1, 0)).height(), 12);

    const QImage plain = list->viewport()->grab().toImage();
    QCOMPARE(plain.pixelColor(0, 12 + 6), background);
    QCOMPARE(plain.pixelColor(0, 6), QColor(0, 128, 0));

    list->selectionModel()->select(list->model()->index(1, 0), QItemSelectionModel::Select);
    const QImage selected = list->viewport()->grab().toImage();
    QCOMPARE(selected.pixelColor(0, 12 + 6), background);
  }

  void holdsOnlyLinesAddedWhileVisible() {
    window_->AppendLines({"1 : hidden"});
    QCOMPARE(window_->LineCount(), 0);
    window_->show();
    window_->AppendLines({"1 : a", "1 : b"});
    QCOMPARE(Lines(*window_), (QStringList{"1 : a", "1 : b"}));
    window_->hide();
    QCOMPARE(window_->LineCount(), 0);
    window_->show();
    QCOMPARE(window_->LineCount(), 0);
  }

  // A window left open keeps the newest lines, in order, and never more than the limit.
  void aLongOpenLogKeepsTheNewestLinesWithinItsLimit() {
    window_->show();
    const int limit = static_cast<int>(LogLineModel::kMaxLines);
    int next = 0;
    for (int block = 0; next < limit + limit / 2; ++block) {
      QStringList lines;
      for (int i = 0; i < 1000; ++i) lines << QString("%1 : line %2").arg(block % 16).arg(next++);
      window_->AppendLines(lines);
      QVERIFY(window_->LineCount() <= limit);
    }
    const int count = window_->LineCount();
    QVERIFY(count >= limit / 2);
    QCOMPARE(window_->LineAt(count - 1).section(' ', -1).toInt(), next - 1);
    for (int row = 1; row < count; row += 997)
      QCOMPARE(window_->LineAt(row).section(' ', -1).toInt(),
               window_->LineAt(row - 1).section(' ', -1).toInt() + 1);
  }

  // Through the core's log: hidden, the line is not even handed over.
  void coreLogFollowsTheWindowsVisibility() {
    HttpLog log(*views_, false);
    log.AddLog("1 : before");
    window_->show();
    log.AddLog("2 : shown");
    QTRY_COMPARE_WITH_TIMEOUT(Lines(*window_), QStringList{"2 : shown"}, kWaitMs);
    window_->hide();
    log.AddLog("3 : hidden again");
    window_->show();
    log.AddLog("4 : back");
    QTRY_COMPARE_WITH_TIMEOUT(Lines(*window_), QStringList{"4 : back"}, kWaitMs);
  }

  // A line handed over just before the window was hidden must not turn up when it is shown
  // again.
  void linesInFlightWhenHiddenAreDropped() {
    window_->show();
    views_->AppendLogLines({"5 : in flight"});
    window_->hide();
    window_->show();
    QTest::qWait(50);
    QCOMPARE(window_->LineCount(), 0);
  }

  void headerBlocksFromManyThreadsStayWhole() {
    window_->show();
    HttpLog log(*views_, false);
    constexpr int kThreads = 6;
    constexpr int kBlocks = 40;
    constexpr int kHeaders = 5;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int b = 0; b < kBlocks; ++b) {
          std::vector<std::string> headers;
          for (int h = 0; h < kHeaders; ++h)
            headers.push_back("H" + std::to_string(h) + " b" + std::to_string(b));
          log.AddHeaderLog(std::to_string(t) + " :", headers);
          log.AddLog(std::to_string(t) + " : after b" + std::to_string(b));
        }
      });
    }
    for (auto& thread : threads) thread.join();
    constexpr int kTotal = kThreads * kBlocks * (kHeaders + 1);
    QTRY_COMPARE_WITH_TIMEOUT(window_->LineCount(), kTotal, kWaitMs);

    const QStringList lines = Lines(*window_);
    std::vector<int> next_block(kThreads, 0);
    for (int row = 0; row < lines.size();) {
      const QString& first = lines[row];
      const int thread = first.section(' ', 0, 0).toInt();
      const QString block = QString("b%1").arg(next_block[static_cast<std::size_t>(thread)]);
      if (first.contains("after")) {
        QCOMPARE(first, QString("%1 : after %2").arg(thread).arg(block));
        ++next_block[static_cast<std::size_t>(thread)];
        ++row;
        continue;
      }
      for (int h = 0; h < kHeaders; ++h)
        QCOMPARE(lines[row + h], QString("%1 :H%2 %3").arg(thread).arg(h).arg(block));
      row += kHeaders;
    }
    for (const int done : next_block) QCOMPARE(done, kBlocks);
  }

  // A page of a hundred pictures logs hundreds of lines within milliseconds; they must not
  // cost one insertion (and repaint) each.
  void burstsAreShownInFewAppends() {
    window_->show();
    auto* list = window_->findChild<QListView*>("Log");
    int insertions = 0;
    connect(list->model(), &QAbstractItemModel::rowsInserted, this, [&] { ++insertions; });
    std::thread burst([this] {
      for (int i = 0; i < 400; ++i) views_->AppendLogLines({std::to_string(i) + " : GET /p.png"});
    });
    burst.join();
    QTRY_COMPARE_WITH_TIMEOUT(window_->LineCount(), 400, kWaitMs);
    QVERIFY2(insertions <= 4, qPrintable(QString::number(insertions)));
    QCOMPARE(window_->LineAt(399), QString("399 : GET /p.png"));
  }

 private:
  std::unique_ptr<TLogWindow> window_;
  std::unique_ptr<QtMonitorViews> views_;
};

QTEST_MAIN(LogWindowTest)
#include "log_window_test.moc"
