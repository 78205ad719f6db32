#include "monitor/connection_list.h"

#include <algorithm>
#include <cctype>

namespace trovanex {
namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

ConnectionList::ConnectionList(ConnectionListView& view) : view_(view) {}

// A failure to keep or show the list must never end a connection, so it is swallowed here.
void ConnectionList::AddConnection(const std::string& entry) {
  std::lock_guard hold(lock_);
  try {
    entries_.push_back(entry);
    if (view_.ConnectionListVisible()) view_.ShowConnections(entries_);
  } catch (...) {
  }
}

void ConnectionList::RemoveConnection(const std::string& entry) {
  std::lock_guard hold(lock_);
  try {
    const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const std::string& e) {
      return EqualIgnoringCase(e, entry);
    });
    if (found != entries_.end()) entries_.erase(found);
    if (view_.ConnectionListVisible()) view_.ShowConnections(entries_);
  } catch (...) {
  }
}

void ConnectionList::Refresh() {
  std::lock_guard hold(lock_);
  try {
    view_.ShowConnections(entries_);
  } catch (...) {
  }
}

std::vector<std::string> ConnectionList::Entries() const {
  std::lock_guard hold(lock_);
  return entries_;
}

}  // namespace trovanex
