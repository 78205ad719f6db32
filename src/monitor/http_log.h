// The HTTP log and the debug log. Every line of a connection starts with its serial number.
// Lines go to the log window while it is visible and, in debug mode, to "debug.log.txt".
// LogLock keeps a block of header lines together; StatusLock, when a caller holds it, is
// always taken before LogLock (the build checks this where both are taken in one function).
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "monitor/monitor_views.h"
#include "monitor/status_counters.h"
#include "platform/thread_annotations.h"

namespace trovanex {

inline constexpr char kDebugLogFileName[] = "debug.log.txt";

class HttpLog {
 public:
  HttpLog(LogView& view, bool debug_mode);
  ~HttpLog();  // closes the debug log with its closing line
  HttpLog(const HttpLog&) = delete;
  HttpLog& operator=(const HttpLog&) = delete;

  // In debug mode: opens `path` for appending; an existing file gets the start line
  // "*** Debug log start :: <date> <time> ***", a new one is created empty. A file that cannot
  // be opened or written is reported once through `report` and the log goes on without it.
  // `report` runs on the thread that met the failure, outside the log's lock.
  void OpenDebugLog(const std::string& path, std::function<void(const std::string&)> report)
      EXCLUDES(log_lock_);
  // Writes "*** Destroying main window... shutdown ***" and closes the file.
  void CloseDebugLog() EXCLUDES(log_lock_);

  void AddLog(const std::string& line) EXCLUDES(log_lock_);
  void AddHeaderLog(const std::string& prefix, const std::vector<std::string>& lines)
      EXCLUDES(log_lock_);
  void AddDebugLog(const std::string& line) EXCLUDES(log_lock_);

  bool DebugMode() const { return debug_mode_; }
  // Whether a line added now goes anywhere (the log window is visible, or the debug log is
  // open), so that callers can skip formatting lines nobody takes.
  bool Listening() const { return debug_open_ || view_.LogVisible(); }

 private:
  // Both: the caller holds log_lock_. A failure closes the file; its text comes back (empty
  // when none, or when one was reported before) to be reported once the lock is released.
  std::string WriteDebugLine(const std::string& line) REQUIRES(log_lock_);
  std::string FileFailure(const char* what) REQUIRES(log_lock_);
  void Report(const std::string& failure) EXCLUDES(log_lock_);

  LogView& view_;
  const bool debug_mode_;
  // LogLock: serialises additions to the log and to the file.
  Mutex log_lock_ ACQUIRED_AFTER(StatusCounters::status_lock_);
  std::FILE* debug_file_ GUARDED_BY(log_lock_) = nullptr;
  std::atomic<bool> debug_open_{false};  // debug_file_ is set; written under log_lock_
  std::function<void(const std::string&)> report_ GUARDED_BY(log_lock_);
  std::string debug_path_ GUARDED_BY(log_lock_);
  bool failure_reported_ GUARDED_BY(log_lock_) = false;
};

}  // namespace trovanex
