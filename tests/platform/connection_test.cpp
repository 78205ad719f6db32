#include "platform/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "platform/memory_stream.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits measured from outside may end a hair before the requested time by clock granularity.
constexpr auto kSlack = 5ms;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Fd() { Close(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void Close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

int PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

Fd ListenOnLoopback(int backlog) {
  Fd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(0);
  EXPECT_EQ(::bind(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(server.get(), backlog), 0);
  return server;
}

// A connected loopback TCP pair: the end to wrap in a Connection, and the raw peer.
std::pair<Fd, Fd> TcpPair() {
  Fd server = ListenOnLoopback(1);
  Fd peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(PortOf(server.get()));
  EXPECT_EQ(::connect(peer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return {Fd(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC)), std::move(peer)};
}

// A listener that nobody accepts from, with its queue full, drops further connect attempts:
// fills the queue of `server` with `clients`; false when the kernel answers them all anyway.
bool FillAcceptQueue(int server, std::vector<Fd>& clients) {
  const sockaddr_in address = Loopback(PortOf(server));
  for (int i = 0; i < 32; ++i) {
    clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(clients.back().get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    pollfd watched{clients.back().get(), POLLOUT, 0};
    if (::poll(&watched, 1, 200) == 0) return true;
  }
  return false;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Up to `limit` bytes, until the peer closes.
std::string ReceiveAll(int fd, std::size_t limit = SIZE_MAX) {
  std::string bytes;
  char buffer[65536];
  while (bytes.size() < limit) {
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, limit - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// A connection over one end of a socket pair; the test speaks through the other end.
class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection_ = std::make_unique<Connection>(fds[0]);
    peer_ = Fd(fds[1]);
  }
  void Send(std::string_view bytes) { ASSERT_TRUE(SendAll(peer_.get(), bytes)); }

  std::unique_ptr<Connection> connection_;
  Fd peer_;
};

TEST_F(ConnectionTest, LineEndsLoseLfAndOneCrBeforeIt) {
  Send("GET / HTTP/1.0\r\nplain lf\nkeeps one\r\r\n\r\n\nlone\rcr\n");
  for (const char* expected : {"GET / HTTP/1.0", "plain lf", "keeps one\r", "", "", "lone\rcr"})
    EXPECT_EQ(connection_->ReadLine(), expected);
}

TEST_F(ConnectionTest, LineLimitCountsTheCrBeforeTheLf) {
  const std::string longest(kMaxLineLength, 'a');
  Send(longest + "\n" + longest + "\r\n");
  EXPECT_EQ(connection_->ReadLine(), longest);
  EXPECT_THROW(connection_->ReadLine(), LineTooLong);
}

TEST_F(ConnectionTest, EndlessLineFailsWithoutWaitingForItsLf) {
  Send(std::string(kMaxLineLength + 1, 'a'));  // and the peer stays silent
  EXPECT_THROW(connection_->ReadLine(), LineTooLong);
}

TEST_F(ConnectionTest, TimedWaitReturnsEmptyAndKeepsTheUnfinishedLine) {
  Send("par");
  const auto start = Clock::now();
  EXPECT_EQ(connection_->ReadLine(Connection::Wait::Milliseconds(200)), "");
  EXPECT_GE(Clock::now() - start, 200ms - kSlack);
  EXPECT_EQ(connection_->ReadLine(Connection::Wait::Milliseconds(0)), "");
  Send("tial\r\n");
  EXPECT_EQ(connection_->ReadLine(Connection::Wait::Milliseconds(0)), "partial");
}

TEST_F(ConnectionTest, DefaultWaitRaisesReadTimedOutAfterTheReadTimeout) {
  connection_->SetReadTimeout(200);
  const auto start = Clock::now();
  EXPECT_THROW(connection_->ReadLine(), ReadTimedOut);
  EXPECT_GE(Clock::now() - start, 200ms - kSlack);
  EXPECT_THROW(connection_->ReadExact(1), ReadTimedOut);
  EXPECT_TRUE(connection_->IsConnected());
}

TEST_F(ConnectionTest, BufferedLinesAreDeliveredBeforeThePeerCloseIsRaised) {
  Send("a\nb\nunfinished");
  peer_.Close();
  EXPECT_EQ(connection_->ReadLine(), "a");
  EXPECT_EQ(connection_->ReadLine(), "b");
  EXPECT_THROW(connection_->ReadLine(), PeerClosed);
  EXPECT_FALSE(connection_->IsConnected());
  EXPECT_THROW(connection_->ReadLine(Connection::Wait::Milliseconds(0)), PeerClosed);
  EXPECT_THROW(connection_->WriteLine("x"), PeerClosed);
}

TEST_F(ConnectionTest, ReadExactFailsWhenThePeerSendsTooFew) {
  EXPECT_EQ(connection_->ReadExact(0), "");
  EXPECT_EQ(connection_->ReadExact(-5), "");
  Send(std::string(600, 'x'));
  peer_.Close();
  EXPECT_THROW(connection_->ReadExact(1000), PeerClosed);
}

TEST_F(ConnectionTest, ReadExactAcrossManyReceivesKeepsTheRestBuffered) {
  std::string bytes(3 * kReceivePiece + 17, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  std::thread sender([&] { SendAll(peer_.get(), bytes + "tail\n"); });
  EXPECT_EQ(connection_->ReadExact(static_cast<std::int64_t>(bytes.size())), bytes);
  EXPECT_EQ(connection_->ReadLine(), "tail");
  sender.join();
}

TEST_F(ConnectionTest, HeaderBlockEndsAtTheEmptyLineAndIsBounded) {
  Send("A: 1\r\nB: 2\r\n\r\nBODY");
  std::vector<std::string> lines{"HTTP/1.1 200 OK"};
  connection_->ReadHeaderBlock(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"HTTP/1.1 200 OK", "A: 1", "B: 2"}));
  EXPECT_EQ(connection_->ReadExact(4), "BODY");

  // Lines of legal length that never end the block.
  std::thread sender([&] {
    const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
    while (SendAll(peer_.get(), line)) {
    }
  });
  EXPECT_THROW(connection_->ReadHeaderBlock(lines), HeaderBlockTooLarge);
  connection_.reset();  // the sender fails and ends
  sender.join();
}

TEST_F(ConnectionTest, WriteLineAndWriteLinesEndEveryLineWithCrLf) {
  connection_->WriteLine("GET / HTTP/1.1");
  connection_->WriteLines({"Host: a.b", ""});
  connection_->WriteLines({});
  connection_->WriteBytes("");
  connection_->Disconnect();
  EXPECT_EQ(ReceiveAll(peer_.get()), "GET / HTTP/1.1\r\nHost: a.b\r\n\r\n");
  EXPECT_FALSE(connection_->IsConnected());
  EXPECT_THROW(connection_->WriteBytes("x"), PeerClosed);
  EXPECT_THROW(connection_->ReadLine(), PeerClosed);
}

TEST(ConnectionWithoutSocket, ReadsAndWritesFailAsNotConnected) {
  Connection connection;
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_THROW(connection.WriteLine("x"), NotConnected);
  EXPECT_THROW(connection.ReadLine(), NotConnected);
  EXPECT_EQ(connection.PeerAddress(), "");
  connection.Disconnect();
  connection.Abort();
}

TEST_F(ConnectionTest, AbortFromAnotherThreadWakesABlockedRead) {
  std::thread aborter([&] { connection_->Abort(); });  // before or during the read: same end
  EXPECT_THROW(connection_->ReadLine(), PeerClosed);
  aborter.join();
}

// An in-memory pair stands in for a socket pair: the same reads, writes, waits and ends.
TEST(ConnectionOverMemory, ReadsWhatTheOtherEndWroteThenItsEnd) {
  MemoryStreamPair pair = MakeMemoryStreamPair();
  Connection near(std::move(pair.near)), far(std::move(pair.far));
  EXPECT_FALSE(near.Plain());  // no socket to splice from
  far.WriteBytes("line one\r\nrest");
  near.WriteLine("answer");
  EXPECT_EQ(far.ReadLine(), "answer");
  near.SetReadTimeout(20);
  EXPECT_EQ(near.ReadLine(), "line one");
  EXPECT_THROW(near.ReadLine(), ReadTimedOut);  // nothing more yet: the wait runs out
  far.Disconnect();
  EXPECT_EQ(near.ReadExact(4), "rest");
  EXPECT_THROW(near.ReadLine(), PeerClosed);
}

TEST(ConnectionOverMemory, AFullDirectionWaitsForItsReaderAndAGoneReaderFailsTheSend) {
  MemoryStreamPair pair = MakeMemoryStreamPair(4);
  EXPECT_EQ(pair.near->Send("abcdef", 6), 4);
  EXPECT_EQ(pair.near->Send("ef", 2), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_FALSE(pair.near->WaitWritable(Deadline::After(0)));
  char bytes[8];
  EXPECT_EQ(pair.far->Receive(bytes, sizeof bytes), 4);
  EXPECT_TRUE(pair.near->WaitWritable(Deadline::After(0)));
  pair.far.reset();
  EXPECT_EQ(pair.near->Send("x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(pair.near->Receive(bytes, sizeof bytes), 0);
}

TEST(ConnectionOverMemory, AbortFromAnotherThreadWakesABlockedRead) {
  MemoryStreamPair pair = MakeMemoryStreamPair();
  Connection near(std::move(pair.near));
  std::thread aborter([&] { near.Abort(); });  // before or during the read: same end
  EXPECT_THROW(near.ReadLine(), PeerClosed);
  aborter.join();
}

// Stopping the listener aborts the browser's connection; the origin's connection linked to it
// must wake as well, whether it was linked before the abort, after it, or connects after it.
// (A partner that waits longer than its read time-out fails with ReadTimedOut instead.)
TEST(ConnectionAbortPartner, AbortReachesThePartnerWhenEverItIsLinked) {
  Fd server = ListenOnLoopback(8);
  const int port = PortOf(server.get());
  auto [ours, browser_peer] = TcpPair();
  Connection browser(ours.release());

  Connection linked_first;
  linked_first.SetReadTimeout(3000);
  linked_first.ConnectTo("127.0.0.1", port, 1000);
  {
    AbortLink link(browser, linked_first);
    std::thread stopper([&] {
      std::this_thread::sleep_for(50ms);
      browser.Abort();
    });
    EXPECT_THROW(linked_first.ReadLine(), PeerClosed);
    stopper.join();
  }

  Connection linked_after;
  linked_after.SetReadTimeout(3000);
  linked_after.ConnectTo("127.0.0.1", port, 1000);
  {
    AbortLink link(browser, linked_after);
    EXPECT_THROW(linked_after.ReadLine(), PeerClosed);
  }

  // Connecting after the abort: the attempt is refused as aborted, or, when it completed at
  // once, the new connection is shut at once.
  Connection connected_after;
  connected_after.SetReadTimeout(3000);
  {
    AbortLink link(browser, connected_after);
    try {
      connected_after.ConnectTo("127.0.0.1", port, 1000);
      EXPECT_THROW(connected_after.ReadLine(), PeerClosed);
    } catch (const SocketFailure& failure) {
      EXPECT_EQ(failure.Code, kWsaConnectionAborted);
    }
  }

  // A link ends with its partner: a later abort must not reach a connection that is gone.
  {
    Connection gone;
    AbortLink link(browser, gone);
  }
  browser.Abort();
}

TEST(ConnectionWrite, APeerThatWentAwayFailsTheWriteAndClosesTheSocket) {
  auto [ours, peer] = TcpPair();
  Connection connection(ours.release());
  peer.Close();
  const std::string piece(65536, 'x');
  try {
    for (int i = 0; i < 1000; ++i) connection.WriteBytes(piece);
    FAIL() << "writes to a closed peer kept succeeding";
  } catch (const SocketFailure& failure) {
    EXPECT_TRUE(failure.Code == kWsaConnectionReset || failure.Code == kWsaShutdown)
        << failure.Code;
  }
  EXPECT_FALSE(connection.IsConnected());
}

TEST(ConnectionConnect, ConnectsToLoopbackByAddressAndByName) {
  Fd server = ListenOnLoopback(4);
  const int port = PortOf(server.get());
  // "localhost" may name ::1 first, where nothing listens: the next address must be tried.
  // "127.1" is no dotted address but the resolver's short form of one.
  for (const auto& [host, timeout] : {std::pair{"127.0.0.1", 0}, std::pair{"127.0.0.1", 1000},
                                      std::pair{"localhost", 1000}, std::pair{"127.1", 1000}}) {
    Connection connection;
    connection.ConnectTo(host, port, timeout);
    ASSERT_TRUE(connection.IsConnected()) << host;
    Fd accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_EQ(connection.PeerAddress(), "127.0.0.1");
    connection.WriteLine("hello");
    EXPECT_EQ(ReceiveAll(accepted.get(), 7), "hello\r\n");
  }
}

TEST(ConnectionConnect, RefusedConnectCarriesItsCode) {
  int port;
  {
    Fd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    port = PortOf(probe.get());
  }
  for (const int timeout : {0, 1000}) {
    Connection connection;
    try {
      connection.ConnectTo("127.0.0.1", port, timeout);
      FAIL() << "connected to a closed port";
    } catch (const SocketFailure& failure) {
      EXPECT_EQ(failure.Code, kWsaConnectionRefused);
    }
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_THROW(connection.WriteLine("GET / HTTP/1.1"), NotConnected);
  }
}

TEST(ConnectionConnect, UnknownHostIsHostNotFound) {
  Connection connection;
  try {
    connection.ConnectTo("no-such-host.invalid", 80, 1000);
    FAIL() << "resolved a name under .invalid";
  } catch (const SocketFailure& failure) {
    if (failure.Code == kWsaTryAgain) GTEST_SKIP() << "this machine has no name resolver at all";
    EXPECT_EQ(failure.Code, kWsaHostNotFound);
  }
}

TEST(ConnectionConnect, AttemptThatIsNeverAnsweredTimesOut) {
  Fd server = ListenOnLoopback(0);
  std::vector<Fd> clients;
  if (!FillAcceptQueue(server.get(), clients))
    GTEST_SKIP() << "this kernel answers every connect attempt on loopback";

  Connection connection;
  const auto start = Clock::now();
  EXPECT_THROW(connection.ConnectTo("127.0.0.1", PortOf(server.get()), 300), ConnectTimedOut);
  EXPECT_GE(Clock::now() - start, 300ms - kSlack);
  EXPECT_FALSE(connection.IsConnected());
}

// Without a time limit only the kernel would end an attempt nobody answers, after minutes:
// stopping the listener must not wait that long for a connection on its way to its origin.
TEST(ConnectionConnect, AbortEndsAnAttemptWithoutTimeLimit) {
  Fd server = ListenOnLoopback(0);
  std::vector<Fd> clients;
  if (!FillAcceptQueue(server.get(), clients))
    GTEST_SKIP() << "this kernel answers every connect attempt on loopback";

  auto [ours, browser_peer] = TcpPair();
  Connection browser(ours.release());
  Connection origin;
  AbortLink link(browser, origin);
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    browser.Abort();
  });
  const auto start = Clock::now();
  try {
    origin.ConnectTo("127.0.0.1", PortOf(server.get()), 0);
    ADD_FAILURE() << "the attempt succeeded";
  } catch (const SocketFailure& failure) {
    EXPECT_EQ(failure.Code, kWsaConnectionAborted);
  }
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(origin.IsConnected());
  stopper.join();
}

TEST(ConnectionPeerAddress, MappedIpv4PeerIsShownAsIpv4) {
  Fd server(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_any;
  const int off = 0;
  ::setsockopt(server.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (server.get() < 0 || ::bind(server.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) ||
      ::listen(server.get(), 1))
    GTEST_SKIP() << "no IPv6 on this machine";
  sockaddr_in6 bound{};
  socklen_t length = sizeof bound;
  ::getsockname(server.get(), reinterpret_cast<sockaddr*>(&bound), &length);

  Connection client;
  client.ConnectTo("127.0.0.1", ntohs(bound.sin6_port), 1000);
  Connection accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
  EXPECT_EQ(accepted.PeerAddress(), "127.0.0.1");
}

// --- Body relay: origin peer -> upstream -> browser -> browser peer, over loopback TCP ---

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() {
    auto [upstream, origin] = TcpPair();
    auto [browser, browser_peer] = TcpPair();
    upstream_ = std::make_unique<Connection>(upstream.release());
    browser_ = std::make_unique<Connection>(browser.release());
    origin_ = std::move(origin);
    browser_peer_ = std::move(browser_peer);
  }
  static std::string RandomBytes(std::size_t n) {
    std::mt19937 random(42);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  }
  // A piece callback that records each length in `pieces`.
  static auto Recorder(std::vector<std::size_t>& pieces) {
    return [&pieces](std::size_t length) { pieces.push_back(length); };
  }

  std::unique_ptr<Connection> upstream_;
  std::unique_ptr<Connection> browser_;
  Fd origin_;
  Fd browser_peer_;
  std::vector<std::size_t> pieces_;
  testing::TempFolder temp_;
};

TEST_F(RelayTest, LargeBodyArrivesWholeAtBrowserAndCopyInPieces) {
  const std::size_t kBody = 5 * 1000 * 1000;
  const std::size_t kPiece = 32767;
  const std::string body = RandomBytes(kBody);
  // Plain file, and an append-only one (which the kernel does not splice into).
  for (const int extra_flags : {0, O_APPEND}) {
    SCOPED_TRACE(extra_flags);
    pieces_.clear();
    const std::string copy_path = temp_ / ("copy" + std::to_string(extra_flags));
    Fd copy_fd(
        ::open(copy_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | extra_flags, 0600));
    Connection::Copy copy{copy_fd.get()};

    std::thread origin([&] { SendAll(origin_.get(), "HTTP/1.1 200 OK\r\n" + body + "NEXT"); });
    std::string received;
    std::thread browser([&] { received = ReceiveAll(browser_peer_.get(), kBody); });
    EXPECT_EQ(upstream_->ReadLine(), "HTTP/1.1 200 OK");  // leaves body bytes buffered
    upstream_->RelayExact(*browser_, kBody, kPiece, &copy, Recorder(pieces_));
    origin.join();
    browser.join();

    EXPECT_TRUE(received == body) << "browser got " << received.size() << " bytes";
    EXPECT_FALSE(copy.failed) << copy.error;
    EXPECT_TRUE(testing::ReadFile(copy_path) == body);
    EXPECT_EQ(upstream_->ReadExact(4), "NEXT");  // nothing beyond the body was taken
    ASSERT_EQ(pieces_.size(), (kBody + kPiece - 1) / kPiece);
    for (std::size_t i = 0; i + 1 < pieces_.size(); ++i) ASSERT_EQ(pieces_[i], kPiece) << i;
    EXPECT_EQ(pieces_.back(), kBody % kPiece);
  }
}

TEST_F(RelayTest, FailingCopyStopsCopyingButNotTheRelay) {
  const std::string body = RandomBytes(200000);
  Fd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Connection::Copy copy{read_only.get()};
  std::thread origin([&] { SendAll(origin_.get(), body); });
  upstream_->RelayExact(*browser_, body.size(), 32767, &copy);
  origin.join();
  EXPECT_TRUE(copy.failed);
  EXPECT_EQ(copy.error, EBADF);
  browser_->Disconnect();
  EXPECT_TRUE(ReceiveAll(browser_peer_.get()) == body);
}

TEST_F(RelayTest, EarlyEndRelaysAndCountsWhatCame) {
  SendAll(origin_.get(), std::string(600, 'y'));
  origin_.Close();
  EXPECT_THROW(upstream_->RelayExact(*browser_, 1000, 256, nullptr, Recorder(pieces_)), PeerClosed);
  EXPECT_EQ(pieces_, (std::vector<std::size_t>{256, 256, 88}));
  EXPECT_FALSE(upstream_->IsConnected());
  browser_->Disconnect();
  EXPECT_EQ(ReceiveAll(browser_peer_.get()), std::string(600, 'y'));
}

TEST_F(RelayTest, SilentOriginTimesTheRelayOut) {
  upstream_->SetReadTimeout(200);
  EXPECT_THROW(upstream_->RelayExact(*browser_, 10, 32767, nullptr), ReadTimedOut);
  EXPECT_THROW(upstream_->RelaySome(*browser_, 32767, nullptr), ReadTimedOut);
}

TEST_F(RelayTest, BrowserThatWentAwayFailsTheRelayWithoutKillingTheProcess) {
  browser_peer_.Close();
  std::thread origin([&] { SendAll(origin_.get(), RandomBytes(4 * 1000 * 1000)); });
  EXPECT_THROW(upstream_->RelayExact(*browser_, 4 * 1000 * 1000, 65536, nullptr), SocketFailure);
  EXPECT_FALSE(browser_->IsConnected());
  upstream_.reset();
  origin.join();
}

TEST_F(RelayTest, RelaySomeMovesWhatArrivedInBoundedPiecesUntilTheEnd) {
  const std::string body = RandomBytes(100000);
  const std::string copy_path = temp_ / "copy";
  Fd copy_fd(::open(copy_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  Connection::Copy copy{copy_fd.get()};
  SendAll(origin_.get(), "head\n" + body.substr(0, 10));
  EXPECT_EQ(upstream_->ReadLine(), "head");
  std::thread origin([&] {
    SendAll(origin_.get(), body.substr(10));
    origin_.Close();
  });
  std::string received;
  std::thread browser([&] { received = ReceiveAll(browser_peer_.get(), body.size()); });
  std::size_t total = 0;
  try {
    for (;;) {
      const std::size_t moved = upstream_->RelaySome(*browser_, 4000, &copy);
      ASSERT_GT(moved, 0u);
      ASSERT_LE(moved, 4000u);
      total += moved;
    }
  } catch (const PeerClosed&) {
  }
  origin.join();
  browser.join();
  EXPECT_EQ(total, body.size());
  EXPECT_TRUE(received == body);
  EXPECT_TRUE(testing::ReadFile(copy_path) == body);
}

// A layer that turns every byte over (XOR 0xFF) both ways: what passes under it must never be
// the socket's own bytes, which splicing would hand on unchanged.
class InvertingLayer final : public ByteStream {
 public:
  explicit InvertingLayer(ByteStream& under) : under_(under) {}
  ssize_t Receive(char* into, std::size_t max) override {
    const ssize_t n = under_.Receive(into, max);
    for (ssize_t i = 0; i < n; ++i) into[i] = static_cast<char>(~into[i]);
    return n;
  }
  ssize_t Send(const char* bytes, std::size_t length) override {
    std::string turned(bytes, length);
    for (char& c : turned) c = static_cast<char>(~c);
    return under_.Send(turned.data(), turned.size());
  }
  bool WaitReadable(Deadline deadline) override { return under_.WaitReadable(deadline); }
  bool WaitWritable(Deadline deadline) override { return under_.WaitWritable(deadline); }
  pollfd PollFor(bool read, bool write) override { return under_.PollFor(read, write); }
  void Shutdown() noexcept override { under_.Shutdown(); }

 private:
  ByteStream& under_;
};

std::string Inverted(std::string bytes) {
  for (char& c : bytes) c = static_cast<char>(~c);
  return bytes;
}

TEST_F(RelayTest, BodiesUnderALayerPassThroughItNotAroundIt) {
  const std::string body = RandomBytes(300000);
  browser_->UseStream(std::make_unique<InvertingLayer>(*browser_->Transport()));
  std::thread origin([&] { SendAll(origin_.get(), body); });
  std::string received;
  std::thread browser([&] { received = ReceiveAll(browser_peer_.get(), body.size()); });
  upstream_->RelayExact(*browser_, body.size(), 32768, nullptr);
  origin.join();
  browser.join();
  EXPECT_TRUE(received == Inverted(body));
}

TEST_F(RelayTest, TunnelUnderALayerCarriesBothWaysAndEndsWithEitherSide) {
  // The browser side is layered: what its peer sends arrives inverted at the origin, and back.
  browser_->UseStream(std::make_unique<InvertingLayer>(*browser_->Transport()));
  const std::string up = RandomBytes(200000), down = RandomBytes(700000);
  // A line and the first bytes after it came before the tunnel: those go first.
  SendAll(browser_peer_.get(), Inverted("CONNECT\n" + up.substr(0, 100)));
  EXPECT_EQ(browser_->ReadLine(), "CONNECT");
  Connection::TunnelCounts counts;
  std::vector<std::size_t> pieces;
  std::thread tunnel([&] { counts = browser_->Tunnel(*upstream_, Recorder(pieces)); });
  std::string at_origin, at_browser;
  std::thread origin([&] {
    SendAll(origin_.get(), down);
    at_origin = ReceiveAll(origin_.get(), up.size());
    origin_.Close();  // the origin ends: so does the tunnel, and the browser sees the close
  });
  SendAll(browser_peer_.get(), Inverted(up.substr(100)));
  at_browser = ReceiveAll(browser_peer_.get());
  origin.join();
  tunnel.join();
  EXPECT_TRUE(at_origin == up);
  EXPECT_TRUE(at_browser == Inverted(down));
  EXPECT_EQ(counts.to_other, up.size());
  EXPECT_EQ(counts.to_this, down.size());
  std::size_t counted = 0;
  for (const std::size_t n : pieces) counted += n;
  EXPECT_EQ(counted, down.size());
}

// A page that stops reading its WebSocket inside an opened tunnel must not stop what it sends:
// the direction towards it fills up and waits, the other keeps flowing.
TEST_F(RelayTest, ATunnelSideThatStopsReadingHoldsBackOnlyItsOwnDirection) {
  constexpr std::size_t kCapacity = 16 * 1024;
  MemoryStreamPair browser_pair = MakeMemoryStreamPair(kCapacity);
  MemoryStreamPair origin_pair = MakeMemoryStreamPair(kCapacity);
  Connection browser(std::move(browser_pair.near)), origin(std::move(origin_pair.near));
  ByteStream& page = *browser_pair.far;
  ByteStream& server = *origin_pair.far;
  Connection::TunnelCounts counts;
  std::thread tunnel([&] { counts = browser.Tunnel(origin); });

  // The server talks until everything towards the page is full: the page reads nothing.
  const std::string chatter(4096, 's');
  while (server.WaitWritable(Deadline::After(200))) ASSERT_GT(server.Send(chatter.data(), 4096), 0);

  const std::string up = RandomBytes(1024 * 1024);
  std::string at_server;
  char piece[8192];
  std::size_t sent = 0;
  while (at_server.size() < up.size()) {
    if (sent < up.size() && page.WaitWritable(Deadline::After(0))) {
      const ssize_t n = page.Send(up.data() + sent, std::min<std::size_t>(8192, up.size() - sent));
      ASSERT_GT(n, 0);
      sent += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(server.WaitReadable(Deadline::After(5000))) << "stalled at " << at_server.size();
    const ssize_t n = server.Receive(piece, sizeof piece);
    ASSERT_GT(n, 0);
    at_server.append(piece, static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(at_server == up);
  browser_pair.far.reset();  // the page goes: so does the tunnel
  tunnel.join();
  EXPECT_EQ(counts.to_other, up.size());
}

}  // namespace
}  // namespace trovanex
