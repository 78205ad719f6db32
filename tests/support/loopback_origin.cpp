#include "support/loopback_origin.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace trovanex::testing {
namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + " failed, errno " + std::to_string(errno));
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket bound to 127.0.0.1 at a port the system picks; returns the socket and the port.
std::pair<int, int> BindLoopback(int type_flags) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | type_flags, 0);
  if (fd < 0) throw SystemError("socket");
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const auto error = SystemError("bind");
    ::close(fd);
    throw error;
  }
  return {fd, ntohs(address.sin_port)};
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The length of the first whole request in `bytes` (head, empty line and as many body bytes as
// its Content-Length names), or none while it is incomplete.
std::optional<std::size_t> RequestLength(const std::string& bytes) {
  const std::size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return std::nullopt;
  std::size_t body = 0;
  std::size_t line_start = bytes.find("\r\n") + 2;  // the request line has no headers
  while (line_start < head_end + 2) {
    const std::size_t line_end = bytes.find("\r\n", line_start);
    const std::string_view line(bytes.data() + line_start, line_end - line_start);
    const std::size_t colon = line.find(':');
    std::string name(line.substr(0, colon == std::string_view::npos ? 0 : colon));
    std::transform(name.begin(), name.end(), name.begin(), AsciiLower);
    if (name == "content-length") {
      body = std::strtoull(std::string(line.substr(colon + 1)).c_str(), nullptr, 10);
      break;
    }
    line_start = line_end + 2;
  }
  const std::size_t total = head_end + 4 + body;
  if (bytes.size() < total) return std::nullopt;
  return total;
}

std::string Head(std::string_view status_line, std::string_view headers) {
  std::string head(status_line);
  head += "\r\n";
  head += headers;
  return head;
}

}  // namespace

std::string LengthAnswer(std::string_view body, std::string_view status_line,
                         std::string_view extra_headers) {
  return Head(status_line, "Content-Length: " + std::to_string(body.size()) + "\r\n") +
         std::string(extra_headers) + "\r\n" + std::string(body);
}

std::string ChunkedAnswer(const std::vector<std::string>& pieces, std::string_view status_line) {
  std::string answer = Head(status_line, "Transfer-Encoding: chunked\r\n\r\n");
  for (const std::string& piece : pieces) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    answer += size + piece + "\r\n";
  }
  return answer + "0\r\n\r\n";
}

std::string UntilCloseAnswer(std::string_view body, std::string_view status_line) {
  return Head(status_line, "\r\n") + std::string(body);
}

std::string Closing(std::string_view answer) {
  std::size_t head = 0;
  while (answer.substr(head).starts_with("HTTP/1.1 1") &&
         !answer.substr(head).starts_with("HTTP/1.1 101"))
    head = answer.find("\r\n\r\n", head) + 4;
  const std::size_t end = answer.find("\r\n\r\n", head);
  return std::string(answer.substr(0, end)) + "\r\nConnection: close" +
         std::string(answer.substr(end));
}

OriginScript Answer(std::string answer) {
  return {OriginStep::ReadHead(), OriginStep::Send(std::move(answer)), OriginStep::Close()};
}

struct ScriptedOrigin::Session {
  int fd = -1;
  std::string received;      // guarded by lock_
  std::size_t consumed = 0;  // bytes the script's read steps have used; guarded by lock_
  bool peer_closed = false;  // guarded by lock_
  std::thread recorder;
  std::thread player;
};

ScriptedOrigin::ScriptedOrigin(OriginScript script)
    : ScriptedOrigin(std::vector<OriginScript>{std::move(script)}) {}

ScriptedOrigin::ScriptedOrigin(std::vector<OriginScript> scripts) : scripts_(std::move(scripts)) {
  if (scripts_.empty()) throw std::invalid_argument("ScriptedOrigin needs a script");
  std::tie(listen_fd_, port_) = BindLoopback(0);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (::listen(listen_fd_, SOMAXCONN) != 0 || wake_fd_ < 0) {
    const auto error = SystemError("listen");
    ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    throw error;
  }
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedOrigin::~ScriptedOrigin() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
  accept_thread_.join();
  // No session is added any more. Shutting the sockets down wakes blocked reads and sends.
  for (const auto& session : sessions_) ::shutdown(session->fd, SHUT_RDWR);
  for (const auto& session : sessions_) {
    session->recorder.join();
    session->player.join();
    ::close(session->fd);
  }
  ::close(listen_fd_);
  ::close(wake_fd_);
}

void ScriptedOrigin::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard guard(lock_);
    auto session = std::make_unique<Session>();
    session->fd = fd;
    Session& added = *session;
    const OriginScript& script = scripts_[std::min(sessions_.size(), scripts_.size() - 1)];
    sessions_.push_back(std::move(session));
    added.recorder = std::thread([this, &added] { Record(added); });
    added.player = std::thread([this, &added, &script] { Play(added, script); });
    changed_.notify_all();
  }
}

void ScriptedOrigin::Record(Session& session) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::recv(session.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard guard(lock_);
    if (n <= 0) {
      session.peer_closed = true;
      changed_.notify_all();
      return;
    }
    session.received.append(buffer, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
}

template <typename Done>
bool ScriptedOrigin::WaitInSession(std::unique_lock<std::mutex>& lock, Session& session,
                                   Done done) {
  changed_.wait(lock, [&] { return done() || session.peer_closed || stopping_; });
  return done();
}

void ScriptedOrigin::Play(Session& session, const OriginScript& script) {
  using Kind = OriginStep::Kind;
  for (const OriginStep& step : script) {
    switch (step.kind) {
      case Kind::kSend:
        if (!SendAll(session.fd, step.bytes)) return;
        break;
      case Kind::kPause: {
        std::unique_lock lock(lock_);
        if (changed_.wait_for(lock, std::chrono::milliseconds(step.count),
                              [&] { return stopping_; })) {
          return;
        }
        break;
      }
      case Kind::kClose:
        ::shutdown(session.fd, SHUT_WR);
        break;
      case Kind::kStall: {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return stopping_; });
        return;
      }
      case Kind::kReadHead: {
        std::unique_lock lock(lock_);
        std::size_t end = std::string::npos;
        const auto found = [&] {
          end = session.received.find("\r\n\r\n", session.consumed);
          return end != std::string::npos;
        };
        if (!WaitInSession(lock, session, found)) return;
        session.consumed = end + 4;
        break;
      }
      case Kind::kReadBytes: {
        std::unique_lock lock(lock_);
        const auto arrived = [&] {
          return session.received.size() - session.consumed >= step.count;
        };
        if (!WaitInSession(lock, session, arrived)) return;
        session.consumed += step.count;
        break;
      }
    }
  }
}

std::size_t ScriptedOrigin::ConnectionCount() const {
  std::lock_guard guard(lock_);
  return sessions_.size();
}

bool ScriptedOrigin::WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  return changed_.wait_for(lock, timeout, [&] { return sessions_.size() >= n; });
}

std::string ScriptedOrigin::Received(std::size_t index) const {
  std::lock_guard guard(lock_);
  return index < sessions_.size() ? sessions_[index]->received : std::string();
}

std::optional<std::string> ScriptedOrigin::WaitForBytes(std::size_t n, std::size_t index,
                                                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  changed_.wait_for(lock, timeout, [&] {
    return index < sessions_.size() &&
           (sessions_[index]->received.size() >= n || sessions_[index]->peer_closed);
  });
  if (index >= sessions_.size() || sessions_[index]->received.size() < n) return std::nullopt;
  return sessions_[index]->received;
}

std::optional<std::string> ScriptedOrigin::WaitForRequest(std::size_t index,
                                                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  std::optional<std::size_t> length;
  changed_.wait_for(lock, timeout, [&] {
    if (index >= sessions_.size()) return false;
    length = RequestLength(sessions_[index]->received);
    return length.has_value() || sessions_[index]->peer_closed;
  });
  if (!length) return std::nullopt;
  return sessions_[index]->received.substr(0, *length);
}

bool ScriptedOrigin::WaitForPeerClose(std::size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock lock(lock_);
  return changed_.wait_for(
      lock, timeout, [&] { return index < sessions_.size() && sessions_[index]->peer_closed; });
}

namespace {

// Whether a non-blocking connect on `fd` completes successfully within `timeout`.
bool ConnectCompletes(int fd, std::chrono::milliseconds timeout) {
  pollfd out{fd, POLLOUT, 0};
  if (::poll(&out, 1, static_cast<int>(timeout.count())) != 1) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

FullQueueListener::FullQueueListener() {
  std::tie(listen_fd_, port_) = BindLoopback(0);
  if (::listen(listen_fd_, 0) != 0) {
    const auto error = SystemError("listen");
    ::close(listen_fd_);
    throw error;
  }
  const sockaddr_in address = Loopback(port_);
  // A loopback handshake completes at once; a connect left unanswered this long was dropped.
  constexpr std::chrono::milliseconds kUnanswered{300};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool connected =
        result == 0 || (errno == EINPROGRESS && ConnectCompletes(fd, kUnanswered));
    if (connected) {
      fillers_.push_back(fd);
      continue;
    }
    ::close(fd);
    if (!fillers_.empty()) return;  // the queue is full: this connect got no answer
    break;
  }
  for (const int fd : fillers_) ::close(fd);
  ::close(listen_fd_);
  throw std::runtime_error("could not fill the accept queue of a loopback listener");
}

FullQueueListener::~FullQueueListener() {
  for (const int fd : fillers_) ::close(fd);
  ::close(listen_fd_);
}

int ClosedPort() {
  const auto [fd, port] = BindLoopback(0);
  ::close(fd);
  return port;
}

}  // namespace trovanex::testing
