// The main window: the connection figures, the message and throughput panels, the menus, and
// the tray icon with its menu, tip and balloons. Closing it only hides it; the program goes on
// in the tray until "終了(&X)". The actions forward to the other windows and to the core.
#pragma once

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <string>

#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "ui/background_work.h"

namespace trovanex {

class DesktopIntegration;
class DesktopNotices;
class TConnectionListFrm;
class TFirstStartDlg;
class TSearchSettingDlg;
class THashRefreshDlg;
class TLogWindow;
class TSettingDlg;
class TVersionDlg;

// What the actions work on; all of it outlives the window.
struct StatusFrmServices {
  SettingsHolder& settings;
  std::atomic<bool>& save_available;  // read by the captures of running connections
  THashList& hash_list;
  DesktopIntegration* desktop = nullptr;  // the switches that change the desktop; none in tests
  // A status message for its time on the panel; straight onto the panel when not set.
  std::function<void(const std::string&)> show_status;
};

// The windows the actions open; they are created after the main window.
struct StatusFrmWindows {
  TLogWindow* log = nullptr;
  TConnectionListFrm* connections = nullptr;
  TVersionDlg* version = nullptr;
  TSettingDlg* setting = nullptr;
  THashRefreshDlg* hash_refresh = nullptr;
  TFirstStartDlg* first_start = nullptr;
  TSearchSettingDlg* rule_editor = nullptr;
};

class TStatusFrm : public QMainWindow {
  Q_OBJECT
 public:
  static constexpr int kOuterHeight = 167;
  static constexpr int kWidth = 316;

  explicit TStatusFrm(StatusFrmServices services, QWidget* parent = nullptr);
  void SetWindows(const StatusFrmWindows& windows) { windows_ = windows; }

  // Main thread: the figures and messages the monitor hands over.
  void SetConnectCounter(const QString& text) { connect_counter_->setText(text); }
  void SetConcurrent(const QString& text) { concurrent_->setText(text); }
  void SetClientAddresses(const QString& text) { client_addresses_->setText(text); }
  void SetSavedBytes(const QString& text) { saved_data_->setText(text); }
  void SetMessagePanel(const QString& text) { message_panel_->setText(text); }
  void SetThroughput(const QString& text) { throughput_panel_->setText(text); }
  void ShowBalloon(const QString& title, const QString& text);

  // The first start's dialog: the two switches, then the first rule. Also from the tray menu.
  void ShowFirstStart(bool system_proxy_checked);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void CreateActions();
  void CreateControls();
  void CreateMenus();
  void CreateTray();
  void KeepFixedSize();

  void SaveAvailableChanged(bool on);
  void TrayIconActivated(QSystemTrayIcon::ActivationReason reason);
  void RefreshHashList();
  void EditSettings();
  // Keeps the switch in a new settings object and changes the desktop to match.
  void SetSystemProxy(bool on);
  void SystemProxyChanged(bool on);
  void ShowStatus(const std::string& text);
  void ShowVersion();
  void ShowError(const std::exception& failure);

  StatusFrmServices services_;
  StatusFrmWindows windows_;
  bool rebuilding_ = false;  // a hash-list rebuild runs in a nested event loop

  // The menu's actions keep the names the program has always given them ("act" and the
  // command); the labels below are figures this class writes, named in snake case like every
  // other member.
  QAction* actExit_ = nullptr;
  QAction* actViewStat_ = nullptr;
  QAction* actViewLog_ = nullptr;
  QAction* actViewConnList_ = nullptr;
  QAction* actSetting_ = nullptr;
  QAction* actRefreshHash_ = nullptr;
  QAction* actVersion_ = nullptr;
  QAction* actSaveAvailable_ = nullptr;
  QAction* actSystemProxy_ = nullptr;
  QAction* actFirstStart_ = nullptr;

  QLabel* connect_counter_ = nullptr;
  QLabel* saved_data_ = nullptr;
  QLabel* concurrent_ = nullptr;
  QLabel* client_addresses_ = nullptr;
  QLabel* message_panel_ = nullptr;
  QLabel* throughput_panel_ = nullptr;

  QSystemTrayIcon* tray_ = nullptr;
  DesktopNotices* notices_ = nullptr;  // where the tray's balloons are desktop notifications
  BackgroundWork trust_work_;          // the first start's trust change, off this thread
  std::array<QIcon, 2> tray_images_;   // IconList: saving on, saving off
};

}  // namespace trovanex
