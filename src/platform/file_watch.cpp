#include "platform/file_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"

namespace trovanex {
namespace {

// Names in the folder come and go: only these events say something about our file's name.
constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF;

}  // namespace

FileChangeWatch::FileChangeWatch(std::string path) : path_(std::move(path)) {
  const auto slash = path_.rfind(kPathSeparator);
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  notify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_fd_ < 0) return;
  folder_watch_ = ::inotify_add_watch(notify_fd_, folder.c_str(), kFolderEvents | IN_ONLYDIR);
  working_ = folder_watch_ >= 0;
  WatchFile();
}

FileChangeWatch::~FileChangeWatch() {
  if (notify_fd_ >= 0) ::close(notify_fd_);
}

void FileChangeWatch::WatchFile() {
  if (working_) file_watch_ = ::inotify_add_watch(notify_fd_, path_.c_str(), kFileEvents);
}

bool FileChangeWatch::MaybeChanged() {
  bool changed = first_call_ || !working_;
  first_call_ = false;
  if (!working_) return true;

  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(notify_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: nothing more queued
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        changed = true;
      } else if (event->wd == folder_watch_) {
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) working_ = false;
        if (event->len > 0 && name_ == event->name) changed = true;
      } else if (event->wd == file_watch_) {
        changed = true;
      }
    }
  }
  // The name may now stand for another file (or none): watch whatever it stands for.
  if (changed) WatchFile();
  return changed || !working_;
}

}  // namespace trovanex
