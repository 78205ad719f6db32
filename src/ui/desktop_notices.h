// Balloons as desktop notifications, each replacing the one before it on screen. Where the
// tray is a StatusNotifier item (most Linux desktops), QSystemTrayIcon::showMessage sends every
// balloon as a new notification (replaces_id 0), so a burst would pile up in the desktop's
// list; this sends them itself, naming the previous notification's id to replace it.
#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <utility>

namespace trovanex {

class DesktopNotices : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

  // Whether the tray icon would send its balloons as desktop notifications, asked as Qt asks
  // it: a StatusNotifier host is registered on the session bus.
  static bool TrayUsesNotifications();

  void Show(const QString& title, const QString& text, int msecs);

 private:
  struct Notice {
    QString title;
    QString text;
    int msecs;
  };
  void Send(const Notice& notice);

  uint shown_id_ = 0;              // the notification on screen, to be replaced; 0: none yet
  bool sending_ = false;           // a notice is on its way and its id not known yet
  std::optional<Notice> waiting_;  // the latest notice given meanwhile
};

}  // namespace trovanex
