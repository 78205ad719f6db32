#include "engine/message_head.h"

#include <algorithm>
#include <climits>

#include "engine/proxy_request.h"
#include "platform/connection.h"
#include "platform/net_errors.h"
#include "platform/text.h"

namespace trovanex {
namespace {

constexpr int kHeaderPauseMs = 1000;  // a longer pause from the browser ends its header block

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The name of a header line: the text before its colon, as it stands.
std::string_view NameOf(std::string_view line) {
  return line.substr(0, line.find(':'));
}

bool Named(std::string_view line, std::string_view name) {
  return line.find(':') != std::string_view::npos && EqualsIgnoringCase(NameOf(line), name);
}

std::string_view ValueOf(std::string_view line) {
  const auto colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(colon + 1));
}

// A Content-Length value: digits only, at most what a 32-bit length holds.
std::optional<std::int64_t> LengthValue(std::string_view value) {
  if (value.empty() || value.size() > 10) return std::nullopt;
  std::int64_t length = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + (c - '0');
  }
  if (length > INT32_MAX) return std::nullopt;
  return length;
}

// The first fault of a line's bytes: a control character other than the tab inside it.
std::optional<std::string> ControlFault(std::string_view line) {
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') return "a CR inside a header line";
    if (c == '\0') return "a NUL inside a header line";
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return "a control character in a header line";
  }
  return std::nullopt;
}

// The lines named Content-Length: their one value, with every later line that repeats it
// removed. A fault names a value that is not a number or two different ones.
struct LengthLines {
  std::optional<std::int64_t> length;
  std::optional<std::string> fault;
};

LengthLines FoldLengths(std::vector<std::string>& head) {
  LengthLines found;
  for (std::size_t i = 1; i < head.size() && !head[i].empty();) {
    if (!Named(head[i], "Content-Length")) {
      ++i;
      continue;
    }
    const std::optional<std::int64_t> value = LengthValue(ValueOf(head[i]));
    if (!value) {
      found.fault = "a Content-Length that is not a number";
      return found;
    }
    if (found.length && *found.length != *value) {
      found.fault = "two different Content-Length values";
      return found;
    }
    if (found.length) {
      head.erase(head.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    found.length = value;
    ++i;
  }
  return found;
}

// The transfer codings of every Transfer-Encoding line, in order, lower case; an empty coding
// stands for an empty list element.
std::optional<std::vector<std::string>> TransferCodings(const std::vector<std::string>& head) {
  std::optional<std::vector<std::string>> codings;
  for (std::size_t i = 1; i < head.size() && !head[i].empty(); ++i) {
    if (!Named(head[i], "Transfer-Encoding")) continue;
    if (!codings) codings.emplace();
    std::string_view value = ValueOf(head[i]);
    for (;;) {
      const auto comma = value.find(',');
      codings->push_back(AsciiLower(TrimBlanks(value.substr(0, comma))));
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  }
  return codings;
}

bool KnownCoding(std::string_view coding) {
  const std::string_view name = TrimBlanks(coding.substr(0, coding.find(';')));
  for (const std::string_view known :
       {"chunked", "gzip", "x-gzip", "deflate", "compress", "x-compress"})
    if (name == known) return true;
  return false;
}

HeadReading Refused(int status, std::string reason) {
  return HeadReading{{}, HeadFault{status, std::move(reason)}};
}

// The faults of a request's header lines that no framing rule needs: each line on its own.
std::optional<std::string> RequestLineFault(std::string_view line) {
  if (IsBlank(line.front())) return "a folded header line";
  if (auto fault = ControlFault(line)) return fault;
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return "a header line without a colon";
  const std::string_view name = line.substr(0, colon);
  if (name.empty()) return "a header line without a name";
  if (IsBlank(name.back())) return "white space before a header's colon";
  if (!std::all_of(name.begin(), name.end(), IsTokenChar))
    return "a header name that is not a token";
  return std::nullopt;
}

}  // namespace

HeadReading FrameRequestHead(std::vector<std::string>& head, std::string_view method,
                             std::string_view version) {
  int hosts = 0;
  for (std::size_t i = 1; i < head.size() && !head[i].empty(); ++i) {
    if (auto fault = RequestLineFault(head[i])) return Refused(400, std::move(*fault));
    if (Named(head[i], "Host")) ++hosts;
  }
  if (hosts > 1) return Refused(400, "more than one Host line");
  const LengthLines lengths = FoldLengths(head);
  if (lengths.fault) return Refused(400, *lengths.fault);
  const std::optional<std::vector<std::string>> codings = TransferCodings(head);
  const bool tunnel = method == "CONNECT";

  if (!codings) {
    if (tunnel && lengths.length.value_or(0) > 0) return Refused(400, "a CONNECT with a body");
    if (!lengths.length || *lengths.length == 0 || tunnel) return {};
    return HeadReading{{Framing::kLength, *lengths.length}, std::nullopt};
  }
  if (tunnel) return Refused(400, "a CONNECT with a transfer coding");
  if (version == "HTTP/1.0") return Refused(400, "Transfer-Encoding in an HTTP/1.0 request");
  if (lengths.length) return Refused(400, "Transfer-Encoding beside Content-Length");
  for (const std::string& coding : *codings) {
    if (coding.empty()) return Refused(400, "an empty transfer coding");
    if (!KnownCoding(coding))
      return Refused(501, "the transfer coding \"" + coding + "\" is not known here");
  }
  if (std::count(codings->begin(), codings->end(), "chunked") > 1)
    return Refused(400, "chunked coding named twice");
  if (codings->back() != "chunked")
    return Refused(400, "a coding list that does not end in chunked");
  return HeadReading{{Framing::kChunked, 0}, std::nullopt};
}

HeadReading FrameAnswerHead(std::vector<std::string>& head, std::string_view method) {
  for (std::size_t i = 1; i < head.size();) {
    std::string& line = head[i];
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string::npos)
      return Refused(502, "a CR or NUL inside a header line of the answer");
    if (!line.empty() && IsBlank(line.front())) {
      if (i == 1) return Refused(502, "a folded line right after the answer's status line");
      // A folded line: one blank joins it to the line it continues.
      head[i - 1] += ' ';
      head[i - 1] += TrimBlanks(line);
      head.erase(head.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    // White space before the colon: a browser would take it as part of the name, or drop
    // the line, where this side reads the header.
    if (const auto colon = line.find(':'); colon != std::string::npos) {
      std::size_t name_end = colon;
      while (name_end > 0 && IsBlank(line[name_end - 1])) --name_end;
      line.erase(name_end, colon - name_end);
    }
    ++i;
  }

  const LengthLines lengths = FoldLengths(head);
  if (lengths.fault) return Refused(502, *lengths.fault + " in the answer");
  const std::optional<std::vector<std::string>> codings = TransferCodings(head);
  if (codings) {
    for (const std::string& coding : *codings)
      if (coding != "chunked")
        return Refused(502, "the answer's transfer coding \"" + coding + "\" is not chunked");
    if (codings->size() > 1) return Refused(502, "chunked coding named twice in the answer");
    RemoveHeader(head, "Content-Length");
  }

  const int code = head.empty() ? -1 : StatusCode(head.front());
  // A tunnel's bytes follow the upstream proxy's success at once.
  const bool opens_tunnel = method == "CONNECT" && code >= 200 && code < 300;
  if (method == "HEAD" || opens_tunnel || (code >= 100 && code < 200) || code == 204 || code == 304)
    return {};
  if (codings) return HeadReading{{Framing::kChunked, 0}, std::nullopt};
  if (lengths.length) return HeadReading{{Framing::kLength, *lengths.length}, std::nullopt};
  return HeadReading{{Framing::kUntilClose, 0}, std::nullopt};
}

std::optional<std::int64_t> StrictChunkSize(std::string_view line) {
  constexpr std::size_t kMaxDigits = 15;  // 60 bits: no overflow, far past any body kept
  std::size_t digits = 0;
  std::int64_t size = 0;
  for (; digits < line.size(); ++digits) {
    const char c = AsciiLowerChar(line[digits]);
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      break;
    if (digits == kMaxDigits) return std::nullopt;
    size = size * 16 + digit;
  }
  if (digits == 0) return std::nullopt;
  std::string_view rest = line.substr(digits);
  if (rest.empty()) return size;
  // Blanks only before an extension: "5 " is a size to some readers and a fault to others.
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  if (rest.empty() || rest.front() != ';' || ControlFault(rest)) return std::nullopt;
  return size;
}

void RemoveHeader(std::vector<std::string>& head, std::string_view name) {
  if (head.empty()) return;
  head.erase(std::remove_if(head.begin() + 1, head.end(),
                            [name](const std::string& line) { return Named(line, name); }),
             head.end());
}

void SetHeader(std::vector<std::string>& head, std::string_view name, std::string_view value) {
  std::string line = std::string(name) + ": " + std::string(value);
  for (std::size_t i = 1; i < head.size() && !head[i].empty(); ++i) {
    if (!Named(head[i], name)) continue;
    head[i] = std::move(line);
    head.erase(std::remove_if(head.begin() + static_cast<std::ptrdiff_t>(i) + 1, head.end(),
                              [name](const std::string& other) { return Named(other, name); }),
               head.end());
    return;
  }
  // Before the empty line that ends a head, where there is one.
  auto end = head.end();
  if (head.size() > 1 && head.back().empty()) --end;
  head.insert(end, std::move(line));
}

HeadDeadline::HeadDeadline(int timeout_ms)
    : timeout_ms_(timeout_ms), end_(Deadline::Limit(timeout_ms)) {}

int HeadDeadline::WaitMs(int cap) const {
  const int left = end_.MsLeft();
  return left < 0 ? cap : std::min(left, cap);
}

std::optional<std::string> ReadRequestLine(Connection& browser, const HeadDeadline& deadline) {
  if (deadline.TimeoutMs() <= 0) {
    // No limit: the browser's connection waits as long as the browser keeps it open.
    std::string line;
    while (line.empty()) line = browser.ReadLine();
    return line;
  }
  std::string line;
  while (line.empty())
    if (!browser.ReadLineWithin(deadline.WaitMs(INT_MAX), line)) return std::nullopt;
  return line;
}

bool ReadRequestHeaderLines(Connection& browser, const HeadDeadline& deadline,
                            std::vector<std::string>& head, std::size_t block_size) {
  for (;;) {
    const int wait = deadline.WaitMs(kHeaderPauseMs);
    std::string line;
    // A silence cut short by the deadline ends the head unread; a full second's pause is an
    // empty line.
    if (!browser.ReadLineWithin(wait, line) && wait < kHeaderPauseMs) return false;
    block_size += line.size() + 2;
    if (block_size > kMaxHeaderBlock) throw HeaderBlockTooLarge();
    const bool last = line.empty();
    head.push_back(std::move(line));
    if (last) return true;
  }
}

}  // namespace trovanex
