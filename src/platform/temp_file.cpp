#include "platform/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/tick.h"

namespace trovanex {
namespace {

// Shared by all threads so that consecutive calls try different names first.
std::atomic<unsigned> next_number{GetTickCount32() ^ static_cast<unsigned>(::getpid())};

}  // namespace

std::string CreateTempFile(const std::string& folder, const std::string& prefix) {
  const std::string base = WithTrailingSeparator(folder) + prefix;
  int last_error = EEXIST;
  for (unsigned attempt = 0; attempt < 0x10000; ++attempt) {
    const unsigned number = next_number.fetch_add(1, std::memory_order_relaxed) & 0xFFFF;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%04X.tmp", number);
    const std::string path = base + suffix;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    last_error = errno;
    if (last_error != EEXIST) break;
  }
  throw FileError("cannot create a temporary file in " + folder + ": " +
                  SystemErrorText(last_error));
}

}  // namespace trovanex
