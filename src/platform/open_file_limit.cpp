#include "platform/open_file_limit.h"

#include <sys/resource.h>

#include <cerrno>

#include "platform/file_system.h"

namespace trovanex {

std::optional<std::string> RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return "cannot read the open-file limit: " + SystemErrorText(errno);
  if (limit.rlim_cur == limit.rlim_max) return std::nullopt;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    return "cannot raise the open-file limit to " + std::to_string(limit.rlim_max) + ": " +
           SystemErrorText(errno);
  return std::nullopt;
}

}  // namespace trovanex
