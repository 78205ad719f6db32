#include "ui/qt_views.h"

#include <QMessageBox>
#include <QThread>

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

QtMonitorViews::QtMonitorViews(QObject* parent) : QObject(parent), log_flush_(new QTimer(this)) {
  log_flush_->setSingleShot(true);
  log_flush_->setInterval(kLogBatchDelay);
  connect(log_flush_, &QTimer::timeout, this, &QtMonitorViews::FlushLog);
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
        std::lock_guard hold(pending_lock_);
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

void QtMonitorViews::StatusChange(void (TStatusFrm::*setter)(const QString&),
                                  const std::string& text) {
  Post([this, setter, text = Text(text)] {
    if (status_) (status_.data()->*setter)(text);
  });
}

void QtMonitorViews::SetConnectCounter(const std::string& text) {
  StatusChange(&TStatusFrm::SetConnectCounter, text);
}
void QtMonitorViews::SetConcurrent(const std::string& text) {
  StatusChange(&TStatusFrm::SetConcurrent, text);
}
void QtMonitorViews::SetClientAddresses(const std::string& text) {
  StatusChange(&TStatusFrm::SetClientAddresses, text);
}
void QtMonitorViews::SetSavedBytes(const std::string& text) {
  StatusChange(&TStatusFrm::SetSavedBytes, text);
}
void QtMonitorViews::SetThroughput(const std::string& text) {
  StatusChange(&TStatusFrm::SetThroughput, text);
}
void QtMonitorViews::SetMessagePanel(const std::string& text) {
  StatusChange(&TStatusFrm::SetMessagePanel, text);
}

void QtMonitorViews::ShowBalloon(const std::string& title, const std::string& text) {
  Post([this, title = Text(title), text = Text(text)] {
    if (status_) status_->ShowBalloon(title, text);
  });
}

void QtMonitorViews::AppendLogLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  QStringList converted;
  converted.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string& line : lines) converted << Text(line);
  bool post = false;
  {
    // The caller holds the log's lock, so blocks arrive here whole and in order.
    std::lock_guard hold(pending_lock_);
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
    std::lock_guard hold(pending_lock_);
    lines.swap(pending_lines_);
    flush_posted_ = false;
  }
  if (log_) log_->AppendLines(lines);
}

void QtMonitorViews::ShowConnections(const std::vector<std::string>& entries) {
  QStringList copy;
  copy.reserve(static_cast<qsizetype>(entries.size()));
  for (const std::string& entry : entries) copy << Text(entry);
  Post([this, copy = std::move(copy)] {
    if (connections_) connections_->ShowConnections(copy);
  });
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
