#include "model/growing_file_digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "model/file_digest.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

constexpr int kDecodingNice = 10;

}  // namespace

GrowingFileDigest::GrowingFileDigest(std::string path, std::uint64_t start_after)
    : path_(std::move(path)), start_after_(start_after) {}

GrowingFileDigest::GrowingFileDigest(std::string path, std::unique_ptr<ContentDecoder> decoder,
                                     std::string decoded_path,
                                     std::function<void(std::size_t)> on_decoded)
    : path_(std::move(path)),
      start_after_(0),
      decoder_(std::move(decoder)),
      decoded_path_(std::move(decoded_path)),
      on_decoded_(std::move(on_decoded)),
      decoded_digest_(std::make_unique<GrowingFileDigest>(decoded_path_, 0)) {}

GrowingFileDigest::~GrowingFileDigest() {
  {
    std::lock_guard lock(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void GrowingFileDigest::Grown(std::uint64_t size) {
  {
    std::lock_guard lock(lock_);
    written_ = size;
    if (!running_ && size > start_after_) {
      running_ = true;
      thread_ = std::thread(&GrowingFileDigest::Run, this);
    }
  }
  changed_.notify_all();
}

std::string GrowingFileDigest::Finish() {
  {
    std::unique_lock lock(lock_);
    finished_ = true;
    if (!running_ && !decoder_) {
      lock.unlock();
      return FileDigest(path_);
    }
    if (!running_) {
      running_ = true;
      thread_ = std::thread(&GrowingFileDigest::Run, this);
    }
  }
  changed_.notify_all();
  thread_.join();
  std::lock_guard lock(lock_);
  return failed_ ? std::string() : digest_;
}

bool GrowingFileDigest::Take(EVP_MD_CTX* context, const unsigned char* bytes, std::size_t n) {
  if (!decoder_) return EVP_DigestUpdate(context, bytes, n) == 1;
  // The decoded file is digested by a follower of its own, on the other core.
  static constexpr std::uint64_t kGrowthStep = 1 << 20;
  return decoder_->Feed(std::string_view(reinterpret_cast<const char*>(bytes), n),
                        [&](std::string_view decoded) {
                          if (!WriteAll(decoded_fd_, decoded)) return false;
                          decoded_written_ += decoded.size();
                          if (decoded_written_ - decoded_told_ >= kGrowthStep) {
                            decoded_digest_->Grown(decoded_written_);
                            decoded_told_ = decoded_written_;
                          }
                          if (on_decoded_) on_decoded_(decoded.size());
                          return true;
                        });
}

void GrowingFileDigest::Run() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  bool ok = fd >= 0 && context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1;
  if (decoder_) {
    // Decoding takes a core of its own for long; the relays, which browsers wait for, come first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kDecodingNice);
    decoded_fd_ = ::open(decoded_path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ok = ok && decoded_fd_ >= 0;
  }
  static constexpr std::size_t kBlock = 1 << 17;
  auto buffer = std::make_unique<unsigned char[]>(kBlock);
  std::uint64_t done = 0;
  while (ok) {
    std::uint64_t target;
    {
      std::unique_lock lock(lock_);
      changed_.wait(lock, [&] { return stop_ || finished_ || written_ > done; });
      if (stop_) break;
      if (finished_ && written_ <= done) {
        // Whatever the file holds beyond the count (there should be nothing) is digested too,
        // so the result is always the digest of the file as it stands.
        target = UINT64_MAX;
      } else {
        target = written_;
      }
    }
    while (ok && done < target) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, target - done));
      const ssize_t n = ::pread(fd, buffer.get(), want, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      ok = Take(context.get(), buffer.get(), static_cast<std::size_t>(n));
      done += static_cast<std::uint64_t>(n);
    }
    if (target == UINT64_MAX) break;
  }
  std::string problem;
  std::string digest;
  if (decoder_) {
    ok = ok && decoder_->Finish();
    problem = decoder_->Problem();
    if (decoded_fd_ >= 0 && ::close(decoded_fd_) != 0) ok = false;
    decoded_fd_ = -1;
    if (ok) {
      decoded_digest_->Grown(decoded_written_);
      digest = decoded_digest_->Finish();
    }
  }
  if (!ok && problem.empty()) problem = "capture file not read whole";
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (ok && !decoder_ && EVP_DigestFinal_ex(context.get(), raw, &length) == 1) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
      digest.push_back(kHex[raw[i] >> 4]);
      digest.push_back(kHex[raw[i] & 15]);
    }
  }
  if (fd >= 0) ::close(fd);
  std::lock_guard lock(lock_);
  failed_ = !ok || digest.empty();
  digest_ = std::move(digest);
  problem_ = std::move(problem);
}

}  // namespace trovanex
