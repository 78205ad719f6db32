#include "platform/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/tick.h"

namespace trovanex {
namespace {

// Shared by all threads so that consecutive calls try different names first.
std::atomic<unsigned> next_number{GetTickCount32() ^ static_cast<unsigned>(::getpid())};

constexpr std::string_view kSuffix = ".tmp";

bool IsTempFileName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + 4 + kSuffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(kSuffix))
    return false;
  const std::string_view digits = name.substr(prefix.size(), 4);
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

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

std::size_t RemoveStaleTempFiles(const std::string& folder, const std::string& prefix) {
  std::size_t removed = 0;
  for (const std::string& name : ListFiles(folder))
    if (IsTempFileName(name, prefix) &&
        ::unlink((WithTrailingSeparator(folder) + name).c_str()) == 0)
      ++removed;
  return removed;
}

}  // namespace trovanex
