// The MD5 digest of a file that is still being written, computed on a thread of its own while
// it grows, so that the digest of a large capture is ready soon after its last byte instead
// of costing a whole second read of the file then. With a content decoder, the file holds an
// encoded body: the thread also decodes it into a second file as it grows, and the digest is
// that of the decoded content.
#pragma once

#include <openssl/evp.h>
#include <condition_variable>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "model/content_decoding.h"

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
  void Grown(std::uint64_t size);
  // The file is complete: waits until every byte is digested and returns the 32 lower-case
  // hexadecimal digits, or "" when the file could not be read (as FileDigest does) or its
  // content not decoded whole; Problem() then says why.
  std::string Finish();
  const std::string& Problem() const { return problem_; }  // after Finish

 private:
  void Run();

  // Reads, decodes when asked to, and digests `n` bytes; false on failure (problem_ set).
  bool Take(EVP_MD_CTX* context, const unsigned char* bytes, std::size_t n);

  const std::string path_;
  const std::uint64_t start_after_;
  const std::unique_ptr<ContentDecoder> decoder_;  // used by the thread only
  const std::string decoded_path_;
  const std::function<void(std::size_t)> on_decoded_;
  // Decoding only: the decoded file's own follower, and how far it was told (thread's).
  const std::unique_ptr<GrowingFileDigest> decoded_digest_;
  std::uint64_t decoded_written_ = 0;
  std::uint64_t decoded_told_ = 0;
  int decoded_fd_ = -1;  // the thread's
  std::mutex lock_;      // guards everything below
  std::condition_variable changed_;
  std::uint64_t written_ = 0;
  bool finished_ = false;  // no more growth
  bool stop_ = false;      // give up
  bool failed_ = false;
  std::string problem_;
  std::string digest_;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace trovanex
