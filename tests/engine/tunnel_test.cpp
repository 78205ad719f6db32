// CONNECT tunnels over loopback: bytes both ways unchanged, through an upstream proxy, the
// failures that answer as a plain request would, and addresses that must never be connected
// to (the proxy itself, a scheme it cannot relay).
#include <gtest/gtest.h>

#include <string>

#include "support/engine_harness.h"
#include "support/loopback_origin.h"
#include "support/raw_browser.h"

namespace trovanex::testing {
namespace {

constexpr char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string ConnectHead(int port, const std::string& host = "127.0.0.1") {
  const std::string target = host + ":" + std::to_string(port);
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
         "\r\nProxy-Connection: keep-alive\r\n\r\n";
}

std::string Pattern(std::size_t size, unsigned salt) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * salt + i / 257) & 0xFF);
  return bytes;
}

TEST(Tunnel, RelaysBothWaysUnchangedAndLogsWhatPassed) {
  EngineHarness proxy;
  const std::string upload = Pattern(300000, 7), download = Pattern(1 << 20, 13);
  ScriptedOrigin origin(
      {OriginStep::ReadBytes(upload.size()), OriginStep::Send(download), OriginStep::Close()});

  // The upload follows the head at once, as a TLS greeting does.
  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(ConnectHead(origin.Port()) + upload));
  EXPECT_TRUE(browser.ReadUntilClose() == kEstablished + download);
  EXPECT_FALSE(browser.TimedOut());
  ASSERT_TRUE(origin.WaitForPeerClose());
  EXPECT_TRUE(origin.Received() == upload) << "the CONNECT head must not reach the origin";

  ASSERT_TRUE(proxy.WaitForEnded(1));
  const std::string port = std::to_string(origin.Port());
  for (const std::string& line :
       {std::string("1 :CONNECT"), std::string("1 :127.0.0.1"), "1 :" + port,
        "1 :CONNECT 127.0.0.1:" + port + " HTTP/1.1", std::string("1 : >> Tunnel established <<"),
        std::string("1 : >> Tunnel closed << to origin 300000 bytes, to browser 1048576 bytes")})
    EXPECT_TRUE(proxy.Logged(line)) << line;
  EXPECT_TRUE(proxy.monitor.Connections.Entries().empty());
}

TEST(Tunnel, ReadTimeOutDoesNotEndAnIdleTunnel) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 100;
  ScriptedOrigin origin({OriginStep::Pause(600), OriginStep::Send("late"), OriginStep::Close()});
  EXPECT_EQ(Exchange(proxy.Port(), ConnectHead(origin.Port())), std::string(kEstablished) + "late");
}

TEST(Tunnel, StoppingTheProxyEndsOpenTunnelsAtOnce) {
  EngineHarness proxy;
  ScriptedOrigin origin({OriginStep::Stall()});
  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(ConnectHead(origin.Port())));
  ASSERT_EQ(browser.ReadHead(), kEstablished);
  EXPECT_EQ(proxy.Stop(), 0);
  EXPECT_EQ(browser.ReadUntilClose(), "");
  EXPECT_FALSE(browser.TimedOut());
  EXPECT_TRUE(origin.WaitForPeerClose());
}

TEST(Tunnel, ThroughTheUpstreamProxyItsAnswerDecides) {
  {
    SCOPED_TRACE("2xx: the tunnel runs behind the upstream proxy's own head");
    EngineHarness proxy;
    const std::string head = "HTTP/1.1 200 Connection established\r\nProxy-Agent: up\r\n\r\n";
    ScriptedOrigin upstream({OriginStep::ReadHead(), OriginStep::Send(head),
                             OriginStep::ReadBytes(4), OriginStep::Send("pong"),
                             OriginStep::Close()});
    proxy.UseUpstreamProxy(upstream.Port());
    const std::string request = ConnectHead(443, "www.example.org");
    EXPECT_EQ(Exchange(proxy.Port(), request + "ping"), head + "pong");
    EXPECT_EQ(upstream.Received(), request + "ping");
  }
  {
    SCOPED_TRACE("407: relayed as an ordinary answer, then the connection ends");
    EngineHarness proxy;
    const std::string answer =
        "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
        "realm=\"up\"\r\nContent-Length: 6\r\n\r\ndenied";
    ScriptedOrigin upstream(
        {OriginStep::ReadHead(), OriginStep::Send(answer), OriginStep::Stall()});
    proxy.UseUpstreamProxy(upstream.Port());
    EXPECT_EQ(Exchange(proxy.Port(), ConnectHead(443, "www.example.org")), Closing(answer));
    ASSERT_TRUE(proxy.WaitForEnded(1));
    EXPECT_TRUE(proxy.Logged("1 : Read End"));
    EXPECT_FALSE(proxy.Logged("1 : >> Tunnel established <<"));
  }
}

TEST(Tunnel, FailuresAnswerAsAPlainRequestWould) {
  {
    SCOPED_TRACE("unknown host");
    EngineHarness proxy;
    const std::string answer = Exchange(proxy.Port(), ConnectHead(443, "no-such-host.invalid"));
    EXPECT_EQ(answer.rfind("HTTP/1.1 504 Unknown domain name.\r\nContent-Length: ", 0), 0u)
        << answer;
  }
  {
    SCOPED_TRACE("silent address");
    EngineHarness proxy;
    proxy.Settings().ConnectionTimeout = 300;
    FullQueueListener silent;
    const std::string answer = Exchange(proxy.Port(), ConnectHead(silent.Port()));
    EXPECT_EQ(
        answer.rfind(
            "HTTP/1.1 504 Gateway Timeout.\r\nContent-Length: 225\r\nConnection: close\r\n\r\n", 0),
        0u)
        << answer;
  }
  {
    SCOPED_TRACE("refused");
    EngineHarness proxy;
    EXPECT_EQ(Exchange(proxy.Port(), ConnectHead(ClosedPort())), "");
    ASSERT_TRUE(proxy.WaitForEnded(1));
    EXPECT_TRUE(proxy.Logged("1 : Tunnel not opened."));
  }
}

// Any web page could make the proxy call itself round and round; nothing of another scheme is
// ever sent anywhere.
TEST(Tunnel, NeverConnectsToTheProxyItselfOrSendsAnotherScheme) {
  EngineHarness proxy;
  const int own = proxy.Port();
  for (const std::string host : {"127.0.0.1", "localhost", "127.0.0.2"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(Exchange(own, ConnectHead(own, host)), "");
    EXPECT_EQ(Exchange(own, "GET http://" + host + ":" + std::to_string(own) +
                                "/xxxxxx/a.jpg HTTP/1.1\r\n\r\n"),
              "");
  }
  ASSERT_TRUE(proxy.WaitForEnded(6)) << "a request reached the proxy again";
  EXPECT_TRUE(proxy.Logged("1 : Error; 127.0.0.1:" + std::to_string(own) +
                           " is this proxy itself; not connected."));

  ScriptedOrigin origin(Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  const std::string answer = Exchange(
      own, "GET https://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 501 Not Implemented\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("https://"), std::string::npos) << "the page names the scheme";
  EXPECT_EQ(origin.ConnectionCount(), 0u);
}

}  // namespace
}  // namespace trovanex::testing
