// Lines that many threads write to one stream, written out together: a line reaches the stream
// at most `delay` after it was added (one write for all the lines of that time instead of one
// each), in the order the lines were added, lines of one Add together. Flush() and the
// destructor write out at once whatever is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"

namespace trovanex {

class BatchedLineWriter {
 public:
  static constexpr std::chrono::milliseconds kDelay{8};
  // More held than this is written by the thread that adds, so a slow stream holds it back.
  static constexpr std::size_t kMaxHeld = 64 * 1024;

  explicit BatchedLineWriter(std::FILE* stream, std::chrono::milliseconds delay = kDelay);
  ~BatchedLineWriter();
  BatchedLineWriter(const BatchedLineWriter&) = delete;
  BatchedLineWriter& operator=(const BatchedLineWriter&) = delete;

  // Each line followed by "\n".
  void Add(const std::vector<std::string>& lines) EXCLUDES(lock_);
  void Flush() EXCLUDES(lock_);

 private:
  void Run() EXCLUDES(lock_);
  void WriteHeld() REQUIRES(lock_);

  std::FILE* const stream_;
  const std::chrono::milliseconds delay_;
  Mutex lock_;
  std::condition_variable lines_added_;  // the first line after an empty spell, and stopping
  std::string held_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread writer_;  // last: it starts once everything else exists
};

}  // namespace trovanex
