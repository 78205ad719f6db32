// A browser's request head as it arrives on a real connection: the request line (empty lines
// before it skipped), ParseRequestLine, the header block (ReadHeaderBlock with its limits) and
// the request's Content-Length. The first input byte repeats the rest 1 to 8 times, so that
// the 256 KiB limit of a block is within reach of small inputs.
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/proxy_request.h"
#include "fuzz_support.h"
#include "platform/connection.h"
#include "platform/net_errors.h"

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
  std::size_t total = 0;
  for (;;) {
    if (!next(line, raw, expected.end)) return expected;
    if (kMaxHeaderBlock - total < raw) {
      expected.end = End::kBlockTooLarge;
      return expected;
    }
    total += raw;
    if (line.empty()) break;
    expected.headers.push_back(line);
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

  fuzz::SocketPair pair;
  fuzz::Pump pump(pair.theirs, input, -1);
  std::string request_line;
  std::vector<std::string> headers;
  End end = End::kBlock;
  {
    Connection browser(pair.ours);
    browser.SetReadTimeout(10000);  // the whole input is on its way; only a fault waits
    try {
      while (request_line.empty()) request_line = browser.ReadLine();
      browser.ReadHeaderBlock(headers);
    } catch (const PeerClosed&) {
      end = End::kClosed;
    } catch (const LineTooLong&) {
      end = End::kLineTooLong;
    } catch (const HeaderBlockTooLarge&) {
      end = End::kBlockTooLarge;
    }
  }
  pump.Join();

  FUZZ_REQUIRE(end == expected.end);
  FUZZ_REQUIRE(request_line == expected.request_line);
  if (end != End::kBlock) return 0;
  FUZZ_REQUIRE(headers == expected.headers);

  TProxyRequest request;
  try {
    ParseRequestLine(request_line, request);
  } catch (const std::invalid_argument&) {
  }
  // The body is read by this count: the last Content-Length line, a 32-bit number or refused.
  try {
    const std::int64_t length = RequestContentLength(headers);
    FUZZ_REQUIRE(length >= INT32_MIN && length <= INT32_MAX);
    bool named = false;
    for (const std::string& line : headers)
      named = named || (line.size() >= 15 && (line[0] | 0x20) == 'c' && line[14] == ':');
    if (!named) FUZZ_REQUIRE(length == 0);
  } catch (const std::invalid_argument&) {
  }
  const std::string host = HeaderValue(headers, "Host");
  FUZZ_REQUIRE(host.size() <= kMaxHeaderBlock);
  return 0;
}
