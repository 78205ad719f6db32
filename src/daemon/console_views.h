// The views of the program without a desktop: HTTP log lines on standard output, one line
// each, written out together a few milliseconds after they come, as the desktop's log window
// shows them; balloon notices, status messages and message boxes on standard error, each after
// the log lines that came before it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "model/message_boxes.h"
#include "monitor/batched_line_writer.h"
#include "monitor/monitor_views.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class ConsoleViews : public StatusView,
                     public LogView,
                     public BalloonView,
                     public ConnectionListView,
                     public MessageBoxes {
 public:
  // `quiet`: standard output gets only errors, captures and refusals of the HTTP log.
  explicit ConsoleViews(bool quiet = false) : quiet_(quiet) {}

  void SetConnectCounter(const std::string&) override {}
  void SetConcurrent(const std::string&) override {}
  void SetClientAddresses(const std::string&) override {}
  void SetSavedBytes(const std::string&) override {}
  void SetThroughput(const std::string&) override {}
  void SetMessagePanel(const std::string& text) override;

  bool LogVisible() const override { return true; }
  void AppendLogLines(const std::vector<std::string>& lines) override;

  void ShowBalloon(const std::string& title, const std::string& text) override;

  bool ConnectionListVisible() const override { return false; }
  void ShowConnections(const std::vector<std::string>&) override {}

  void ShowMessage(const std::string& text, const std::string& caption) override;

  // A line of the program's own on standard error.
  void Report(const std::string& text);

 private:
  const bool quiet_;
  BatchedLineWriter log_lines_{stdout};
  Mutex out_lock_;  // keeps lines whole and in order on standard error
  std::string panel_ GUARDED_BY(out_lock_);
};

}  // namespace trovanex
