// Reading "hash.dat" by byte offset without holding its text: its lines a block at a time, the
// one line that starts at an offset, and the lines that hold a key. Lines are cut as ForEachLine
// cuts them; a read stops at the size given, so a line being appended past it is never half seen.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace trovanex {

// The first `size` bytes of an open file, a run of whole lines at a time.
class HashFileBlocks {
 public:
  // `path` only names the file in errors.
  HashFileBlocks(int fd, std::uint64_t size, const std::string& path);

  // The next run of whole lines, with the offset where it starts; the last run may end without
  // a line end. False at the end. Throws FileError when a read fails.
  bool Next(std::string_view& lines, std::uint64_t& offset);

 private:
  const int fd_;
  std::uint64_t size_;
  const std::string& path_;
  std::string buffer_;
  std::uint64_t read_to_ = 0;  // file offset of the byte after buffer_[filled_ - 1]
  std::size_t filled_ = 0;     // bytes of buffer_ read
  std::size_t handed_ = 0;     // bytes of buffer_ given out by the last Next
};

// The line that starts `offset` bytes into the file, without its line end. Throws FileError.
std::string ReadHashLineAt(int fd, std::uint64_t offset, const std::string& path);

// Calls visit(line) for each line of the first `size` bytes whose text holds `key`, in file
// order, until it returns true. Throws FileError.
void ForEachHashLineHolding(int fd, std::uint64_t size, const std::string& path,
                            std::string_view key,
                            const std::function<bool(std::string_view line)>& visit);

}  // namespace trovanex
