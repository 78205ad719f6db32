// Compiled by Clang with the lock checks as a test of its own (tests/CMakeLists.txt): with
// COUNTER_UNDER_STATUS_LOCK it holds StatusLock around a counter update that takes the lock
// again, which would hang the connection, and the build must refuse it.
#include "monitor/monitor.h"

namespace trovanex {

void LogLinesThatStayTogether(Monitor& monitor) {
  MutexLock status(monitor.Counters.StatusLock());
  monitor.Log.AddLog("1 :GET");
  monitor.Log.AddLog("1 :example.com");
#if defined(COUNTER_UNDER_STATUS_LOCK)
  monitor.Counters.ConnectionEnded();
#endif
}

}  // namespace trovanex
