#include "engine/capture_endings.h"

#include <system_error>
#include <utility>

namespace trovanex {

CaptureEndings::~CaptureEndings() {
  {
    MutexLock lock(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void CaptureEndings::HandOver(std::function<void()> ending) {
  {
    MutexLock lock(lock_);
    endings_.push_back(std::move(ending));
  }
  changed_.notify_all();
  // Only the owner's thread hands over, so the worker is started once, here, without a lock.
  if (worker_.joinable()) return;
  try {
    worker_ = std::thread(&CaptureEndings::WorkOff, this, false);
  } catch (const std::system_error&) {
    WorkOff(true);  // the owner waits, as every connection did before endings had a thread
  }
}

void CaptureEndings::WorkOff(bool until_empty) {
  MutexLock lock(lock_);
  for (;;) {
    if (endings_.empty()) {
      if (closing_ || until_empty) return;
      lock.Wait(changed_);
      continue;
    }
    std::function<void()> ending = std::move(endings_.front());
    endings_.pop_front();
    lock.Unlock();
    try {
      ending();
    } catch (...) {
      // An ending reports its own failures; the next one still runs.
    }
    lock.Lock();
  }
}

}  // namespace trovanex
