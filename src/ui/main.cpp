// trovanex: the desktop program. A small status window and a tray icon over the proxy core;
// the same program folder, files and command line as trovanexd.
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/capture.h"
#include "engine/folder_choice_queue.h"
#include "engine/proxy_engine.h"
#include "engine/resources.h"
#include "engine/start_up.h"
#include "model/command_line.h"
#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "model/tx_config.h"
#include "monitor/monitor.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/memory_reuse.h"
#include "platform/open_file_limit.h"
#include "platform/program_folder.h"
#include "tls/certificate_authority.h"
#include "ui/auto_renew_dlg.h"
#include "ui/connection_list_frm.h"
#include "ui/desktop_integration.h"
#include "ui/exit_on_signal.h"
#include "ui/first_start_dlg.h"
#include "ui/hash_refresh_dlg.h"
#include "ui/japanese_qt_texts.h"
#include "ui/log_window.h"
#include "ui/qt_views.h"
#include "ui/save_question_box.h"
#include "ui/search_setting_dlg.h"
#include "ui/select_save_folder_dlg.h"
#include "ui/setting_dlg.h"
#include "ui/status_frm.h"
#include "ui/version_dlg.h"

using namespace trovanex;

namespace {

// Every window of the program, created hidden in this order and destroyed in the reverse one,
// the main window last. They live until shutdown and are only shown and hidden.
struct DesktopWindows {
  explicit DesktopWindows(StatusFrmServices services) : status(services) {
    setting.SetConditionEditor(&search_setting);
    status.SetWindows(
        {&log, &connections, &version, &setting, &hash_refresh, &first_start, &search_setting});
  }

  TStatusFrm status;
  TLogWindow log;
  TVersionDlg version;
  TSettingDlg setting;
  TConnectionListFrm connections;
  THashRefreshDlg hash_refresh;
  TOKBottomDlg1 auto_renew;
  TSearchSettingDlg search_setting;
  TSelectSaveFolderDlg select_save_folder;
  TFirstStartDlg first_start;
};

std::vector<std::string> Arguments(const QStringList& arguments) {
  std::vector<std::string> plain;
  for (qsizetype i = 1; i < arguments.size(); ++i) plain.push_back(arguments[i].toStdString());
  return plain;
}

// Stops the listener and waits for every connection thread. The main thread keeps serving
// hand-overs meanwhile, so a connection that waits on it (a question, a folder choice, a box)
// can end.
void StopConnections(ProxyEngine& engine) {
  constexpr std::chrono::milliseconds kPollInterval{20};
  for (;;) {
    if (engine.Stop(kPollInterval) == 0) return;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
}

// When the display goes away under the program (the X server ends without a session manager
// asking the program to quit first), the toolkit ends the process with exit(1) from within the
// message loop. The settings are written then all the same, as at a normal end, and the
// desktop's proxy settings put back; connection threads only read them.
struct SettingsToSave {
  SettingsHolder& settings;
  std::string config_folder;
  std::string settings_path;
  DesktopIntegration& desktop;
};
SettingsToSave* settings_at_exit = nullptr;  // set only while the message loop runs

void SaveSettingsAtExit() {
  if (!settings_at_exit) return;
  settings_at_exit->desktop.SetSystemProxy(false);
  try {
    settings_at_exit->settings.Current()->SaveSettings(settings_at_exit->config_folder,
                                                       settings_at_exit->settings_path);
  } catch (const std::exception&) {
    // Nothing more can be done while the process ends.
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any window: these work without a display.
  if (const auto information =
          InformationAsked(std::vector<std::string>(argv + 1, argv + argc),
                           PlannedLayout(ExecutablePath(), kDebugLogFileName))) {
    std::fputs(information->c_str(), stdout);
    return 0;
  }
  KeepFreedMemoryForReuse();
  if (const auto problem = RaiseOpenFileLimit())
    std::fprintf(stderr, "trovanex: %s\n", problem->c_str());
  QApplication app(argc, argv);
  InstallJapaneseQtTexts(app);
  // From the start: a signal that comes while the program starts up ends it as soon as its
  // event loop runs, through the normal shutdown, not where it stands.
  auto exit_on_signal = std::make_unique<ExitOnSignal>();
  const std::string executable = ExecutablePath();
  const InstanceLock instance(executable);
  if (!instance.Held()) {
    QMessageBox::warning(nullptr, "警告", "多重起動は出来ません。");
    return 1;
  }
  QtMessageBoxes boxes;
  ParseCommandLine(Arguments(QCoreApplication::arguments()), boxes);
  QApplication::setApplicationName("trovanex");
  // The program lives on in the tray when its windows are closed.
  QApplication::setQuitOnLastWindowClosed(false);

  FileLayout files;
  bool first_start = false;  // no settings file yet
  auto config = std::make_shared<TTxConfig>();
  try {
    files = LayoutFor(executable, kDebugLogFileName);
    first_start = !FileExists(files.settings_path);
    config->LoadSettings(files.config_folder, files.settings_path, boxes);
  } catch (const std::exception& failure) {
    boxes.ShowMessage(failure.what(), "trovanex");
    return 1;
  }
  SettingsHolder settings(std::move(config));
  THashList hash_list(files.data_folder + kHashListFileName);

  QtMonitorViews views;
  std::optional<Monitor> monitor;
  monitor.emplace(MonitorViews{views, views, views, views}, DebugMode);
  if (DebugMode) {
    monitor->Log.OpenDebugLog(files.debug_log_path, [&boxes](const std::string& problem) {
      // A connection thread must not wait for the user to read this.
      if (QThread::currentThread() == boxes.thread())
        boxes.ShowMessage(problem, "trovanex");
      else
        QMetaObject::invokeMethod(
            &boxes, [&boxes, problem] { boxes.ShowMessage(problem, "trovanex"); },
            Qt::QueuedConnection);
    });
  }
  ReportHashListProblems(hash_list, *monitor);
  RemoveStaleCaptures(files.data_folder, *monitor);
  EngineContext context{*monitor,          settings, hash_list, LoadErrorPages(),
                        files.data_folder, true,     {}};
  context.https = std::make_shared<HttpsOpening>(files.config_folder);
  ReportHttpsNotices(*context.https, *monitor);
  context.https->PrepareAhead(settings.Current()->Https.Capture,
                              settings.Current()->Https.ExtraCaFile);

  // A run that was killed left the desktop pointed at a proxy that is gone: put back first.
  DesktopIntegration desktop(DesktopProxySettings(files.config_folder + kDesktopProxySavedName,
                                                  DesktopPlaces::FromEnvironment()),
                             HomeFolder(),
                             files.config_folder + CertificateAuthority::kCertificateFileName,
                             [https = context.https]() -> std::optional<std::string> {
                               if (https->Ready().usable) return std::nullopt;
                               return https->Problem();
                             });
  const std::string left_over = desktop.SetSystemProxy(false);

  Monitor& running_monitor = *monitor;
  auto windows = std::make_unique<DesktopWindows>(
      StatusFrmServices{settings, context.SaveAvailable, hash_list, &desktop,
                        [&running_monitor](const std::string& text) {
                          running_monitor.Messages.ShowStatusMessage(text);
                        }});
  // The settings window saves the local authority's certificate; asking for it makes it.
  windows->setting.SetCaCertificateSource(
      [https = context.https](std::string& error) -> std::optional<std::string> {
        if (https->Ready().usable) return https->CaCertificatePem();
        error = https->Problem();
        return std::nullopt;
      });
  windows->setting.SetBrowserTrust(
      [&desktop](bool trust) { return desktop.ChangeBrowserTrust(trust); });
  QApplication::setWindowIcon(QIcon(":/icons/trovanex.png"));
  views.Bind(&windows->status, &windows->log, &windows->connections);
  QObject::connect(&windows->connections, &TConnectionListFrm::Activated, &windows->connections,
                   [&running_monitor] { running_monitor.Connections.Refresh(); });

  SaveQuestionBoxes questions;
  MainThreadGate gate;
  FolderChoiceQueue folder_queue(
      windows->select_save_folder, boxes,
      [&gate](const std::function<void()>& work) { gate.Run(work); },
      [&running_monitor](const std::string& problem) { running_monitor.Log.AddDebugLog(problem); });
  CaptureServices capture{*monitor,          hash_list, context.SaveAvailable,
                          files.data_folder, questions, folder_queue};
  context.new_capture = [&capture](std::uint32_t connection_no,
                                   std::shared_ptr<TTxConfig> settings_used) {
    return std::make_unique<Capture>(capture, connection_no, std::move(settings_used));
  };

  // Last: a connection may use everything above from its first byte on.
  auto engine = std::make_unique<ProxyEngine>(context);
  try {
    engine->Start(settings.Current()->ListenPort);
  } catch (const std::exception& failure) {
    boxes.ShowMessage(ListenFailureMessage(failure, *settings.Current(), files.config_folder,
                                           files.settings_path),
                      "trovanex");
    return 1;
  }

  windows->status.show();
  monitor->Messages.ShowStatusMessage(
      "ファイルの場所: " +
      (files.installed ? files.config_folder + " / " + files.data_folder : files.config_folder));
  if (!left_over.empty()) monitor->Log.AddLog(left_over);
  desktop.SetPort(engine->Port());
  if (settings.Current()->UseAsSystemProxy) {
    const std::string pointed = desktop.SetSystemProxy(true);
    monitor->Log.AddLog(pointed);
    monitor->Messages.ShowStatusMessage(pointed);
  }
  SettingsToSave to_save{settings, files.config_folder, files.settings_path, desktop};
  settings_at_exit = &to_save;
  std::atexit(SaveSettingsAtExit);
  if (first_start)
    QMetaObject::invokeMethod(
        &windows->status, [&windows] { windows->status.ShowFirstStart(true); },
        Qt::QueuedConnection);
  QApplication::exec();
  settings_at_exit = nullptr;  // the normal shutdown below writes them
  exit_on_signal.reset();      // a second signal ends a shutdown that hangs
  // Browsers go straight to their sites again before the proxy stops serving them.
  if (const std::string put_back = desktop.SetSystemProxy(false); !put_back.empty())
    std::fprintf(stderr, "trovanex: %s\n", put_back.c_str());

  // Nothing below may be freed while a connection still uses it.
  // Questions still open, and those asked from now on, are answered "don't save".
  gate.Close();
  questions.AnswerAllNo();
  folder_queue.DiscardAll();
  StopConnections(*engine);
  engine.reset();
  folder_queue.DiscardAll();  // requests handed over while the connections ended

  windows.reset();
  int exit_code = 0;
  try {
    settings.Current()->SaveSettings(files.config_folder, files.settings_path);
  } catch (const std::exception& failure) {
    monitor->Log.AddDebugLog(failure.what());
    boxes.ShowMessage(failure.what(), "trovanex");
    exit_code = 1;
  }
  context.https.reset();  // its preparing thread reports to the monitor: joined first
  monitor.reset();        // stops the throughput thread and closes the debug log
  return exit_code;
}
