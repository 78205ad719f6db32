// The answer's way back over loopback: the head and body the browser gets in each body mode,
// the 504 answers, the failures that end a connection without an answer, the read time-outs,
// and what the capture is told while a body passes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/capture_hooks.h"
#include "engine/resources.h"
#include "support/engine_harness.h"
#include "support/held_capture.h"
#include "support/loopback_origin.h"
#include "support/raw_browser.h"

namespace trovanex::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kConnectionEnd[] = "1 : << Connection end >>";
constexpr char kReadEnd[] = "1 : Read End";
constexpr char kSomeException[] = "1 Some Exception occur.";
constexpr char kReadTimedOut[] = "1 : Read Timed out";

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
  return bytes;
}

// The log line written right before the connection's end.
std::string LineBeforeEnd(const EngineHarness& proxy) {
  const std::vector<std::string> lines = proxy.LogLines();
  if (lines.size() < 2 || lines.back() != kConnectionEnd)
    return "(log does not end the connection)";
  return lines[lines.size() - 2];
}

// --- Body modes ---

struct BodyCase {
  const char* name;
  std::string sent;          // what the origin sends after reading the request
  bool origin_closes;        // else it keeps the connection open, silent
  std::string browser_gets;  // empty: exactly `sent`
  std::string length_line;   // the "> Content Length:" value logged
  const char* last_line;     // the relay's last log line
};

void PrintTo(const BodyCase& row, std::ostream* out) {
  *out << row.name;
}

class BodyModeTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyModeTest, BrowserGetsTheOriginsBytesAndTheRelayEndsAsItShould) {
  const BodyCase& row = GetParam();
  EngineHarness proxy;
  OriginScript script = {OriginStep::ReadHead(), OriginStep::Send(row.sent)};
  script.push_back(row.origin_closes ? OriginStep::Close() : OriginStep::Stall());
  ScriptedOrigin origin(script);

  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(GetRequest(origin.Port(), "/a")));
  EXPECT_EQ(browser.ReadUntilClose(),
            row.browser_gets.empty() ? Closing(row.sent) : row.browser_gets);
  EXPECT_FALSE(browser.TimedOut()) << "the proxy waited for more than the body";

  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_TRUE(proxy.Logged("1 : > Content Length: " + row.length_line));
  EXPECT_EQ(LineBeforeEnd(proxy), row.last_line);
}

const std::string kUntilCloseBody = "0123456789";

INSTANTIATE_TEST_SUITE_P(
    Answers, BodyModeTest,
    ::testing::Values(
        BodyCase{"Length",
                 LengthAnswer("hello world!", "HTTP/1.1 200 OK",
                              "Connection: keep-alive\r\nKeep-Alive: 5\r\nX-Spaced:   a  \r\n"),
                 false,
                 "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n"
                 "X-Spaced:   a  \r\n\r\nhello world!",
                 "12", kReadEnd},
        BodyCase{"LengthZero", LengthAnswer(""), false, "", "0", kReadEnd},
        BodyCase{"ChunkedWinsOverLengthWhichGoes",
                 "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "5\r\nhello\r\n0\r\n\r\n",
                 false,
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                 "5\r\nhello\r\n0\r\n\r\n",
                 "-1", kReadEnd},
        BodyCase{"ChunkedTrailerIsPassedOn",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "5\r\nhello\r\n0\r\nX-Sum: 1\r\nX-Two: 2\r\n\r\n",
                 false, "", "-1", kReadEnd},
        BodyCase{"Chunked", ChunkedAnswer({"hello"}), false, "", "-1", kReadEnd},
        BodyCase{"ChunkedWithExtensionAndCapitalValue",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n1a;name=x\r\n" +
                     std::string(26, 'z') + "\r\n5\r\nhello\r\n0\r\n\r\n",
                 false, "", "-1", kReadEnd},
        BodyCase{"UntilClose", UntilCloseAnswer(kUntilCloseBody), true, "", "-1", kSomeException},
        BodyCase{"NotModifiedWithoutLengthHasNoBody",
                 "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\nnot a body", false,
                 "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\nConnection: close\r\n\r\n", "0",
                 kReadEnd},
        BodyCase{"NotFoundWithoutLengthRunsUntilClose",
                 "HTTP/1.0 404 Not Found\r\n\r\na close-delimited page", true, "", "-1",
                 kSomeException},
        BodyCase{"InterimAnswersComeBeforeTheFinalOne",
                 "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n" +
                     LengthAnswer("hello"),
                 false, "", "5", kReadEnd},
        BodyCase{"NoContentHasNoBodyWhateverItsLength",
                 "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, "", "0", kReadEnd},
        BodyCase{"ChunkSizeWithBlanksAround",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n  5 \r\nhello\r\n0\r\n\r\n",
                 false, "", "-1", kReadEnd},
        BodyCase{"ChunkDataLongerThanItsSizeEndsTheRelay",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello1\r\n0\r\n\r\n",
                 false,
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                 "5\r\nhello",
                 "-1", kSomeException},
        BodyCase{"ChunkSizeNotANumberEndsTheRelay",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n", false,
                 "", "-1", kSomeException},
        BodyCase{"NotFoundChunked", ChunkedAnswer({"gone"}, "HTTP/1.1 404 Not Found"), false, "",
                 "-1", kReadEnd}),
    [](const ::testing::TestParamInfo<BodyCase>& row) { return row.param.name; });

TEST(BodyRelay, ChunkedLogShowsEachSizeLineAndTheEnd) {
  EngineHarness proxy;
  ScriptedOrigin origin(Answer(ChunkedAnswer({"hello"})));
  ASSERT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/")),
            Closing(ChunkedAnswer({"hello"})));
  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_EQ(proxy.LogLinesStartingWith("1 : \"Chunked\""),
            std::vector<std::string>{"1 : \"Chunked\" flag on."});
  EXPECT_EQ(proxy.LogLinesStartingWith("1 : Chunk"),
            (std::vector<std::string>{"1 : Chunk! Chunk-size: 5", "1 : Chunk! Chunk-size: 0",
                                      "1 : Chunk end"}));
}

TEST(BodyRelay, ChunkSizeBeyond32BitsIsNotCutShort) {
  // 100000005 in hexadecimal; cut to 32 bits it would be 5, and the relay would take the
  // following bytes for the next size line.
  EngineHarness proxy;
  const std::string answer =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000005\r\nhello\r\n0\r\n\r\n";
  ScriptedOrigin origin(Answer(answer));
  EXPECT_EQ(Exchange(proxy.Port(), GetRequest(origin.Port(), "/")), Closing(answer));
  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_FALSE(proxy.Logged("1 : Chunk end"));
  EXPECT_EQ(LineBeforeEnd(proxy), kSomeException);
}

// Every mode delivers every byte whatever BufferSize says: below 1 it is taken as 32767, and
// pieces smaller than the 4-byte groups of the until-close mode lose nothing either.
enum class Mode { kLength, kChunked, kUntilClose };

struct PieceCase {
  int buffer_size;
  std::size_t body_size;
  Mode mode;
};

void PrintTo(const PieceCase& row, std::ostream* out) {
  *out << "BufferSize " << row.buffer_size << ", " << row.body_size << " bytes, mode "
       << static_cast<int>(row.mode);
}

class BufferSizeTest : public ::testing::TestWithParam<PieceCase> {};

TEST_P(BufferSizeTest, BodyArrivesByteExact) {
  const PieceCase& row = GetParam();
  const std::string body = Pattern(row.body_size);
  std::string answer;
  switch (row.mode) {
    case Mode::kLength:
      answer = LengthAnswer(body);
      break;
    case Mode::kChunked:
      answer = ChunkedAnswer({body.substr(0, row.body_size / 3), body.substr(row.body_size / 3)});
      break;
    case Mode::kUntilClose:
      answer = UntilCloseAnswer(body);
      break;
  }
  EngineHarness proxy;
  proxy.Settings().BufferSize = row.buffer_size;
  ScriptedOrigin origin(Answer(answer));

  const std::string got = Exchange(proxy.Port(), GetRequest(origin.Port(), "/big"));
  EXPECT_EQ(got.size(), Closing(answer).size());
  EXPECT_TRUE(got == Closing(answer)) << "the body was changed on its way";
}

std::vector<PieceCase> PieceCases() {
  std::vector<PieceCase> cases;
  for (const Mode mode : {Mode::kLength, Mode::kChunked, Mode::kUntilClose}) {
    for (const int size : {0, -5, 1, 3, 4096}) cases.push_back({size, 10001, mode});
    cases.push_back({32767, (3u << 20) + 5, mode});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pieces, BufferSizeTest, ::testing::ValuesIn(PieceCases()));

// --- The 504 answers ---

TEST(ErrorAnswer, UnknownHostGetsTheHostNotFoundPage) {
  EngineHarness proxy;
  const std::string page(LoadErrorPages().HostNotFoundPage);
  ASSERT_EQ(page.size(), 394u);

  const std::string answer =
      Exchange(proxy.Port(), "GET http://no-such-host.invalid/a.html HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(
      answer,
      "HTTP/1.0 504 Unknown domain name.\r\nContent-Length: 394\r\nConnection: close\r\n\r\n" +
          page);
  ASSERT_TRUE(proxy.WaitForEnded(1));
  const std::vector<std::string> expected_tail = {
      "1***Error: WinSock 11001***",
      "1 : Error; ドメインネームが解決できてなかったりホストが無かったり？", kConnectionEnd};
  const std::vector<std::string> lines = proxy.LogLines();
  ASSERT_GE(lines.size(), expected_tail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), expected_tail);
}

TEST(ErrorAnswer, ConnectTimeOutGetsTheTimeOutPageAndAStatusMessage) {
  EngineHarness proxy;
  proxy.Settings().ConnectionTimeout = 300;
  FullQueueListener unanswering;
  const std::string page(LoadErrorPages().ConnectTimeoutPage);
  const std::string expected =
      "HTTP/1.1 504 Gateway Timeout.\r\nContent-Length: 225\r\nConnection: close\r\n\r\n" + page;

  // Two at once: the shared page goes out whole to each.
  RawBrowser first(proxy.Port());
  RawBrowser second(proxy.Port());
  const auto start = Clock::now();
  ASSERT_TRUE(first.Send(GetRequest(unanswering.Port(), "/a")));
  ASSERT_TRUE(second.Send(GetRequest(unanswering.Port(), "/b")));
  EXPECT_EQ(first.ReadUntilClose(), expected);
  EXPECT_EQ(second.ReadUntilClose(), expected);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(250));
  EXPECT_LT(waited, milliseconds(1900)) << "the connect time-out of the settings was not used";

  ASSERT_TRUE(proxy.WaitForEnded(2));
  EXPECT_TRUE(proxy.Logged("1***Error: TIMEOUT***"));
  EXPECT_TRUE(proxy.Logged("2***Error: TIMEOUT***"));
  EXPECT_FALSE(proxy.Logged("1 : Bound IP is "));
  const auto panel = proxy.views.status.History(RecordingStatusView::kMessagePanel);
  EXPECT_NE(std::find(panel.begin(), panel.end(), "Error: 接続がタイムアウトしました！"),
            panel.end());
}

// --- Failures before the relay: no answer at all ---

TEST(ConnectFailure, RefusedConnectGetsNoAnswer) {
  EngineHarness proxy;
  EXPECT_EQ(Exchange(proxy.Port(), GetRequest(ClosedPort(), "/")), "");
  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_TRUE(proxy.Logged("1***Error: WinSock 10061***"));
  EXPECT_FALSE(proxy.Logged("1 : Bound IP is "));
  EXPECT_EQ(proxy.LogLines().back(), kConnectionEnd);
}

TEST(ConnectFailure, PortOutOfRangeIsLoggedByItsKindAndGetsNoAnswer) {
  EngineHarness proxy;
  EXPECT_EQ(Exchange(proxy.Port(), "GET http://127.0.0.1:70000/ HTTP/1.1\r\n\r\n"), "");
  ASSERT_TRUE(proxy.WaitForEnded(1));
  const auto failures = proxy.LogLinesStartingWith("1 : error! exception is");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_GT(failures[0].size(), std::string("1 : error! exception is").size());
}

struct HeadFailureCase {
  const char* name;
  OriginScript script;
};

void PrintTo(const HeadFailureCase& row, std::ostream* out) {
  *out << row.name;
}

class HeadFailureTest : public ::testing::TestWithParam<HeadFailureCase> {};

TEST_P(HeadFailureTest, ConnectionClosesWithoutAnswerAndWithoutRelayLines) {
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 300;
  ScriptedOrigin origin(GetParam().script);

  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(GetRequest(origin.Port(), "/")));
  EXPECT_EQ(browser.ReadUntilClose(), "");
  EXPECT_FALSE(browser.TimedOut());

  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_EQ(LineBeforeEnd(proxy), "1 : Bound IP is ");
  for (const std::string& message : proxy.views.status.History(RecordingStatusView::kMessagePanel))
    EXPECT_EQ(message, "") << "no status message for a failure outside the relay";
}

std::string HugeHead() {
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 20; ++i) head += "X-Big: " + std::string(15000, 'h') + "\r\n";
  return head + "\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Heads, HeadFailureTest,
    ::testing::Values(
        HeadFailureCase{"SilentBeforeStatusLine", {OriginStep::ReadHead(), OriginStep::Stall()}},
        HeadFailureCase{
            "SilentInHeaderBlock",
            {OriginStep::ReadHead(), OriginStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"),
             OriginStep::Stall()}},
        HeadFailureCase{"ClosedBeforeStatusLine", Answer("")},
        HeadFailureCase{"ClosedInHeaderBlock", Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n")},
        HeadFailureCase{"StatusLineOverLimit",
                        Answer("HTTP/1.1 200 " + std::string(16400, 'o') + "\r\n\r\n")},
        HeadFailureCase{"HeadOver256KiB", Answer(HugeHead())}),
    [](const ::testing::TestParamInfo<HeadFailureCase>& row) { return row.param.name; });

// --- A stall in the middle of a body ---

struct StallCase {
  const char* name;
  std::string head;
  std::string first_part;
};

void PrintTo(const StallCase& row, std::ostream* out) {
  *out << row.name;
}

class BodyStallTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(BodyStallTest, ReadTimeOutKeepsWhatWasRelayedAndTellsTheUser) {
  const StallCase& row = GetParam();
  EngineHarness proxy;
  proxy.Settings().ReadTimeout = 500;
  ScriptedOrigin origin(
      {OriginStep::ReadHead(), OriginStep::Send(row.head + row.first_part), OriginStep::Stall()});

  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(GetRequest(origin.Port(), "/slow")));
  ASSERT_EQ(browser.ReadHead(), Closing(row.head));
  EXPECT_EQ(proxy.monitor.Connections.Entries(),
            std::vector<std::string>{"127.0.0.1: GET /slow HTTP/1.1"});
  EXPECT_EQ(browser.ReadUntilClose(), row.first_part);
  EXPECT_FALSE(browser.TimedOut());

  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_EQ(LineBeforeEnd(proxy), kReadTimedOut);
  const auto panel = proxy.views.status.History(RecordingStatusView::kMessagePanel);
  EXPECT_NE(std::find(panel.begin(), panel.end(), "Error: 読み込みがタイムアウトしました！"),
            panel.end());
  EXPECT_TRUE(proxy.monitor.Connections.Entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BodyStallTest,
    ::testing::Values(StallCase{"Length", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n",
                                "first part"},
                      StallCase{"Chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                                "5\r\nhello\r\n"},
                      StallCase{"UntilClose", "HTTP/1.1 200 OK\r\n\r\n", "first part"}),
    [](const ::testing::TestParamInfo<StallCase>& row) { return row.param.name; });

// --- What the capture is told ---

// Everything the relay tells a capture, shared with the test; the copy file gets the bytes.
struct CaptureRecord {
  std::mutex lock;  // guards everything below
  std::vector<std::uint32_t> connection_numbers;
  std::vector<std::string> calls;
  std::vector<std::size_t> pieces;
  std::optional<TRelayState> finished;
};

class RecordingCapture : public CaptureHooks {
 public:
  RecordingCapture(std::shared_ptr<CaptureRecord> record, std::string copy_path)
      : record_(std::move(record)), copy_path_(std::move(copy_path)) {}
  ~RecordingCapture() override {
    if (copy_.fd >= 0) ::close(copy_.fd);
  }

  void Match(const TProxyRequest&) override { Call("Match"); }
  void DropMatch() override { Call("DropMatch"); }
  void StartCapture(const TProxyRequest&, const TRelayState&) override {
    Call("StartCapture");
    copy_.fd = ::open(copy_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  void ShowCaptureNotice() override { Call("ShowCaptureNotice"); }
  Connection::Copy* CaptureCopy() override { return copy_.fd >= 0 ? &copy_ : nullptr; }
  void CapturedPiece(std::size_t length) override {
    std::lock_guard hold(record_->lock);
    record_->pieces.push_back(length);
  }
  void FinishCapture(const TRelayState& state) override {
    Call("FinishCapture");
    std::lock_guard hold(record_->lock);
    record_->finished = state;
  }

 private:
  void Call(const char* name) {
    std::lock_guard hold(record_->lock);
    record_->calls.push_back(name);
  }

  const std::shared_ptr<CaptureRecord> record_;
  const std::string copy_path_;
  Connection::Copy copy_;
};

// One exchange with a recording capture; returns what the browser got.
std::string ExchangeCaptured(EngineHarness& proxy, const std::shared_ptr<CaptureRecord>& record,
                             const OriginScript& script, const std::string& method = "GET") {
  proxy.context.new_capture = [record, path = proxy.folder / "copy.bin"](
                                  std::uint32_t connection_no, std::shared_ptr<TTxConfig>) {
    {
      std::lock_guard hold(record->lock);
      record->connection_numbers.push_back(connection_no);
    }
    return std::make_unique<RecordingCapture>(record, path);
  };
  ScriptedOrigin origin(script);
  std::string request = GetRequest(origin.Port(), "/c");
  request.replace(0, 3, method);
  std::string got = Exchange(proxy.Port(), request);
  EXPECT_TRUE(proxy.WaitForEnded(1));
  return got;
}

TEST(CaptureHooks, CaptureIsMadeWithTheConnectionsSerialNumber) {
  // The capture's own log lines begin with it.
  EngineHarness proxy;
  const auto record = std::make_shared<CaptureRecord>();
  ExchangeCaptured(proxy, record, Answer(LengthAnswer("x")));
  EXPECT_EQ(record->connection_numbers, std::vector<std::uint32_t>{1});
}

TEST(CaptureHooks, ChunkedBodyIsCopiedWithoutItsSizeLines) {
  EngineHarness proxy;
  const auto record = std::make_shared<CaptureRecord>();
  const std::string answer = ChunkedAnswer({"hello", std::string(70000, 'w')});
  proxy.Settings().BufferSize = 32767;
  EXPECT_EQ(ExchangeCaptured(proxy, record, Answer(answer)), Closing(answer));

  EXPECT_EQ(ReadFile(proxy.folder / "copy.bin"), "hello" + std::string(70000, 'w'));
  EXPECT_EQ(record->pieces, (std::vector<std::size_t>{5, 32767, 32767, 4466}));
  EXPECT_EQ(record->calls, (std::vector<std::string>{"Match", "StartCapture", "ShowCaptureNotice",
                                                     "FinishCapture"}));
  ASSERT_TRUE(record->finished);
  EXPECT_EQ(record->finished->Remaining, 0);
  EXPECT_TRUE(record->finished->Chunked);
  EXPECT_TRUE(record->finished->LastChunkSeen);
  EXPECT_TRUE(record->finished->StatusOk);
}

TEST(CaptureHooks, LengthBodyIsCopiedInPiecesOfBufferSize) {
  EngineHarness proxy;
  const auto record = std::make_shared<CaptureRecord>();
  const std::string body = Pattern(100000);
  proxy.Settings().BufferSize = 32767;
  EXPECT_EQ(ExchangeCaptured(
                proxy, record,
                Answer(LengthAnswer(body, "HTTP/1.1 200 OK", "Content-Type: image/jpeg\r\n"))) ==
                Closing(LengthAnswer(body, "HTTP/1.1 200 OK", "Content-Type: image/jpeg\r\n")),
            true);

  EXPECT_TRUE(ReadFile(proxy.folder / "copy.bin") == body);
  EXPECT_EQ(record->pieces, (std::vector<std::size_t>{32767, 32767, 32767, 1699}));
  ASSERT_TRUE(record->finished);
  EXPECT_EQ(record->finished->Remaining, 0);
  EXPECT_EQ(record->finished->ContentType, "image/jpeg");
}

// How each relay ended, as the capture decision sees it: only a complete body may be kept.
TEST(CaptureHooks, EndStatesTellACompleteBodyFromACutOne) {
  {
    SCOPED_TRACE("length, origin closed early");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(
        proxy, record,
        Answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'a')));
    ASSERT_TRUE(record->finished);
    EXPECT_GT(record->finished->Remaining, 0);
    EXPECT_EQ(ReadFile(proxy.folder / "copy.bin"), std::string(40, 'a'));
  }
  {
    SCOPED_TRACE("chunked, origin closed before the last chunk");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(proxy, record,
                     Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"));
    ASSERT_TRUE(record->finished);
    EXPECT_EQ(record->finished->Remaining, -1);
    EXPECT_TRUE(record->finished->Chunked);
    EXPECT_FALSE(record->finished->LastChunkSeen);
  }
  {
    SCOPED_TRACE("until close");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(proxy, record, Answer(UntilCloseAnswer(kUntilCloseBody)));
    ASSERT_TRUE(record->finished);
    EXPECT_EQ(record->finished->Remaining, -1);
    EXPECT_FALSE(record->finished->Chunked);
    EXPECT_FALSE(record->finished->LastChunkSeen);
    EXPECT_EQ(ReadFile(proxy.folder / "copy.bin"), kUntilCloseBody);
  }
  {
    SCOPED_TRACE("not 200");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(proxy, record, Answer(LengthAnswer("gone", "HTTP/1.1 404 Not Found")));
    ASSERT_TRUE(record->finished);
    EXPECT_FALSE(record->finished->StatusOk);
    EXPECT_EQ(record->calls, (std::vector<std::string>{"Match", "DropMatch", "StartCapture",
                                                       "ShowCaptureNotice", "FinishCapture"}));
  }
  {
    SCOPED_TRACE("not 200, with 200 among the status words");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(proxy, record, Answer(LengthAnswer("gone", "HTTP/1.1 404 Not Found 200")));
    ASSERT_TRUE(record->finished);
    EXPECT_FALSE(record->finished->StatusOk);
  }
  {
    SCOPED_TRACE("chunk-size line that is not a number");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    ExchangeCaptured(proxy, record,
                     Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                            "5\r\nhello\r\n  \r\n5\r\nworld\r\n0\r\n\r\n"));
    ASSERT_TRUE(record->finished);
    EXPECT_FALSE(record->finished->LastChunkSeen);
    EXPECT_EQ(ReadFile(proxy.folder / "copy.bin"), "hello");
  }
  {
    SCOPED_TRACE("answer to HEAD: no body whatever its length, nothing to keep");
    EngineHarness proxy;
    const auto record = std::make_shared<CaptureRecord>();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(ExchangeCaptured(
                  proxy, record,
                  {OriginStep::ReadHead(), OriginStep::Send(head), OriginStep::Stall()}, "HEAD"),
              Closing(head));
    EXPECT_TRUE(proxy.Logged(kReadEnd)) << "waited for a body to HEAD";
    ASSERT_TRUE(record->finished);
    EXPECT_EQ(record->finished->Remaining, 0);
    EXPECT_EQ(record->calls, (std::vector<std::string>{"Match", "DropMatch", "StartCapture",
                                                       "ShowCaptureNotice", "FinishCapture"}));
  }
}

// A decision that takes its time (decoding a large copy, a question to the user) is no reason
// for the browser to wait: it sees its close while the capture is still undecided, and the list
// and counters show the connection until the decision is made.
TEST(CaptureHooks, TheBrowserSeesItsCloseBeforeTheCaptureIsDecided) {
  EngineHarness proxy;
  CaptureHold decision;
  proxy.context.new_capture = [&decision](std::uint32_t, std::shared_ptr<TTxConfig>) {
    return decision.NewCapture();
  };
  ScriptedOrigin origin(Answer(LengthAnswer("whole")));
  RawBrowser browser(proxy.Port());
  ASSERT_TRUE(browser.Send(GetRequest(origin.Port(), "/c")));
  EXPECT_EQ(browser.ReadUntilClose(kSupportWait / 2), Closing(LengthAnswer("whole")));
  EXPECT_FALSE(browser.TimedOut()) << "the browser's close waited for the decision";
  EXPECT_FALSE(decision.Decided());
  ASSERT_TRUE(decision.WaitUntilDeciding());
  EXPECT_EQ(proxy.monitor.Connections.Entries().size(), 1u);
  EXPECT_FALSE(proxy.views.status.WaitForText(RecordingStatusView::kConnectCounter, "1 / 1",
                                              std::chrono::milliseconds(0)));
  decision.Release();
  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_TRUE(proxy.monitor.Connections.Entries().empty());
  EXPECT_EQ(proxy.LogLines().back(), kConnectionEnd);
}

}  // namespace
}  // namespace trovanex::testing
