// Everything the proxy engine reports through: counters, throughput, the HTTP and debug logs,
// the message panel, balloon notices and the connection list. One per program; the front end
// provides the views.
#pragma once

#include <string>

#include "monitor/bps_thread.h"
#include "monitor/connection_list.h"
#include "monitor/http_log.h"
#include "monitor/monitor_views.h"
#include "monitor/status_counters.h"
#include "monitor/status_messages.h"

namespace trovanex {

struct MonitorViews {
  StatusView& status;
  LogView& log;
  BalloonView& balloons;
  ConnectionListView& connections;
};

class Monitor {
 public:
  Monitor(const MonitorViews& views, bool debug_mode);

  // Title "trovan!" (cut to 63 bytes), body cut to 255 bytes, never inside a character.
  void ShowBalloon(const std::string& text);

  StatusCounters Counters;
  HttpLog Log;
  StatusMessages Messages;
  ConnectionList Connections;
  TBPSThread Throughput;  // last: its thread starts once everything else exists

 private:
  BalloonView& balloons_;
};

}  // namespace trovanex
