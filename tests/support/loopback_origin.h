// A scripted origin server on the loopback interface for end-to-end tests of the proxy.
//
// ScriptedOrigin listens on 127.0.0.1 at a port the system picks and plays a script on every
// connection it accepts, on threads of its own. Independently of the script, everything a
// connection receives is recorded as it arrives, so a test can look at exactly what the proxy
// sent upstream, and the origin never closes on unread bytes (which would reset the
// connection and destroy the answer in flight). The destructor stops everything and joins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace trovanex::testing {

inline constexpr std::chrono::milliseconds kSupportWait{5000};

// One thing the origin does on a connection.
struct OriginStep {
  enum class Kind {
    kSend,       // send `bytes`
    kPause,      // wait `count` milliseconds
    kClose,      // end the sending direction: the peer reads end of stream
    kStall,      // do nothing more until the origin is destroyed
    kReadHead,   // wait until a header block (through CR LF CR LF) has arrived
    kReadBytes,  // wait until `count` more bytes have arrived
  };
  Kind kind;
  std::string bytes;
  std::size_t count = 0;

  static OriginStep Send(std::string bytes) { return {Kind::kSend, std::move(bytes), 0}; }
  static OriginStep Pause(int ms) { return {Kind::kPause, {}, static_cast<std::size_t>(ms)}; }
  static OriginStep Close() { return {Kind::kClose, {}, 0}; }
  static OriginStep Stall() { return {Kind::kStall, {}, 0}; }
  static OriginStep ReadHead() { return {Kind::kReadHead, {}, 0}; }
  static OriginStep ReadBytes(std::size_t n) { return {Kind::kReadBytes, {}, n}; }
};

// Steps run in order. A read step that cannot be satisfied (the peer closed, the origin is
// being destroyed) or a send that fails ends the script. A script that runs out without
// kClose leaves the connection open until the origin is destroyed.
using OriginScript = std::vector<OriginStep>;

// Answer bytes. `status_line` and `extra_headers` (each line ending in CR LF) are put in
// front as given.
std::string LengthAnswer(std::string_view body, std::string_view status_line = "HTTP/1.1 200 OK",
                         std::string_view extra_headers = "");
// Transfer-Encoding: chunked; one chunk per piece (sizes in lower-case hexadecimal), then the
// zero-size chunk and the empty line.
std::string ChunkedAnswer(const std::vector<std::string>& pieces,
                          std::string_view status_line = "HTTP/1.1 200 OK");
// No length and no chunked coding: the body ends when the origin closes.
std::string UntilCloseAnswer(std::string_view body,
                             std::string_view status_line = "HTTP/1.1 200 OK");

// `answer` as a browser gets it from the proxy, which closes the connection after it: its final
// head (after any 1xx heads) ends with "Connection: close".
std::string Closing(std::string_view answer);

// The usual script: wait for the request head, send `answer`, close.
OriginScript Answer(std::string answer);

class ScriptedOrigin {
 public:
  // Every connection plays `script`.
  explicit ScriptedOrigin(OriginScript script);
  // Connection k plays scripts[k]; connections beyond the list play its last script.
  explicit ScriptedOrigin(std::vector<OriginScript> scripts);
  ~ScriptedOrigin();
  ScriptedOrigin(const ScriptedOrigin&) = delete;
  ScriptedOrigin& operator=(const ScriptedOrigin&) = delete;

  int Port() const { return port_; }

  std::size_t ConnectionCount() const;
  bool WaitForConnections(std::size_t n, std::chrono::milliseconds timeout = kSupportWait);

  // Everything connection `index` (in order of acceptance) has received so far; empty when
  // there is no such connection.
  std::string Received(std::size_t index = 0) const;
  // What connection `index` has received once it is at least n bytes; none after `timeout`.
  std::optional<std::string> WaitForBytes(std::size_t n, std::size_t index = 0,
                                          std::chrono::milliseconds timeout = kSupportWait);
  // A whole request: the header block through its empty line, plus the number of body bytes
  // its Content-Length header names (none when there is no such header). Exactly those bytes,
  // also when more has arrived; none after `timeout`.
  std::optional<std::string> WaitForRequest(std::size_t index = 0,
                                            std::chrono::milliseconds timeout = kSupportWait);
  // True once the peer of connection `index` has closed its sending direction (the proxy
  // released the upstream connection).
  bool WaitForPeerClose(std::size_t index = 0, std::chrono::milliseconds timeout = kSupportWait);

 private:
  struct Session;
  void AcceptLoop();
  void Record(Session& session);
  void Play(Session& session, const OriginScript& script);
  // Waits, with lock_ held by `lock`, until `done` holds, the peer closed or the origin stops.
  template <typename Done>
  bool WaitInSession(std::unique_lock<std::mutex>& lock, Session& session, Done done);

  const std::vector<OriginScript> scripts_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd that ends the accept loop
  int port_ = 0;
  std::thread accept_thread_;

  mutable std::mutex lock_;  // guards sessions_, stopping_ and every session's state
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Session>> sessions_;
  bool stopping_ = false;
};

// A listener whose accept queue is full, so that a connect to its port is neither accepted
// nor refused and runs into the connector's own time-out. Linux drops a SYN for a listener
// with a full queue; with a backlog of 0 the queue holds one connection, which this class
// makes itself. The constructor checks that one more connect gets no answer, and throws if
// the queue could not be filled.
class FullQueueListener {
 public:
  FullQueueListener();
  ~FullQueueListener();
  FullQueueListener(const FullQueueListener&) = delete;
  FullQueueListener& operator=(const FullQueueListener&) = delete;

  int Port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;  // connections that sit in the queue, never accepted
};

// A loopback port with nothing listening on it at the time of the call (connects are
// refused), found by binding port 0 and closing again.
int ClosedPort();

}  // namespace trovanex::testing
