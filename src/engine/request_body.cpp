#include "engine/request_body.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "engine/body_relay.h"
#include "engine/message_head.h"
#include "platform/connection.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/temp_file.h"

namespace trovanex {
namespace {

constexpr std::size_t kPiece = 1 << 16;

int OpenSpool(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without unnamed files: a named one, removed at once.
  const std::string path = CreateTempFile(folder, "tx");
  fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  const int error = errno;
  ::unlink(path.c_str());
  if (fd < 0) throw FileError("cannot open " + path + ": " + SystemErrorText(error));
  return fd;
}

}  // namespace

RequestBody::~RequestBody() {
  Release();
}

void RequestBody::Release() {
  if (spool_fd_ >= 0) ::close(spool_fd_);
  spool_fd_ = -1;
  head_.clear();
  head_.shrink_to_fit();
  length_ = 0;
}

void RequestBody::ReadFrom(Connection& from, std::int64_t length, const std::string& spool_folder) {
  Release();
  if (length <= 0) return;
  head_.reserve(static_cast<std::size_t>(std::min<std::int64_t>(length, kMemoryLimit)));
  KeepFrom(from, static_cast<std::uint64_t>(length), spool_folder);
}

void RequestBody::ReadChunkedFrom(Connection& from, const std::string& spool_folder) {
  Release();
  const auto keep_line = [&](std::string_view line) {
    Keep(line, spool_folder);
    Keep("\r\n", spool_folder);
  };
  for (;;) {
    const std::string size_line = from.ReadLine();
    const std::optional<std::int64_t> size = StrictChunkSize(size_line);
    if (!size) throw MalformedChunkSize();
    keep_line(size_line);
    if (*size < 1) break;
    // Checked before reading: a claimed size alone never makes the file grow past the limit.
    if (*size > kMaxChunked - length_) throw RequestBodyTooLarge();
    KeepFrom(from, static_cast<std::uint64_t>(*size), spool_folder);
    if (!from.ReadLine().empty()) throw MalformedChunkSize();
    keep_line("");
  }
  std::vector<std::string> trailer;
  from.ReadHeaderBlock(trailer);
  for (const std::string& line : trailer) keep_line(line);
  keep_line("");
  if (length_ > kMaxChunked) throw RequestBodyTooLarge();
}

void RequestBody::KeepFrom(Connection& from, std::uint64_t n, const std::string& spool_folder) {
  std::string piece;
  for (std::uint64_t left = n; left > 0;) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(left, kPiece));
    from.ReadExactInto(piece, size);
    Keep(piece, spool_folder);
    left -= size;
  }
}

void RequestBody::Keep(std::string_view bytes, const std::string& spool_folder) {
  if (spool_fd_ < 0) {
    const std::size_t to_memory = std::min(bytes.size(), kMemoryLimit - head_.size());
    head_.append(bytes.substr(0, to_memory));
    length_ += static_cast<std::int64_t>(to_memory);
    bytes.remove_prefix(to_memory);
    if (bytes.empty()) return;
    spool_fd_ = OpenSpool(spool_folder);
  }
  if (!WriteAll(spool_fd_, bytes))
    throw FileError("cannot keep the request body: " + SystemErrorText(errno));
  length_ += static_cast<std::int64_t>(bytes.size());
}

void RequestBody::WriteTo(Connection& to) const {
  if (length_ <= 0) return;
  to.WriteBytes(head_);
  if (spool_fd_ < 0) return;
  std::string piece(kPiece, '\0');
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(spool_fd_, piece.data(), piece.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError("cannot read the request body back: " + SystemErrorText(errno));
    if (n == 0) break;
    to.WriteBytes(std::string_view(piece.data(), static_cast<std::size_t>(n)));
    offset += n;
  }
}

}  // namespace trovanex
