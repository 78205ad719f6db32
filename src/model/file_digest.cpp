#include "model/file_digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace trovanex {
namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Md5::Md5() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) == 1;
}

bool Md5::Update(const void* bytes, std::size_t n) {
  ok_ = ok_ && EVP_DigestUpdate(context_.get(), bytes, n) == 1;
  return ok_;
}

std::string Md5::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return {};
  ok_ = false;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

std::string FileDigest(const std::string& path) {
  // Never waits on a named pipe or a device: only regular files have content to digest.
  FdCloser file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  Md5 md5;
  static constexpr std::size_t kBlock = 1 << 17;
  auto buffer = std::make_unique<unsigned char[]>(kBlock);
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) break;
    md5.Update(buffer.get(), static_cast<std::size_t>(n));
  }
  return md5.HexDigest();
}

}  // namespace trovanex
