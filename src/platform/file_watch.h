// Tells cheaply whether a file may have changed: a kernel notification watch on the file and on
// the names of its folder, asked without blocking. Changes are queued by the kernel as the
// writer makes them, so a change made before a call is always seen by that call.
#pragma once

#include <string>

namespace trovanex {

class FileChangeWatch {
 public:
  explicit FileChangeWatch(std::string path);
  ~FileChangeWatch();
  FileChangeWatch(const FileChangeWatch&) = delete;
  FileChangeWatch& operator=(const FileChangeWatch&) = delete;

  // True when the file may have been written, created, replaced or removed since the last call
  // (always true on the first call, and whenever the watch cannot work). Not thread-safe: the
  // caller serialises calls.
  bool MaybeChanged();
  // Whether changes are being watched (else MaybeChanged always says true).
  bool Working() const { return working_; }

 private:
  void WatchFile();

  const std::string path_;
  std::string name_;  // the file's name within its folder
  int notify_fd_ = -1;
  int folder_watch_ = -1;
  int file_watch_ = -1;
  bool working_ = false;
  bool first_call_ = true;
};

}  // namespace trovanex
