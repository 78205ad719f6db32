// SIGTERM, SIGINT and SIGHUP (a session that ends, a service manager, Ctrl+C in a terminal, the
// terminal closed) end the program the way "終了(&X)" does, so the settings are written and the
// connections end in order instead of the process dying where it stands.
#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace trovanex {

class ExitOnSignal : public QObject {
  Q_OBJECT
 public:
  // One per process; installs the handlers.
  explicit ExitOnSignal(QObject* parent = nullptr);
  ~ExitOnSignal() override;

 private:
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace trovanex
