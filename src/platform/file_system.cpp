#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace trovanex {

std::uint32_t ListedFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size));
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return names;
  const int dir_fd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      is_folder = ::fstatat(dir_fd, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    if (!is_folder) names.push_back(name);
  }
  return names;
}

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || path.back() != kPathSeparator) path.push_back(kPathSeparator);
  return path;
}

int ReadWholeFile(const std::string& path, std::string& into, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error = errno;
      break;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    if (into.size() > limit) {
      error = EFBIG;
      break;
    }
  }
  ::close(fd);
  return error;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::string content;
  if (ReadWholeFile(path, content, SIZE_MAX) != 0) return std::nullopt;
  return content;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int MakeFolders(const std::string& folder, unsigned last_mode) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != kPathSeparator) continue;
    const std::string part = folder.substr(0, at);
    const mode_t mode = at == folder.size() ? static_cast<mode_t>(last_mode) : 0755;
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errno;
  }
  // mkdir says EEXIST for a file of that name too.
  return FolderExists(folder) ? 0 : ENOTDIR;
}

int PrepareFolder(const std::string& folder) {
  if (const int error = MakeFolders(folder)) return error;
  return ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::string SystemErrorText(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in buffer.
  return ::strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace trovanex
