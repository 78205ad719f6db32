// What the parts of the connection layer share: the SIGPIPE hold and the kernel pipes a
// connection relays body bytes through (socket -> pipe -> socket, and a duplicate of them
// towards a copy file). Private to the connection layer.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "platform/connection.h"
#include "platform/socket_error.h"

namespace trovanex {

// Splicing into a socket whose peer has gone raises SIGPIPE (splice has no MSG_NOSIGNAL).
// While a relay runs, the signal is held back on this thread and a pending one is taken away
// afterwards; the failed call reports EPIPE either way.
class SigpipeHold {
 public:
  SigpipeHold() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    if (::pthread_sigmask(SIG_BLOCK, &pipe_only_, &previous_) != 0) return;
    active_ = true;
    take_pending_ = !was_pending && sigismember(&previous_, SIGPIPE) != 1;
  }
  ~SigpipeHold() {
    if (!active_) return;
    sigset_t pending;
    if (take_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{};
      ::sigtimedwait(&pipe_only_, nullptr, &no_wait);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_only_{};
  sigset_t previous_{};
  bool active_ = false;
  bool take_pending_ = false;
};

inline bool IsAbortLike(int code) {
  return code == kWsaConnectionAborted || code == kWsaShutdown;
}

// Pipes are sized to the relay piece, within these bounds: a larger pipe would only hold bytes
// that one piece never moves, and pipe memory is limited per user.
inline constexpr std::size_t kMinPipeSize = 64 * 1024;
inline constexpr std::size_t kMaxPipeSize = 1024 * 1024;

struct Connection::Pipe {
  int read_fd = -1;  // socket bytes on their way to `to`
  int write_fd = -1;
  int copy_read_fd = -1;  // a duplicate of them on its way to the copy
  int copy_write_fd = -1;
  std::size_t asked = 0;       // the largest size asked for so far
  int unspliced_copy_fd = -1;  // a copy file found to take no splice (opened for appending)

  ~Pipe() {
    for (int fd : {read_fd, write_fd, copy_read_fd, copy_write_fd}) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool Open() { return OpenOne(read_fd, write_fd) && OpenOne(copy_read_fd, copy_write_fd); }
  // Grows both pipes towards `wanted` bytes (they are empty between relay steps). Where the
  // system refuses, the pipes stay smaller and each step simply moves less.
  void Resize(std::size_t wanted) {
    wanted = std::clamp(wanted, kMinPipeSize, kMaxPipeSize);
    if (wanted <= asked) return;
    asked = wanted;
    ::fcntl(write_fd, F_SETPIPE_SZ, static_cast<int>(wanted));
    ::fcntl(copy_write_fd, F_SETPIPE_SZ, static_cast<int>(wanted));
  }
  void DiscardCopy() {
    ::close(copy_read_fd);
    ::close(copy_write_fd);
    copy_read_fd = copy_write_fd = -1;
    if (OpenOne(copy_read_fd, copy_write_fd) && asked > 0)
      ::fcntl(copy_write_fd, F_SETPIPE_SZ, static_cast<int>(asked));
  }

 private:
  static bool OpenOne(int& read_end, int& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end = fds[0];
    write_end = fds[1];
    return true;
  }
};

}  // namespace trovanex
