// The desktop's side of the core's views. The core calls them from connection threads, often
// while holding its own locks, so every change of a window is posted to the main thread, in
// call order, and nothing here calls back into the core. HTTP log lines that arrive within a
// few milliseconds are shown as one block, so a page of a hundred pictures costs a few
// repaints, not thousands.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "model/message_boxes.h"
#include "monitor/monitor_views.h"

namespace trovanex {

class TConnectionListFrm;
class TLogWindow;
class TStatusFrm;

class QtMonitorViews : public QObject,
                       public StatusView,
                       public LogView,
                       public BalloonView,
                       public ConnectionListView {
  Q_OBJECT
 public:
  static constexpr std::chrono::milliseconds kLogBatchDelay{8};

  explicit QtMonitorViews(QObject* parent = nullptr);

  // Main thread, before the listener starts. Windows destroyed later are skipped.
  void Bind(TStatusFrm* status, TLogWindow* log, TConnectionListFrm* connections);

  void SetConnectCounter(const std::string& text) override;
  void SetConcurrent(const std::string& text) override;
  void SetClientAddresses(const std::string& text) override;
  void SetSavedBytes(const std::string& text) override;
  void SetThroughput(const std::string& text) override;
  void SetMessagePanel(const std::string& text) override;

  bool LogVisible() const override { return log_visible_; }
  void AppendLogLines(const std::vector<std::string>& lines) override;

  void ShowBalloon(const std::string& title, const std::string& text) override;

  bool ConnectionListVisible() const override { return connections_visible_; }
  void ShowConnections(const std::vector<std::string>& entries) override;

 private:
  // Runs `change` on the main thread, after every change posted before it.
  void Post(std::function<void()> change);
  void StatusChange(void (TStatusFrm::*setter)(const QString&), const std::string& text);
  void FlushLog();

  // Read and written on the main thread only.
  QPointer<TStatusFrm> status_;
  QPointer<TLogWindow> log_;
  QPointer<TConnectionListFrm> connections_;
  QTimer* log_flush_;

  // Follow the windows' visibility; read by connection threads.
  std::atomic<bool> log_visible_{false};
  std::atomic<bool> connections_visible_{false};

  std::mutex pending_lock_;    // guards the two below
  QStringList pending_lines_;  // log lines not yet shown, in call order
  bool flush_posted_ = false;  // a flush is on its way for pending_lines_
};

// Message boxes with one OK button. On the main thread the box is shown at once; another
// thread waits until the main thread has shown it and it was closed.
class QtMessageBoxes : public QObject, public MessageBoxes {
  Q_OBJECT
 public:
  using QObject::QObject;
  void ShowMessage(const std::string& text, const std::string& caption) override;
};

// Runs work for connection threads on the main thread and waits until it ran; on the main
// thread it runs at once. Closed at exit: work handed over afterwards, or still waiting, is
// skipped, so no connection waits on a main thread that has stopped serving it.
class MainThreadGate : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  void Run(const std::function<void()>& work);
  void Close() { closed_ = true; }

 private:
  std::atomic<bool> closed_{false};
};

}  // namespace trovanex
