// trovanexd: the proxy without a desktop, for servers, scripts and tests. Same program folder
// and files as the desktop program, a command line in the manner of Debian's daemons; stops in
// order on SIGINT, SIGTERM or SIGHUP.
#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "daemon/console_questions.h"
#include "daemon/console_views.h"
#include "engine/capture.h"
#include "engine/folder_choice_queue.h"
#include "engine/https_opening.h"
#include "engine/proxy_engine.h"
#include "engine/resources.h"
#include "engine/start_up.h"
#include "model/command_line.h"
#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "model/tx_config.h"
#include "monitor/monitor.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/memory_reuse.h"
#include "platform/net_errors.h"
#include "platform/nss_trust.h"
#include "platform/open_file_limit.h"
#include "platform/program_folder.h"
#include "tls/certificate_authority.h"

using namespace trovanex;

namespace {

std::string ChangeLine(const TrustChange& change) {
  const char* what = "failed";
  switch (change.kind) {
    case TrustChange::Kind::kAdded:
      what = "trusted";
      break;
    case TrustChange::Kind::kReplaced:
      what = "trusted, replacing an older authority";
      break;
    case TrustChange::Kind::kAlready:
      what = "already trusted";
      break;
    case TrustChange::Kind::kRemoved:
      what = "no longer trusted";
      break;
    case TrustChange::Kind::kNotThere:
      what = "was not trusted";
      break;
    case TrustChange::Kind::kFailed:
      break;
  }
  std::string line = change.database.browser + " " + change.database.folder + ": " + what;
  if (change.kind == TrustChange::Kind::kFailed) line += ": " + change.problem;
  return line + "\n";
}

// --trust-ca and --untrust-ca: the local authority (made when it is not there yet) in or out of
// every browser database of this user; one line per database, and 1 when any failed.
int ChangeBrowserTrust(bool trust, const FileLayout& files) {
  std::vector<TrustChange> changes;
  if (trust) {
    HttpsOpening https(files.config_folder);
    if (!https.Ready().usable) {
      std::fprintf(stderr, "trovanexd: %s\n", https.Problem().c_str());
      return 1;
    }
    changes = TrustAuthority(HomeFolder(),
                             files.config_folder + CertificateAuthority::kCertificateFileName);
  } else {
    changes = DistrustAuthority(HomeFolder());
  }
  for (const TrustChange& change : changes)
    std::fputs(ChangeLine(change).c_str(), AnyFailed({change}) ? stderr : stdout);
  if (changes.empty()) std::fputs("no browser database found\n", stdout);
  return AnyFailed(changes) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const DaemonOptions options = ParseDaemonOptions({argv + 1, argv + argc});
  if (!options.problem.empty()) {
    std::fprintf(stderr, "trovanexd: %s\n%s", options.problem.c_str(), DaemonUsage().c_str());
    return 2;
  }
  if (options.version && !options.help) {
    std::fputs(VersionLine("trovanexd").c_str(), stdout);
    return 0;
  }
  const std::string executable = ExecutablePath();
  FileLayout files = PlannedLayout(executable, kDebugLogFileName);
  if (options.config_folder) {
    // Named in full, so that every message and the help say which folder it is.
    char* real = ::realpath(options.config_folder->c_str(), nullptr);
    if (!real || !FolderExists(real)) {
      std::fprintf(stderr, "trovanexd: --config %s: %s\n", options.config_folder->c_str(),
                   SystemErrorText(real ? ENOTDIR : errno).c_str());
      std::free(real);
      return 1;
    }
    files = LayoutInFolder(files, real);
    std::free(real);
  }
  if (options.help) {
    std::fputs(HelpText("trovanexd", files).c_str(), stdout);
    return 0;
  }
  if (options.trust_ca || options.untrust_ca) {
    try {
      if (!options.config_folder) files = LayoutFor(executable, kDebugLogFileName);
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "trovanexd: %s\n", failure.what());
      return 1;
    }
    return ChangeBrowserTrust(options.trust_ca, files);
  }
  // Signals are taken by sigwait below; every thread started later inherits the block.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // The terminal closed or the session ended; not when started to outlive it (nohup).
  struct sigaction hangup {};
  if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
    sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  ConsoleViews views(options.quiet);
  KeepFreedMemoryForReuse();
  if (const auto problem = RaiseOpenFileLimit()) views.Report(*problem);
  const InstanceLock instance(executable);
  if (!instance.Held()) {
    views.ShowMessage("多重起動は出来ません。", "警告");
    return 1;
  }
  if (options.debug) DebugMode = true;

  auto config = std::make_shared<TTxConfig>();
  try {
    if (!options.config_folder) files = LayoutFor(executable, kDebugLogFileName);
    config->LoadSettings(files.config_folder, files.settings_path, views);
  } catch (const std::exception& failure) {
    views.ShowMessage(failure.what(), "trovanex");
    return 1;
  }
  SettingsHolder settings(config);
  config.reset();

  int exit_code = 0;
  {
    Monitor monitor(MonitorViews{views, views, views, views}, DebugMode);
    if (DebugMode)
      monitor.Log.OpenDebugLog(files.debug_log_path,
                               [&views](const std::string& problem) { views.Report(problem); });
    THashList hash_list(files.data_folder + kHashListFileName);
    ReportHashListProblems(hash_list, monitor);
    RemoveStaleCaptures(files.data_folder, monitor);
    EngineContext context{monitor,           settings, hash_list, LoadErrorPages(),
                          files.data_folder, true,     {}};
    context.https = std::make_shared<HttpsOpening>(files.config_folder);
    ReportHttpsNotices(*context.https, monitor);
    context.https->PrepareAhead(settings.Current()->Https.Capture,
                                settings.Current()->Https.ExtraCaFile);
    ConsoleQuestions questions(views);
    FolderChoiceQueue folder_queue(
        questions, views, [](const std::function<void()>& work) { work(); },
        [&monitor](const std::string& problem) { monitor.Log.AddDebugLog(problem); });
    CaptureServices capture{monitor,           hash_list, context.SaveAvailable,
                            files.data_folder, questions, folder_queue};
    context.new_capture = [&capture](std::uint32_t connection_no,
                                     std::shared_ptr<TTxConfig> settings_used) {
      return std::make_unique<Capture>(capture, connection_no, std::move(settings_used));
    };
    ProxyEngine engine(context);
    const int port = options.port.value_or(settings.Current()->ListenPort);
    try {
      engine.Start(port);
    } catch (const std::exception& failure) {
      // The advice to change ListenPort does not fit a port given on the command line.
      views.ShowMessage(options.port
                            ? failure.what()
                            : ListenFailureMessage(failure, *settings.Current(),
                                                   files.config_folder, files.settings_path),
                        "trovanex");
      return 1;
    }
    views.Report("listening on port " + std::to_string(engine.Port()) +
                 (files.installed
                      ? ", settings in " + files.config_folder + ", data in " + files.data_folder
                      : ", program folder " + files.config_folder));

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    views.Report("stopping");

    const int still_running = engine.Stop();
    if (still_running > 0)
      views.Report(std::to_string(still_running) + " connections still ending; waiting for them");
  }  // the engine waits for every connection thread before the monitor and hash list go

  try {
    settings.Current()->SaveSettings(files.config_folder, files.settings_path);
  } catch (const std::exception& failure) {
    views.ShowMessage(failure.what(), "trovanex");
    exit_code = 1;
  }
  return exit_code;
}
