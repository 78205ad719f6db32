// The MD5 digest of a file that is still being written, computed on a thread of its own while
// it grows, so that the digest of a large capture is ready soon after its last byte instead
// of costing a whole second read of the file then.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace trovanex {

class GrowingFileDigest {
 public:
  // Starts reading `path` behind its writer once it holds more than `start_after` bytes;
  // smaller files are simply digested whole by Finish.
  explicit GrowingFileDigest(std::string path, std::uint64_t start_after = 4 << 20);
  ~GrowingFileDigest();  // stops the thread without waiting for the rest of the file
  GrowingFileDigest(const GrowingFileDigest&) = delete;
  GrowingFileDigest& operator=(const GrowingFileDigest&) = delete;

  // The writer has put `size` bytes in the file so far (all of them on disk or in the cache).
  void Grown(std::uint64_t size);
  // The file is complete: waits until every byte is digested and returns the 32 lower-case
  // hexadecimal digits, or "" when the file could not be read (as FileDigest does).
  std::string Finish();

 private:
  void Run();

  const std::string path_;
  const std::uint64_t start_after_;
  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::uint64_t written_ = 0;
  bool finished_ = false;  // no more growth
  bool stop_ = false;      // give up
  bool failed_ = false;
  std::string digest_;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace trovanex
