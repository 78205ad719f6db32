// An origin's answer as it arrives on a real connection: the status line, the header block,
// the framing it names (FrameAnswerHead) and the body relayed to a browser
// connection by BodyRelay in the mode the framing fixes. Input: one byte for the request's
// method (GET or HEAD), one for the relay's piece size, then the origin's bytes.
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/body_relay.h"
#include "engine/message_head.h"
#include "fuzz_support.h"
#include "monitor/monitor.h"
#include "platform/connection.h"

using namespace trovanex;

namespace {

struct QuietViews : StatusView, LogView, BalloonView, ConnectionListView {
  void SetConnectCounter(const std::string&) override {}
  void SetConcurrent(const std::string&) override {}
  void SetClientAddresses(const std::string&) override {}
  void SetSavedBytes(const std::string&) override {}
  void SetThroughput(const std::string&) override {}
  void SetMessagePanel(const std::string&) override {}
  bool LogVisible() const override { return false; }
  void AppendLogLines(const std::vector<std::string>&) override {}
  void ShowBalloon(const std::string&, const std::string&) override {}
  bool ConnectionListVisible() const override { return false; }
  void ShowConnections(const std::vector<std::string>&) override {}
};

Monitor& TheMonitor() {
  static QuietViews views;
  static Monitor monitor(MonitorViews{views, views, views, views}, false);
  return monitor;
}

// Where the head ends in `input` when it is read whole: the status line and the lines up to an
// empty one. Nothing when the input ends first or a line is too long.
std::optional<std::size_t> HeadEnd(std::string_view input) {
  std::size_t at = 0;
  for (bool status = true;; status = false) {
    const auto lf = input.find('\n', at);
    if (lf == std::string_view::npos || lf - at > kMaxLineLength) return std::nullopt;
    const bool empty = lf == at || (lf == at + 1 && input[at] == '\r');
    at = lf + 1;
    if (empty && !status) return at;
  }
}

// The body of a strictly well-formed chunked stream at the start of `body`: hexadecimal size
// lines with CR LF, each chunk's data followed by CR LF, ended by "0" CR LF CR LF. Nothing when
// `body` does not start with one.
std::optional<std::size_t> StrictChunkedEnd(std::string_view body) {
  std::size_t at = 0;
  for (;;) {
    const auto crlf = body.find("\r\n", at);
    if (crlf == std::string_view::npos || crlf == at || crlf - at > 15) return std::nullopt;
    std::uint64_t size = 0;
    for (std::size_t i = at; i < crlf; ++i) {
      const char c = body[i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    at = crlf + 2;
    if (size == 0) return body.substr(at, 2) == "\r\n" ? std::optional(at + 2) : std::nullopt;
    if (body.size() - at < size + 2 || body.substr(at + size, 2) != "\r\n") return std::nullopt;
    at += size + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Choices choices(data, size);
  const std::string method = choices.Byte() & 1 ? "HEAD" : "GET";
  const std::uint8_t piece_choice = choices.Byte();
  const std::size_t piece = piece_choice % 4 == 0 ? 32767 : 1 + piece_choice % 61;
  const std::string input(choices.Rest());
  Monitor& monitor = TheMonitor();

  fuzz::WatchedConnection browser_side;
  TRelayState state;
  std::int64_t framed_length = -2;
  bool head_read = false, no_body = false, failed = false, refused = false;
  {
    const std::unique_ptr<Connection> origin = fuzz::ConnectionFedWith(input);
    Connection& upstream = *origin;
    Connection& browser = *browser_side.connection;
    upstream.SetReadTimeout(10000);  // the whole answer is there; only a fault waits
    try {
      std::vector<std::string> head{upstream.ReadLine()};
      upstream.ReadHeaderBlock(head);
      head_read = true;
      const HeadReading reading = FrameAnswerHead(head, method);
      if (reading.fault) {
        refused = true;
        throw std::runtime_error(reading.fault->reason);
      }
      const Framing kind = reading.framing.kind;
      framed_length = kind == Framing::kLength ? reading.framing.length : -1;
      state.Remaining = framed_length;
      state.Chunked = kind == Framing::kChunked;
      no_body = kind == Framing::kNone;
      if (no_body) state.Remaining = 0;
      CaptureHooks no_capture;
      BodyRelay relay{upstream, browser, state, no_capture, monitor, piece, "1"};
      relay.Run();
    } catch (const std::exception&) {
      failed = true;
    }
  }
  browser_side.connection.reset();
  const std::string relayed = fuzz::ReceiveAll(*browser_side.far);

  const std::optional<std::size_t> head_end = HeadEnd(input);
  FUZZ_REQUIRE(head_read == head_end.has_value());
  if (!head_read) {
    FUZZ_REQUIRE(relayed.empty());
    return 0;
  }
  const std::string_view body = std::string_view(input).substr(*head_end);
  if (refused) {
    FUZZ_REQUIRE(relayed.empty());  // a head with two readings: nothing of it goes on
    return 0;
  }
  if (no_body) {
    FUZZ_REQUIRE(relayed.empty() && !failed);
    return 0;
  }
  if (framed_length >= 0) {
    // By length: exactly that many bytes, the same bytes; short only when the origin closed.
    const auto length = static_cast<std::size_t>(framed_length);
    FUZZ_REQUIRE(relayed == body.substr(0, length));
    FUZZ_REQUIRE(failed == (body.size() < length));
  } else if (!state.Chunked) {
    // Until close: everything, and the relay ends only by the origin closing.
    FUZZ_REQUIRE(relayed == body && failed);
  } else {
    // Chunked: nothing is made up; a line end may become CR LF, and the end adds one.
    std::size_t line_ends = 0;
    for (const char c : body) line_ends += c == '\n';
    FUZZ_REQUIRE(relayed.size() <= body.size() + line_ends + 2);
    // A failure after the last chunk can only be one in its trailer.
    FUZZ_REQUIRE(state.LastChunkSeen || failed);
    // A well-formed stream goes through unchanged, up to and with its last chunk.
    if (const auto end = StrictChunkedEnd(body)) {
      FUZZ_REQUIRE(state.LastChunkSeen);
      FUZZ_REQUIRE(relayed == body.substr(0, *end));
    }
  }
  return 0;
}
