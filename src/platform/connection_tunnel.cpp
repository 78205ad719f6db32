// A tunnel between two connections: bytes both ways, unchanged, until either side closes.
//
// Each direction has a kernel pipe as its buffer: socket -> pipe when the pipe has room,
// pipe -> socket when the far side can take more, both without blocking, one poll for both
// sockets. So a side that does not read holds back only its own direction, and no byte is
// copied through user space. Where no pipe can be had, a buffer of the same size stands in.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/connection.h"
#include "platform/connection_internal.h"

namespace trovanex {
namespace {

constexpr std::size_t kTunnelBuffer = 64 * 1024;

class TunnelDirection {
 public:
  TunnelDirection(int from, int to) : from_(from), to_(to) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      pipe_read_ = fds[0];
      pipe_write_ = fds[1];
      const int size = ::fcntl(pipe_write_, F_GETPIPE_SZ);
      capacity_ = size > 0 ? static_cast<std::size_t>(size) : kTunnelBuffer;
    } else {
      buffer_.resize(kTunnelBuffer);
      capacity_ = kTunnelBuffer;
    }
  }
  ~TunnelDirection() {
    if (pipe_read_ >= 0) ::close(pipe_read_);
    if (pipe_write_ >= 0) ::close(pipe_write_);
  }
  TunnelDirection(const TunnelDirection&) = delete;
  TunnelDirection& operator=(const TunnelDirection&) = delete;

  bool WantsToRead() const { return !ended_ && held_ < capacity_; }
  bool WantsToWrite() const { return held_ > 0; }
  // The far side closed (or failed) and everything it sent is passed on.
  bool Done() const { return ended_ && held_ == 0; }
  bool Failed() const { return failed_; }
  std::uint64_t Moved() const { return moved_; }

  // Moves what can be moved now without waiting, one step after the other while both make
  // progress (a few rounds at most, so that the other direction gets its turn). `readable`
  // and `writable` say what the last poll saw; a step known to find nothing is not tried.
  // Returns the bytes passed on.
  std::size_t Pump(bool readable, bool writable) {
    std::size_t passed = 0;
    for (int round = 0; round < 4; ++round) {
      const std::size_t filled = (readable || round > 0) && WantsToRead() ? Fill() : 0;
      const std::size_t drained =
          (writable || round > 0 || filled > 0) && WantsToWrite() ? Drain() : 0;
      passed += drained;
      if (filled == 0 && drained == 0) break;
    }
    return passed;
  }

 private:
  // Takes what the source has, as much as fits.
  std::size_t Fill() {
    if (pipe_read_ < 0 && start_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + start_, held_);
      start_ = 0;
    }
    const std::size_t room = capacity_ - held_;
    ssize_t n;
    do {
      n = pipe_read_ >= 0 ? ::splice(from_, nullptr, pipe_write_, nullptr, room,
                                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK)
                          : ::recv(from_, buffer_.data() + held_, room, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      held_ += static_cast<std::size_t>(n);
      return static_cast<std::size_t>(n);
    }
    if (n == 0)
      ended_ = true;
    else if (errno != EAGAIN && errno != EWOULDBLOCK)
      ended_ = failed_ = true;
    return 0;
  }

  // Passes on what the far side takes now; returns the count.
  std::size_t Drain() {
    ssize_t n;
    do {
      n = pipe_read_ >= 0
              ? ::splice(pipe_read_, nullptr, to_, nullptr, held_,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK)
              : ::send(to_, buffer_.data() + start_, held_, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // The receiving side is gone: what is held can never arrive.
        ended_ = failed_ = true;
        held_ = 0;
      }
      return 0;
    }
    const auto sent = static_cast<std::size_t>(n);
    held_ -= sent;
    moved_ += sent;
    if (pipe_read_ < 0) start_ = held_ == 0 ? 0 : start_ + sent;
    return sent;
  }

  const int from_;
  const int to_;
  int pipe_read_ = -1;
  int pipe_write_ = -1;
  std::string buffer_;  // only without a pipe; bytes [start_, start_ + held_) wait
  std::size_t start_ = 0;
  std::size_t capacity_ = 0;
  std::size_t held_ = 0;
  std::uint64_t moved_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Non-blocking for the tunnel's life, so that no single call waits on one side.
class NonBlockingFor {
 public:
  explicit NonBlockingFor(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~NonBlockingFor() {
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_);
  }
  NonBlockingFor(const NonBlockingFor&) = delete;
  NonBlockingFor& operator=(const NonBlockingFor&) = delete;

 private:
  const int fd_;
  const int flags_;
};

}  // namespace

std::size_t Connection::PassSome(Connection& to) {
  if (Buffered() == 0 && !Receive(0)) return 0;
  return ForwardBuffered(to, Buffered(), nullptr);
}

Connection::TunnelCounts Connection::LayeredTunnel(Connection& other, PieceCallback on_to_this,
                                                   void* context) {
  // Bytes under a layer (TLS) pass through user space: whatever either side has, as it comes.
  TunnelCounts counts;
  try {
    for (;;) {
      bool this_ready = Buffered() > 0 || Stream().HasPending();
      bool other_ready = other.Buffered() > 0 || other.Stream().HasPending();
      if (!this_ready && !other_ready) {
        pollfd watched[2] = {Stream().PollFor(true, false), other.Stream().PollFor(true, false)};
        if (::poll(watched, 2, -1) < 0) {
          if (errno == EINTR) continue;
          break;
        }
        this_ready = watched[0].revents != 0;
        other_ready = watched[1].revents != 0;
      }
      if (this_ready) counts.to_other += PassSome(other);
      if (other_ready) {
        const std::size_t n = other.PassSome(*this);
        counts.to_this += n;
        if (n > 0 && on_to_this) on_to_this(context, n);
      }
    }
  } catch (const NetError&) {
    // Either side closed or failed: the tunnel is over.
  }
  if (transport_) transport_->Shutdown();
  if (other.transport_) other.transport_->Shutdown();
  return counts;
}

Connection::TunnelCounts Connection::Tunnel(Connection& other, PieceCallback on_to_this,
                                            void* context) {
  if (!Plain() || !other.Plain()) return LayeredTunnel(other, on_to_this, context);
  TunnelCounts counts;
  // Bytes that came right after the heads (a TLS greeting sent without waiting) go first.
  try {
    if (Buffered() > 0) {
      counts.to_other += Buffered();
      other.WriteBytes(Pending());
      DropPending();
    }
    if (other.Buffered() > 0) {
      const std::size_t n = other.Buffered();
      WriteBytes(other.Pending());
      other.DropPending();
      counts.to_this += n;
      if (on_to_this) on_to_this(context, n);
    }
  } catch (const NetError&) {
    return counts;
  }
  if (!IsConnected() || !other.IsConnected()) return counts;

  const int this_fd = SpliceSocket(), other_fd = other.SpliceSocket();
  const SigpipeHold hold;
  const NonBlockingFor this_side(this_fd), other_side(other_fd);
  TunnelDirection outward(this_fd, other_fd), inward(other_fd, this_fd);
  for (;;) {
    pollfd watched[2] = {{this_fd, 0, 0}, {other_fd, 0, 0}};
    if (outward.WantsToRead()) watched[0].events |= POLLIN;
    if (inward.WantsToWrite()) watched[0].events |= POLLOUT;
    if (inward.WantsToRead()) watched[1].events |= POLLIN;
    if (outward.WantsToWrite()) watched[1].events |= POLLOUT;
    // A side nothing is wanted of is left out, so that its hang-up cannot make poll spin.
    for (pollfd& side : watched)
      if (side.events == 0) side.fd = -1;
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
    constexpr short kWritable = POLLOUT | POLLHUP | POLLERR;
    outward.Pump(watched[0].revents & kReadable, watched[1].revents & kWritable);
    const std::size_t n =
        inward.Pump(watched[1].revents & kReadable, watched[0].revents & kWritable);
    if (n > 0 && on_to_this) on_to_this(context, n);
    if (outward.Done() || inward.Done() || outward.Failed() || inward.Failed()) break;
  }
  counts.to_other += outward.Moved();
  counts.to_this += inward.Moved();
  // When one side ends, the other is ended too.
  ::shutdown(this_fd, SHUT_RDWR);
  ::shutdown(other_fd, SHUT_RDWR);
  return counts;
}

}  // namespace trovanex
