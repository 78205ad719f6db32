#include "support/raw_browser.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <utility>

namespace trovanex::testing {

RawBrowser::RawBrowser(int port) : RawBrowser(port, std::string()) {}

RawBrowser::RawBrowser(int port, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed, errno " + std::to_string(errno));
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      const int error = errno;
      ::close(fd_);
      throw std::runtime_error("bind to " + source + " failed, errno " + std::to_string(error));
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::runtime_error("connect to port " + std::to_string(port) + " failed, errno " +
                             std::to_string(error));
  }
}

RawBrowser::~RawBrowser() {
  Close();
}

bool RawBrowser::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool RawBrowser::SendPieces(const std::vector<std::string>& pieces,
                            std::chrono::milliseconds pause) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(pause);
    if (!Send(pieces[i])) return false;
  }
  return true;
}

bool RawBrowser::ReadSome(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0) return false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out_ = true;
      return false;
    }
    pollfd in{fd_, POLLIN, 0};
    const int ready = ::poll(&in, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;  // the deadline check above ends the wait
    if (ready < 0) return false;
    char buffer[16384];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // end of stream, or reset by the proxy
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

std::string RawBrowser::ReadUntilClose(std::chrono::milliseconds timeout) {
  timed_out_ = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadSome(deadline)) {
  }
  return std::exchange(pending_, std::string());
}

std::optional<std::string> RawBrowser::ReadHead(std::chrono::milliseconds timeout) {
  timed_out_ = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t end = pending_.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::string head = pending_.substr(0, end + 4);
      pending_.erase(0, end + 4);
      return head;
    }
    if (!ReadSome(deadline)) return std::nullopt;
  }
}

void RawBrowser::CloseSending() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void RawBrowser::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string Exchange(int port, std::string_view request, std::chrono::milliseconds timeout) {
  RawBrowser browser(port);
  browser.Send(request);
  return browser.ReadUntilClose(timeout);
}

void SendThenClose(int port, std::string_view bytes) {
  RawBrowser browser(port);
  browser.Send(bytes);
}

std::optional<std::string> ExchangeHeadOnly(int port, std::string_view request,
                                            std::chrono::milliseconds timeout) {
  RawBrowser browser(port);
  browser.Send(request);
  return browser.ReadHead(timeout);
}

}  // namespace trovanex::testing
