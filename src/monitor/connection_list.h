// The list of connections being handled now, one text per connection ("host: first line"),
// in the order they were added; kept whether or not its window is visible.
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor_views.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class ConnectionList {
 public:
  explicit ConnectionList(ConnectionListView& view);

  void AddConnection(const std::string& entry) EXCLUDES(lock_);
  // Removes the first entry equal to `entry` ignoring letter case; none is no error.
  void RemoveConnection(const std::string& entry) EXCLUDES(lock_);
  // Copies the whole list to the view (when its window is activated).
  void Refresh() EXCLUDES(lock_);

  std::vector<std::string> Entries() const EXCLUDES(lock_);

 private:
  ConnectionListView& view_;
  mutable Mutex lock_;  // also held over the copy into the view, so copies land in order
  std::vector<std::string> entries_ GUARDED_BY(lock_);
};

}  // namespace trovanex
