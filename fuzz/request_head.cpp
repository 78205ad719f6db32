// A browser's request head as it arrives on a real connection, read as the proxy reads it: the
// request line (empty lines before it skipped), ParseRequestLine, the header lines with their
// limits, and the framing FrameRequestHead gives it, which must leave one reading only. The first
// input byte repeats the rest 1 to 8 times, so that the 256 KiB limit of a block is within reach of
// small inputs.
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/message_head.h"
#include "engine/proxy_request.h"
#include "fuzz_support.h"
#include "platform/connection.h"
#include "platform/net_errors.h"
#include "platform/text.h"

using namespace trovanex;

namespace {

enum class End { kBlock, kClosed, kLineTooLong, kBlockTooLarge };

// The same reading, done on the whole input at once: lines end at LF, one CR before it goes.
struct Expected {
  std::string request_line;
  std::vector<std::string> headers;
  End end = End::kClosed;
};

Expected Reference(std::string_view input) {
  Expected expected;
  std::size_t at = 0;
  // The next line into `line`; false when the input ends first.
  const auto next = [&](std::string& line, std::size_t& raw, End& failure) {
    const auto lf = input.find('\n', at);
    if (lf == std::string_view::npos) {
      failure = input.size() - at > kMaxLineLength ? End::kLineTooLong : End::kClosed;
      return false;
    }
    if (lf - at > kMaxLineLength) {
      failure = End::kLineTooLong;
      return false;
    }
    std::size_t end = lf;
    if (end > at && input[end - 1] == '\r') --end;
    line.assign(input.substr(at, end - at));
    raw = lf + 1 - at;
    at = lf + 1;
    return true;
  };
  std::string line;
  std::size_t raw = 0;
  while (line.empty())
    if (!next(line, raw, expected.end)) return expected;
  expected.request_line = line;
  std::size_t total = line.size();
  for (;;) {
    if (!next(line, raw, expected.end)) return expected;
    total += line.size() + 2;
    if (total > kMaxHeaderBlock) {
      expected.end = End::kBlockTooLarge;
      return expected;
    }
    expected.headers.push_back(line);
    if (line.empty()) break;
  }
  expected.end = End::kBlock;
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Choices choices(data, size);
  const int repeat = 1 + choices.Byte() % 8;
  std::string input;
  for (int i = 0; i < repeat; ++i) input.append(choices.Rest());
  const Expected expected = Reference(input);

  std::string request_line;
  std::vector<std::string> headers;
  End end = End::kBlock;
  {
    const std::unique_ptr<Connection> fed = fuzz::ConnectionFedWith(input);
    Connection& browser = *fed;
    const HeadDeadline deadline(10000);  // the whole input is there; only a fault waits
    try {
      request_line = ReadRequestLine(browser, deadline).value_or("");
      FUZZ_REQUIRE(ReadRequestHeaderLines(browser, deadline, headers, request_line.size()));
    } catch (const PeerClosed&) {
      end = End::kClosed;
    } catch (const LineTooLong&) {
      end = End::kLineTooLong;
    } catch (const HeaderBlockTooLarge&) {
      end = End::kBlockTooLarge;
    }
  }

  FUZZ_REQUIRE(end == expected.end);
  FUZZ_REQUIRE(request_line == expected.request_line);
  if (end != End::kBlock) return 0;
  FUZZ_REQUIRE(headers == expected.headers);

  TProxyRequest request;
  try {
    ParseRequestLine(request_line, request);
  } catch (const std::invalid_argument&) {
  }
  std::vector<std::string> head{request_line};
  head.insert(head.end(), headers.begin(), headers.end());
  const HeadReading reading = FrameRequestHead(head, request.Method, request.Version);
  if (reading.fault) {
    FUZZ_REQUIRE(reading.fault->status == 400 || reading.fault->status == 501);
    return 0;
  }
  // What goes on has one reading: no control byte, no fold, at most one length, never beside a
  // coding, and a body framed by the one rule that names it.
  int lengths = 0, codings = 0;
  for (std::size_t i = 1; i + 1 < head.size(); ++i) {
    const std::string& line = head[i];
    FUZZ_REQUIRE(!line.empty() && line[0] != ' ' && line[0] != '\t');
    for (const char c : line) FUZZ_REQUIRE(static_cast<unsigned char>(c) >= 0x20 || c == '\t');
    const std::string name = AsciiLower(line.substr(0, line.find(':')));
    lengths += name == "content-length";
    codings += name == "transfer-encoding";
  }
  FUZZ_REQUIRE(lengths <= 1 && !(lengths && codings));
  switch (reading.framing.kind) {
    case Framing::kLength:
      FUZZ_REQUIRE(lengths == 1 && reading.framing.length > 0 &&
                   reading.framing.length <= INT32_MAX);
      break;
    case Framing::kChunked:
      FUZZ_REQUIRE(codings > 0 && request.Version != "HTTP/1.0");
      break;
    case Framing::kNone:
      FUZZ_REQUIRE(codings == 0);
      break;
    case Framing::kUntilClose:
      FUZZ_REQUIRE(false);  // a request never runs until the browser closes
  }
  const std::string host = HeaderValue(headers, "Host");
  FUZZ_REQUIRE(host.size() <= kMaxHeaderBlock);
  return 0;
}
