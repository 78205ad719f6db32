// The desktop program as a whole, on the offscreen platform: it starts from its own program
// folder, serves the browser, and on SIGTERM ends in order: connections first, then the
// settings file written, then the debug log closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

// A loopback port that was free a moment ago.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Sends `request` to the loopback port and returns all that comes back; empty when the port
// does not accept.
QByteArray Exchange(int port, const QByteArray& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  QByteArray answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::write(fd, request.data(), static_cast<size_t>(request.size())) == request.size()) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  }
  ::close(fd);
  return answer;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A copy of the built program in a folder of its own; empty when it is not built.
QString CopyOfProgram(const QTemporaryDir& folder) {
  const QString built =
      QDir(QCoreApplication::applicationDirPath()).filePath("../../src/ui/trovanex");
  const QString program = folder.filePath("trovanex");
  return QFile::exists(built) && QFile::copy(built, program) ? program : QString();
}

// gsettings in the test's own home; its answer without the line end.
QByteArray Gsettings(const QProcessEnvironment& environment, const QStringList& arguments) {
  QProcess gsettings;
  gsettings.setProcessEnvironment(environment);
  gsettings.start("gsettings", arguments);
  gsettings.waitForFinished();
  return gsettings.readAllStandardOutput().trimmed();
}

}  // namespace

class TrovanexProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void servesAndEndsInOrderOnSigterm() {
    QTemporaryDir folder;
    const QString program = CopyOfProgram(folder);
    if (program.isEmpty()) QSKIP("the trovanex program is not built");
    const int port = FreePort();
    QFile ini(folder.filePath("trovanex.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[Settings]\r\nListenPort=%1\r\n").arg(port).toLatin1());
    ini.close();

    QProcess running;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    running.setProcessEnvironment(environment);
    running.setWorkingDirectory(folder.path());
    running.start(program, {"-d"});
    QVERIFY(running.waitForStarted());

    // Answered by the proxy itself, from its resources.
    const QByteArray request = "GET http://trovanex.internal/trovanexlogo.png HTTP/1.0\r\n\r\n";
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT(!(answer = Exchange(port, request)).isEmpty(), 10000);
    QVERIFY2(answer.startsWith("HTTP/1.0 "), answer.left(80).constData());

    // A browser that stalls in the middle of its request must not hold up the end.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const char partial[] = "GET http://trovanex.internal/x HTTP/1.0\r\n";
    QCOMPARE(::write(stalled, partial, sizeof partial - 1), ssize_t(sizeof partial - 1));

    running.terminate();  // SIGTERM
    QVERIFY(running.waitForFinished(15000));
    QCOMPARE(running.exitStatus(), QProcess::NormalExit);
    QCOMPARE(running.exitCode(), 0);
    ::close(stalled);

    // Written at exit even though nothing was changed.
    QVERIFY(ReadAll(folder.filePath("trovanex.ini")).contains("TrayDoubleClickMode=1\r\n"));
    const QByteArray debug_log = ReadAll(folder.filePath("debug.log.txt"));
    QVERIFY(debug_log.contains("/trovanexlogo.png HTTP/1.0"));
    QVERIFY(debug_log.endsWith("*** Destroying main window... shutdown ***\r\n"));
  }

  // With the desktop switch on, GNOME's and KDE's proxy settings point at the running proxy,
  // and the user's own manual proxy comes back: at SIGTERM, and after a SIGKILL at the next
  // start, which points them at the proxy again first.
  void desktopProxyPutBackOnSigtermAndAfterSigkill() {
    QTemporaryDir folder;
    const QString program = CopyOfProgram(folder);
    if (program.isEmpty()) QSKIP("the trovanex program is not built");
    const QString home = folder.filePath("home");
    QVERIFY(QDir().mkpath(home + "/.config"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", home + "/.config");
    environment.insert("GSETTINGS_BACKEND", "keyfile");
    environment.insert("XDG_CURRENT_DESKTOP", "KDE");
    const QString http = "org.gnome.system.proxy.http";
    Gsettings(environment, {"set", "org.gnome.system.proxy", "mode", "manual"});
    Gsettings(environment, {"set", http, "host", "corp.example"});
    Gsettings(environment, {"set", http, "port", "3128"});
    const QByteArray users_kde =
        "[Proxy Settings]\nProxyType=1\nhttpProxy=http://corp.example 3128\n";
    const QString kioslaverc = home + "/.config/kioslaverc";
    QVERIFY(WriteAll(kioslaverc, users_kde));
    // Each start listens on a port of its own, so that the second start's settings are told
    // apart from those the killed one left.
    const auto pointed_at = [&](int port) {
      const QByteArray port_text = QByteArray::number(port);
      return Gsettings(environment, {"get", http, "port"}) == port_text &&
             Gsettings(environment, {"get", http, "host"}) == "'127.0.0.1'" &&
             ReadAll(kioslaverc).contains("httpProxy=http://127.0.0.1 " + port_text + "\n");
    };
    const auto wait_until_pointed_at = [&](int port) {
      QElapsedTimer waited;
      waited.start();
      while (!pointed_at(port) && waited.elapsed() < 20000) QThread::msleep(50);
      return pointed_at(port);
    };

    for (const bool kill_first : {true, false}) {
      const int port = FreePort();
      QVERIFY(WriteAll(folder.filePath("trovanex.ini"),
                       QString("[Settings]\r\nListenPort=%1\r\n[Desktop]\r\nUseAsSystemProxy=1\r\n")
                           .arg(port)
                           .toLatin1()));
      QProcess running;
      running.setProcessEnvironment(environment);
      running.setWorkingDirectory(folder.path());
      running.start(program, {});
      QVERIFY(running.waitForStarted());
      QVERIFY(wait_until_pointed_at(port));
      if (kill_first) {
        running.kill();  // SIGKILL: no chance to put anything back
        QVERIFY(running.waitForFinished(5000));
        QVERIFY(pointed_at(port));
        QVERIFY(QFile::exists(folder.filePath("desktop-proxy-before.ini")));
        continue;
      }
      running.terminate();
      QVERIFY(running.waitForFinished(15000));
      QCOMPARE(running.exitCode(), 0);
    }
    QCOMPARE(Gsettings(environment, {"get", "org.gnome.system.proxy", "mode"}), "'manual'");
    QCOMPARE(Gsettings(environment, {"get", http, "host"}), "'corp.example'");
    QCOMPARE(Gsettings(environment, {"get", http, "port"}), "3128");
    QCOMPARE(Gsettings(environment, {"get", "org.gnome.system.proxy.https", "host"}), "''");
    QCOMPARE(ReadAll(kioslaverc), users_kde);
    QVERIFY(!QFile::exists(folder.filePath("desktop-proxy-before.ini")));
    QVERIFY(
        ReadAll(folder.filePath("trovanex.ini")).endsWith("[Desktop]\r\nUseAsSystemProxy=1\r\n"));
  }
};

QTEST_MAIN(TrovanexProgramTest)
#include "trovanex_program_test.moc"
