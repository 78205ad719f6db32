// A browser that speaks raw bytes to the proxy over loopback: what it sends is exactly what the
// test wrote, in the pieces and with the pauses the test asks for, and what it reads is every
// byte the proxy answered, so framing faults show up unchanged.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/loopback_origin.h"

namespace trovanex::testing {

class RawBrowser {
 public:
  // Connects to 127.0.0.1:port; throws when the connect fails.
  explicit RawBrowser(int port);
  // The same from the local address `source` (another loopback address such as "127.0.0.2"
  // makes a client that is not 127.0.0.1 without leaving the machine).
  RawBrowser(int port, const std::string& source);
  ~RawBrowser();
  RawBrowser(const RawBrowser&) = delete;
  RawBrowser& operator=(const RawBrowser&) = delete;

  // False when the proxy no longer takes bytes.
  bool Send(std::string_view bytes);
  // Each piece in its own send, with `pause` between them.
  bool SendPieces(const std::vector<std::string>& pieces, std::chrono::milliseconds pause);

  // Every byte until the proxy closes, or what arrived until `timeout` ran out (then
  // TimedOut() is true). Bytes left over by ReadHead come first.
  std::string ReadUntilClose(std::chrono::milliseconds timeout = kSupportWait);
  // The answer head through its empty line; bytes after it stay for the next read. None when
  // the proxy closes first or `timeout` runs out.
  std::optional<std::string> ReadHead(std::chrono::milliseconds timeout = kSupportWait);

  // Ends the sending direction only: the proxy reads end of stream, the answer can still come.
  void CloseSending();
  // Closes the connection; a later read or send by the proxy fails.
  void Close();

  // Whether the last read ended because its time-out ran out.
  bool TimedOut() const { return timed_out_; }

 private:
  // Appends what arrives within `timeout` to pending_; false on end of stream or time-out.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string pending_;  // bytes read but not handed out yet
  bool timed_out_ = false;
};

// Connects, sends `request`, and reads the whole answer until the proxy closes.
std::string Exchange(int port, std::string_view request,
                     std::chrono::milliseconds timeout = kSupportWait);

// Connects, sends `bytes` and closes at once, without reading anything: a browser that went
// away while its request was being handled.
void SendThenClose(int port, std::string_view bytes);

// Connects, sends `request`, reads only the answer head and closes.
std::optional<std::string> ExchangeHeadOnly(int port, std::string_view request,
                                            std::chrono::milliseconds timeout = kSupportWait);

}  // namespace trovanex::testing
