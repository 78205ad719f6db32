#include "fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace trovanex::fuzz {

SocketPair::SocketPair() {
  int fds[2];
  FUZZ_REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  ours = fds[0];
  theirs = fds[1];
}

SocketPair::~SocketPair() {
  if (theirs >= 0) ::close(theirs);
  // `ours` belongs to the Connection it was handed to.
}

struct Pump::State {
  int feed;
  std::string input;
  int drain;
  std::string drained;
  std::thread thread;

  // Both directions at once: the side under test may block writing before it reads on.
  void Run() {
    std::size_t written = 0;
    bool feeding = feed >= 0;
    if (feeding) ::fcntl(feed, F_SETFL, ::fcntl(feed, F_GETFL) | O_NONBLOCK);
    if (feeding && input.empty()) {
      ::shutdown(feed, SHUT_WR);
      feeding = false;
    }
    bool draining = drain >= 0;
    char buffer[65536];
    while (feeding || draining) {
      pollfd fds[2] = {{feeding ? feed : -1, POLLOUT, 0}, {draining ? drain : -1, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        FUZZ_REQUIRE(errno == EINTR);
        continue;
      }
      if (feeding && fds[0].revents) {
        const ssize_t n =
            ::send(feed, input.data() + written, input.size() - written, MSG_NOSIGNAL);
        if (n > 0) written += static_cast<std::size_t>(n);
        // The reader may stop early and close: what it did not take is simply not fed.
        if (written == input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          ::shutdown(feed, SHUT_WR);
          feeding = false;
        }
      }
      if (draining && fds[1].revents) {
        const ssize_t n = ::recv(drain, buffer, sizeof buffer, 0);
        if (n > 0)
          drained.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
          draining = false;
      }
    }
  }
};

Pump::Pump(int feed, std::string input, int drain)
    : state_(new State{feed, std::move(input), drain, {}, {}}) {
  state_->thread = std::thread([this] { state_->Run(); });
}

Pump::~Pump() {
  if (state_->thread.joinable()) state_->thread.join();
  delete state_;
}

std::string Pump::Join() {
  state_->thread.join();
  return std::move(state_->drained);
}

}  // namespace trovanex::fuzz
