#include "monitor/status_messages.h"

namespace trovanex {

StatusMessages::StatusMessages(StatusView& view, std::chrono::milliseconds hold)
    : view_(view),
      hold_(hold),
      fires_at_(std::chrono::steady_clock::now() + hold),
      timer_([this] { RunTimer(); }) {}

StatusMessages::~StatusMessages() {
  {
    MutexLock hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  timer_.join();
}

void StatusMessages::SetStatusText(const std::string& text) {
  MutexLock hold(lock_);
  panel_ = text;
  view_.SetMessagePanel(text);
}

void StatusMessages::ShowStatusMessage(const std::string& text) {
  // Remembering, showing and starting the timer are one step for other callers and the timer.
  MutexLock hold(lock_);
  if (!pending_) {
    remembered_ = panel_;
    pending_ = true;
  }
  panel_ = text;
  view_.SetMessagePanel(text);
  if (!timer_running_) {  // a running timer keeps its time: a message stays at most one hold
    timer_running_ = true;
    fires_at_ = std::chrono::steady_clock::now() + hold_;
    changed_.notify_all();
  }
}

std::string StatusMessages::PanelText() const {
  MutexLock hold(lock_);
  return panel_;
}

void StatusMessages::RunTimer() {
  MutexLock hold(lock_);
  while (!stop_) {
    if (!timer_running_) {
      hold.Wait(changed_);
      continue;
    }
    if (hold.WaitUntil(changed_, fires_at_)) continue;  // woken before the time: look again
    if (stop_) break;
    // The first firing after start-up finds nothing pending and clears the panel.
    panel_ = remembered_;
    remembered_.clear();
    pending_ = false;
    timer_running_ = false;
    view_.SetMessagePanel(panel_);
  }
}

}  // namespace trovanex
