// What the monitoring core shows, as interfaces the front ends implement. The core calls them
// from connection threads, in the order things happen; a front end whose windows may only be
// changed on its main thread hands each call over to that thread in the same order.
#pragma once

#include <string>
#include <vector>

namespace trovanex {

// The main window's figures.
class StatusView {
 public:
  virtual ~StatusView() = default;
  virtual void SetConnectCounter(const std::string& text) = 0;   // "3 / 5"
  virtual void SetConcurrent(const std::string& text) = 0;       // "同時接続数: 1"
  virtual void SetClientAddresses(const std::string& text) = 0;  // "接続元:127.0.0.1"
  virtual void SetSavedBytes(const std::string& text) = 0;       // "48213"
  virtual void SetThroughput(const std::string& text) = 0;       // "12Kbps"
  virtual void SetMessagePanel(const std::string& text) = 0;     // first status-bar panel
};

// The HTTP log window. Lines of one call belong together and are shown as one block.
class LogView {
 public:
  virtual ~LogView() = default;
  // Whether the log window is visible now (lines are dropped while it is hidden).
  virtual bool LogVisible() const = 0;
  virtual void AppendLogLines(const std::vector<std::string>& lines) = 0;
};

// Balloon notices at the tray icon, titled "trovan!".
class BalloonView {
 public:
  virtual ~BalloonView() = default;
  virtual void ShowBalloon(const std::string& title, const std::string& text) = 0;
};

// The connection list window; given the whole current list on every change while visible.
class ConnectionListView {
 public:
  virtual ~ConnectionListView() = default;
  virtual bool ConnectionListVisible() const = 0;
  virtual void ShowConnections(const std::vector<std::string>& entries) = 0;
};

}  // namespace trovanex
