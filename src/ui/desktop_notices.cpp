#include "ui/desktop_notices.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace trovanex {
namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";

}  // namespace

bool DesktopNotices::TrayUsesNotifications() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusInterface watcher("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                         "org.kde.StatusNotifierWatcher", bus);
  return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

void DesktopNotices::Show(const QString& title, const QString& text, int msecs) {
  // Until the id of the one on its way is known, a new one would be added, not replace it.
  if (sending_) {
    waiting_ = Notice{title, text, msecs};
    return;
  }
  Send(Notice{title, text, msecs});
}

void DesktopNotices::Send(const Notice& notice) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  // The urgency and icon QSystemTrayIcon gives an information balloon.
  const QVariantMap hints{{"urgency", 0}};
  call << QCoreApplication::applicationName() << shown_id_ << QString("dialog-information")
       << notice.title << notice.text << QStringList() << hints << notice.msecs;
  sending_ = true;
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            const QDBusPendingReply<uint> reply = *finished;
            if (!reply.isError()) shown_id_ = reply.value();
            sending_ = false;
            if (waiting_) Send(*std::exchange(waiting_, std::nullopt));
          });
}

}  // namespace trovanex
