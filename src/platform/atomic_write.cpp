#include "platform/atomic_write.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/file_move.h"
#include "platform/file_system.h"

namespace trovanex {

ReplaceResult ReplaceFileAtomically(const std::string& link_or_path, std::string_view content,
                                    const ReplaceOptions& options) {
  std::string path = link_or_path;
  if (char* resolved = ::realpath(link_or_path.c_str(), nullptr)) {
    path = resolved;
    ::free(resolved);
  }
  std::string pattern = path + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return {errno, false};
  const std::string temp(name.data());

  int error = 0;
  // Keep the permissions of the file being replaced; a new file gets the usual 0644.
  struct stat old {};
  const mode_t mode = options.mode                      ? *options.mode
                      : ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777)
                                                        : 0644;
  if (mode != 0600 && ::fchmod(fd, mode) != 0 && options.mode) error = errno;
  if (error == 0 && !WriteAll(fd, content)) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  bool created = true;
  if (error == 0) {
    error = options.replace_existing ? (::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno)
                                     : MoveFileNoReplace(temp, path);
    created = error == 0;
  }
  if (error != 0) ::unlink(temp.c_str());
  return {error, created};
}

}  // namespace trovanex
