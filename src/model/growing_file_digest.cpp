#include "model/growing_file_digest.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

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
      decoded_digest_(std::make_unique<DigestThread>()) {}

GrowingFileDigest::~GrowingFileDigest() {
  {
    MutexLock lock(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void GrowingFileDigest::StartLocked() {
  running_ = true;
  thread_ = std::thread(&GrowingFileDigest::Run, this);
}

void GrowingFileDigest::Grown(std::uint64_t size) {
  {
    MutexLock lock(lock_);
    written_ = size;
    if (!running_ && size > start_after_) StartLocked();
  }
  changed_.notify_all();
}

std::string GrowingFileDigest::Finish() {
  {
    MutexLock lock(lock_);
    finished_ = true;
    if (!running_ && !decoder_) {
      lock.Unlock();
      return FileDigest(path_);
    }
    if (!running_) StartLocked();
  }
  changed_.notify_all();
  thread_.join();
  MutexLock lock(lock_);
  return failed_ ? std::string() : digest_;
}

std::string GrowingFileDigest::Problem() {
  MutexLock lock(lock_);
  return problem_;
}

bool GrowingFileDigest::FlushDecoded() {
  if (decoded_block_.empty()) return true;
  if (!WriteAll(decoded_fd_, decoded_block_)) return false;
  decoded_digest_->Add(std::move(decoded_block_));
  decoded_block_ = decoded_digest_->Buffer();
  return true;
}

bool GrowingFileDigest::Take(Md5& md5, const unsigned char* bytes, std::size_t n) {
  if (!decoder_) return md5.Update(bytes, n);
  return decoder_->Feed(std::string_view(reinterpret_cast<const char*>(bytes), n),
                        [&](std::string_view decoded) {
                          decoded_block_.append(decoded);
                          if (on_decoded_) on_decoded_(decoded.size());
                          return decoded_block_.size() < DigestThread::kBlockSize || FlushDecoded();
                        });
}

bool GrowingFileDigest::Follow(int fd, std::uint64_t target, std::uint64_t& done, Md5& md5) {
  static constexpr std::size_t kBlock = 1 << 17;
  if (!read_buffer_) read_buffer_ = std::make_unique<unsigned char[]>(kBlock);
  unsigned char* const buffer = read_buffer_.get();
  while (done < target) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, target - done));
    const ssize_t n = ::pread(fd, buffer, want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!Take(md5, buffer, static_cast<std::size_t>(n))) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

void GrowingFileDigest::Run() {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  Md5 md5;
  bool ok = fd >= 0;
  std::string problem;
  if (decoder_) {
    // Decoding takes a core of its own for long; the relays, which browsers wait for, come first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kDecodingNice);
    // Truncated only when not empty already: on ext4 a truncated file is pushed towards the
    // disk whole when it is closed, which the capture would then wait for.
    decoded_fd_ = ::open(decoded_path_.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st {};
    const bool writable = decoded_fd_ >= 0 && ::fstat(decoded_fd_, &st) == 0 &&
                          (st.st_size == 0 || ::ftruncate(decoded_fd_, 0) == 0);
    if (ok && !writable) problem = kDecodedNotWritten;
    ok = ok && writable;
    decoded_block_ = decoded_digest_->Buffer();
  }
  std::uint64_t done = 0;
  bool whole = false;
  while (ok && !whole) {
    std::uint64_t target;
    {
      MutexLock lock(lock_);
      while (!stop_ && !finished_ && written_ <= done) lock.Wait(changed_);
      if (stop_) break;
      // Once the writer is done, whatever the file holds beyond the count (there should be
      // nothing) is taken too, so the result is always that of the file as it stands.
      whole = finished_ && written_ <= done;
      target = whole ? UINT64_MAX : written_;
    }
    ok = Follow(fd, target, done, md5);
  }
  std::string digest;
  if (decoder_) {
    ok = ok && whole;
    // The last decoded bytes, less than a block, are written only now.
    if (ok && !FlushDecoded()) {
      ok = false;
      problem = kDecodedNotWritten;
    }
    ok = ok && decoder_->Finish();
    if (problem.empty()) problem = decoder_->Problem();
    // A file system that allocates late can report a full disk only here.
    if (decoded_fd_ >= 0 && ::close(decoded_fd_) != 0 && ok) {
      ok = false;
      problem = kDecodedNotWritten;
    }
    decoded_fd_ = -1;
    if (ok) digest = decoded_digest_->Finish();
  } else if (ok && whole) {
    digest = md5.HexDigest();
  }
  if (!ok && problem.empty()) problem = "capture file not read whole";
  if (fd >= 0) ::close(fd);
  MutexLock lock(lock_);
  failed_ = !ok || digest.empty();
  digest_ = std::move(digest);
  problem_ = std::move(problem);
}

}  // namespace trovanex
