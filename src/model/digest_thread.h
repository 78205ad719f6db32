// The MD5 digest of bytes handed over block by block, made on a thread of its own: a decoder
// and the digest of what it makes each take a core, and the decoded bytes are digested while
// they are still in memory instead of being read back from their file.
#pragma once

#include <condition_variable>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "model/file_digest.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class DigestThread {
 public:
  // What a block should hold before it is handed over; fewer, larger blocks cost fewer wakes.
  static constexpr std::size_t kBlockSize = 512 * 1024;
  // Blocks waiting at most: memory stays bounded however far the digest falls behind.
  static constexpr std::size_t kMaxQueued = 4;

  // The thread starts here, with the priority of the thread that makes this object.
  DigestThread();
  ~DigestThread();  // stops without waiting for the blocks still queued
  DigestThread(const DigestThread&) = delete;
  DigestThread& operator=(const DigestThread&) = delete;

  // An empty string with room for a block: one the thread is done with, when there is one.
  std::string Buffer() EXCLUDES(lock_);
  // Hands the next block over; waits while kMaxQueued blocks are still waiting.
  void Add(std::string block) EXCLUDES(lock_);
  // Waits for every block and returns the digest of all of them; "" when MD5 failed.
  std::string Finish() EXCLUDES(lock_);

 private:
  void Run() EXCLUDES(lock_);

  Mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> queued_ GUARDED_BY(lock_);
  std::vector<std::string> spare_ GUARDED_BY(lock_);  // digested blocks, for Buffer
  bool finishing_ GUARDED_BY(lock_) = false;          // no more blocks come
  bool stop_ GUARDED_BY(lock_) = false;
  std::string digest_ GUARDED_BY(lock_);
  std::thread thread_;  // last: started once everything it uses is there
};

}  // namespace trovanex
