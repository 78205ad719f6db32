// The requests inside an opened tunnel, with the browser and the kept origin on in-memory
// streams (TLS beneath them is the TLS layer's concern): several served over the kept origin,
// what ends the tunnel (a refusal, a close, an answer whose end is unclear), the protocol
// switch, and the origin reached again, directly or through the upstream proxy, when the kept
// one has gone.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/https_opening.h"
#include "engine/opened_tunnel.h"
#include "platform/memory_stream.h"
#include "platform/net_errors.h"
#include "support/engine_harness.h"
#include "support/held_capture.h"
#include "support/loopback_origin.h"

namespace trovanex::testing {
namespace {

constexpr char kHost[] = "shop.example";
constexpr int kWaitMs = static_cast<int>(kSupportWait.count());

// One end of an in-memory pair for the proxy, the other for the test playing the peer.
struct MemoryLink {
  MemoryLink()
      : pair(MakeMemoryStreamPair()), peer(std::make_unique<Connection>(std::move(pair.far))) {
    peer->SetReadTimeout(kWaitMs);
  }
  MemoryStreamPair pair;  // its near end goes to the proxy
  std::unique_ptr<Connection> peer;
};

// Everything until the other end closes.
std::string ReadToEnd(Connection& peer) {
  std::string got;
  try {
    for (;;) got += peer.ReadExact(1);
  } catch (const NetError&) {
  }
  return got;
}

// What the kept origin does for one request: its answer, and whether it closes after it.
struct OriginTurn {
  std::string answer;
  bool closes = false;
};

// The origin's side: the request head of each turn as it came, each answered in turn; ends
// when the proxy lets the origin go.
std::vector<std::string> PlayOrigin(Connection& origin, const std::vector<OriginTurn>& turns) {
  std::vector<std::string> heads;
  try {
    for (const OriginTurn& turn : turns) {
      std::string head;
      for (std::string line = origin.ReadLine(); !line.empty(); line = origin.ReadLine())
        head += line + "\r\n";
      heads.push_back(head);
      origin.WriteBytes(turn.answer);
      if (turn.closes) break;
    }
  } catch (const NetError&) {
  }
  origin.Disconnect();
  return heads;
}

// An answer the proxy makes itself, which ends the connection.
std::string Page(const std::string& status, const std::string& text) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
}

// A tunnel to kHost:443 whose origin is already connected (the kept origin of a request before).
struct TunnelRig {
  TunnelRig() {
    tunnel.connect_host = tunnel.host = kHost;
    tunnel.port = 443;
    proxy.context.https = std::make_shared<HttpsOpening>(proxy.folder.path());
  }
  // Serves what the browser sent on the proxy's side of the browser link.
  std::future<bool> Serve() {
    return std::async(std::launch::async, [this] {
      return ServeTunnelRequests(proxy.context, browser_side, tunnel, kWaitMs);
    });
  }

  EngineHarness proxy;  // never listens: its context serves the tunnel
  MemoryLink browser;
  Connection browser_side{std::move(browser.pair.near)};  // the proxy's end
  OpenedTunnel tunnel;
};

struct TunnelRow {
  const char* name;
  std::string requests;  // all sent at once, as a pipelining browser would
  std::vector<OriginTurn> origin;
  std::string browser_gets;  // ending in "*": what the browser gets starts with the rest
  std::vector<std::string> origin_gets;
  std::uint64_t read;  // requests read in the tunnel
  bool goes_on;        // the tunnel waits for another request, its origin kept
};

void PrintTo(const TunnelRow& row, std::ostream* out) {
  *out << row.name;
}

class OpenedTunnelTest : public ::testing::TestWithParam<TunnelRow> {};

TEST_P(OpenedTunnelTest, ServesItsRequestsWhileEachAnswerEndsClearly) {
  const TunnelRow& row = GetParam();
  TunnelRig rig;
  MemoryLink origin;
  rig.tunnel.origin.emplace(std::move(origin.pair.near));
  auto origin_heads =
      std::async(std::launch::async, PlayOrigin, std::ref(*origin.peer), row.origin);
  std::future<bool> served = rig.Serve();
  rig.browser.peer->WriteBytes(row.requests);

  std::string got;
  const bool prefix = row.browser_gets.ends_with('*');
  const std::string wanted =
      prefix ? row.browser_gets.substr(0, row.browser_gets.size() - 1) : row.browser_gets;
  if (row.goes_on) {
    got = rig.browser.peer->ReadExact(static_cast<std::int64_t>(wanted.size()));
    rig.browser.peer->Disconnect();  // the browser is done with its kept connection
  }
  ASSERT_TRUE(served.get());
  if (!row.goes_on) {
    rig.browser_side.Disconnect();
    got = ReadToEnd(*rig.browser.peer);
  }
  EXPECT_EQ(prefix ? got.substr(0, wanted.size()) : got, wanted);
  EXPECT_EQ(rig.tunnel.requests, row.read);
  EXPECT_EQ(rig.tunnel.keep_alive && rig.tunnel.origin.has_value(), row.goes_on);
  rig.tunnel.origin.reset();
  EXPECT_EQ(origin_heads.get(), row.origin_gets);
  EXPECT_TRUE(rig.proxy.WaitForEnded(static_cast<std::uint32_t>(row.read)));
}

const std::string kGetA = "GET /a HTTP/1.1\r\nHost: shop.example\r\n\r\n";
const std::string kOriginGetA = "GET /a HTTP/1.1\r\nHost: shop.example\r\n";
const std::string kGetB = "GET https://shop.example/b HTTP/1.1\r\nAccept: */*\r\n\r\n";
const std::string kOriginGetB = "GET /b HTTP/1.1\r\nAccept: */*\r\nHost: shop.example\r\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, OpenedTunnelTest,
    ::testing::Values(
        TunnelRow{"SeveralOverTheKeptOriginEachInOriginForm",
                  kGetA + kGetB,
                  {{LengthAnswer("one")}, {ChunkedAnswer({"two"})}},
                  LengthAnswer("one") + ChunkedAnswer({"two"}),
                  {kOriginGetA, kOriginGetB},
                  2,
                  true},
        TunnelRow{"TheBrowserAsksToClose",
                  "GET /a HTTP/1.1\r\nConnection: close\r\n\r\n" + kGetB,
                  {{LengthAnswer("one")}},
                  Closing(LengthAnswer("one")),
                  {"GET /a HTTP/1.1\r\nConnection: close\r\nHost: shop.example\r\n"},
                  1,
                  false},
        TunnelRow{"TheOriginSaysItCloses",
                  kGetA + kGetB,
                  {{LengthAnswer("one", "HTTP/1.1 200 OK", "Connection: close\r\n"), true}},
                  Closing(LengthAnswer("one")),
                  {kOriginGetA},
                  1,
                  false},
        TunnelRow{"AnAnswerUntilCloseEndsTheTunnel",
                  kGetA + kGetB,
                  {{UntilCloseAnswer("body"), true}},
                  Closing(UntilCloseAnswer("body")),
                  {kOriginGetA},
                  1,
                  false},
        TunnelRow{"AnotherHostIn421",
                  "GET /a HTTP/1.1\r\nHost: other.example\r\n\r\n" + kGetA,
                  {},
                  Page("421 Misdirected Request",
                       "Trovanex did not relay this request: this connection serves "
                       "shop.example only, not other.example.\r\n"),
                  {},
                  1,
                  false},
        TunnelRow{"AnotherHostInTheTarget421",
                  "GET https://other.example/a HTTP/1.1\r\n\r\n",
                  {},
                  Page("421 Misdirected Request",
                       "Trovanex did not relay this request: this connection serves "
                       "shop.example only, not other.example.\r\n"),
                  {},
                  1,
                  false},
        TunnelRow{"ABodyOfTwoLengths400",
                  "POST /a HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd" + kGetA,
                  {},
                  "HTTP/1.1 400 Bad Request.\r\n*",
                  {},
                  1,
                  false}),
    [](const ::testing::TestParamInfo<TunnelRow>& row) { return row.param.name; });

// A WebSocket inside the tunnel: after the 101 bytes pass both ways unchanged, and no request
// follows on the connection.
TEST(OpenedTunnelSwitch, AfterA101BytesPassBothWays) {
  TunnelRig rig;
  MemoryLink origin;
  rig.tunnel.origin.emplace(std::move(origin.pair.near));
  const std::string switched =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  auto origin_side = std::async(std::launch::async, [&] {
    Connection& peer = *origin.peer;
    std::string head;
    for (std::string line = peer.ReadLine(); !line.empty(); line = peer.ReadLine()) head += line;
    peer.WriteBytes(switched);
    const std::string ping = peer.ReadExact(4);
    peer.WriteBytes("pong");
    peer.Disconnect();
    return ping;
  });
  std::future<bool> served = rig.Serve();
  rig.browser.peer->WriteBytes(
      "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
  EXPECT_EQ(rig.browser.peer->ReadExact(static_cast<std::int64_t>(switched.size())), switched);
  rig.browser.peer->WriteBytes("ping");
  EXPECT_EQ(origin_side.get(), "ping");
  EXPECT_EQ(rig.browser.peer->ReadExact(4), "pong");
  EXPECT_TRUE(served.get());
  EXPECT_EQ(rig.tunnel.requests, 1u);
  EXPECT_FALSE(rig.tunnel.keep_alive);
  EXPECT_TRUE(rig.proxy.Logged("1 : >> Tunnel established <<"));
}

// A capture still undecided keeps neither the next request nor its answer waiting; the list
// and the counters show it until it is decided, and the tunnel's end waits for the decision.
TEST(OpenedTunnelCapture, TheNextRequestIsServedWhileACaptureIsUndecided) {
  TunnelRig rig;
  CaptureHold hold;
  rig.proxy.context.new_capture = [&hold](std::uint32_t number, std::shared_ptr<TTxConfig>) {
    return number == 1 ? hold.NewCapture() : nullptr;
  };
  MemoryLink origin;
  rig.tunnel.origin.emplace(std::move(origin.pair.near));
  auto origin_heads =
      std::async(std::launch::async, PlayOrigin, std::ref(*origin.peer),
                 std::vector<OriginTurn>{{LengthAnswer("one")}, {LengthAnswer("two")}});
  std::future<bool> served = rig.Serve();
  rig.browser.peer->WriteBytes(kGetA + kGetA);
  const std::string both = LengthAnswer("one") + LengthAnswer("two");
  EXPECT_EQ(rig.browser.peer->ReadExact(static_cast<std::int64_t>(both.size())), both);
  ASSERT_TRUE(rig.proxy.views.log.WaitForLine("2 : << Connection end >>"));
  EXPECT_EQ(rig.proxy.monitor.Connections.Entries().size(), 1u);
  EXPECT_FALSE(rig.proxy.Logged("1 : << Connection end >>"));

  rig.browser.peer->Disconnect();
  hold.Release();
  EXPECT_TRUE(served.get());
  rig.tunnel.origin.reset();
  origin_heads.get();
  EXPECT_TRUE(rig.proxy.WaitForEnded(2));
  EXPECT_TRUE(rig.proxy.monitor.Connections.Entries().empty());
}

// The kept origin has gone while the browser was idle: the origin is connected again, directly
// or through the upstream proxy (which gets the browser's own CONNECT head), and nothing is sent
// to it in the clear when its TLS fails.
struct ReconnectRow {
  const char* name;
  bool via_proxy;
  std::string proxy_answer;  // to the CONNECT
  std::string status;        // of the browser's answer
  std::string reason;        // in the answer's page
};

void PrintTo(const ReconnectRow& row, std::ostream* out) {
  *out << row.name;
}

class OpenedTunnelReconnectTest : public ::testing::TestWithParam<ReconnectRow> {};

TEST_P(OpenedTunnelReconnectTest, TheGoneOriginIsReachedAgainAndVerified) {
  const ReconnectRow& row = GetParam();
  TunnelRig rig;
  // Neither a proxy nor an origin speaks TLS here: each closes after what it has to say.
  ScriptedOrigin far(row.via_proxy ? Answer(row.proxy_answer) : OriginScript{OriginStep::Close()});
  if (row.via_proxy) {
    rig.proxy.UseUpstreamProxy(far.Port());
  } else {
    rig.tunnel.connect_host = rig.tunnel.host = "127.0.0.1";
    rig.tunnel.port = far.Port();
  }
  rig.tunnel.connect_head = {"CONNECT shop.example:443 HTTP/1.1", "Host: shop.example:443",
                             "Proxy-Authorization: Basic dTpw", ""};
  MemoryLink kept;
  rig.tunnel.origin.emplace(std::move(kept.pair.near));
  kept.peer->Disconnect();  // the origin ended the kept connection

  std::future<bool> served = rig.Serve();
  rig.browser.peer->WriteBytes("GET /a HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(served.get());
  rig.browser_side.Disconnect();
  const std::string got = ReadToEnd(*rig.browser.peer);
  EXPECT_TRUE(got.starts_with("HTTP/1.1 " + row.status + "\r\n")) << got;
  EXPECT_NE(got.find(row.reason), std::string::npos) << got;
  ASSERT_TRUE(far.WaitForConnections(1));
  const std::string received = far.Received(0);
  EXPECT_EQ(received.find("GET /a"), std::string::npos) << "sent in the clear";
  if (row.via_proxy) {
    EXPECT_TRUE(
        received.starts_with("CONNECT shop.example:443 HTTP/1.1\r\nHost: shop.example:443"
                             "\r\nProxy-Authorization: Basic dTpw\r\n\r\n"))
        << received;
  }
  EXPECT_FALSE(rig.tunnel.keep_alive);
}

INSTANTIATE_TEST_SUITE_P(
    Origins, OpenedTunnelReconnectTest,
    ::testing::Values(
        ReconnectRow{"DirectButNotTls", false, "", "502 Bad Gateway", "TLS with 127.0.0.1 failed"},
        ReconnectRow{"TheUpstreamProxyRefuses", true,
                     "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n",
                     "502 Bad Gateway",
                     "the upstream proxy did not open a tunnel to shop.example (HTTP/1.1 407 "
                     "Proxy Authentication Required)"},
        ReconnectRow{"TheUpstreamProxyOpensButTheOriginIsNotTls", true,
                     "HTTP/1.1 200 Connection established\r\n\r\n", "502 Bad Gateway",
                     "TLS with shop.example failed"}),
    [](const ::testing::TestParamInfo<ReconnectRow>& row) { return row.param.name; });

}  // namespace
}  // namespace trovanex::testing
