// The message panel (first status-bar panel): a current activity, or a message shown for at
// most 5000 ms, after which the text shown before the first of a row of messages comes back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "monitor/monitor_views.h"

namespace trovanex {

class StatusMessages {
 public:
  // The timer runs once from construction, so the panel is cleared `hold` after start-up.
  explicit StatusMessages(StatusView& view,
                          std::chrono::milliseconds hold = std::chrono::milliseconds(5000));
  ~StatusMessages();
  StatusMessages(const StatusMessages&) = delete;
  StatusMessages& operator=(const StatusMessages&) = delete;

  void SetStatusText(const std::string& text);
  void ShowStatusMessage(const std::string& text);

  std::string PanelText() const;

 private:
  void RunTimer();

  StatusView& view_;
  const std::chrono::milliseconds hold_;
  mutable std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::string panel_;
  std::string remembered_;  // RememberedStatus: restored when the timer fires
  // A message is showing and remembered_ holds the text to bring back. Kept apart from
  // remembered_ so that an empty panel before a row of messages is brought back as well.
  bool pending_ = false;
  bool timer_running_ = true;
  std::chrono::steady_clock::time_point fires_at_;
  bool stop_ = false;
  std::thread timer_;
};

}  // namespace trovanex
