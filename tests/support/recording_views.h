// Monitor views that record what they are given instead of showing it. Safe to call from many
// threads at once; tests can wait, with a time limit, until a given number of calls arrived.
// RecordingMonitorViews bundles one of each for a Monitor.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "monitor/monitor_views.h"

namespace trovanex::testing {

inline constexpr std::chrono::milliseconds kViewWaitLimit{5000};

class RecordingStatusView : public StatusView {
 public:
  enum Field {
    kConnectCounter,
    kConcurrent,
    kClientAddresses,
    kSavedBytes,
    kThroughput,
    kMessagePanel
  };

  void SetConnectCounter(const std::string& text) override { Record(kConnectCounter, text); }
  void SetConcurrent(const std::string& text) override { Record(kConcurrent, text); }
  void SetClientAddresses(const std::string& text) override { Record(kClientAddresses, text); }
  void SetSavedBytes(const std::string& text) override { Record(kSavedBytes, text); }
  void SetThroughput(const std::string& text) override { Record(kThroughput, text); }
  void SetMessagePanel(const std::string& text) override { Record(kMessagePanel, text); }

  // Every text the field was given, in order of arrival.
  std::vector<std::string> History(Field field) const {
    std::lock_guard hold(lock_);
    const auto found = history_.find(field);
    return found == history_.end() ? std::vector<std::string>{} : found->second;
  }
  // The text the field was given last; empty when none.
  std::string Last(Field field) const {
    const std::vector<std::string> all = History(field);
    return all.empty() ? std::string() : all.back();
  }
  // Waits until the field has been given at least `count` texts; false on time-out.
  bool WaitForCount(Field field, std::size_t count,
                    std::chrono::milliseconds limit = kViewWaitLimit) const {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [&] {
      const auto found = history_.find(field);
      return found != history_.end() && found->second.size() >= count;
    });
  }
  // Waits until the field has been given `text` (at any time); false on time-out.
  bool WaitForText(Field field, const std::string& text,
                   std::chrono::milliseconds limit = kViewWaitLimit) const {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [&] {
      const auto found = history_.find(field);
      return found != history_.end() &&
             std::find(found->second.begin(), found->second.end(), text) != found->second.end();
    });
  }

 private:
  void Record(Field field, const std::string& text) {
    {
      std::lock_guard hold(lock_);
      history_[field].push_back(text);
    }
    changed_.notify_all();
  }

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::map<Field, std::vector<std::string>> history_;  // guarded by lock_
};

// Behaves like the log window: lines given while hidden are dropped, hiding empties the list.
class RecordingLogView : public LogView {
 public:
  explicit RecordingLogView(bool visible = true) : visible_(visible) {}

  bool LogVisible() const override {
    std::lock_guard hold(lock_);
    return visible_;
  }
  void AppendLogLines(const std::vector<std::string>& lines) override {
    {
      std::lock_guard hold(lock_);
      blocks_.push_back(lines);
    }
    changed_.notify_all();
  }

  void SetVisible(bool visible) {
    std::lock_guard hold(lock_);
    visible_ = visible;
    if (!visible) blocks_.clear();
  }
  // Waits until a line equal to `line` has been given; false on time-out.
  bool WaitForLine(const std::string& line,
                   std::chrono::milliseconds limit = kViewWaitLimit) const {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [&] {
      for (const auto& block : blocks_)
        if (std::find(block.begin(), block.end(), line) != block.end()) return true;
      return false;
    });
  }
  // One entry per AppendLogLines call.
  std::vector<std::vector<std::string>> Blocks() const {
    std::lock_guard hold(lock_);
    return blocks_;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard hold(lock_);
    std::vector<std::string> lines;
    for (const auto& block : blocks_) lines.insert(lines.end(), block.begin(), block.end());
    return lines;
  }

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  bool visible_;                                  // guarded by lock_
  std::vector<std::vector<std::string>> blocks_;  // guarded by lock_
};

class RecordingBalloonView : public BalloonView {
 public:
  struct Balloon {
    std::string title;
    std::string text;
  };
  void ShowBalloon(const std::string& title, const std::string& text) override {
    std::lock_guard hold(lock_);
    shown_.push_back({title, text});
  }
  std::vector<Balloon> Shown() const {
    std::lock_guard hold(lock_);
    return shown_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<Balloon> shown_;  // guarded by lock_
};

class RecordingConnectionListView : public ConnectionListView {
 public:
  explicit RecordingConnectionListView(bool visible = false) : visible_(visible) {}

  bool ConnectionListVisible() const override {
    std::lock_guard hold(lock_);
    return visible_;
  }
  void ShowConnections(const std::vector<std::string>& entries) override {
    std::lock_guard hold(lock_);
    ++show_count_;
    if (fail_) throw std::runtime_error("list box refused the entries");
    shown_ = entries;
  }

  void SetVisible(bool visible) {
    std::lock_guard hold(lock_);
    visible_ = visible;
  }
  // Makes every later ShowConnections fail, as a broken window would.
  void FailShows() {
    std::lock_guard hold(lock_);
    fail_ = true;
  }
  std::vector<std::string> Shown() const {
    std::lock_guard hold(lock_);
    return shown_;
  }
  int ShowCount() const {
    std::lock_guard hold(lock_);
    return show_count_;
  }

 private:
  mutable std::mutex lock_;
  bool visible_;                    // guarded by lock_
  bool fail_ = false;               // guarded by lock_
  int show_count_ = 0;              // guarded by lock_
  std::vector<std::string> shown_;  // guarded by lock_
};

// One recording view of each kind, for a Monitor: `Monitor monitor(views.Views(), false);`
struct RecordingMonitorViews {
  MonitorViews Views() { return {status, log, balloons, connections}; }

  RecordingStatusView status;
  RecordingLogView log;
  RecordingBalloonView balloons;
  RecordingConnectionListView connections;
};

}  // namespace trovanex::testing
