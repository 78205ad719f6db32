#include "platform/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectWatchMs = 125;
// Pipes are sized to the relay piece, within these bounds: a larger pipe would only hold bytes
// that one piece never moves, and pipe memory is limited per user.
constexpr std::size_t kMinPipeSize = 64 * 1024;
constexpr std::size_t kMaxPipeSize = 1024 * 1024;

std::string SystemText(int error_number) {
  return std::strerror(error_number);
}

[[noreturn]] void ThrowSocketFailure(int error_number) {
  throw SocketFailure(WsaErrorFromErrno(error_number), SystemText(error_number));
}

bool IsAbortLike(int code) {
  return code == kWsaConnectionAborted || code == kWsaShutdown;
}

// Milliseconds left until `deadline`, for poll(); -1 (no limit) when there is none.
int MsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::max<decltype(left)>(left, 0));
}

std::optional<Clock::time_point> DeadlineAfter(int wait_ms) {
  if (wait_ms < 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(wait_ms);
}

void SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return;
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// Waits for a connect begun on a non-blocking socket, looking every kConnectWatchMs. Returns
// the connect's errno (0 on success); throws ConnectTimedOut (closing fd) at the deadline.
int AwaitConnect(int fd, const std::optional<Clock::time_point>& deadline) {
  for (;;) {
    int slice = MsLeft(deadline);
    if (deadline && slice == 0) {
      ::close(fd);
      throw ConnectTimedOut();
    }
    if (deadline) slice = std::min(slice, kConnectWatchMs);
    pollfd watched{fd, POLLOUT, 0};
    const int ready = ::poll(&watched, 1, slice);
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
  }
}

// Connects fd to one resolved address; returns errno (0 on success).
int ConnectOne(int fd, const addrinfo& address, int timeout_ms,
               const std::optional<Clock::time_point>& deadline) {
  if (timeout_ms > 0) SetBlocking(fd, false);
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    // An interrupted blocking connect goes on in the background, like a non-blocking one.
    if (error == EINPROGRESS || error == EINTR) error = AwaitConnect(fd, deadline);
  }
  if (error == 0 && timeout_ms > 0) SetBlocking(fd, true);
  return error;
}

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

// Counts the bytes of a relay in pieces and reports each piece once it is complete.
class PieceCount {
 public:
  PieceCount(std::uint64_t total, std::size_t piece, Connection::PieceCallback on_piece,
             void* context)
      : remaining_(total), piece_(piece), on_piece_(on_piece), context_(context) {}

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
    if (length > 0 && on_piece_) on_piece_(context_, length);
  }

 private:
  std::uint64_t remaining_;
  const std::size_t piece_;
  std::size_t in_piece_ = 0;
  const Connection::PieceCallback on_piece_;
  void* const context_;
};

}  // namespace

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

Connection::Connection() = default;
Connection::Connection(int fd) : fd_(fd), ever_connected_(fd >= 0) {}

Connection::~Connection() {
  CloseSocket();
}

void Connection::Adopt(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::lock_guard lock(fd_lock_);
  fd_ = fd;
  ever_connected_ = true;
}

void Connection::CloseSocket() {
  std::lock_guard lock(fd_lock_);
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void Connection::Disconnect() {
  CloseSocket();
  DropPending();
}

void Connection::Abort() {
  std::lock_guard lock(fd_lock_);
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::ConnectTo(const std::string& host, int port, int timeout_ms) {
  Disconnect();
  peer_closed_ = false;
  ever_connected_ = false;
  if (port < 0 || port > 65535) throw ConnectFailed("Invalid port " + std::to_string(port));

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    const int error_number = errno;
    throw SocketFailure(
        WsaErrorFromResolver(resolved, error_number),
        resolved == EAI_SYSTEM ? SystemText(error_number) : std::string(::gai_strerror(resolved)));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

  // One time limit for the whole attempt, whatever number of addresses the name has.
  const auto deadline = timeout_ms > 0 ? DeadlineAfter(timeout_ms) : std::nullopt;
  int last_error = 0;
  for (const addrinfo* address = found; address; address = address->ai_next) {
    const int fd =
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    last_error = ConnectOne(fd, *address, timeout_ms, deadline);
    if (last_error == 0) return Adopt(fd);
    ::close(fd);
  }
  if (last_error == 0) throw ConnectFailed("No address for " + host);
  ThrowSocketFailure(last_error);
}

void Connection::ThrowIfClosed() const {
  if (peer_closed_ || (fd_ < 0 && ever_connected_)) throw PeerClosed();
  if (fd_ < 0) throw NotConnected();
}

std::string_view Connection::Pending() const {
  return std::string_view(input_).substr(consumed_);
}

void Connection::Consume(std::size_t n) {
  consumed_ += n;
  if (consumed_ == input_.size()) {
    input_.clear();
    consumed_ = 0;
  }
}

void Connection::DropPending() {
  input_.clear();
  consumed_ = 0;
}

bool Connection::WaitReadable(int wait_ms) {
  const auto deadline = DeadlineAfter(wait_ms);
  for (;;) {
    pollfd watched{fd_, POLLIN, 0};
    const int ready = ::poll(&watched, 1, MsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) ThrowSocketFailure(errno);
  }
}

bool Connection::Receive(int wait_ms, std::size_t max) {
  ThrowIfClosed();
  if (!WaitReadable(wait_ms)) return false;
  if (consumed_ > 0) {
    input_.erase(0, consumed_);
    consumed_ = 0;
  }
  const std::size_t old_size = input_.size();
  input_.resize(old_size + max);
  ssize_t n;
  do {
    n = ::recv(fd_, input_.data() + old_size, max, 0);
  } while (n < 0 && errno == EINTR);
  const int error_number = errno;
  input_.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  if (n > 0) return true;
  if (n == 0) {
    peer_closed_ = true;
    CloseSocket();
    throw PeerClosed();
  }
  if (error_number == EAGAIN || error_number == EWOULDBLOCK) return true;  // look again
  const int code = WsaErrorFromErrno(error_number);
  if (IsAbortLike(code)) {
    CloseSocket();
    // What did arrive is still delivered; the read that needs more finds the socket closed.
    if (Buffered() > 0) return true;
  }
  throw SocketFailure(code, SystemText(error_number));
}

bool Connection::NextLine(int wait_ms, std::string& line, std::size_t& raw_length) {
  std::size_t scanned = 0;  // bytes already known to hold no LF
  try {
    for (;;) {
      const std::string_view pending = Pending();
      const std::size_t lf = pending.find('\n', scanned);
      if (lf != std::string_view::npos) {
        if (lf > kMaxLineLength) throw LineTooLong();
        const std::size_t end = lf > 0 && pending[lf - 1] == '\r' ? lf - 1 : lf;
        line.assign(pending.substr(0, end));
        raw_length = lf + 1;
        Consume(lf + 1);
        return true;
      }
      if (pending.size() > kMaxLineLength) throw LineTooLong();
      scanned = pending.size();
      if (!Receive(wait_ms)) return false;
    }
  } catch (const PeerClosed&) {
    DropPending();
    throw;
  }
}

std::string Connection::ReadLine(Wait wait) {
  std::string line;
  std::size_t raw_length = 0;
  if (wait.ms) return NextLine(std::max(*wait.ms, 0), line, raw_length) ? line : std::string();
  if (!NextLine(DefaultWaitMs(), line, raw_length)) throw ReadTimedOut();
  return line;
}

void Connection::ReadHeaderBlock(std::vector<std::string>& lines) {
  std::size_t total = 0;
  for (;;) {
    std::string line;
    std::size_t raw_length = 0;
    if (!NextLine(DefaultWaitMs(), line, raw_length)) throw ReadTimedOut();
    if (kMaxHeaderBlock - total < raw_length) throw HeaderBlockTooLarge();
    total += raw_length;
    if (line.empty()) return;
    lines.push_back(std::move(line));
  }
}

std::string Connection::ReadExact(std::int64_t n) {
  std::string bytes;
  if (n > 0) ReadExactInto(bytes, static_cast<std::size_t>(n));
  return bytes;
}

void Connection::ReadExactInto(std::string& into, std::size_t n) {
  try {
    while (Buffered() < n) {
      if (!Receive(DefaultWaitMs())) throw ReadTimedOut();
    }
  } catch (const PeerClosed&) {
    DropPending();
    throw;
  }
  into.assign(Pending().substr(0, n));
  Consume(n);
}

std::string Connection::ReadInt32() {
  try {
    while (Buffered() < 4) {
      if (!Receive(DefaultWaitMs())) throw ReadTimedOut();
    }
  } catch (const PeerClosed&) {
    std::string partial(Pending());
    DropPending();
    throw PeerClosed(std::move(partial));
  }
  std::string group(Pending().substr(0, 4));
  Consume(4);
  return group;
}

void Connection::FailWrite(int error_number) {
  const int code = WsaErrorFromErrno(error_number);
  if (IsAbortLike(code) || code == kWsaConnectionReset) CloseSocket();
  throw SocketFailure(code, SystemText(error_number));
}

void Connection::WriteBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  ThrowIfClosed();
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd watched{fd_, POLLOUT, 0};
      ::poll(&watched, 1, -1);
      continue;
    }
    FailWrite(errno);
  }
}

void Connection::WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  WriteBytes(line);
}

void Connection::WriteLines(const std::vector<std::string>& lines) {
  // The same bytes as one WriteLine a line, gathered so that a head leaves in few packets.
  std::string block;
  for (const std::string& line : lines) block.append(line).append("\r\n");
  WriteBytes(block);
}

std::string Connection::PeerAddress() const {
  if (fd_ < 0) return {};
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
      ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  }
  return text;
}

// --- Body relay ---

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
  if (!EnsurePipe(max)) return std::nullopt;
  if (!WaitReadable(DefaultWaitMs())) throw ReadTimedOut();
  const ssize_t n =
      ::splice(fd_, nullptr, pipe_->write_fd, nullptr, max, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
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
    throw SocketFailure(code, SystemText(error_number));
  }
  DrainPipe(to, static_cast<std::size_t>(n), copy);
  return static_cast<std::size_t>(n);
}

void Connection::DrainPipe(Connection& to, std::size_t n, Copy* copy) {
  try {
    std::size_t left = n;
    while (left > 0) {
      // tee() duplicates from the front of the pipe without consuming: take only as many
      // bytes on to `to` as were duplicated, so that no byte is copied twice or skipped.
      std::size_t step = left;
      bool copying = CopyWanted(copy);
      if (copying) {
        ssize_t teed;
        do {
          teed = ::tee(pipe_->read_fd, pipe_->copy_write_fd, left, SPLICE_F_NONBLOCK);
        } while (teed < 0 && errno == EINTR);
        if (teed > 0) {
          step = static_cast<std::size_t>(teed);
        } else {
          FailCopy(copy, teed < 0 ? errno : EIO);
          copying = false;
        }
      }

      for (std::size_t sent = 0; sent < step;) {
        const ssize_t s =
            ::splice(pipe_->read_fd, nullptr, to.fd_, nullptr, step - sent, SPLICE_F_MOVE);
        if (s > 0) {
          sent += static_cast<std::size_t>(s);
        } else if (s < 0 && errno == EINVAL) {
          to.WriteBytes(ReadFromPipe(pipe_->read_fd, step - sent));  // `to` takes no splice
          sent = step;
        } else if (s < 0 && errno != EINTR) {
          to.FailWrite(errno);
        } else if (s == 0) {
          to.FailWrite(EPIPE);
        }
      }

      for (std::size_t written = 0; copying && written < step;) {
        const bool splice_copy = pipe_->unspliced_copy_fd != copy->fd;
        const ssize_t c = splice_copy ? ::splice(pipe_->copy_read_fd, nullptr, copy->fd, nullptr,
                                                 step - written, SPLICE_F_MOVE)
                                      : -1;
        const int error_number = splice_copy ? errno : EINVAL;
        if (c > 0) {
          written += static_cast<std::size_t>(c);
        } else if (c < 0 && error_number == EINVAL) {
          // An append-only file takes no splice: the bytes go through here instead.
          pipe_->unspliced_copy_fd = copy->fd;
          WriteCopy(copy, ReadFromPipe(pipe_->copy_read_fd, step - written));
          written = step;
        } else if (c < 0 && error_number == EINTR) {
          continue;
        } else {
          FailCopy(copy, c < 0 ? error_number : EIO);
        }
        if (copy->failed) {
          pipe_->DiscardCopy();
          copying = false;
        }
      }
      left -= step;
    }
  } catch (...) {
    pipe_.reset();  // bytes left in the pipes belong to this failed relay only
    throw;
  }
}

void Connection::RelayExact(Connection& to, std::uint64_t n, std::size_t piece, Copy* copy,
                            PieceCallback on_piece, void* context) {
  if (n == 0) return;
  PieceCount count(n, std::max<std::size_t>(piece, 1), on_piece, context);
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
