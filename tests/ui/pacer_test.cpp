// Pacing of balloons and figures with a clock the test moves: the first change at once, the
// rest at most once per interval, a waiting change drawn when its turn comes and not before.
#include <QtTest>

#include "ui/pacer.h"

using namespace trovanex;
using namespace std::chrono_literals;

class PacerTest : public QObject {
  Q_OBJECT

 private slots:
  // Each step: "o" offers a change, "t" asks for a waiting one, "d" reads DueAt; then the time
  // in ms from the start, then "+" (drawn / due at that time) or "-" (not drawn / none due).
  void paces_data() {
    QTest::addColumn<QString>("steps");
    QTest::newRow("the first change is drawn at once") << "o0+ d0-";
    QTest::newRow("a second within the interval waits for its turn")
        << "o0+ o10- d1000+ t999- t1000+";
    QTest::newRow("a burst waits as one and is drawn once")
        << "o0+ o1- o2- o500- t1000+ t1001- d0-";
    QTest::newRow("after the interval a change is drawn at once") << "o0+ o1000+ o1999- t2000+";
    QTest::newRow("a late offer takes the waiting one with it") << "o0+ o10- o1500+ t1600- d0-";
    QTest::newRow("the turn counts from the waiting one's drawing")
        << "o0+ o10- t1200+ o1300- t2199- d2200+ t2200+";
    QTest::newRow("nothing waits: asking draws nothing") << "t0- o0+ t5000-";
  }

  void paces() {
    QFETCH(QString, steps);
    Pacer pacer(1000ms);
    const Pacer::Clock::time_point start{};
    for (const QString& step : steps.split(' ')) {
      const QChar kind = step.front();
      const auto at = start + std::chrono::milliseconds(step.mid(1, step.size() - 2).toInt());
      const bool expected = step.back() == '+';
      bool got = false;
      if (kind == 'o') got = pacer.Offer(at);
      if (kind == 't') got = pacer.TakeDue(at);
      if (kind == 'd') got = pacer.DueAt() == at;
      if (kind == 'd' && !expected) got = pacer.DueAt().has_value();
      QVERIFY2(got == expected, qPrintable("step " + step));
    }
  }

  void droppedChangeIsNotDrawn() {
    Pacer pacer(250ms);
    const Pacer::Clock::time_point start{};
    QVERIFY(pacer.Offer(start));
    QVERIFY(!pacer.Offer(start + 1ms));
    pacer.Drop();
    QVERIFY(!pacer.DueAt());
    QVERIFY(!pacer.TakeDue(start + 1s));
  }
};

QTEST_MAIN(PacerTest)
#include "pacer_test.moc"
