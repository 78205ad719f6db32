#include "platform/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace trovanex {
namespace {

// The lock is a name in the kernel's abstract socket namespace: bound while the socket lives,
// released by the kernel when the process ends in any way, and never left behind as a file.
constexpr std::size_t kMaxName = sizeof(sockaddr_un::sun_path) - 1;  // after the leading NUL

std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The full name when it fits; else as much of its start as fits beside a hash of all of it, so
// that two long paths differing only at their ends still get different names.
std::string LockName(const std::string& executable_path) {
  std::string name = "appTrovanex-" + executable_path;
  if (name.size() <= kMaxName) return name;
  char hash[18];
  std::snprintf(hash, sizeof hash, "#%016llx", static_cast<unsigned long long>(Fnv1a(name)));
  name.resize(kMaxName - std::strlen(hash));
  return name + hash;
}

}  // namespace

InstanceLock::InstanceLock(const std::string& executable_path) {
  const std::string name = LockName(executable_path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] stays NUL
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    held_ = true;
    return;
  }
  const int error_number = errno;
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  // Only a name in use means another copy runs. When the lock cannot be made at all, nobody is
  // known to hold it, and refusing to start would report a copy that does not exist.
  held_ = error_number != EADDRINUSE;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace trovanex
