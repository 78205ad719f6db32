// Balloons sent as desktop notifications replace the one on screen instead of adding one, also
// when a balloon comes before the server has answered for the one before it. A stand-in
// notification server answers on the session bus (the test runs under dbus-run-session).
#include <QDBusConnection>
#include <QtTest>

#include "ui/desktop_notices.h"

using namespace trovanex;

namespace {

constexpr int kWaitMs = 5000;

}  // namespace

// Records each Notify and answers as a server does: the id it replaced, or a new one.
class FakeNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  QList<uint> replaced;
  QStringList bodies;

 public slots:
  Q_SCRIPTABLE uint Notify(const QString&, uint replaces_id, const QString&, const QString&,
                           const QString& body, const QStringList&, const QVariantMap&, int) {
    replaced << replaces_id;
    bodies << body;
    return replaces_id != 0 ? replaces_id : next_id_++;
  }

 private:
  uint next_id_ = 41;
};

class DesktopNoticesTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (!QDBusConnection::sessionBus().isConnected())
      QSKIP("no session bus: run under dbus-run-session");
    // The server on a connection of its own, as a desktop's server is another process.
    server_bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "server"));
    QVERIFY(server_bus_->registerService("org.freedesktop.Notifications"));
    QVERIFY(server_bus_->registerObject("/org/freedesktop/Notifications", &server_,
                                        QDBusConnection::ExportScriptableSlots));
  }

  void eachNoticeReplacesTheOneBefore() {
    DesktopNotices notices;
    notices.Show("trovan!", "first", 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server_.bodies.size(), 1, kWaitMs);
    QTest::qWait(50);  // the answer reaches the sender
    notices.Show("trovan!", "second", 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server_.bodies.size(), 2, kWaitMs);
    QTest::qWait(50);
    notices.Show("trovan!", "third", 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server_.bodies.size(), 3, kWaitMs);
    QCOMPARE(server_.replaced, (QList<uint>{0, 41, 41}));
    QCOMPARE(server_.bodies, (QStringList{"first", "second", "third"}));
  }

  // Given before the first answer came, the later ones wait for its id; only the latest is sent.
  void noticesGivenBeforeTheAnswerReplaceToo() {
    server_.replaced.clear();
    server_.bodies.clear();
    DesktopNotices notices;
    notices.Show("trovan!", "a", 5000);
    notices.Show("trovan!", "b", 5000);
    notices.Show("trovan!", "c", 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server_.bodies.size(), 2, kWaitMs);
    QTest::qWait(100);
    QCOMPARE(server_.bodies, (QStringList{"a", "c"}));
    QCOMPARE(server_.replaced.size(), 2);
    QCOMPARE(server_.replaced[0], 0u);
    QCOMPARE(server_.replaced[1], 42u);
  }

 private:
  FakeNotificationServer server_;
  std::unique_ptr<QDBusConnection> server_bus_;
};

QTEST_MAIN(DesktopNoticesTest)
#include "desktop_notices_test.moc"
