#include "ui/qt_views.h"

#include <QMessageBox>
#include <QThread>
#include <algorithm>

#include "ui/connection_list_frm.h"
#include "ui/log_window.h"
#include "ui/status_frm.h"

namespace trovanex {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

bool OnThreadOf(const QObject& object) {
  return QThread::currentThread() == object.thread();
}

}  // namespace

QtMonitorViews::QtMonitorViews(QObject* parent)
    : QObject(parent),
      log_flush_(new QTimer(this)),
      figure_turn_(new QTimer(this)),
      balloon_turn_(new QTimer(this)),
      connections_turn_(new QTimer(this)) {
  log_flush_->setSingleShot(true);
  log_flush_->setInterval(kLogBatchDelay);
  connect(log_flush_, &QTimer::timeout, this, &QtMonitorViews::FlushLog);
  const auto turn = [this](QTimer* timer, Pacer& pacer, void (QtMonitorViews::*draw)()) {
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, &pacer, draw] {
      if (pacer.TakeDue(Pacer::Clock::now())) (this->*draw)();
    });
  };
  turn(figure_turn_, figure_pacer_, &QtMonitorViews::DrawFigures);
  turn(balloon_turn_, balloon_pacer_, &QtMonitorViews::DrawBalloon);
  turn(connections_turn_, connections_pacer_, &QtMonitorViews::DrawConnections);
}

void QtMonitorViews::Bind(TStatusFrm* status, TLogWindow* log, TConnectionListFrm* connections) {
  status_ = status;
  log_ = log;
  connections_ = connections;
  if (log) {
    log_visible_ = log->isVisible();
    connect(log, &TLogWindow::VisibilityChanged, this, [this](bool visible) {
      log_visible_ = visible;
      if (!visible) {
        MutexLock hold(pending_lock_);
        pending_lines_.clear();
      }
    });
  }
  if (connections) {
    connections_visible_ = connections->isVisible();
    connect(connections, &TConnectionListFrm::VisibilityChanged, this,
            [this](bool visible) { connections_visible_ = visible; });
  }
}

void QtMonitorViews::Post(std::function<void()> change) {
  QMetaObject::invokeMethod(this, std::move(change), Qt::QueuedConnection);
}

void QtMonitorViews::Paced(Pacer& pacer, QTimer* timer, void (QtMonitorViews::*draw)()) {
  const Pacer::Clock::time_point now = Pacer::Clock::now();
  if (pacer.Offer(now)) {
    (this->*draw)();
    return;
  }
  if (timer->isActive()) return;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*pacer.DueAt() - now);
  timer->start(std::max(wait, std::chrono::milliseconds(0)));
}

void QtMonitorViews::SetFigure(Figure figure, const std::string& text) {
  bool post = false;
  {
    MutexLock hold(pending_lock_);
    pending_figures_[figure] = Text(text);
    post = !std::exchange(figures_posted_, true);
  }
  if (post) Post([this] { Paced(figure_pacer_, figure_turn_, &QtMonitorViews::DrawFigures); });
}

void QtMonitorViews::DrawFigures() {
  std::array<std::optional<QString>, kFigureCount> figures;
  {
    MutexLock hold(pending_lock_);
    figures.swap(pending_figures_);
    figures_posted_ = false;
  }
  if (!status_) return;
  static constexpr std::array<void (TStatusFrm::*)(const QString&), kFigureCount> kSetters = {
      &TStatusFrm::SetConnectCounter, &TStatusFrm::SetConcurrent, &TStatusFrm::SetClientAddresses,
      &TStatusFrm::SetSavedBytes,     &TStatusFrm::SetThroughput, &TStatusFrm::SetMessagePanel};
  for (std::size_t i = 0; i < figures.size(); ++i)
    if (figures[i]) (status_.data()->*kSetters[i])(*figures[i]);
}

void QtMonitorViews::SetConnectCounter(const std::string& text) {
  SetFigure(kConnectCounter, text);
}
void QtMonitorViews::SetConcurrent(const std::string& text) {
  SetFigure(kConcurrent, text);
}
void QtMonitorViews::SetClientAddresses(const std::string& text) {
  SetFigure(kClientAddresses, text);
}
void QtMonitorViews::SetSavedBytes(const std::string& text) {
  SetFigure(kSavedBytes, text);
}
void QtMonitorViews::SetThroughput(const std::string& text) {
  SetFigure(kThroughput, text);
}
void QtMonitorViews::SetMessagePanel(const std::string& text) {
  SetFigure(kMessagePanel, text);
}

// A balloon replaces the one before it on screen, so one that is replaced before its turn is
// only a flicker the user does not miss.
void QtMonitorViews::ShowBalloon(const std::string& title, const std::string& text) {
  bool post = false;
  {
    MutexLock hold(pending_lock_);
    pending_balloon_ = Balloon{Text(title), Text(text)};
    post = !std::exchange(balloon_posted_, true);
  }
  if (post) Post([this] { Paced(balloon_pacer_, balloon_turn_, &QtMonitorViews::DrawBalloon); });
}

void QtMonitorViews::DrawBalloon() {
  std::optional<Balloon> balloon;
  {
    MutexLock hold(pending_lock_);
    balloon.swap(pending_balloon_);
    balloon_posted_ = false;
  }
  if (balloon && status_) status_->ShowBalloon(balloon->first, balloon->second);
}

void QtMonitorViews::AppendLogLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  QStringList converted;
  converted.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string& line : lines) converted << Text(line);
  bool post = false;
  {
    // The caller holds the log's lock, so blocks arrive here whole and in order.
    MutexLock hold(pending_lock_);
    pending_lines_ << converted;
    post = !std::exchange(flush_posted_, true);
  }
  if (post)
    Post([this] {
      if (!log_flush_->isActive()) log_flush_->start();
    });
}

void QtMonitorViews::FlushLog() {
  QStringList lines;
  {
    MutexLock hold(pending_lock_);
    lines.swap(pending_lines_);
    flush_posted_ = false;
  }
  if (log_) log_->AppendLines(lines);
}

void QtMonitorViews::ShowConnections(const std::vector<std::string>& entries) {
  QStringList copy;
  copy.reserve(static_cast<qsizetype>(entries.size()));
  for (const std::string& entry : entries) copy << Text(entry);
  bool post = false;
  {
    // The caller holds the list's lock, so the latest copy here is the latest list.
    MutexLock hold(pending_lock_);
    pending_connections_ = std::move(copy);
    post = !std::exchange(connections_posted_, true);
  }
  if (post)
    Post(
        [this] { Paced(connections_pacer_, connections_turn_, &QtMonitorViews::DrawConnections); });
}

void QtMonitorViews::DrawConnections() {
  std::optional<QStringList> entries;
  {
    MutexLock hold(pending_lock_);
    entries.swap(pending_connections_);
    connections_posted_ = false;
  }
  if (entries && connections_) connections_->ShowConnections(*entries);
}

void QtMessageBoxes::ShowMessage(const std::string& text, const std::string& caption) {
  const auto show = [&] {
    QMessageBox box(QMessageBox::NoIcon, Text(caption), Text(text), QMessageBox::Ok);
    box.exec();
  };
  if (OnThreadOf(*this))
    show();
  else
    QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
}

void MainThreadGate::Run(const std::function<void()>& work) {
  if (closed_) return;
  if (OnThreadOf(*this)) {
    work();
    return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, &work] {
        if (!closed_) work();
      },
      Qt::BlockingQueuedConnection);
}

}  // namespace trovanex
