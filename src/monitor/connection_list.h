// The list of connections being handled now, one text per connection ("host: first line"),
// in the order they were added; kept whether or not its window is visible.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "monitor/monitor_views.h"

namespace trovanex {

class ConnectionList {
 public:
  explicit ConnectionList(ConnectionListView& view);

  void AddConnection(const std::string& entry);
  // Removes the first entry equal to `entry` ignoring letter case; none is no error.
  void RemoveConnection(const std::string& entry);
  // Copies the whole list to the view (when its window is activated).
  void Refresh();

  std::vector<std::string> Entries() const;

 private:
  ConnectionListView& view_;
  mutable std::mutex lock_;  // guards entries_ and the copy into the view
  std::vector<std::string> entries_;
};

}  // namespace trovanex
