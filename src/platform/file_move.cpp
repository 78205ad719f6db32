#include "platform/file_move.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"

namespace trovanex {
namespace {

// Copies `from` into a new file `to` (created exclusively), then removes `from`.
int CopyThenRemove(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st {};
  ::fstat(in, &st);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  int error = 0;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n)))) {
      error = errno;
      break;
    }
  }
  if (::close(out) != 0 && error == 0) error = errno;
  ::close(in);
  if (error != 0) {
    ::unlink(to.c_str());  // a partial copy must not look like a saved file
    return error;
  }
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

int MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing target too.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
    error = errno;
  }
  if (error == EXDEV || error == EPERM) return CopyThenRemove(from, to);
  return error;
}

}  // namespace trovanex
