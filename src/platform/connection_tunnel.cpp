// A tunnel between two connections: bytes both ways, unchanged, until either side closes.
//
// Each direction holds what it has taken from one side until the other side takes it: from ->
// buffer when the buffer has room, buffer -> to when the far side can take more, both without
// waiting, one poll for both sides. So a side that does not read holds back only its own
// direction. Between two plain sockets the buffer is a kernel pipe and no byte is copied
// through user space; under a layer (TLS), or where no pipe can be had, it is memory of the
// same size.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "platform/connection.h"
#include "platform/connection_internal.h"
#include "platform/net_errors.h"

namespace trovanex {
namespace {

constexpr std::size_t kTunnelBuffer = 64 * 1024;

class TunnelDirection {
 public:
  // `early`: bytes the source had sent before the tunnel began; they go first.
  TunnelDirection(ByteStream& from, ByteStream& to, std::string early)
      : from_(from), to_(to), early_(std::move(early)) {
    int fds[2];
    if (from.PlainSocket() >= 0 && to.PlainSocket() >= 0 &&
        ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
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
  bool WantsToWrite() const { return !early_.empty() || held_ > 0 || to_.Unsent(); }
  // A read could find bytes the source holds already, without a poll.
  bool ReadyWithoutPoll() const { return WantsToRead() && from_.HasPending(); }
  // The source closed (or failed) and everything it sent is passed on.
  bool Done() const { return ended_ && !WantsToWrite(); }
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
      n = pipe_read_ >= 0 ? ::splice(from_.PlainSocket(), nullptr, pipe_write_, nullptr, room,
                                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK)
                          : from_.Receive(buffer_.data() + held_, room);
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

  // Passes on what the far side takes now: the early bytes first, then the held ones, and
  // records a layer keeps back. Returns the count.
  std::size_t Drain() {
    ssize_t n;
    do {
      n = !early_.empty()   ? to_.Send(early_.data(), early_.size())
          : held_ == 0      ? to_.Send(nullptr, 0)
          : pipe_read_ >= 0 ? ::splice(pipe_read_, nullptr, to_.PlainSocket(), nullptr, held_,
                                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK)
                            : to_.Send(buffer_.data() + start_, held_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // The receiving side is gone: what is held can never arrive.
        ended_ = failed_ = true;
        early_.clear();
        held_ = 0;
      }
      return 0;
    }
    const auto sent = static_cast<std::size_t>(n);
    moved_ += sent;
    if (!early_.empty()) {
      early_.erase(0, sent);
    } else {
      held_ -= sent;
      if (pipe_read_ < 0) start_ = held_ == 0 ? 0 : start_ + sent;
    }
    return sent;
  }

  ByteStream& from_;
  ByteStream& to_;
  std::string early_;
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

// A plain socket non-blocking for the tunnel's life, so that no splice waits on one side.
class NonBlockingFor {
 public:
  explicit NonBlockingFor(int fd) : fd_(fd), flags_(fd >= 0 ? ::fcntl(fd, F_GETFL) : -1) {
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

// What a side's poll result says each direction may try. A socket's readiness is exact; any
// other wake (an in-memory end's) may concern either step, so both are tried.
std::pair<bool, bool> ReadableWritable(const ByteStream& side, const pollfd& watched) {
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
  constexpr short kWritable = POLLOUT | POLLHUP | POLLERR;
  if (side.Socket() < 0) return {watched.revents != 0, watched.revents != 0};
  return {(watched.revents & kReadable) != 0, (watched.revents & kWritable) != 0};
}

}  // namespace

Connection::TunnelCounts Connection::Tunnel(Connection& other,
                                            std::optional<PieceCallback> on_to_this) {
  TunnelCounts counts;
  if (!IsConnected() || !other.IsConnected()) return counts;
  ByteStream& this_side = Stream();
  ByteStream& other_side = other.Stream();
  const SigpipeHold hold;
  const NonBlockingFor this_plain(SpliceSocket()), other_plain(other.SpliceSocket());
  // Bytes that came right after the heads (a TLS greeting sent without waiting) go first.
  TunnelDirection outward(this_side, other_side, TakeBuffered());
  TunnelDirection inward(other_side, this_side, other.TakeBuffered());
  try {
    bool this_readable = true, this_writable = true, other_readable = true, other_writable = true;
    for (;;) {
      outward.Pump(this_readable, other_writable);
      const std::size_t n = inward.Pump(other_readable, this_writable);
      if (n > 0 && on_to_this) (*on_to_this)(n);
      if (outward.Done() || inward.Done() || outward.Failed() || inward.Failed()) break;

      pollfd watched[2] = {this_side.PollFor(outward.WantsToRead(), inward.WantsToWrite()),
                           other_side.PollFor(inward.WantsToRead(), outward.WantsToWrite())};
      // A side nothing is wanted of is left out, so that its hang-up cannot make poll spin.
      for (pollfd& side : watched)
        if (side.events == 0) side.fd = -1;
      const bool ready = outward.ReadyWithoutPoll() || inward.ReadyWithoutPoll();
      if (::poll(watched, 2, ready ? 0 : -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      std::tie(this_readable, this_writable) = ReadableWritable(this_side, watched[0]);
      std::tie(other_readable, other_writable) = ReadableWritable(other_side, watched[1]);
      this_readable = this_readable || outward.ReadyWithoutPoll();
      other_readable = other_readable || inward.ReadyWithoutPoll();
    }
  } catch (const NetError&) {
    // A layer's own failure (a broken TLS record) ends the tunnel like a closed side.
  }
  counts.to_other = outward.Moved();
  counts.to_this = inward.Moved();
  // When one side ends, the other is ended too.
  this_side.Shutdown();
  other_side.Shutdown();
  return counts;
}

}  // namespace trovanex
