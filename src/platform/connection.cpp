#include "platform/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/connection_internal.h"
#include "platform/file_system.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

// Each line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  std::string block;
  block.reserve(size + 2);
  for (const std::string& line : lines) block.append(line).append("\r\n");
  return block;
}

}  // namespace

Connection::Connection() = default;

Connection::Connection(int fd) {
  if (fd >= 0) Adopt(std::make_unique<SocketStream>(fd));
}

Connection::Connection(int fd, const sockaddr_storage& peer) : Connection(fd) {
  peer_ = peer;
}

Connection::Connection(std::unique_ptr<ByteStream> stream) {
  if (stream) Adopt(std::move(stream));
}

Connection::~Connection() {
  CloseSocket();
}

void Connection::Adopt(std::unique_ptr<ByteStream> stream) {
  transport_ = std::move(stream);
  ever_connected_ = true;
  MutexLock lock(abort_lock_);
  abortable_ = transport_.get();
  if (aborted_) abortable_->Shutdown();  // the abort came while connecting
}

void Connection::UseStream(std::unique_ptr<ByteStream> layer) {
  layer_ = std::move(layer);
}

std::string Connection::TakeBuffered() {
  std::string bytes(Pending());
  DropPending();
  return bytes;
}

void Connection::CloseSocket() {
  if (!transport_) return;
  {
    MutexLock lock(abort_lock_);
    abortable_ = nullptr;
  }
  // A peer that has closed, or an aborted stream, takes no closing record.
  if (!peer_closed_ && !aborted_) Stream().Close();
  layer_.reset();  // a layer belongs to the stream it was made on
  transport_.reset();
}

void Connection::Disconnect() {
  CloseSocket();
  DropPending();
}

void Connection::Abort() {
  MutexLock lock(abort_lock_);
  aborted_ = true;
  if (abortable_) abortable_->Shutdown();
  // Lock order: a connection before its partner; a partner never reaches back.
  if (abort_partner_) abort_partner_->Abort();
}

void Connection::SetAbortPartner(Connection* partner) {
  MutexLock lock(abort_lock_);
  abort_partner_ = partner;
  if (partner && aborted_) partner->Abort();
}

void Connection::ThrowIfClosed() const {
  if (peer_closed_ || (!transport_ && ever_connected_)) throw PeerClosed();
  if (!transport_) throw NotConnected();
}

std::string_view Connection::Pending() const {
  return input_.View().substr(consumed_);
}

void Connection::Consume(std::size_t n) {
  consumed_ += n;
  if (consumed_ == input_.Size()) {
    input_.Clear();
    consumed_ = 0;
  }
}

void Connection::DropPending() {
  input_.Clear();
  consumed_ = 0;
}

bool Connection::WaitReadable(int wait_ms) {
  ByteStream& stream = Stream();
  return stream.HasPending() || stream.WaitReadable(Deadline::After(wait_ms));
}

bool Connection::StillOpen() {
  if (!transport_ || peer_closed_ || Buffered() > 0 || Stream().HasPending()) return false;
  return !Stream().WaitReadable(Deadline::After(0));
}

bool Connection::Receive(int wait_ms, std::size_t max) {
  ThrowIfClosed();
  if (!WaitReadable(wait_ms)) return false;
  if (consumed_ > 0) {
    input_.DropFront(consumed_);
    consumed_ = 0;
  }
  char* room = input_.Room(max);
  ssize_t n;
  do {
    n = Stream().Receive(room, max);
  } while (n < 0 && errno == EINTR);
  const int error_number = errno;
  if (n > 0) input_.Added(static_cast<std::size_t>(n));
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
  throw SocketFailure(code, SystemErrorText(error_number));
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

bool Connection::ReadLineWithin(int wait_ms, std::string& line) {
  std::size_t raw_length = 0;
  return NextLine(std::max(wait_ms, 0), line, raw_length);
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

void Connection::FailWrite(int error_number) {
  const int code = WsaErrorFromErrno(error_number);
  if (IsAbortLike(code) || code == kWsaConnectionReset) CloseSocket();
  throw SocketFailure(code, SystemErrorText(error_number));
}

void Connection::WriteBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  ThrowIfClosed();
  ByteStream& stream = Stream();
  // Whole writes: done when the stream holds none of the bytes back either.
  while (!bytes.empty() || stream.Unsent()) {
    const ssize_t n = stream.Send(bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      stream.WaitWritable(Deadline::Never());
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
  WriteBytes(JoinLines(lines));
}

void Connection::WriteHead(const std::vector<std::string>& lines) {
  WriteBytes(JoinLines(lines).append("\r\n"));
}

std::string Connection::PeerAddress() const {
  if (!transport_) return {};
  sockaddr_storage address{};
  if (peer_) {
    address = *peer_;
  } else {
    socklen_t length = sizeof address;
    if (::getpeername(Handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  }
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

}  // namespace trovanex
