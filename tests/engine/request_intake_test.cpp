// The proxy from the browser's side over loopback: what goes upstream for a request, what is
// logged and counted, and how requests that cannot be served end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "support/engine_harness.h"
#include "support/loopback_origin.h"
#include "support/raw_browser.h"

namespace trovanex::testing {
namespace {

using std::chrono::milliseconds;

constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nhello world!";
// The same as the browser gets it: told that the proxy closes its connection after it.
constexpr char kClosingAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nhello world!";

// Bytes that differ from one position to the next, so a lost or repeated piece shows.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// The counters and the connection list once `count` connections have come and gone.
void ExpectAllEnded(EngineHarness& proxy, std::uint32_t count) {
  ASSERT_TRUE(proxy.WaitForEnded(count));
  EXPECT_EQ(proxy.monitor.Counters.StartedCount(), count);
  EXPECT_EQ(proxy.monitor.Counters.EndedCount(), count);
  EXPECT_EQ(proxy.monitor.Counters.ConcurrentCount(), 0);
  EXPECT_EQ(proxy.views.status.Last(RecordingStatusView::kConcurrent), "同時接続数: 0");
  EXPECT_TRUE(proxy.monitor.Connections.Entries().empty());
}

TEST(RequestIntake, OriginFormCarriesTheBrowsersOwnHeaderLinesUnchanged) {
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(kAnswer));
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  const std::string own_lines = "Host: " + host +
                                "\r\n"
                                "X-Spaced:   value with blanks  \r\n"
                                "accept-encoding: gzip\r\n";
  // The two that speak to the proxy alone go no further.
  const std::string answer = Exchange(proxy.Port(), "GET http://" + host + "/a.html HTTP/1.1\r\n" +
                                                        "Proxy-Connection: keep-alive\r\n" +
                                                        own_lines + "Keep-Alive: 300\r\n\r\n");

  EXPECT_EQ(answer, kClosingAnswer);
  ASSERT_TRUE(origin.WaitForPeerClose());
  EXPECT_EQ(origin.Received(), "GET /a.html HTTP/1.1\r\n" + own_lines + "\r\n");
}

TEST(RequestIntake, HostLineIsTheTargetsOwnAndTheLogShowsTheBrowsers) {
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(kAnswer));
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  EXPECT_EQ(Exchange(proxy.Port(),
                     "GET http://" + host + "/x HTTP/1.1\r\nHost: other.test\r\nX-A: 1\r\n\r\n"),
            kClosingAnswer);
  ASSERT_TRUE(origin.WaitForPeerClose());
  EXPECT_EQ(origin.Received(), "GET /x HTTP/1.1\r\nHost: " + host + "\r\nX-A: 1\r\n\r\n");
  EXPECT_TRUE(proxy.Logged("1 :Host: other.test"));
}

TEST(RequestIntake, ProxyFormSendsTheRequestLineUnchangedToTheUpstreamProxy) {
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const std::string request = "GET http://a.b:8080/a.html?x=1 HTTP/1.0\r\nHost: a.b:8080\r\n\r\n";

  EXPECT_EQ(Exchange(proxy.Port(), request), kClosingAnswer);
  ASSERT_TRUE(upstream.WaitForPeerClose());
  EXPECT_EQ(upstream.Received(), request);
}

// Bodies around the size held in memory, by length and in chunked coding: the rest waits in
// the program folder until it is sent, and nothing of it stays there afterwards.
struct BodyCase {
  std::size_t size;
  bool chunked;
};

void PrintTo(const BodyCase& row, std::ostream* out) {
  *out << row.size << (row.chunked ? " chunked" : "");
}

// `body` in chunks of changing sizes, one with an extension, and a trailer line.
std::string Chunked(const std::string& body) {
  static constexpr std::size_t kSizes[] = {1, 4093, 65539};
  std::string coded;
  std::size_t at = 0;
  for (std::size_t i = 0; at < body.size(); ++i) {
    const std::size_t n = std::min(kSizes[i % 3], body.size() - at);
    char size_line[32];
    std::snprintf(size_line, sizeof size_line, "%zx%s\r\n", n, i == 1 ? ";part=2" : "");
    coded += size_line + body.substr(at, n) + "\r\n";
    at += n;
  }
  return coded + "0\r\nX-Checked: yes\r\n\r\n";
}

class RequestBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(RequestBodyTest, ArrivesWholeRightAfterTheHeaderBlock) {
  const BodyCase& row = GetParam();
  EngineHarness proxy;
  const std::string plain = row.size == 11 ? "hello world" : Pattern(row.size);
  const std::string body = row.chunked ? Chunked(plain) : plain;
  ScriptedOrigin origin({OriginStep::ReadHead(), OriginStep::ReadBytes(body.size()),
                         OriginStep::Send(kAnswer), OriginStep::Close()});
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  const std::string header_lines =
      "Host: " + host + "\r\n" +
      (row.chunked ? "Transfer-Encoding: chunked"
                   : "Content-Length: " + std::to_string(body.size())) +
      "\r\n\r\n";

  RawBrowser browser(proxy.Port());
  // The body comes in two pieces, the second after the first was surely read.
  ASSERT_TRUE(browser.Send("POST http://" + host + "/form HTTP/1.1\r\n" + header_lines +
                           body.substr(0, body.size() / 2)));
  ASSERT_TRUE(browser.SendPieces({"", body.substr(body.size() / 2)}, milliseconds(20)));
  EXPECT_EQ(browser.ReadUntilClose(), kClosingAnswer);

  ASSERT_TRUE(origin.WaitForPeerClose());
  const std::string received = origin.Received();
  EXPECT_EQ(received.size(), 21 + header_lines.size() + body.size());
  EXPECT_TRUE(received == "POST /form HTTP/1.1\r\n" + header_lines + body)
      << "the origin did not receive the request byte for byte";
  ExpectAllEnded(proxy, 1);
  for (const auto& entry : std::filesystem::directory_iterator(proxy.folder.path()))
    ADD_FAILURE() << "left in the program folder: " << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Sizes, RequestBodyTest,
                         ::testing::Values(BodyCase{11, false}, BodyCase{1 << 20, false},
                                           BodyCase{(1 << 20) + 1, false},
                                           BodyCase{(3 << 20) + 7, false}, BodyCase{11, true},
                                           BodyCase{(3 << 20) + 7, true}));

// A browser that waits for "100 Continue" before it sends its body (as curl does for large
// ones) gets it at once: the body is read before the request goes upstream, so the origin's own
// answer to the expectation could only come after it.
TEST(RequestIntake, BrowserWaitingToSendItsBodyIsToldToContinue) {
  EngineHarness proxy;
  ScriptedOrigin origin({OriginStep::ReadHead(), OriginStep::ReadBytes(11),
                         OriginStep::Send(kAnswer), OriginStep::Close()});
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  const std::string header_lines =
      "Host: " + host + "\r\nExpect: 100-continue\r\nContent-Length: 11\r\n\r\n";

  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send("POST http://" + host + "/form HTTP/1.1\r\n" + header_lines));
  EXPECT_EQ(browser.ReadHead(milliseconds(2000)), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(browser.Send("hello world"));
  EXPECT_EQ(browser.ReadUntilClose(), kClosingAnswer);
  ASSERT_TRUE(origin.WaitForPeerClose());
  EXPECT_EQ(origin.Received(), "POST /form HTTP/1.1\r\n" + header_lines + "hello world");
}

TEST(RequestIntake, LeadingEmptyLinesAndShortPausesAreWaitedFor) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 5000;
  ScriptedOrigin origin(Answer(kAnswer));
  const std::string request = GetRequest(origin.Port(), "/late");
  const std::size_t host_end = request.find("Accept:");

  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.SendPieces(
      {"\r\n", "\r\n" + request.substr(0, host_end), request.substr(host_end)}, milliseconds(300)));
  EXPECT_EQ(browser.ReadUntilClose(), kClosingAnswer);
  ASSERT_TRUE(origin.WaitForPeerClose());
  EXPECT_EQ(origin.Received(), "GET /late HTTP/1.1" + request.substr(request.find("\r\n")));
}

// A browser that does not send a whole head within the read time-out: silent, or a byte now
// and then, before the request line or inside the header lines.
class SlowHeadTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SlowHeadTest, IsClosedAtTheReadTimeOutWithALogLine) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 400;
  ScriptedOrigin origin(Answer(kAnswer));
  RawBrowser browser(proxy.Port());
  const auto start = std::chrono::steady_clock::now();
  browser.SendPieces(GetParam(), milliseconds(150));  // may fail once the proxy has closed
  EXPECT_EQ(browser.ReadUntilClose(milliseconds(3000)), "");
  EXPECT_FALSE(browser.TimedOut());
  // Counted from the proxy's side of the connection, a little before `start` perhaps.
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(300));
  ExpectAllEnded(proxy, 1);
  EXPECT_TRUE(proxy.Logged("1 : Error; no whole request head within 400 ms; connection closed."));
  EXPECT_EQ(origin.ConnectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, SlowHeadTest,
    ::testing::Values(std::vector<std::string>{},
                      std::vector<std::string>{"G", "E", "T", " ", "h", "t", "t", "p", ":", "/"},
                      std::vector<std::string>{"GET http://a.b/ HTTP/1.1\r\nX: ", "1", "2", "3",
                                               "4", "5", "6", "7", "8"}));

TEST(RequestIntake, LogOfOneRequestInOrder) {
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(kAnswer));
  const std::string host = "127.0.0.1:" + std::to_string(origin.Port());
  ASSERT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/path")), kClosingAnswer);
  ASSERT_TRUE(proxy.WaitForEnded(1));

  const std::vector<std::string> expected = {
      "1 :GET",
      "1 :127.0.0.1",
      "1 :/path",
      "1 : ## Header List below ##",
      "1 :GET /path HTTP/1.1",
      "1 :Host: " + host,
      "1 :Accept: */*",
      "1 :",
      "1 : >> Request << ",
      "1 :GET /path HTTP/1.1",
      "1 : Bound IP is ",
      "1 : >> Request Sent. Responce Header Below <<",
      "1 :HTTP/1.1 200 OK",
      "1 :Content-Length: 12",
      "1 :Connection: close",
      "1 : >> Responce Header end. Receiving Content Data <<",
      "1 : > Content Length: 12",
      "1 : Read End",
      "1 : << Connection end >>",
  };
  EXPECT_EQ(proxy.LogLines(), expected);
  EXPECT_EQ(proxy.views.status.History(RecordingStatusView::kConnectCounter),
            (std::vector<std::string>{"0 / 1", "1 / 1"}));
  EXPECT_EQ(proxy.views.status.Last(RecordingStatusView::kMessagePanel), "");
}

// Requests that are not served: the browser sees its connection closed without a byte, the
// connection is counted as started and ended, and nothing goes upstream.
struct UnservedCase {
  const char* name;
  std::string bytes;
  bool browser_closes;  // the browser ends its sending direction after the bytes
  bool logged;          // the request got as far as its log lines
};

void PrintTo(const UnservedCase& row, std::ostream* out) {
  *out << row.name;
}

class UnservedRequestTest : public ::testing::TestWithParam<UnservedCase> {};

TEST_P(UnservedRequestTest, EndsWithoutAnswerAndBalancesTheCounters) {
  const UnservedCase& row = GetParam();
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kAnswer));
  proxy.UseUpstreamProxy(upstream.Port());

  RawBrowser browser(proxy.Port());
  browser.Send(row.bytes);  // may fail once the proxy has closed
  if (row.browser_closes) browser.CloseSending();
  EXPECT_EQ(browser.ReadUntilClose(), "");
  EXPECT_FALSE(browser.TimedOut());

  ExpectAllEnded(proxy, 1);
  const std::vector<std::string> lines = proxy.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "1 : << Connection end >>");
  if (row.logged) {
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[1], "1 :a.b");
  } else {
    EXPECT_EQ(lines.size(), 1u);
  }
  EXPECT_EQ(upstream.ConnectionCount(), 0u);
}

std::string ManyHeaderLines(std::size_t count, std::size_t length) {
  std::string lines;
  for (std::size_t i = 0; i < count; ++i) lines += "X-Big: " + std::string(length, 'b') + "\r\n";
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UnservedRequestTest,
    ::testing::Values(
        UnservedCase{"LowerCaseVersion", "GET http://a.b/ http/1.1\r\n\r\n", false, false},
        UnservedCase{"BlankAfterVersion", "GET http://a.b/ HTTP/1.1 \r\n\r\n", false, false},
        UnservedCase{"Garbage", std::string("\x16\x03\x01\x00\xA5garbage\r\n\r\n", 16), false,
                     false},
        UnservedCase{"PortNotANumber", "GET http://a.b:8o/ HTTP/1.1\r\n\r\n", false, false},
        UnservedCase{"RequestLineOverLimit",
                     "GET http://a.b/" + std::string(16400, 'a') + " HTTP/1.1\r\n\r\n", false,
                     false},
        UnservedCase{"HeaderLineOverLimit",
                     "GET http://a.b/ HTTP/1.1\r\nX: " + std::string(16400, 'a') + "\r\n\r\n",
                     false, true},
        UnservedCase{"HeaderBlockOver256KiB",
                     "GET http://a.b/ HTTP/1.1\r\n" + ManyHeaderLines(20, 15000) + "\r\n", false,
                     true},
        UnservedCase{"ChunkSizeNotANumber",
                     "POST http://a.b/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhi\r\n",
                     false, true},
        UnservedCase{
            "ChunkLongerThanItsSize",
            "POST http://a.b/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi!\r\n0\r\n\r\n",
            false, true},
        // A chunk over 2 GiB is refused at its size line, not waited for.
        UnservedCase{
            "ChunkOver2GiB",
            "POST http://a.b/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\nab", false,
            true},
        UnservedCase{"GoneInAChunk",
                     "POST http://a.b/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel",
                     true, true},
        UnservedCase{"GoneBeforeAnyLine", "", true, false},
        UnservedCase{"GoneInTheRequestLine", "GET http://a.b/", true, false},
        UnservedCase{"GoneInTheHeaderBlock", "GET http://a.b/ HTTP/1.1\r\nHost: a", true, true},
        // The largest length a browser can claim, and ten bytes of it: nothing is set aside
        // for the claim.
        UnservedCase{"GoneInTheBody",
                     "POST http://a.b/ HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n0123456789",
                     true, true}),
    [](const ::testing::TestParamInfo<UnservedCase>& row) { return row.param.name; });

// Heads with two readings: the browser is told why, nothing goes upstream, and the connection
// ends, so that no byte of such a request is ever read as the next one.
struct RefusedCase {
  const char* name;
  std::string head_lines;
  const char* status_line;
  const char* reason;
};

class RefusedRequestTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedRequestTest, IsAnsweredWithItsReasonAndNeverSentOn) {
  const RefusedCase& row = GetParam();
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const std::string hidden = "GET http://a.b/hidden HTTP/1.1\r\nHost: a.b\r\n\r\n";
  const std::string answer =
      Exchange(proxy.Port(), "POST http://a.b/ HTTP/1.1\r\nHost: a.b\r\n" + row.head_lines +
                                 "\r\n" + "0\r\n\r\n" + hidden);
  EXPECT_TRUE(answer.starts_with(std::string(row.status_line) + "\r\n")) << answer;
  EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(answer.find(row.reason), std::string::npos) << answer;
  ExpectAllEnded(proxy, 1);
  EXPECT_TRUE(proxy.Logged("1 : Error; " + std::string(row.reason) + "; the request is refused."));
  EXPECT_EQ(upstream.ConnectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, RefusedRequestTest,
    ::testing::Values(
        RefusedCase{"LengthBesideChunked", "Content-Length: 62\r\nTransfer-Encoding: chunked\r\n",
                    "HTTP/1.1 400 Bad Request.", "Transfer-Encoding beside Content-Length"},
        RefusedCase{"TwoLengths", "Content-Length: 5\r\nContent-Length: 62\r\n",
                    "HTTP/1.1 400 Bad Request.", "two different Content-Length values"},
        RefusedCase{"LengthNotANumber", "Content-Length: abc\r\n", "HTTP/1.1 400 Bad Request.",
                    "a Content-Length that is not a number"},
        RefusedCase{"FoldedCoding", "X-A: 1\r\n Transfer-Encoding: chunked\r\n",
                    "HTTP/1.1 400 Bad Request.", "a folded header line"},
        RefusedCase{"SpaceBeforeColon", "Transfer-Encoding : chunked\r\n",
                    "HTTP/1.1 400 Bad Request.", "white space before a header's colon"},
        RefusedCase{"TwoHosts", "Host: other.test\r\n", "HTTP/1.1 400 Bad Request.",
                    "more than one Host line"},
        RefusedCase{"UnknownCoding", "Transfer-Encoding: foo, chunked\r\n",
                    "HTTP/1.1 501 Not Implemented",
                    "the transfer coding \"foo\" is not known here"}),
    [](const ::testing::TestParamInfo<RefusedCase>& row) { return row.param.name; });

TEST(RequestIntake, HeaderBlockJustUnderTheLimitGoesUpstreamWhole) {
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const std::string request =
      "GET http://a.b/ HTTP/1.1\r\n" + ManyHeaderLines(16, 15000) + "\r\n";  // 240 KiB
  EXPECT_EQ(Exchange(proxy.Port(), request), kClosingAnswer);
  ASSERT_TRUE(upstream.WaitForPeerClose());
  // With the Host line of its target, which it lacked.
  EXPECT_TRUE(upstream.Received() == request.substr(0, request.size() - 2) + "Host: a.b\r\n\r\n");
}

TEST(Admission, LocalClientIsServedAndNoted) {
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(kAnswer));
  EXPECT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/")), kClosingAnswer);
  ExpectAllEnded(proxy, 1);
  EXPECT_EQ(proxy.monitor.Counters.ClientAddresses(), "接続元:127.0.0.1");
}

// 127.0.0.2 is a loopback address too, but not the one local client that is let in.
std::unique_ptr<RawBrowser> BrowserFrom127002(int port) {
  try {
    return std::make_unique<RawBrowser>(port, "127.0.0.2");
  } catch (const std::exception&) {
    return nullptr;
  }
}

TEST(Admission, OtherClientIsCutWithTwoLinesAndNotCounted) {
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const auto browser = BrowserFrom127002(proxy.Port());
  if (!browser) GTEST_SKIP() << "127.0.0.2 is not usable here";

  browser->Send("GET http://a.b/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(browser->ReadUntilClose(), "");
  EXPECT_FALSE(browser->TimedOut());
  ASSERT_TRUE(proxy.views.log.WaitForLine("### 接続を切りました。###"));
  EXPECT_EQ(proxy.LogLines(),
            (std::vector<std::string>{"### warining : 外部からの接続を感知しました。 ### ",
                                      "### 接続を切りました。###"}));
  EXPECT_EQ(proxy.monitor.Counters.StartedCount(), 0u);
  EXPECT_EQ(proxy.monitor.Counters.EndedCount(), 0u);
  EXPECT_TRUE(proxy.views.status.History(RecordingStatusView::kConnectCounter).empty());
  EXPECT_TRUE(proxy.views.status.History(RecordingStatusView::kClientAddresses).empty());
  EXPECT_EQ(upstream.ConnectionCount(), 0u);
}

TEST(Admission, OuterConnectionsAllowedServeEveryClientAndNoteEachAddressOnce) {
  EngineHarness proxy;
  proxy.Settings().AllowOuterConnection = true;
  ScriptedOrigin origin(Answer(kAnswer));
  const auto browser = BrowserFrom127002(proxy.Port());
  if (!browser) GTEST_SKIP() << "127.0.0.2 is not usable here";

  browser->Send(GetRequest(origin.Port(), "/"));
  EXPECT_EQ(browser->ReadUntilClose(), kClosingAnswer);
  EXPECT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/")), kClosingAnswer);
  EXPECT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/")), kClosingAnswer);
  ExpectAllEnded(proxy, 3);
  EXPECT_EQ(proxy.monitor.Counters.ClientAddresses(), "接続元:127.0.0.2, 127.0.0.1");
}

TEST(EngineCounters, ManyConcurrentConnectionsAreAllAnsweredAndCountedOnce) {
  constexpr int kBrowsers = 32;
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(kAnswer));

  // Every browser holds back the end of its request line, so all are open at the same time.
  std::vector<std::unique_ptr<RawBrowser>> browsers;
  std::vector<std::string> rests;
  for (int i = 0; i < kBrowsers; ++i) {
    const std::string request = GetRequest(origin.Port(), "/c" + std::to_string(i));
    browsers.push_back(std::make_unique<RawBrowser>(proxy.Port()));
    ASSERT_TRUE(browsers.back()->Send(request.substr(0, 20)));
    rests.push_back(request.substr(20));
  }
  ASSERT_TRUE(proxy.views.status.WaitForText(RecordingStatusView::kConcurrent,
                                             "同時接続数: " + std::to_string(kBrowsers)));
  for (int i = 0; i < kBrowsers; ++i) ASSERT_TRUE(browsers[i]->Send(rests[i]));
  for (int i = 0; i < kBrowsers; ++i) EXPECT_EQ(browsers[i]->ReadUntilClose(), kClosingAnswer) << i;

  ExpectAllEnded(proxy, kBrowsers);
  for (int n = 1; n <= kBrowsers; ++n) {
    const std::string prefix = std::to_string(n) + " :";
    EXPECT_EQ(proxy.LogLinesStartingWith(prefix + "GET /c").size(), 2u) << n;
    EXPECT_EQ(proxy.LogLinesStartingWith(prefix + " << Connection end >>").size(), 1u) << n;
  }
  std::set<std::string> request_lines;
  for (int i = 0; i < kBrowsers; ++i) {
    ASSERT_TRUE(origin.WaitForPeerClose(i));
    const std::string received = origin.Received(i);
    request_lines.insert(received.substr(0, received.find("\r\n")));
  }
  EXPECT_EQ(request_lines.size(), static_cast<std::size_t>(kBrowsers));
}

TEST(EngineCounters, StopClosesOpenConnectionsAndRunsTheirCleanUp) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 0;  // no time-out may end these connections
  // An origin that keeps trickling a long body: the relay meets the closed browser at its next
  // write.
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
  OriginScript trickle = {OriginStep::ReadHead(), OriginStep::Send(head + "first part")};
  for (int i = 0; i < 100; ++i) {
    trickle.push_back(OriginStep::Pause(20));
    trickle.push_back(OriginStep::Send("x"));
  }
  trickle.push_back(OriginStep::Stall());
  ScriptedOrigin origin(trickle);

  RawBrowser silent(proxy.Port());
  RawBrowser relaying(proxy.Port());
  ASSERT_TRUE(relaying.Send(GetRequest(origin.Port(), "/")));
  ASSERT_EQ(relaying.ReadHead(), Closing(head));
  ASSERT_TRUE(proxy.views.status.WaitForText(RecordingStatusView::kConcurrent, "同時接続数: 2"));

  EXPECT_EQ(proxy.Stop(), 0);
  relaying.ReadUntilClose();
  EXPECT_FALSE(relaying.TimedOut());
  EXPECT_EQ(silent.ReadUntilClose(), "");
  EXPECT_FALSE(silent.TimedOut());
  ExpectAllEnded(proxy, 2);
}

// With no read time-out, a connection waiting on an origin that says nothing more has only
// the stop to end it: waiting for the answer's head, and in the middle of the body.
TEST(EngineCounters, StopWakesConnectionsWaitingOnASilentOrigin) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 0;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
  ScriptedOrigin origin(std::vector<OriginScript>{
      {OriginStep::ReadHead(), OriginStep::Stall()},
      {OriginStep::ReadHead(), OriginStep::Send(head + "first part"), OriginStep::Stall()}});

  RawBrowser waiting_for_head(proxy.Port());
  ASSERT_TRUE(waiting_for_head.Send(GetRequest(origin.Port(), "/head")));
  ASSERT_TRUE(origin.WaitForConnections(1));
  RawBrowser in_body(proxy.Port());
  ASSERT_TRUE(in_body.Send(GetRequest(origin.Port(), "/body")));
  ASSERT_EQ(in_body.ReadHead(), Closing(head));

  EXPECT_EQ(proxy.Stop(), 0);
  EXPECT_EQ(waiting_for_head.ReadUntilClose(), "");
  EXPECT_FALSE(waiting_for_head.TimedOut());
  in_body.ReadUntilClose();
  EXPECT_FALSE(in_body.TimedOut());
  EXPECT_TRUE(origin.WaitForPeerClose(0));
  EXPECT_TRUE(origin.WaitForPeerClose(1));
  ExpectAllEnded(proxy, 2);
}

}  // namespace
}  // namespace trovanex::testing
