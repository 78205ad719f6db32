#include "platform/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
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

#include "platform/connection_internal.h"
#include "platform/deadline.h"
#include "platform/file_system.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

constexpr int kConnectWatchMs = 125;

// Waits for a connect begun on a non-blocking socket, looking every kConnectWatchMs. Returns
// the connect's errno (0 on success), ECONNABORTED once `aborted` is set; throws
// ConnectTimedOut (closing fd) at the deadline.
int AwaitConnect(int fd, Deadline deadline, const std::atomic<bool>& aborted) {
  for (;;) {
    if (aborted) return ECONNABORTED;
    int slice = deadline.MsLeft();
    if (!deadline.IsNever() && slice == 0) {
      ::close(fd);
      throw ConnectTimedOut();
    }
    slice = deadline.IsNever() ? kConnectWatchMs : std::min(slice, kConnectWatchMs);
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

// Connects fd, a new non-blocking socket, to one resolved address and makes it blocking;
// returns errno (0 on success). Always watched, also without a time limit, so that an abort
// ends an attempt nobody answers.
int ConnectOne(int fd, const addrinfo& address, Deadline deadline,
               const std::atomic<bool>& aborted) {
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) error = AwaitConnect(fd, deadline, aborted);
  }
  // O_NONBLOCK is the only status flag a new socket has.
  if (error == 0 && ::fcntl(fd, F_SETFL, 0) != 0) error = errno;
  return error;
}

// A literal address, IPv4 dotted or IPv6, as the resolver would give it, without asking it.
// Other forms (names, "127.1", scoped IPv6) go to the resolver.
struct LiteralAddress {
  addrinfo info{};
  sockaddr_storage storage{};
};

bool ParseLiteral(const std::string& name, int port, LiteralAddress& literal) {
  literal.info.ai_socktype = SOCK_STREAM;
  literal.info.ai_protocol = IPPROTO_TCP;
  literal.info.ai_addr = reinterpret_cast<sockaddr*>(&literal.storage);
  const auto net_port = htons(static_cast<std::uint16_t>(port));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&literal.storage);
  if (::inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = literal.info.ai_family = AF_INET;
    v4->sin_port = net_port;
    literal.info.ai_addrlen = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&literal.storage);
  if (::inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = literal.info.ai_family = AF_INET6;
    v6->sin6_port = net_port;
    literal.info.ai_addrlen = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

// The IPv4 address of an IPv4 or IPv4-mapped IPv6 socket address.
std::optional<in_addr> Ipv4Of(const sockaddr* address) {
  if (address->sa_family == AF_INET) return reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
  if (address->sa_family != AF_INET6) return std::nullopt;
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  if (!IN6_IS_ADDR_V4MAPPED(&v6)) return std::nullopt;
  in_addr v4;
  std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
  return v4;
}

bool SameAddress(const sockaddr* a, const sockaddr* b) {
  const auto a4 = Ipv4Of(a), b4 = Ipv4Of(b);
  if (a4 || b4) return a4 && b4 && a4->s_addr == b4->s_addr;
  if (a->sa_family != AF_INET6 || b->sa_family != AF_INET6) return false;
  return IN6_ARE_ADDR_EQUAL(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                            &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr);
}

// An address that reaches this machine: loopback, "any", or one of its interfaces.
bool IsLocalAddress(const sockaddr* address) {
  if (const auto v4 = Ipv4Of(address)) {
    const std::uint32_t host_order = ntohl(v4->s_addr);
    if ((host_order >> 24) == 127 || host_order == INADDR_ANY) return true;
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)) return true;
  }
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return false;
  bool local = false;
  for (const ifaddrs* it = interfaces; it && !local; it = it->ifa_next)
    local = it->ifa_addr && SameAddress(it->ifa_addr, address);
  ::freeifaddrs(interfaces);
  return local;
}

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

void Connection::ConnectTo(const std::string& host, int port, int timeout_ms,
                           int refused_local_port) {
  Disconnect();
  peer_closed_ = false;
  ever_connected_ = false;
  if (port < 0 || port > 65535) throw ConnectFailed("Invalid port " + std::to_string(port));

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  // An IPv6 address as an address names it: "[::1]".
  const std::string name = host.size() > 2 && host.front() == '[' && host.back() == ']'
                               ? host.substr(1, host.size() - 2)
                               : host;
  LiteralAddress literal;
  addrinfo* found = nullptr;
  if (ParseLiteral(name, port, literal)) {
    found = &literal.info;
  } else if (const int resolved =
                 ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
             resolved != 0) {
    const int error_number = errno;
    throw SocketFailure(WsaErrorFromResolver(resolved, error_number),
                        resolved == EAI_SYSTEM ? SystemErrorText(error_number)
                                               : std::string(::gai_strerror(resolved)));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(
      found == &literal.info ? nullptr : found, ::freeaddrinfo);
  if (port == refused_local_port) {
    for (const addrinfo* address = found; address; address = address->ai_next)
      if (IsLocalAddress(address->ai_addr)) throw SelfConnection(port);
  }

  // One time limit for the whole attempt, whatever number of addresses the name has.
  const Deadline deadline = Deadline::Limit(timeout_ms);
  int last_error = 0;
  for (const addrinfo* address = found; address; address = address->ai_next) {
    const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            address->ai_protocol);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    last_error = ConnectOne(fd, *address, deadline, aborted_);
    if (last_error == 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return Adopt(std::make_unique<SocketStream>(fd));
    }
    ::close(fd);
  }
  if (last_error == 0) throw ConnectFailed("No address for " + host);
  ThrowSocketFailure(last_error);
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
