// The message panel (first status-bar panel): a current activity, or a message shown for at
// most 5000 ms, after which the text shown before the first of a row of messages comes back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

#include "monitor/monitor_views.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class StatusMessages {
 public:
  // The timer runs once from construction, so the panel is cleared `hold` after start-up.
  explicit StatusMessages(StatusView& view,
                          std::chrono::milliseconds hold = std::chrono::milliseconds(5000));
  ~StatusMessages();
  StatusMessages(const StatusMessages&) = delete;
  StatusMessages& operator=(const StatusMessages&) = delete;

  void SetStatusText(const std::string& text) EXCLUDES(lock_);
  void ShowStatusMessage(const std::string& text) EXCLUDES(lock_);

  std::string PanelText() const EXCLUDES(lock_);

 private:
  void RunTimer() EXCLUDES(lock_);

  StatusView& view_;
  const std::chrono::milliseconds hold_;
  mutable Mutex lock_;  // also held over each change of the panel, so changes land in order
  std::condition_variable changed_;
  std::string panel_ GUARDED_BY(lock_);
  std::string remembered_ GUARDED_BY(lock_);  // RememberedStatus: restored when the timer fires
  // A message is showing and remembered_ holds the text to bring back. Kept apart from
  // remembered_ so that an empty panel before a row of messages is brought back as well.
  bool pending_ GUARDED_BY(lock_) = false;
  bool timer_running_ GUARDED_BY(lock_) = true;
  std::chrono::steady_clock::time_point fires_at_ GUARDED_BY(lock_);
  bool stop_ GUARDED_BY(lock_) = false;
  std::thread timer_;
};

}  // namespace trovanex
