// How a connection reaches its peer: the host resolved (or read as a literal address), each
// address tried in turn within one time limit, an attempt watched so that an abort ends it,
// and the proxy's own listening port refused.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/connection.h"
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

}  // namespace

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

}  // namespace trovanex
