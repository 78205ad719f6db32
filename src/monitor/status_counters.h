// The connection counters and their displays: connections started and ended, open now, bytes
// saved, and the addresses of admitted clients. StatusLock guards the counters and the client
// address text; it is also held around groups of log lines that must stay together, and is
// always taken before the log's own lock (HttpLog names it in its lock order).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "monitor/monitor_views.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class StatusCounters {
 public:
  // The texts the displays show before the first update; the front end sets them.
  static constexpr char kInitialConnectCounter[] = "0/0";
  static constexpr char kInitialConcurrent[] = "同時接続数: 0";
  static constexpr char kInitialSavedBytes[] = "!";
  static constexpr char kNotConnectedYet[] = "まだ接続されていません。";

  explicit StatusCounters(StatusView& view);

  // Held by callers (through MutexLock) around log lines that must stay together; not held
  // while calling the operations below, which take it themselves (it is not recursive).
  Mutex& StatusLock() RETURN_CAPABILITY(status_lock_) { return status_lock_; }

  // Connection start: raises StartedCount, shows "ended / started", returns the serial number.
  // Then raises ConcurrentCount. Each step takes StatusLock itself.
  std::uint32_t ConnectionStarted() EXCLUDES(status_lock_);
  // Connection end: raises EndedCount, lowers ConcurrentCount, shows both (under StatusLock).
  void ConnectionEnded() EXCLUDES(status_lock_);

  // Records an admitted client in the address text (under StatusLock).
  void NoteClientAddress(const std::string& address) EXCLUDES(status_lock_);

  // Adds bytes written to capture files; atomic, wraps at 32 bits.
  void AddSavedBytes(std::uint32_t count) { saved_bytes_.fetch_add(count); }
  // Takes back bytes added for a capture that was not kept after all.
  void TakeBackSavedBytes(std::uint32_t count) { saved_bytes_.fetch_sub(count); }
  // Shows SavedBytes (the relay calls this once per pass).
  void ShowSavedBytes() EXCLUDES(saved_display_lock_);

  // The counters and the address text as they stand; these take StatusLock too.
  std::uint32_t StartedCount() const EXCLUDES(status_lock_);
  std::uint32_t EndedCount() const EXCLUDES(status_lock_);
  std::int32_t ConcurrentCount() const EXCLUDES(status_lock_);
  std::uint32_t SavedBytes() const { return saved_bytes_.load(); }
  std::string ClientAddresses() const EXCLUDES(status_lock_);

 private:
  friend class HttpLog;  // its lock order names status_lock_

  StatusView& view_;
  mutable Mutex status_lock_;
  std::uint32_t started_ GUARDED_BY(status_lock_) = 0;
  std::uint32_t ended_ GUARDED_BY(status_lock_) = 0;
  std::int32_t concurrent_ GUARDED_BY(status_lock_) = 0;
  std::string client_addresses_ GUARDED_BY(status_lock_);
  std::atomic<std::uint32_t> saved_bytes_{0};
  // Keeps the saved-bytes display in the order of its reads, so a stale figure never lands last.
  Mutex saved_display_lock_;
};

}  // namespace trovanex
