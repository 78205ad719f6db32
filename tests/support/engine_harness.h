// The proxy engine on a loopback port of its own, for end-to-end tests: recording monitor
// views, the settings object, a hash list and a program folder in a fresh temporary folder.
// A test edits Settings() and the context first; the engine starts at the first Port().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_context.h"
#include "engine/proxy_engine.h"
#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "monitor/monitor.h"
#include "support/recording_views.h"
#include "support/temp_folder.h"

namespace trovanex::testing {

class EngineHarness {
 public:
  // Settings: direct to the origin, read and connect time-outs of 2000 ms (a stuck test fails
  // instead of hanging), BufferSize 32767, only the local client admitted.
  EngineHarness();
  ~EngineHarness();  // stops the engine before anything it uses goes away
  EngineHarness(const EngineHarness&) = delete;
  EngineHarness& operator=(const EngineHarness&) = delete;

  // The settings every connection reads; edit them only before the first Port().
  TTxConfig& Settings() { return *config_; }
  // Sends every request to the upstream proxy at 127.0.0.1:port.
  void UseUpstreamProxy(int port);

  int Port();
  // Stops the engine: open connections are closed and their clean-up runs. Returns how many
  // connection threads were still running when the wait ended.
  int Stop();

  // Waits until `count` connections have ended and as many started (the counter shows
  // "count / count"); the log then holds every line of those connections.
  bool WaitForEnded(std::uint32_t count);

  std::vector<std::string> LogLines() const { return views.log.Lines(); }
  // The log lines that begin with `prefix`, in order.
  std::vector<std::string> LogLinesStartingWith(const std::string& prefix) const;
  bool Logged(const std::string& line) const;

  RecordingMonitorViews views;
  Monitor monitor;
  TempFolder folder;  // the program folder; also holds the hash list
  THashList hash_list;

 private:
  std::shared_ptr<TTxConfig> config_;
  SettingsHolder settings_;

 public:
  EngineContext context;

 private:
  ProxyEngine engine_;
  bool started_ = false;
};

// "GET http://127.0.0.1:<port><path> HTTP/1.1" with a Host and an Accept line and the empty
// line that ends the head.
std::string GetRequest(int port, const std::string& path);

}  // namespace trovanex::testing
