// The connection counters and their displays: connections started and ended, open now, bytes
// saved, and the addresses of admitted clients. StatusLock guards the counters and the client
// address text; it is also held around groups of log lines that must stay together, and is
// always taken before the log's own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "monitor/monitor_views.h"

namespace trovanex {

class StatusCounters {
 public:
  // The texts the displays show before the first update; the front end sets them.
  static constexpr char kInitialConnectCounter[] = "0/0";
  static constexpr char kInitialConcurrent[] = "同時接続数: 0";
  static constexpr char kInitialSavedBytes[] = "!";
  static constexpr char kNotConnectedYet[] = "まだ接続されていません。";

  explicit StatusCounters(StatusView& view);

  // Held by callers around log lines that must stay together; not held while calling the
  // operations below, which take it themselves (it is not recursive).
  std::mutex& StatusLock() { return status_lock_; }

  // Connection start: raises StartedCount, shows "ended / started", returns the serial number.
  // Then raises ConcurrentCount. Each step takes StatusLock itself.
  std::uint32_t ConnectionStarted();
  // Connection end: raises EndedCount, lowers ConcurrentCount, shows both (under StatusLock).
  void ConnectionEnded();

  // Records an admitted client in the address text (under StatusLock).
  void NoteClientAddress(const std::string& address);

  // Adds bytes written to capture files; atomic, wraps at 32 bits.
  void AddSavedBytes(std::uint32_t count) { saved_bytes_.fetch_add(count); }
  // Shows SavedBytes (the relay calls this once per pass).
  void ShowSavedBytes();

  // The counters and the address text as they stand; these take StatusLock too.
  std::uint32_t StartedCount() const;
  std::uint32_t EndedCount() const;
  std::int32_t ConcurrentCount() const;
  std::uint32_t SavedBytes() const { return saved_bytes_.load(); }
  std::string ClientAddresses() const;

 private:
  StatusView& view_;
  mutable std::mutex status_lock_;
  std::uint32_t started_ = 0;     // guarded by status_lock_
  std::uint32_t ended_ = 0;       // guarded by status_lock_
  std::int32_t concurrent_ = 0;   // guarded by status_lock_
  std::string client_addresses_;  // guarded by status_lock_
  std::atomic<std::uint32_t> saved_bytes_{0};
  // Keeps the saved-bytes display in the order of its reads, so a stale figure never lands last.
  std::mutex saved_display_lock_;
};

}  // namespace trovanex
