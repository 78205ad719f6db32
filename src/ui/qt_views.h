// The desktop's side of the core's views. The core calls them from connection threads, often
// while holding its own locks, so every change of a window is posted to the main thread, in
// call order, and nothing here calls back into the core. HTTP log lines that arrive within a
// few milliseconds are shown as one block, so a page of a hundred pictures costs a few
// repaints, not thousands. Figures, balloons and the connection list keep only their latest
// state until the main thread draws it, paced (Pacer): figures and the list at most four times
// a second, balloons once a second, so a burst of captures cannot flood the main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "model/message_boxes.h"
#include "monitor/monitor_views.h"
#include "platform/thread_annotations.h"
#include "ui/pacer.h"

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
  static constexpr std::chrono::milliseconds kFigureInterval{250};
  static constexpr std::chrono::milliseconds kBalloonInterval{1000};

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
  // The status window's texts, in the order of its setters below.
  enum Figure {
    kConnectCounter,
    kConcurrent,
    kClientAddresses,
    kSavedBytes,
    kThroughput,
    kMessagePanel,
    kFigureCount
  };
  using Balloon = std::pair<QString, QString>;  // title, text

  // Runs `change` on the main thread, after every change posted before it.
  void Post(std::function<void()> change);
  void SetFigure(Figure figure, const std::string& text);
  void FlushLog();

  // Main thread: draws at once if the pacer allows it, else when its turn comes.
  void Paced(Pacer& pacer, QTimer* timer, void (QtMonitorViews::*draw)());
  void DrawFigures();
  void DrawBalloon();
  void DrawConnections();

  // Read and written on the main thread only.
  QPointer<TStatusFrm> status_;
  QPointer<TLogWindow> log_;
  QPointer<TConnectionListFrm> connections_;
  QTimer* log_flush_;
  QTimer* figure_turn_;
  QTimer* balloon_turn_;
  QTimer* connections_turn_;
  Pacer figure_pacer_{kFigureInterval};
  Pacer balloon_pacer_{kBalloonInterval};
  Pacer connections_pacer_{kFigureInterval};

  // Follow the windows' visibility; read by connection threads.
  std::atomic<bool> log_visible_{false};
  std::atomic<bool> connections_visible_{false};

  // Each "posted" flag: the main thread has been told and will draw what is pending, so
  // connection threads only replace the pending state.
  Mutex pending_lock_;
  QStringList pending_lines_ GUARDED_BY(pending_lock_);  // log lines not yet shown, in order
  bool flush_posted_ GUARDED_BY(pending_lock_) = false;  // a flush is on its way for them
  // The latest of each not drawn.
  std::array<std::optional<QString>, kFigureCount> pending_figures_ GUARDED_BY(pending_lock_);
  bool figures_posted_ GUARDED_BY(pending_lock_) = false;
  std::optional<Balloon> pending_balloon_ GUARDED_BY(pending_lock_);  // the latest not shown
  bool balloon_posted_ GUARDED_BY(pending_lock_) = false;
  std::optional<QStringList> pending_connections_ GUARDED_BY(pending_lock_);  // latest not shown
  bool connections_posted_ GUARDED_BY(pending_lock_) = false;
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
