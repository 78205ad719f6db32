#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/byte_stream.h"
#include "platform/socket_error.h"

namespace trovanex {

bool WaitForSocket(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd watched{fd, events, 0};
    const int ready = ::poll(&watched, 1, deadline.MsLeft());
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) ThrowSocketFailure(errno);
  }
}

SocketStream::~SocketStream() {
  ::close(fd_);
}

ssize_t SocketStream::Receive(char* into, std::size_t max) {
  return ::recv(fd_, into, max, MSG_DONTWAIT);
}

ssize_t SocketStream::Send(const char* bytes, std::size_t length) {
  return ::send(fd_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool SocketStream::Wait(short events, Deadline deadline) {
  return WaitForSocket(fd_, events, deadline);
}

pollfd SocketStream::PollFor(bool read, bool write) {
  return {fd_, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
}

void SocketStream::Shutdown() noexcept {
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace trovanex
