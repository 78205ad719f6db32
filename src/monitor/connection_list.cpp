#include "monitor/connection_list.h"

#include <algorithm>

#include "platform/text.h"

namespace trovanex {
ConnectionList::ConnectionList(ConnectionListView& view) : view_(view) {}

// A failure to keep or show the list must never end a connection, so it is swallowed here.
void ConnectionList::AddConnection(const std::string& entry) {
  MutexLock hold(lock_);
  try {
    entries_.push_back(entry);
    if (view_.ConnectionListVisible()) view_.ShowConnections(entries_);
  } catch (...) {
  }
}

void ConnectionList::RemoveConnection(const std::string& entry) {
  MutexLock hold(lock_);
  try {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const std::string& e) {
      return EqualsIgnoringCase(e, entry);
    });
    if (found != entries_.end()) entries_.erase(found);
    if (view_.ConnectionListVisible()) view_.ShowConnections(entries_);
  } catch (...) {
  }
}

void ConnectionList::Refresh() {
  MutexLock hold(lock_);
  try {
    view_.ShowConnections(entries_);
  } catch (...) {
  }
}

std::vector<std::string> ConnectionList::Entries() const {
  MutexLock hold(lock_);
  return entries_;
}

}  // namespace trovanex
