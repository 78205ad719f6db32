// The loopback helpers the end-to-end tests stand on: a fault here would hide or fake faults
// of the proxy.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "support/loopback_origin.h"
#include "support/raw_browser.h"

namespace trovanex::testing {
namespace {

using std::chrono::milliseconds;

TEST(SupportTest, OriginRecordsTheWholeRequestAndPlaysItsAnswer) {
  ScriptedOrigin origin(Answer(LengthAnswer("hello")));
  const std::string request =
      "POST /a HTTP/1.1\r\nHost: a\r\ncontent-length: 11\r\n\r\nhello world";
  RawBrowser browser(origin.Port());
  // The body comes after the answer was sent and the origin closed: it is still recorded, and
  // the close does not reset the answer away.
  ASSERT_TRUE(
      browser.SendPieces({request.substr(0, 10), request.substr(10, 40)}, milliseconds(20)));
  EXPECT_EQ(browser.ReadUntilClose(), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_FALSE(browser.TimedOut());
  ASSERT_TRUE(browser.Send(request.substr(50) + "extra"));
  EXPECT_EQ(origin.WaitForRequest(), request);
  EXPECT_EQ(origin.WaitForBytes(request.size() + 5), request + "extra");
  EXPECT_FALSE(origin.WaitForPeerClose(0, milliseconds(50)));
  browser.Close();
  EXPECT_TRUE(origin.WaitForPeerClose());
  EXPECT_EQ(origin.ConnectionCount(), 1u);
}

TEST(SupportTest, ScriptStepsRunInOrderAndStallKeepsTheConnectionOpen) {
  ScriptedOrigin origin({{OriginStep::ReadBytes(3), OriginStep::Send("ab"), OriginStep::Pause(50),
                          OriginStep::Send("c"), OriginStep::Stall()},
                         Answer(UntilCloseAnswer("x", "HTTP/1.0 404 Not Found"))});
  RawBrowser first(origin.Port());
  ASSERT_TRUE(first.Send("xy"));
  ASSERT_TRUE(first.ReadHead(milliseconds(100)) == std::nullopt);  // nothing before 3 bytes
  ASSERT_TRUE(first.Send("z"));
  EXPECT_EQ(first.ReadUntilClose(milliseconds(300)), "abc");
  EXPECT_TRUE(first.TimedOut());
  EXPECT_EQ(Exchange(origin.Port(), "GET / HTTP/1.0\r\n\r\n"), "HTTP/1.0 404 Not Found\r\n\r\nx");
  EXPECT_EQ(origin.Received(1), "GET / HTTP/1.0\r\n\r\n");
}

TEST(SupportTest, ChunkedAnswerWritesHexadecimalSizes) {
  EXPECT_EQ(ChunkedAnswer({"hello", std::string(26, 'x')}),
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1a\r\n" +
                std::string(26, 'x') + "\r\n0\r\n\r\n");
}

// Starts a non-blocking connect; the result of poll() for its completion within `wait`.
int ConnectOutcome(int port, milliseconds wait, int& error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  pollfd out{fd, POLLOUT, 0};
  const int ready = ::poll(&out, 1, static_cast<int>(wait.count()));
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  ::close(fd);
  return ready;
}

TEST(SupportTest, FullQueueListenerLeavesConnectsUnansweredAndClosedPortRefuses) {
  FullQueueListener full;
  int error = 0;
  EXPECT_EQ(ConnectOutcome(full.Port(), milliseconds(500), error), 0);
  EXPECT_EQ(ConnectOutcome(ClosedPort(), milliseconds(500), error), 1);
  EXPECT_EQ(error, ECONNREFUSED);
}

}  // namespace
}  // namespace trovanex::testing
