// What a connection reads from and writes to beneath its buffering: a socket, a TLS session over
// another stream, or one end of an in-memory pair. Everything above the connection (request
// intake, dispatch, relay, capture) sees only the connection, so a request inside an opened
// HTTPS tunnel runs through the same code as a plain one, and tests run it on bytes in memory.
//
// Receive and Send never wait; the waits are separate and take a deadline. A stream is used by
// one thread; only Shutdown may come from another.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

#include "platform/deadline.h"

namespace trovanex {

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // At most `max` bytes into `into`: the count, 0 at the peer's orderly end, or -1 with errno
  // (EAGAIN: nothing yet). A layer may throw a NetError for a failure of its own (a broken
  // TLS record).
  virtual ssize_t Receive(char* into, std::size_t max) = 0;
  // The count of `bytes` taken, or -1 with errno (EAGAIN: no room yet; EPIPE: the peer is
  // gone). A layer may hold bytes it took (records not yet sent): Unsent() says so, and a Send
  // of nothing sends them on.
  virtual ssize_t Send(const char* bytes, std::size_t length) = 0;
  virtual bool Unsent() const { return false; }

  // Wait until a Receive (a Send) has something to report, or `deadline` passes (false).
  // Throw SocketFailure when the wait itself fails.
  virtual bool WaitReadable(Deadline deadline) = 0;
  virtual bool WaitWritable(Deadline deadline) = 0;
  // Bytes the stream holds already, so that a Receive finds them without waiting.
  virtual bool HasPending() const { return false; }

  // What a poll across several streams (a tunnel) watches for this one, given what is wanted
  // of it. A wake is a hint: the call it was for may still find nothing (EAGAIN).
  virtual pollfd PollFor(bool read, bool write) = 0;

  // Ends the stream in order (a TLS close_notify) before it goes; best effort, never fails.
  virtual void Close() noexcept {}
  // Ends the stream both ways so that a wait on it wakes with a failure or the end. Safe from
  // another thread.
  virtual void Shutdown() noexcept = 0;

  // The socket whose bytes are this stream's own, so that the kernel may move them straight
  // between sockets (splice, sendfile); -1 for a layer or an in-memory end.
  virtual int PlainSocket() const { return -1; }
  // The socket beneath, a layer's included; -1 for an in-memory end.
  virtual int Socket() const { return -1; }
};

// A connected socket, owned: closed when the stream goes.
class SocketStream final : public ByteStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  ssize_t Receive(char* into, std::size_t max) override;
  ssize_t Send(const char* bytes, std::size_t length) override;
  bool WaitReadable(Deadline deadline) override { return Wait(POLLIN, deadline); }
  bool WaitWritable(Deadline deadline) override { return Wait(POLLOUT, deadline); }
  pollfd PollFor(bool read, bool write) override;
  void Shutdown() noexcept override;
  int PlainSocket() const override { return fd_; }
  int Socket() const override { return fd_; }

 private:
  bool Wait(short events, Deadline deadline);

  const int fd_;
};

// Waits for `events` on `fd` until `deadline`: false when it passed first. Throws SocketFailure
// when poll fails.
bool WaitForSocket(int fd, short events, Deadline deadline);

}  // namespace trovanex
