// The head of an HTTP/1.1 message, read one way only: where its body ends (by a length, in
// chunks, when the sender closes, or nowhere) and whether the head can be read any other way.
// A head that a standard reader could frame differently is refused, never passed on, so that
// the proxy, the origin and the browser always agree where one message ends and the next one
// starts. Requests and answers, plain and inside opened tunnels, are read here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/deadline.h"

namespace trovanex {

class Connection;

enum class Framing { kNone, kLength, kChunked, kUntilClose };

struct BodyFraming {
  Framing kind = Framing::kNone;
  std::int64_t length = 0;  // kLength: the Content-Length
};

// Why a head is refused, and the status that says so: 400 or 501 for a request, 502 for an
// origin's answer.
struct HeadFault {
  int status = 0;
  std::string reason;
};

// A head's body framing, or the fault that refuses it.
struct HeadReading {
  BodyFraming framing;
  std::optional<HeadFault> fault;
};

// The request head `head` (request line first, then its header lines; an empty line ends it) of a
// request with `method` and `version`. Identical Content-Length lines are folded into the
// first. Refused: a header name that is not a token or white space before its colon, a folded
// line, a control character (CR and NUL included) inside a line, a Content-Length that is not
// digits only or over 2^31-1, two different ones, Transfer-Encoding beside Content-Length or in
// an HTTP/1.0 request, a coding list that does not end in "chunked" or names it twice, more than
// one Host line or none in HTTP/1.1 (400); a transfer coding not known here (501). A CONNECT
// has no body: a length above 0 or any transfer coding is refused too.
HeadReading FrameRequestHead(std::vector<std::string>& head, std::string_view method,
                             std::string_view version);

// The origin's answer head `head` (status line first, then its header lines) to a request with
// `method`. Folded lines are unfolded and white space before a colon removed, so that the
// browser reads the lines the proxy read; Transfer-Encoding decides over Content-Length, which
// then goes. A success to a CONNECT has no body: the tunnel's bytes follow. Refused (502): a
// Content-Length that is not digits only, two different ones, a transfer coding other than
// "chunked", a CR or NUL inside a line.
HeadReading FrameAnswerHead(std::vector<std::string>& head, std::string_view method);

// The size of a chunk in a request body, read strictly: 1 to 16 hexadecimal digits, then
// nothing or an extension after ";" (blanks allowed before it). Nothing for any other line.
std::optional<std::int64_t> StrictChunkSize(std::string_view line);

// Header lines by name (ignoring case), in a head whose first line is the start line.
void RemoveHeader(std::vector<std::string>& head, std::string_view name);
// Replaces the lines named `name` by one "name: value" line where the first stood, or adds it
// at the end.
void SetHeader(std::vector<std::string>& head, std::string_view name, std::string_view value);

// How long the browser may take for a whole request head, counted from the first wait; no
// limit for a time-out of 0 or less.
class HeadDeadline {
 public:
  explicit HeadDeadline(int timeout_ms);
  // The most the next wait may take: `cap` milliseconds, or less where the deadline is nearer;
  // 0 once it has passed.
  int WaitMs(int cap) const;
  int TimeoutMs() const { return timeout_ms_; }

 private:
  int timeout_ms_;
  Deadline end_;
};

// The first non-empty line from the browser; nothing when the deadline passes first.
std::optional<std::string> ReadRequestLine(Connection& browser, const HeadDeadline& deadline);

// The header lines after the request line, appended to `head` together with the empty line
// that ends them. A pause of more than a second from the browser ends the block as an empty
// line would. False when the deadline passes first. `block_size` holds the bytes of the head
// so far; throws HeaderBlockTooLarge past the limit, and what the connection throws.
bool ReadRequestHeaderLines(Connection& browser, const HeadDeadline& deadline,
                            std::vector<std::string>& head, std::size_t block_size);

}  // namespace trovanex
