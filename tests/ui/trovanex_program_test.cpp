// The desktop program as a whole, on the offscreen platform: it starts from its own program
// folder, serves the browser, and on SIGTERM ends in order: connections first, then the
// settings file written, then the debug log closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
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

}  // namespace

class TrovanexProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void servesAndEndsInOrderOnSigterm() {
    const QString built =
        QDir(QCoreApplication::applicationDirPath()).filePath("../../src/ui/trovanex");
    if (!QFile::exists(built)) QSKIP("the trovanex program is not built");
    QTemporaryDir folder;
    const QString program = folder.filePath("trovanex");
    QVERIFY(QFile::copy(built, program));
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
};

QTEST_MAIN(TrovanexProgramTest)
#include "trovanex_program_test.moc"
