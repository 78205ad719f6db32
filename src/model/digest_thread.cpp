#include "model/digest_thread.h"

namespace trovanex {

DigestThread::DigestThread() : thread_(&DigestThread::Run, this) {}

DigestThread::~DigestThread() {
  {
    MutexLock lock(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string DigestThread::Buffer() {
  std::string buffer;
  {
    MutexLock lock(lock_);
    if (!spare_.empty()) {
      buffer = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  buffer.clear();
  buffer.reserve(kBlockSize);
  return buffer;
}

void DigestThread::Add(std::string block) {
  {
    MutexLock lock(lock_);
    while (queued_.size() >= kMaxQueued && !stop_) lock.Wait(changed_);
    queued_.push_back(std::move(block));
  }
  changed_.notify_all();
}

std::string DigestThread::Finish() {
  {
    MutexLock lock(lock_);
    finishing_ = true;
  }
  changed_.notify_all();
  thread_.join();
  MutexLock lock(lock_);
  return digest_;
}

void DigestThread::Run() {
  Md5 md5;
  MutexLock lock(lock_);
  for (;;) {
    while (queued_.empty() && !finishing_ && !stop_) lock.Wait(changed_);
    if (stop_ || queued_.empty()) break;
    std::string block = std::move(queued_.front());
    queued_.pop_front();
    lock.Unlock();
    changed_.notify_all();  // room for the producer
    md5.Update(block.data(), block.size());
    lock.Lock();
    if (spare_.size() < kMaxQueued) spare_.push_back(std::move(block));
  }
  if (!stop_) digest_ = md5.HexDigest();
}

}  // namespace trovanex
