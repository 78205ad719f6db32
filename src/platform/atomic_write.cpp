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

FileReplacement::FileReplacement(const std::string& link_or_path, const ReplaceOptions& options)
    : path_(link_or_path), replace_existing_(options.replace_existing) {
  if (char* resolved = ::realpath(link_or_path.c_str(), nullptr)) {
    path_ = resolved;
    ::free(resolved);
  }
  std::string pattern = path_ + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
  if (fd_ < 0) {
    error_ = errno;
    created_ = false;
    return;
  }
  temp_ = name.data();
  // Keep the permissions of the file being replaced; a new file gets the usual 0644.
  struct stat old {};
  const mode_t mode = options.mode                       ? *options.mode
                      : ::stat(path_.c_str(), &old) == 0 ? (old.st_mode & 07777)
                                                         : 0644;
  if (mode != 0600 && ::fchmod(fd_, mode) != 0 && options.mode) {
    error_ = errno;
    Discard();
  }
}

FileReplacement::~FileReplacement() {
  Discard();
}

void FileReplacement::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

bool FileReplacement::Write(std::string_view bytes) {
  if (error_ == 0 && !WriteAll(fd_, bytes)) error_ = errno;
  if (error_ != 0) Discard();
  return error_ == 0;
}

ReplaceResult FileReplacement::Commit() {
  if (error_ != 0) return Result();
  if (::fsync(fd_) != 0) error_ = errno;
  if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  if (error_ == 0) {
    error_ = replace_existing_ ? (::rename(temp_.c_str(), path_.c_str()) == 0 ? 0 : errno)
                               : MoveFileNoReplace(temp_, path_);
    created_ = error_ == 0;
  }
  if (error_ != 0) {
    Discard();
    return Result();
  }
  temp_.clear();
  return Result();
}

ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view content,
                                    const ReplaceOptions& options) {
  FileReplacement replacement(path, options);
  replacement.Write(content);
  return replacement.Commit();
}

}  // namespace trovanex
