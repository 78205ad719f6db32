// The MD5 digest of a file that is still being written, computed on a thread of its own while
// it grows, so that the digest of a large capture is ready soon after its last byte instead
// of costing a whole second read of the file then. With a content decoder, the file holds an
// encoded body: the thread also decodes it into a second file as it grows, and the digest is
// that of the decoded content.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "model/content_decoding.h"
#include "model/digest_thread.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class GrowingFileDigest {
 public:
  // Starts reading `path` behind its writer once it holds more than `start_after` bytes;
  // smaller files are simply digested whole by Finish.
  explicit GrowingFileDigest(std::string path, std::uint64_t start_after = 4 << 20);
  // Decodes `path` into the existing file `decoded_path` from its first byte on;
  // `on_decoded(n)` is told of every n bytes of content written there (on the thread).
  GrowingFileDigest(std::string path, std::unique_ptr<ContentDecoder> decoder,
                    std::string decoded_path, std::function<void(std::size_t)> on_decoded);
  ~GrowingFileDigest();  // stops the thread without waiting for the rest of the file
  GrowingFileDigest(const GrowingFileDigest&) = delete;
  GrowingFileDigest& operator=(const GrowingFileDigest&) = delete;

  // The writer has put `size` bytes in the file so far (all of them on disk or in the cache).
  void Grown(std::uint64_t size) EXCLUDES(lock_);
  // The file is complete: waits until every byte is digested and returns the 32 lower-case
  // hexadecimal digits, or "" when the file could not be read (as FileDigest does) or its
  // content not decoded whole; Problem() then says why.
  std::string Finish() EXCLUDES(lock_);
  std::string Problem() EXCLUDES(lock_);  // after Finish

 private:
  void StartLocked() REQUIRES(lock_);
  void Run() EXCLUDES(lock_);
  // Reads up to `target` (UINT64_MAX: to the file's end); false on a failure.
  bool Follow(int fd, std::uint64_t target, std::uint64_t& done, Md5& md5);
  // Digests, or decodes, `n` more bytes of the file; false on failure.
  bool Take(Md5& md5, const unsigned char* bytes, std::size_t n);
  // Writes the decoded bytes gathered so far and hands them to the digest.
  bool FlushDecoded();

  const std::string path_;
  const std::uint64_t start_after_;
  const std::unique_ptr<ContentDecoder> decoder_;  // used by the thread only
  const std::string decoded_path_;
  const std::function<void(std::size_t)> on_decoded_;
  // Decoding only, the thread's: the decoded file, the bytes gathered for it, and the digest
  // of the decoded content, made beside the decoding. It is started here, so it runs at the
  // capture's priority, not at the lowered one of the decoding.
  const std::unique_ptr<DigestThread> decoded_digest_;
  std::string decoded_block_;
  int decoded_fd_ = -1;
  std::unique_ptr<unsigned char[]> read_buffer_;  // the thread's

  Mutex lock_;
  std::condition_variable changed_;
  std::uint64_t written_ GUARDED_BY(lock_) = 0;
  bool finished_ GUARDED_BY(lock_) = false;  // no more growth
  bool stop_ GUARDED_BY(lock_) = false;      // give up
  bool failed_ GUARDED_BY(lock_) = false;
  std::string problem_ GUARDED_BY(lock_);
  std::string digest_ GUARDED_BY(lock_);
  bool running_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace trovanex
