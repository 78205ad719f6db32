#include "monitor/bps_thread.h"

#include <chrono>
#include <limits>
#include <utility>

#include "platform/tick.h"

namespace trovanex {
namespace {

constexpr std::chrono::milliseconds kFirstPeriod{100};
constexpr std::chrono::milliseconds kPeriod{1000};

}  // namespace

TBPSThread::TBPSThread(std::function<void(const std::string&)> show)
    : show_(std::move(show)), thread_([this] { Run(); }) {}

TBPSThread::~TBPSThread() {
  {
    MutexLock hold(lock_);
    stop_ = true;
  }
  stop_requested_.notify_all();
  thread_.join();
}

void TBPSThread::AddBytes(std::uint32_t count) {
  MutexLock hold(lock_);
  accumulated_ += count;
}

std::uint32_t TBPSThread::Rate() const {
  MutexLock hold(lock_);
  return rate_;
}

std::uint32_t TBPSThread::RateFor(std::uint32_t bytes, std::uint32_t elapsed_ms) {
  if (elapsed_ms == 0) elapsed_ms = 1;
  const std::uint64_t rate = std::uint64_t{bytes} * 1000u / elapsed_ms;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(rate < kMax ? rate : kMax);
}

std::uint32_t TBPSThread::RateBetween(std::uint32_t bytes, std::uint32_t start_tick,
                                      std::uint32_t now_tick) {
  return RateFor(bytes, now_tick - start_tick);  // unsigned: a wrap of the tick does no harm
}

std::string TBPSThread::DisplayText(std::uint32_t rate) {
  return std::to_string(rate / 1000u) + "Kbps";
}

bool TBPSThread::StopRequestedWithin(MutexLock& hold, std::chrono::milliseconds period) {
  const auto deadline = std::chrono::steady_clock::now() + period;
  while (!stop_ && hold.WaitUntil(stop_requested_, deadline)) {
  }
  return stop_;
}

void TBPSThread::Run() {
  std::uint32_t period_start = GetTickCount32();
  MutexLock hold(lock_);
  // A stop request cuts the sleep short, so shutdown never waits out a whole period.
  if (StopRequestedWithin(hold, kFirstPeriod)) return;
  for (;;) {
    const std::uint32_t now = GetTickCount32();
    rate_ = RateBetween(accumulated_, period_start, now);
    accumulated_ = 0;
    period_start = now;
    const std::uint32_t rate = rate_;
    hold.Unlock();
    if (show_) show_(DisplayText(rate));  // without the lock: AddBytes never waits for it
    hold.Lock();
    if (StopRequestedWithin(hold, kPeriod)) return;
  }
}

}  // namespace trovanex
