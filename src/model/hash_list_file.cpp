#include "model/hash_list_file.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

constexpr std::size_t kBlockSize = 256 * 1024;
constexpr std::size_t kLineReadSize = 512;  // a line is mostly shorter: one read

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// Reads up to `length` bytes at `offset`; 0 at the end of the file.
std::size_t ReadAt(int fd, char* into, std::size_t length, std::uint64_t offset,
                   const std::string& path) {
  for (;;) {
    const ssize_t n = ::pread(fd, into, length, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw FileError("cannot read " + path + ": " + SystemErrorText(errno));
  }
}

}  // namespace

HashFileBlocks::HashFileBlocks(int fd, std::uint64_t size, const std::string& path)
    : fd_(fd), size_(size), path_(path), buffer_(kBlockSize, '\0') {}

bool HashFileBlocks::Next(std::string_view& lines, std::uint64_t& offset) {
  // What follows the last line end handed out is the start of a line: keep it at the front.
  std::memmove(buffer_.data(), buffer_.data() + handed_, filled_ - handed_);
  filled_ -= handed_;
  handed_ = 0;
  for (;;) {
    if (read_to_ == size_) {
      if (filled_ == 0) return false;
      handed_ = filled_;  // the last line, without a line end
    } else {
      if (filled_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // a very long line
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(buffer_.size() - filled_, size_ - read_to_));
      const std::size_t got = ReadAt(fd_, buffer_.data() + filled_, want, read_to_, path_);
      if (got == 0) {
        size_ = read_to_;  // cut shorter meanwhile: what is there is all there is
        continue;
      }
      // Only the bytes just read can hold a line end: those kept from before hold none.
      const char* const from = buffer_.data() + filled_;
      filled_ += got;
      read_to_ += got;
      const char* at = buffer_.data() + filled_;
      while (at != from && !IsLineEnd(at[-1])) --at;
      if (at == from) continue;
      handed_ = static_cast<std::size_t>(at - buffer_.data());
    }
    lines = std::string_view(buffer_.data(), handed_);
    offset = read_to_ - filled_;
    return true;
  }
}

std::string ReadHashLineAt(int fd, std::uint64_t offset, const std::string& path) {
  std::string line;
  for (;;) {
    const std::size_t had = line.size();
    line.resize(had + kLineReadSize);
    const std::size_t got = ReadAt(fd, line.data() + had, kLineReadSize, offset + had, path);
    line.resize(had + got);
    const auto end =
        std::find_if(line.begin() + static_cast<std::ptrdiff_t>(had), line.end(), IsLineEnd);
    if (end != line.end()) {
      line.erase(end, line.end());
      return line;
    }
    if (got == 0) return line;
  }
}

void ForEachHashLineHolding(int fd, std::uint64_t size, const std::string& path,
                            std::string_view key,
                            const std::function<bool(std::string_view line)>& visit) {
  // No line holds a line end.
  if (key.empty() || std::any_of(key.begin(), key.end(), IsLineEnd)) return;
  HashFileBlocks blocks(fd, size, path);
  std::string_view lines;
  std::uint64_t offset = 0;
  while (blocks.Next(lines, offset)) {
    const char* const begin = lines.data();
    const char* const end = begin + lines.size();
    for (const char* at = begin; at < end;) {
      const auto* hit = static_cast<const char*>(
          ::memmem(at, static_cast<std::size_t>(end - at), key.data(), key.size()));
      if (!hit) break;
      const char* line_begin = hit;
      while (line_begin != at && !IsLineEnd(line_begin[-1])) --line_begin;
      const char* const line_end = std::find_if(hit, end, IsLineEnd);
      if (visit(std::string_view(line_begin, static_cast<std::size_t>(line_end - line_begin))))
        return;
      at = line_end;
    }
  }
}

}  // namespace trovanex
