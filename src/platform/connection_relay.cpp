// The body relay of a connection: buffered bytes first, then socket to socket through kernel
// pipes, with an optional copy of the same bytes into a file.
#include "platform/connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "platform/connection_internal.h"
#include "platform/file_system.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

bool CopyWanted(const Connection::Copy* copy) {
  return copy && copy->fd >= 0 && !copy->failed;
}

void FailCopy(Connection::Copy* copy, int error_number) {
  copy->failed = true;
  copy->error = error_number;
}

void WriteCopy(Connection::Copy* copy, std::string_view bytes) {
  if (!CopyWanted(copy)) return;
  while (!bytes.empty()) {
    const ssize_t n = ::write(copy->fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FailCopy(copy, n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads exactly n bytes that are known to be in a pipe.
std::string ReadFromPipe(int pipe_fd, std::size_t n) {
  std::string bytes(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(pipe_fd, bytes.data() + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) ThrowSocketFailure(r < 0 ? errno : EIO);
    got += static_cast<std::size_t>(r);
  }
  return bytes;
}

// Counts the bytes of a relay in pieces and reports each piece once it is complete.
class PieceCount {
 public:
  PieceCount(std::uint64_t total, std::size_t piece,
             std::optional<Connection::PieceCallback> on_piece)
      : remaining_(total), piece_(piece), on_piece_(on_piece) {}

  std::uint64_t Remaining() const { return remaining_; }
  // Bytes that may still go into the current piece.
  std::size_t Room() const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(piece_ - in_piece_, remaining_));
  }
  void Moved(std::size_t n) {
    remaining_ -= n;
    in_piece_ += n;
    if (in_piece_ == piece_ || remaining_ == 0) Report();
  }
  void Report() {
    const std::size_t length = in_piece_;
    in_piece_ = 0;
    if (length > 0 && on_piece_) (*on_piece_)(length);
  }

 private:
  std::uint64_t remaining_;
  const std::size_t piece_;
  std::size_t in_piece_ = 0;
  const std::optional<Connection::PieceCallback> on_piece_;
};

}  // namespace

std::size_t Connection::ForwardBuffered(Connection& to, std::size_t max, Copy* copy) {
  const std::string_view bytes = Pending().substr(0, max);
  to.WriteBytes(bytes);
  WriteCopy(copy, bytes);
  Consume(bytes.size());
  return bytes.size();
}

bool Connection::EnsurePipe(std::size_t piece) {
  if (splice_unsupported_) return false;
  if (!pipe_) {
    auto pipe = std::make_unique<Pipe>();
    if (!pipe->Open()) return false;  // no descriptors left: the plain path still works
    pipe_ = std::move(pipe);
  }
  pipe_->Resize(piece);
  return true;
}

std::optional<std::size_t> Connection::SpliceSome(Connection& to, std::size_t max, Copy* copy) {
  ThrowIfClosed();
  to.ThrowIfClosed();
  // A TLS layer or an in-memory end on either side: its bytes are not a socket's bytes.
  const int from = SpliceSocket();
  if (from < 0 || to.SpliceSocket() < 0) return std::nullopt;
  if (!EnsurePipe(max)) return std::nullopt;
  if (!WaitReadable(DefaultWaitMs())) throw ReadTimedOut();
  const ssize_t n =
      ::splice(from, nullptr, pipe_->write_fd, nullptr, max, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  if (n == 0) {
    peer_closed_ = true;
    CloseSocket();
    throw PeerClosed();
  }
  if (n < 0) {
    const int error_number = errno;
    if (error_number == EINTR || error_number == EAGAIN) return 0;
    if (error_number == EINVAL || error_number == ENOSYS || error_number == EOPNOTSUPP) {
      splice_unsupported_ = true;
      return std::nullopt;
    }
    // Same rules as a receive; the input buffer is empty here.
    const int code = WsaErrorFromErrno(error_number);
    if (IsAbortLike(code)) CloseSocket();
    throw SocketFailure(code, SystemErrorText(error_number));
  }
  DrainPipe(to, static_cast<std::size_t>(n), copy);
  return static_cast<std::size_t>(n);
}

// Invariant, at the top of every round: the pipe holds exactly the `left` bytes of this relay
// not yet sent, and the copy pipe holds none. A round duplicates some of them into the copy
// pipe (tee takes none away), sends exactly those on to `to`, and then empties the copy pipe
// into the copy file. So `to` and the copy each get every byte once, in order, and a copy that
// fails only stops the copying.
void Connection::DrainPipe(Connection& to, std::size_t n, Copy* copy) {
  try {
    for (std::size_t left = n; left > 0;) {
      const std::size_t step = CopyWanted(copy) ? TeeToCopy(left, copy) : left;
      PipeToPeer(to, step);
      if (CopyWanted(copy)) CopyPipeToFile(step, copy);
      left -= step;
    }
  } catch (...) {
    pipe_.reset();  // bytes left in the pipes belong to this failed relay only
    throw;
  }
}

// Duplicates up to `most` bytes from the front of the pipe into the copy pipe; returns how
// many, or `most` when the copy failed (and no longer wants bytes).
std::size_t Connection::TeeToCopy(std::size_t most, Copy* copy) {
  ssize_t teed;
  do {
    teed = ::tee(pipe_->read_fd, pipe_->copy_write_fd, most, SPLICE_F_NONBLOCK);
  } while (teed < 0 && errno == EINTR);
  if (teed > 0) return static_cast<std::size_t>(teed);
  FailCopy(copy, teed < 0 ? errno : EIO);
  return most;
}

// Sends the first n bytes of the pipe to `to`: spliced, or read out and written where `to`
// takes no splice.
void Connection::PipeToPeer(Connection& to, std::size_t n) {
  for (std::size_t sent = 0; sent < n;) {
    const ssize_t s =
        ::splice(pipe_->read_fd, nullptr, to.SpliceSocket(), nullptr, n - sent, SPLICE_F_MOVE);
    if (s > 0) {
      sent += static_cast<std::size_t>(s);
    } else if (s < 0 && errno == EINVAL) {
      to.WriteBytes(ReadFromPipe(pipe_->read_fd, n - sent));
      sent = n;
    } else if (s < 0 && errno != EINTR) {
      to.FailWrite(errno);
    } else if (s == 0) {
      to.FailWrite(EPIPE);
    }
  }
}

// Empties the n bytes of the copy pipe into the copy file. A failure marks the copy failed and
// throws its bytes away.
void Connection::CopyPipeToFile(std::size_t n, Copy* copy) {
  for (std::size_t written = 0; written < n && !copy->failed;) {
    const bool splice_copy = pipe_->unspliced_copy_fd != copy->fd;
    const ssize_t c = splice_copy ? ::splice(pipe_->copy_read_fd, nullptr, copy->fd, nullptr,
                                             n - written, SPLICE_F_MOVE)
                                  : -1;
    const int error_number = splice_copy ? errno : EINVAL;
    if (c > 0) {
      written += static_cast<std::size_t>(c);
    } else if (c < 0 && error_number == EINVAL) {
      // An append-only file takes no splice: the bytes go through here instead.
      pipe_->unspliced_copy_fd = copy->fd;
      WriteCopy(copy, ReadFromPipe(pipe_->copy_read_fd, n - written));
      written = n;
    } else if (c < 0 && error_number == EINTR) {
      continue;
    } else {
      FailCopy(copy, c < 0 ? error_number : EIO);
    }
  }
  if (copy->failed) pipe_->DiscardCopy();
}

void Connection::RelayExact(Connection& to, std::uint64_t n, std::size_t piece, Copy* copy,
                            std::optional<PieceCallback> on_piece) {
  if (n == 0) return;
  PieceCount count(n, std::max<std::size_t>(piece, 1), on_piece);
  try {
    std::optional<SigpipeHold> hold;
    while (count.Remaining() > 0) {
      if (Buffered() > 0) {
        count.Moved(ForwardBuffered(to, count.Room(), copy));
        continue;
      }
      if (!splice_unsupported_) {
        if (!hold) hold.emplace();
        if (const auto moved = SpliceSome(to, count.Room(), copy)) {
          count.Moved(*moved);
          continue;
        }
      }
      if (!Receive(DefaultWaitMs(), std::min(count.Room(), kReceivePiece))) throw ReadTimedOut();
    }
  } catch (...) {
    count.Report();
    throw;
  }
}

std::size_t Connection::RelaySome(Connection& to, std::size_t piece, Copy* copy) {
  piece = std::max<std::size_t>(piece, 1);
  for (;;) {
    if (Buffered() > 0) return ForwardBuffered(to, piece, copy);
    if (!splice_unsupported_) {
      const SigpipeHold hold;
      const auto moved = SpliceSome(to, piece, copy);
      if (moved && *moved > 0) return *moved;
      if (moved) continue;
    }
    if (!Receive(DefaultWaitMs(), std::min(piece, kReceivePiece))) throw ReadTimedOut();
  }
}

}  // namespace trovanex
