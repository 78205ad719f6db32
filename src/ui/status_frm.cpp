#include "ui/status_frm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMoveEvent>
#include <QStatusBar>
#include <algorithm>

#include "model/command_line.h"
#include "monitor/status_counters.h"
#include "ui/connection_list_frm.h"
#include "ui/desktop_integration.h"
#include "ui/desktop_notices.h"
#include "ui/first_start_dlg.h"
#include "ui/hash_refresh_dlg.h"
#include "ui/log_window.h"
#include "ui/search_setting_dlg.h"
#include "ui/setting_dlg.h"
#include "ui/tray_rules.h"
#include "ui/version_dlg.h"
#include "ui/window_font.h"

// Resources of a static library must be registered by name, outside any namespace.
static void InitIconResources() {
  Q_INIT_RESOURCE(icons);
}

namespace trovanex {
namespace {

constexpr int kTrayBalloonMs = 5000;

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QRect place) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  if (place.width() > 0)
    label->setGeometry(place);
  else
    label->move(place.topLeft());
  return label;
}

QLabel* AddPanel(QStatusBar* bar, int width) {
  auto* panel = new QLabel(bar);
  panel->setFixedWidth(width);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bar->addWidget(panel);
  return panel;
}

// Brings a window up from hidden or minimised, in front of the others.
void ShowInFront(QWidget* window) {
  if (!window) return;
  if (window->isMinimized())
    window->showNormal();
  else
    window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

TStatusFrm::TStatusFrm(StatusFrmServices services, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      services_(services) {
  InitIconResources();
  setWindowTitle(DebugMode ? "trovanex **debug mode**" : "Trovanex : status");
  setFont(WindowFont());
  move(590, 333);
  resize(kWidth, kOuterHeight);
  KeepFixedSize();

  CreateActions();
  CreateControls();
  CreateMenus();
  CreateTray();
}

void TStatusFrm::CreateActions() {
  const auto action = [this](const char* name, const QString& caption) {
    auto* created = new QAction(caption, this);
    created->setObjectName(name);
    return created;
  };
  actExit_ = action("actExit", "終了(&X)");
  actViewStat_ = action("actViewStat", "ステータス表示(&T)");
  actViewLog_ = action("actViewLog", "HTTPログを表示(&L)");
  actViewConnList_ = action("actViewConnList", "接続中リストを表示(&C)");
  actSetting_ = action("actSetting", "設定(&S)...");
  actRefreshHash_ = action("actRefreshHash", "ハッシュリスト更新(&H)");
  actVersion_ = action("actVersion", "バージョン情報");
  actSaveAvailable_ = action("actSaveAvailable", "保存を有効にする");
  actSaveAvailable_->setCheckable(true);
  actSaveAvailable_->setChecked(true);
  actSystemProxy_ = action("actSystemProxy", "このデスクトップのプロキシにする(&P)");
  actSystemProxy_->setCheckable(true);
  actSystemProxy_->setChecked(services_.settings.Current()->UseAsSystemProxy);
  actFirstStart_ = action("actFirstStart", "はじめの設定(&W)...");

  // exit() rather than quit(): quit() first asks every window to close, and this one refuses.
  connect(actExit_, &QAction::triggered, this, [] { QCoreApplication::exit(0); });
  connect(actViewStat_, &QAction::triggered, this, [this] { ShowInFront(this); });
  connect(actViewLog_, &QAction::triggered, this, [this] { ShowInFront(windows_.log); });
  connect(actViewConnList_, &QAction::triggered, this,
          [this] { ShowInFront(windows_.connections); });
  connect(actSetting_, &QAction::triggered, this, &TStatusFrm::EditSettings);
  connect(actRefreshHash_, &QAction::triggered, this, &TStatusFrm::RefreshHashList);
  connect(actVersion_, &QAction::triggered, this, &TStatusFrm::ShowVersion);
  connect(actSaveAvailable_, &QAction::toggled, this, &TStatusFrm::SaveAvailableChanged);
  connect(actSystemProxy_, &QAction::triggered, this, &TStatusFrm::SetSystemProxy);
  connect(actFirstStart_, &QAction::triggered, this,
          [this] { ShowFirstStart(services_.settings.Current()->UseAsSystemProxy); });
}

void TStatusFrm::CreateControls() {
  auto* client = new QWidget(this);
  setCentralWidget(client);
  AddLabel(client, "Label1", "延べ接続数", {16, 8, 0, 0});
  connect_counter_ =
      AddLabel(client, "ConnectCounter", StatusCounters::kInitialConnectCounter, {88, 8, 113, 17});
  AddLabel(client, "Label2", "保存データ量", {16, 32, 0, 0});
  saved_data_ =
      AddLabel(client, "labelSavedData", StatusCounters::kInitialSavedBytes, {96, 32, 161, 17});
  concurrent_ = AddLabel(client, "Label3", StatusCounters::kInitialConcurrent, {16, 56, 105, 12});
  client_addresses_ =
      AddLabel(client, "labelClientAddr", StatusCounters::kNotConnectedYet, {16, 80, 241, 12});

  QStatusBar* bar = statusBar();
  bar->setObjectName("Status");
  bar->setSizeGripEnabled(false);
  bar->setFixedHeight(19);
  message_panel_ = AddPanel(bar, 200);
  throughput_panel_ = AddPanel(bar, 50);
}

void TStatusFrm::CreateMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu");
  QMenu* file = bar->addMenu("ファイル(&F)");
  file->addAction(actRefreshHash_);
  file->addSeparator();
  file->addAction(actExit_);
  QMenu* view = bar->addMenu("表示(&V)");
  view->addAction(actViewLog_);
  view->addAction(actViewConnList_);
  bar->addAction(actSetting_);
  QMenu* help = bar->addMenu("ヘルプ(&H)");
  help->addAction(actVersion_);
}

void TStatusFrm::CreateTray() {
  tray_images_ = {QIcon(":/icons/tray_save_on.png"), QIcon(":/icons/tray_save_off.png")};
  auto* menu = new QMenu(this);
  menu->setObjectName("TaskIconPopup");
  menu->addAction(actSaveAvailable_);
  menu->addAction(actSystemProxy_);
  menu->addSeparator();
  menu->addActions({actViewStat_, actViewLog_, actViewConnList_});
  menu->addSeparator();
  menu->addAction(actSetting_);
  menu->addAction(actFirstStart_);
  menu->addSeparator();
  menu->addAction(actRefreshHash_);
  menu->addSeparator();
  menu->addAction(actVersion_);
  menu->addSeparator();
  menu->addAction(actExit_);

  tray_ = new QSystemTrayIcon(QIcon(":/icons/trovanex.png"), this);
  tray_->setObjectName("TrayIcon");
  tray_->setContextMenu(menu);
  tray_->setToolTip(QString::fromStdString(TrayTip(true)));
  connect(tray_, &QSystemTrayIcon::activated, this, &TStatusFrm::TrayIconActivated);
  tray_->show();
  if (DesktopNotices::TrayUsesNotifications()) notices_ = new DesktopNotices(this);
}

void TStatusFrm::ShowBalloon(const QString& title, const QString& text) {
  if (notices_)
    notices_->Show(title, text, kTrayBalloonMs);
  else
    tray_->showMessage(title, text, QSystemTrayIcon::Information, kTrayBalloonMs);
}

void TStatusFrm::closeEvent(QCloseEvent* event) {
  event->ignore();
  // Without a notification area a hidden window could not be reached again.
  if (QSystemTrayIcon::isSystemTrayAvailable())
    hide();
  else
    showMinimized();
}

void TStatusFrm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  KeepFixedSize();
}

void TStatusFrm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  KeepFixedSize();
}

void TStatusFrm::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  // The window manager frames the window, and tells the title bar's height, after showing it.
  KeepFixedSize();
}

void TStatusFrm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // A desktop that maximises the window in spite of its fixed size gets it back as it was.
  if (event->type() == QEvent::WindowStateChange &&
      (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
    QMetaObject::invokeMethod(
        this,
        [this] { setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen)); },
        Qt::QueuedConnection);
}

// Width and outer height stay fixed, so the desktop offers neither resizing nor maximising.
void TStatusFrm::KeepFixedSize() {
  const int frame = std::max(0, frameGeometry().height() - geometry().height());
  const QSize fixed(kWidth, kOuterHeight - frame);
  if (minimumSize() != fixed || maximumSize() != fixed) setFixedSize(fixed);
}

void TStatusFrm::SaveAvailableChanged(bool on) {
  services_.save_available = on;
  tray_->setToolTip(QString::fromStdString(TrayTip(on)));
  tray_->setIcon(tray_images_[static_cast<std::size_t>(TrayImageFor(on))]);
}

void TStatusFrm::TrayIconActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::DoubleClick) return;
  switch (TrayDoubleClickFor(services_.settings.Current()->TrayDoubleClickMode)) {
    case TrayDoubleClick::ShowStatus:
      actViewStat_->trigger();
      break;
    case TrayDoubleClick::SwitchSaving:
      actSaveAvailable_->trigger();
      break;
    case TrayDoubleClick::Nothing:
      break;
  }
}

void TStatusFrm::RefreshHashList() {
  // Menus stay usable while files are digested; a second choice waits for the first.
  if (rebuilding_ || !windows_.hash_refresh) return;
  rebuilding_ = true;
  actRefreshHash_->setEnabled(false);
  THashRefreshDlg& notice = *windows_.hash_refresh;
  // Holds the conditions while their folders are read, even if the settings are replaced.
  const std::shared_ptr<TTxConfig> config = services_.settings.Current();
  notice.SetProgress(0, 0);
  notice.show();
  notice.raise();
  QCoreApplication::processEvents();
  try {
    services_.hash_list.RebuildHashList(config->FirstCondition(),
                                        [&notice](std::size_t done, std::size_t total) {
                                          notice.SetProgress(done, total);
                                          QCoreApplication::processEvents();
                                        });
    notice.hide();
  } catch (const std::exception& failure) {
    // A notice left on top would claim an update that is no longer running.
    notice.hide();
    ShowError(failure);
  }
  actRefreshHash_->setEnabled(true);
  rebuilding_ = false;
}

void TStatusFrm::EditSettings() {
  if (!windows_.setting) return;
  try {
    const bool was_on = services_.settings.Current()->UseAsSystemProxy;
    std::shared_ptr<TTxConfig> kept = windows_.setting->EditConfig(services_.settings.Current());
    if (!kept) return;
    const bool on = kept->UseAsSystemProxy;
    services_.settings.Replace(std::move(kept));
    if (on != was_on) SystemProxyChanged(on);
  } catch (const std::exception& failure) {
    ShowError(failure);
  }
}

void TStatusFrm::SetSystemProxy(bool on) {
  const std::shared_ptr<TTxConfig> current = services_.settings.Current();
  if (current->UseAsSystemProxy != on) {
    auto changed = std::make_shared<TTxConfig>();
    try {
      changed->Assign(*current);
    } catch (const std::exception& failure) {
      actSystemProxy_->setChecked(current->UseAsSystemProxy);
      ShowError(failure);
      return;
    }
    changed->UseAsSystemProxy = on;
    services_.settings.Replace(std::move(changed));
  }
  SystemProxyChanged(on);
}

void TStatusFrm::SystemProxyChanged(bool on) {
  actSystemProxy_->setChecked(on);
  if (services_.desktop) ShowStatus(services_.desktop->SetSystemProxy(on));
}

void TStatusFrm::ShowStatus(const std::string& text) {
  if (text.empty()) return;
  if (services_.show_status)
    services_.show_status(text);
  else
    SetMessagePanel(QString::fromStdString(text));
}

void TStatusFrm::ShowFirstStart(bool system_proxy_checked) {
  if (!windows_.first_start || windows_.first_start->isVisible()) return;
  TFirstStartDlg& dialog = *windows_.first_start;
  if (!dialog.Ask(system_proxy_checked)) return;
  if (dialog.UseAsSystemProxy() != services_.settings.Current()->UseAsSystemProxy)
    SetSystemProxy(dialog.UseAsSystemProxy());
  if (dialog.TrustInBrowsers() && services_.desktop) {
    // Its report comes when the databases are done, over whatever window is up then.
    trust_work_.Start([desktop = services_.desktop] { return desktop->ChangeBrowserTrust(true); },
                      [this](const std::string& report) {
                        QMessageBox::information(this, "trovanex", QString::fromStdString(report));
                      });
  }
  if (!dialog.MakeFirstRule() || !windows_.rule_editor) return;
  std::unique_ptr<TSearchCondition> rule = windows_.rule_editor->EditNewCondition();
  if (!rule) return;
  try {
    auto changed = std::make_shared<TTxConfig>();
    changed->Assign(*services_.settings.Current());
    changed->Conditions->Add(std::move(rule));
    services_.settings.Replace(std::move(changed));
  } catch (const std::exception& failure) {
    ShowError(failure);
  }
}

void TStatusFrm::ShowVersion() {
  if (windows_.version) windows_.version->exec();
}

void TStatusFrm::ShowError(const std::exception& failure) {
  QMessageBox::critical(this, "trovanex", QString::fromStdString(failure.what()));
}

}  // namespace trovanex
