// What a connection reads from and writes to beneath its buffering: the socket itself, or a
// TLS session over that socket. Everything above the connection (request intake, dispatch,
// relay, capture) sees only the connection, so a request inside an opened HTTPS tunnel runs
// through the same code as a plain one.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace trovanex {

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // Like recv(2) on the connected socket `fd`: at most `max` bytes into `into`; the count, 0 at
  // the peer's orderly end, or -1 with errno (EAGAIN: nothing complete yet, look again).
  // Called when the socket is readable or HasPending() holds. A layer may throw a NetError for
  // a failure of its own (a broken TLS record).
  virtual ssize_t Receive(int fd, char* into, std::size_t max) = 0;
  // Like send(2) without SIGPIPE: the count of `bytes` taken, or -1 with errno.
  virtual ssize_t Send(int fd, const char* bytes, std::size_t length) = 0;
  // Bytes the stream holds already, so that a Receive returns without the socket.
  virtual bool HasPending() const = 0;
  // Ends the stream in order before the socket closes (a TLS close_notify); never fails.
  virtual void Close(int /*fd*/) noexcept {}
  // Whether the kernel may move this stream's bytes straight between sockets (splice): true
  // for the plain socket only.
  virtual bool Plain() const = 0;
};

// The plain socket: recv and send as they are. One stateless instance serves every connection.
class SocketStream final : public ByteStream {
 public:
  static SocketStream& Instance();
  ssize_t Receive(int fd, char* into, std::size_t max) override;
  ssize_t Send(int fd, const char* bytes, std::size_t length) override;
  bool HasPending() const override { return false; }
  bool Plain() const override { return true; }
};

}  // namespace trovanex
