// The throughput figure: the relay reports every piece it passes on; once a second a
// background thread turns the bytes of the past period into a rate and shows it as
// thousands of bytes per second followed by "Kbps".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/thread_annotations.h"

namespace trovanex {

class TBPSThread {
 public:
  // `show` receives the text ("12Kbps") once a second, on the measuring thread; a front end
  // hands it to its main thread. Starts running at once.
  explicit TBPSThread(std::function<void(const std::string&)> show);
  ~TBPSThread();  // stops and waits (at most about a second)
  TBPSThread(const TBPSThread&) = delete;
  TBPSThread& operator=(const TBPSThread&) = delete;

  void AddBytes(std::uint32_t count) EXCLUDES(lock_);
  std::uint32_t Rate() const EXCLUDES(lock_);

  // The rate for bytes counted over elapsed_ms, the product formed in 64 bits; a rate beyond
  // 32 bits shows as the largest one, and a period of 0 ms counts as 1 ms.
  static std::uint32_t RateFor(std::uint32_t bytes, std::uint32_t elapsed_ms);
  // The same for a period between two readings of the 32-bit tick, across its wrap too.
  static std::uint32_t RateBetween(std::uint32_t bytes, std::uint32_t start_tick,
                                   std::uint32_t now_tick);
  static std::string DisplayText(std::uint32_t rate);  // rate / 1000 + "Kbps"

 private:
  void Run() EXCLUDES(lock_);
  // Waits up to `period` for a stop request; true when one came.
  bool StopRequestedWithin(MutexLock& hold, std::chrono::milliseconds period) REQUIRES(lock_);

  const std::function<void(const std::string&)> show_;
  mutable Mutex lock_;
  std::condition_variable stop_requested_;  // signalled when stop_ is set
  std::uint32_t accumulated_ GUARDED_BY(lock_) = 0;
  std::uint32_t rate_ GUARDED_BY(lock_) = 0;
  bool stop_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace trovanex
