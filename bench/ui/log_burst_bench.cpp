// How the desktop's windows bear a browser loading a page with 100 pictures: 100 connection
// threads report at once what a connection reports (counters, log lines, two header blocks,
// the connection list, saved bytes) while the status window, the HTTP log and the connection
// list are open. The main thread's responsiveness is measured by a 1 ms timer: the longest
// gap between its ticks during the burst, side by side with the same wait when idle. Also the
// time until the last line is in the log window. Runs on the offscreen platform, which paints into
// a real backing store.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "model/tx_config.h"
#include "monitor/monitor.h"
#include "ui/connection_list_frm.h"
#include "ui/log_window.h"
#include "ui/qt_views.h"
#include "ui/status_frm.h"

using namespace trovanex;

namespace {

constexpr int kConnections = 100;
constexpr int kRounds = 7;

// What one connection reports, as the engine reports it; returns the log lines it added.
int OneConnection(Monitor& monitor) {
  const std::uint32_t serial = monitor.Counters.ConnectionStarted();
  const std::string n = std::to_string(serial);
  const std::string entry = "127.0.0.1: GET /img/photo" + n + ".jpg HTTP/1.1";
  monitor.Counters.NoteClientAddress("127.0.0.1");
  monitor.Connections.AddConnection(entry);
  const std::vector<std::string> request = {"GET /img/photo" + n + ".jpg HTTP/1.1",
                                            "Host: 127.0.0.1:8080",
                                            "User-Agent: browser",
                                            "Accept: image/avif,image/webp,*/*",
                                            "Accept-Language: ja,en;q=0.5",
                                            "Accept-Encoding: gzip, deflate",
                                            "Connection: keep-alive",
                                            "Referer: http://h/page"};
  const std::vector<std::string> answer = {
      "HTTP/1.1 200 OK",          "Server: nginx",          "Date: Tue, 08 Dec 2026 05:00:00 GMT",
      "Content-Type: image/jpeg", "Content-Length: 120000", "Connection: keep-alive",
      "ETag: \"6b178bd5-1d4c0\"", "Accept-Ranges: bytes"};
  int lines = 0;
  for (const char* text : {" :GET", " :127.0.0.1", " :/img/photo.jpg"}) {
    monitor.Log.AddLog(n + text);
    ++lines;
  }
  monitor.Log.AddHeaderLog(n + " :", request);
  lines += static_cast<int>(request.size());
  for (const char* text : {" : >> Request <<", " : Matched!", " : Bound IP is "}) {
    monitor.Log.AddLog(n + text);
    ++lines;
  }
  monitor.Log.AddHeaderLog(n + " :", answer);
  lines += static_cast<int>(answer.size());
  for (int piece = 0; piece < 8; ++piece) {
    monitor.Counters.AddSavedBytes(15000);
    monitor.Counters.ShowSavedBytes();
    monitor.Throughput.AddBytes(15000);
  }
  for (const char* text : {" : Read End", " : << Connection end >>"}) {
    monitor.Log.AddLog(n + text);
    ++lines;
  }
  monitor.Connections.RemoveConnection(entry);
  monitor.Counters.ConnectionEnded();
  return lines;
}

struct Phase {
  double longest_gap_ms = 0;
  double all_shown_ms = 0;
};

// Runs the main loop while kConnections threads report through `monitor` (or, with none, for
// `idle_ms`), watching the gaps of a 1 ms timer.
Phase Watch(TLogWindow& log, Monitor* monitor, double idle_ms) {
  Phase phase;
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  QTimer beat;
  beat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    phase.longest_gap_ms = std::max(phase.longest_gap_ms, (now - last) / 1e6);
    last = now;
  });
  beat.start(1);

  const int lines_before = log.LineCount();
  std::atomic<int> expected{-1};
  std::atomic<int> added{0};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  if (monitor) {
    for (int i = 0; i < kConnections; ++i)
      threads.emplace_back([&] {
        added += OneConnection(*monitor);
        if (++done == kConnections) expected = added.load();
      });
  }
  for (;;) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    if (!monitor) {
      if (clock.elapsed() >= idle_ms) break;
    } else if (expected >= 0 && log.LineCount() - lines_before >= expected) {
      phase.all_shown_ms = clock.nsecsElapsed() / 1e6;
      break;
    }
    if (clock.elapsed() > 30000) {
      std::fprintf(stderr, "the burst did not reach the window in 30 s\n");
      std::exit(1);
    }
  }
  for (auto& thread : threads) thread.join();
  return phase;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const auto folder = std::filesystem::temp_directory_path() / "trovanex-ui-bench";
  std::filesystem::create_directories(folder);

  SettingsHolder settings(std::make_shared<TTxConfig>());
  std::atomic<bool> save_available{true};
  THashList hash_list((folder / "hash.dat").string());
  QtMonitorViews views;
  Monitor monitor(MonitorViews{views, views, views, views}, false);
  TStatusFrm status(StatusFrmServices{settings, save_available, hash_list, nullptr, {}});
  TLogWindow log;
  TConnectionListFrm connections;
  views.Bind(&status, &log, &connections);
  status.show();
  log.show();
  connections.show();
  Watch(log, nullptr, 200);  // settle

  std::vector<double> idle_gaps, burst_gaps, shown;
  for (int round = 0; round < kRounds; ++round) {
    const Phase burst = Watch(log, &monitor, 0);
    const Phase idle = Watch(log, nullptr, burst.all_shown_ms);
    burst_gaps.push_back(burst.longest_gap_ms);
    idle_gaps.push_back(idle.longest_gap_ms);
    shown.push_back(burst.all_shown_ms);
  }
  std::printf("%d connections at once, median of %d rounds, log at %d lines at the end\n",
              kConnections, kRounds, log.LineCount());
  std::printf("  all lines in the log window after: %6.1f ms\n", Median(shown));
  std::printf("  longest main-thread gap, burst:   %7.1f ms\n", Median(burst_gaps));
  std::printf("  longest main-thread gap, idle:    %7.1f ms\n", Median(idle_gaps));
  std::printf("  worst burst gap of all rounds:    %7.1f ms\n",
              *std::max_element(burst_gaps.begin(), burst_gaps.end()));
  std::filesystem::remove_all(folder);
  return 0;
}
