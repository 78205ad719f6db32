#include "platform/program_folder.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/errors.h"
#include "platform/file_system.h"

namespace trovanex {

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw FileError("cannot find the executable: " + SystemErrorText(errno));
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string FolderOf(const std::string& executable_path) {
  const auto slash = executable_path.rfind(kPathSeparator);
  if (slash == std::string::npos) return std::string(".") + kPathSeparator;
  return executable_path.substr(0, slash + 1);
}

std::string SettingsPathFor(const std::string& executable_path) {
  const auto slash = executable_path.rfind(kPathSeparator);
  const auto name_start = slash == std::string::npos ? 0 : slash + 1;
  const auto dot = executable_path.rfind('.');
  if (dot != std::string::npos && dot > name_start) return executable_path.substr(0, dot) + ".ini";
  return executable_path + ".ini";
}

}  // namespace trovanex
