#include "monitor/status_counters.h"

#include <string_view>

#include "platform/text.h"

namespace trovanex {
namespace {

constexpr char kConcurrentPrefix[] = "同時接続数: ";
constexpr char kConnectedFrom[] = "接続元:";

std::string CounterText(std::uint32_t ended, std::uint32_t started) {
  return std::to_string(ended) + " / " + std::to_string(started);
}

}  // namespace

StatusCounters::StatusCounters(StatusView& view)
    : view_(view), client_addresses_(kNotConnectedYet) {}

std::uint32_t StatusCounters::ConnectionStarted() {
  std::uint32_t serial;
  {
    MutexLock hold(status_lock_);
    serial = ++started_;  // read inside the same hold: serial numbers are unique and gapless
    view_.SetConnectCounter(CounterText(ended_, started_));
  }
  MutexLock hold(status_lock_);
  // Wraps at 32 bits like the other counters, without signed overflow.
  concurrent_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(concurrent_) + 1u);
  view_.SetConcurrent(kConcurrentPrefix + std::to_string(concurrent_));
  return serial;
}

void StatusCounters::ConnectionEnded() {
  MutexLock hold(status_lock_);
  ++ended_;
  view_.SetConnectCounter(CounterText(ended_, started_));
  concurrent_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(concurrent_) - 1u);
  view_.SetConcurrent(kConcurrentPrefix + std::to_string(concurrent_));
}

void StatusCounters::NoteClientAddress(const std::string& address) {
  MutexLock hold(status_lock_);
  // A plain substring test: "10.0.0.2" counts as shown once "10.0.0.20" is there.
  if (ContainsIgnoringCase(client_addresses_, address)) return;
  if (client_addresses_ == kNotConnectedYet) {
    client_addresses_ = kConnectedFrom + address;
  } else {
    client_addresses_ += ", " + address;
  }
  view_.SetClientAddresses(client_addresses_);
}

void StatusCounters::ShowSavedBytes() {
  MutexLock hold(saved_display_lock_);
  view_.SetSavedBytes(std::to_string(saved_bytes_.load()));
}

std::uint32_t StatusCounters::StartedCount() const {
  MutexLock hold(status_lock_);
  return started_;
}

std::uint32_t StatusCounters::EndedCount() const {
  MutexLock hold(status_lock_);
  return ended_;
}

std::int32_t StatusCounters::ConcurrentCount() const {
  MutexLock hold(status_lock_);
  return concurrent_;
}

std::string StatusCounters::ClientAddresses() const {
  MutexLock hold(status_lock_);
  return client_addresses_;
}

}  // namespace trovanex
